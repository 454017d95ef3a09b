#include "services/LedgerService.h"

#include "base/OperationError.h"
#include "base/PathUtils.h"
#include "base/Uuid.h"
#include "services/AppLogger.h"
#include "services/FileLock.h"
#include "services/LedgerFixture.h"
#include "support/FaultyStorage.h"
#include "support/StandInDrive.h"

#include <QElapsedTimer>
#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <iostream>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace LedgerTesting;

class LedgerFilesTest : public LedgerFixture
{};

TEST(LedgerFilesMergeTest, LaterFilesAndPositionsWin)
{
    const MigrationRecord a = record("A", "01"), b = record("B", "02"), aLater = record("A", "09");
    const MigrationRecord aRestored = record("A", "01", "restored");
    const MigrationRecord aCopied = record("A", "01", "copied");
    QJsonObject malformed = b.toJson();
    malformed.remove(QStringLiteral("moved_app"));
    const QByteArray spoiled = QJsonDocument(QJsonArray{a.toJson(), malformed}).toJson();
    struct Case
    {
        QByteArray local, rebuild, drive; // empty: no file
        Records expected;
        bool localLinked = false; // the home ledger a link to a file kept elsewhere
    };
    const Case cases[] = {
        {{}, {}, {}, {}},
        {encode({a, b}), {}, {}, {b, a}},
        {encode({a}), {}, encode({aRestored}), {aRestored}},
        {encode({a, b}), encode({aCopied}), {}, {aCopied, b}},
        {{}, encode({aCopied}), encode({aRestored}), {aRestored}},
        {encode({a, aRestored}), {}, {}, {aRestored}},
        {encode({a, aLater}), {}, {}, {aLater, a}},
        {spoiled, {}, encode({b}), {b}},
        {"garbage", encode({a}), R"({"timestamp":"x"})", {a}},
        {encode({a, b}), {}, {}, {b, a}, true},
    };
    int index = 0;
    for (const Case &c : cases) {
        Sandbox sandbox;
        const QString folder = sandbox.home() + QStringLiteral("/.config/korvanthelix/");
        const std::pair<QString, QByteArray> files[] = {
            {folder + QStringLiteral("migration_ledger.json"), c.local},
            {folder + QStringLiteral("rebuild_migration_ledger.json"), c.rebuild},
            {sandbox.drive() + QStringLiteral("/.korvanthelix_ledger.json"), c.drive}};
        for (const auto &[path, content] : files) {
            if (!content.isEmpty())
                sandbox.writeFile(path, content);
        }
        if (c.localLinked) {
            const QString kept = sandbox.home() + QStringLiteral("/dotfiles/ledger.json");
            sandbox.writeFile(kept, c.local);
            QFile::remove(files[0].first);
            Sandbox::makeSymlink(files[0].first, kept);
        }
        LedgerService ledger;
        EXPECT_EQ(ledger.records(), c.expected) << "case " << index;
        ++index;
        EXPECT_TRUE(QFileInfo(folder).isDir());
    }
}

// Files this process writes stop growing past a few bytes while it lives.
class FileSizeLimit
{
public:
    FileSizeLimit()
    {
        (void)::getrlimit(RLIMIT_FSIZE, &m_before);
        m_handler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = m_before;
        small.rlim_cur = 16;
        (void)::setrlimit(RLIMIT_FSIZE, &small);
    }
    ~FileSizeLimit()
    {
        (void)::setrlimit(RLIMIT_FSIZE, &m_before);
        std::signal(SIGXFSZ, m_handler);
    }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

private:
    rlimit m_before{};
    void (*m_handler)(int) = nullptr;
};

// Links `path` from a folder beside it until its file system makes no more, as a file system
// without hard links never does; false if it has no such limit.
bool useUpHardLinks(const QString &path)
{
    const QString folder =
        Sandbox::makeFolder(PathUtils::parentPath(path) + QStringLiteral("-links"));
    const QByteArray target = QFile::encodeName(path);
    for (int n = 0; n < 70000; ++n) {
        if (::link(target.constData(),
                   QFile::encodeName(folder + QLatin1Char('/') + QString::number(n)).constData()) !=
            0)
            return errno == EMLINK;
    }
    return false;
}

// Whichever step of replacing a ledger fails, the failure is thrown as what it is and the
// previous ledger stays, whole, with nothing left beside it: neither of this replacement nor of
// earlier ones cut short.
TEST(LedgerFilesWriteTest, AReplacementFailingAtAnyStepLeavesThePreviousLedger)
{
    struct Case
    {
        const char *step;
        const char *reason;
        FaultyStorage::FlushFault flush; // given the flush's number, from 1
        std::function<void(int fd)> readBack = {};
        bool limitFileSize = false;
        bool noHardLink = false; // as on FAT and exFAT
    };
    std::atomic<int> flushes = 0;
    QString folder; // the ledger's, in the sandbox of the row
    // The ledger's own flushes are counted: what is owed is kept in a folder of its own.
    const auto nth = [&](int number, std::function<int(const StorageWrites &)> fault) {
        return [&flushes, &folder, number, fault](const QString &flushed,
                                                  const StorageWrites &written) {
            if (PathUtils::standardized(flushed) != folder)
                return 0;
            return ++flushes == number ? fault(written) : 0;
        };
    };
    const auto eio = [](const StorageWrites &) { return EIO; };
    const Case cases[] = {
        {"write", "its new copy could not be written: File too large", {}, {}, true},
        {"push", "its disk could not store the new copy: Input/output error", nth(1, eio)},
        {"read back",
         "its new copy read back from its disk differs from what was written",
         {},
         [](int fd) { (void)::pwrite(fd, "]", 1, 0); }},
        // The disk lost the new copy's name before it could take the ledger's place.
        {"rename",
         "it could not be replaced by its new copy: No such file or directory",
         {},
         [&folder](int) {
             for (const QString &name : QDir(folder).entryList({"*.saving-*"}, QDir::Files))
                 QFile::remove(folder + QLatin1Char('/') + name);
         }},
        {"folder push",
         "its disk could not store the replacement in its folder: Input/output error", nth(2, eio)},
        {"folder push, no hard link",
         "its disk could not store the replacement in its folder: Input/output error",
         nth(2, eio),
         {},
         false,
         true},
    };
    const MigrationRecord a = record("A", "01");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.step);
        Sandbox sandbox;
        const QString path =
            sandbox.home() + QStringLiteral("/.config/korvanthelix/migration_ledger.json");
        sandbox.writeFile(path, encode({a}));
        folder = PathUtils::parentPath(path);
        for (int n = 0; n < 2; ++n)
            sandbox.writeFile(path + QStringLiteral(".saving-") + newUuidText(), encode({a}));
        if (c.noHardLink && !useUpHardLinks(path)) {
            std::cout << "[ SKIPPED ] " << c.step << ": the file system limits no hard links\n";
            continue;
        }
        const auto storage = std::make_shared<FaultyStorage>();
        sandbox.system().useStorage(storage);
        LedgerService ledger;
        flushes = 0;
        storage->setFlushFault(c.flush);
        storage->setReadBackHook(c.readBack);
        try {
            std::optional<FileSizeLimit> limit;
            if (c.limitFileSize)
                limit.emplace();
            ledger.recordMigration(record("B", "02"));
            ADD_FAILURE() << "no error";
        } catch (const OperationError &error) {
            EXPECT_EQ(error.domain(), QStringLiteral("FileSystem"));
            EXPECT_EQ(error.message(), QStringLiteral("Cannot write the ledger ") + path +
                                           QStringLiteral(": ") + QLatin1String(c.reason));
        }
        EXPECT_EQ(decodeFile(path), Records{a});
        EXPECT_EQ(
            QDir(PathUtils::parentPath(path)).entryList(QDir::Files | QDir::Hidden),
            QStringList({QStringLiteral("ledgers.lock"), QStringLiteral("migration_ledger.json")}));
        EXPECT_EQ(ledger.records(), Records{a});
    }

    // A new copy that a write under way (of another program or home folder) owns stays.
    Sandbox sandbox;
    const QString path =
        sandbox.home() + QStringLiteral("/.config/korvanthelix/migration_ledger.json");
    const QString live = path + QStringLiteral(".saving-") + newUuidText();
    sandbox.writeFile(live, "half");
    const int owner = ::open(QFile::encodeName(live).constData(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(owner, LOCK_EX), 0);
    LedgerService ledger;
    ledger.recordMigration(record("B", "02"));
    EXPECT_EQ(bytesOf(live), "half");
    ::close(owner);
    ledger.recordMigration(record("C", "03"));
    EXPECT_FALSE(QFileInfo::exists(live));
}

TEST_F(LedgerFilesTest, DamagedLedgersAreSetAsideBeforeBeingRewritten)
{
    const QByteArray damaged = "[{\"app_name\": \"half a record";
    const MigrationRecord a = record("A", "01");
    struct Case
    {
        const char *name;
        std::function<void(LedgerService &)> operation;
        bool localAside, rebuildAside, driveAside;
    };
    const Case cases[] = {
        {"record",
         [&](LedgerService &l) { l.recordMigration(a, QUrl::fromLocalFile(sandbox.drive())); },
         true, false, true},
        {"delete", [](LedgerService &l) { l.deleteRecord(QStringLiteral("none")); }, true, true,
         false},
        {"clear", [](LedgerService &l) { l.clearAllHistory(); }, true, true, false},
        {"status",
         [&](LedgerService &l) {
             l.updateRecordStatus(a.appOriginalPath, QStringLiteral("restored"), std::nullopt,
                                  QUrl::fromLocalFile(sandbox.drive()));
         },
         false, false, false},
    };
    // Damaged, or a FIFO that a plain read would wait on for ever.
    for (const bool fifo : {false, true}) {
        const QByteArray expected = fifo ? QByteArray("<fifo>") : damaged;
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(c.name) + (fifo ? ", a FIFO" : ""));
            const std::pair<QString, bool> ledgers[] = {
                {local(), c.localAside}, {rebuild(), c.rebuildAside}, {drive(), c.driveAside}};
            for (const auto &[path, aside] : ledgers) {
                for (const QString &name : setAside(path))
                    QFile::remove(QFileInfo(path).absolutePath() + QLatin1Char('/') + name);
                QFile::remove(path);
                if (fifo)
                    ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0644), 0);
                else
                    sandbox.writeFile(path, damaged);
            }
            LedgerService ledger;
            c.operation(ledger);
            for (const auto &[path, aside] : ledgers) {
                const QStringList copies = setAside(path);
                ASSERT_EQ(copies.size(), aside ? 1 : 0) << path.toStdString();
                if (aside) {
                    EXPECT_EQ(
                        contentOf(QFileInfo(path).absolutePath() + QLatin1Char('/') + copies[0]),
                        expected);
                    EXPECT_TRUE(decodeFile(path)) << path.toStdString();
                } else {
                    EXPECT_EQ(contentOf(path), expected) << path.toStdString();
                }
            }
        }
    }
}

// A drive ledger damaged again and again keeps one copy of each damage, a few at most: past
// them it is left as it is and the offload is told its drive did not take the record.
TEST_F(LedgerFilesTest, DamageSetAsideOnceAndNoPileOfCopies)
{
    const QUrl driveUrl = QUrl::fromLocalFile(sandbox.drive());
    LedgerService ledger;
    const QByteArray damages[] = {"[{\"app_name\": \"half", "[{\"app_name\": \"half", "[1]", "{}",
                                  "[2]"};
    int second = 10;
    QString firstCopy;
    for (const QByteArray &damage : damages) {
        sandbox.writeFile(drive(), damage);
        const std::optional<QString> outcome =
            ledger.recordMigration(record("A", QByteArray::number(++second).constData()), driveUrl);
        const QStringList copies = setAside(drive());
        SCOPED_TRACE(damage.toStdString());
        // A fourth damage makes room by removing the oldest copy: the ledger is still written.
        EXPECT_EQ(outcome, std::nullopt);
        EXPECT_EQ(copies.size(),
                  &damage == &damages[0] ? 1 : std::min<qsizetype>(&damage - damages, 3));
        EXPECT_EQ(decodeFile(drive())->size(), 1);
        if (&damage == &damages[4]) {
            EXPECT_FALSE(copies.contains(firstCopy));
            EXPECT_TRUE(std::any_of(copies.cbegin(), copies.cend(), [&](const QString &copy) {
                return bytesOf(PathUtils::parentPath(drive()) + QLatin1Char('/') + copy) == damage;
            }));
        } else if (&damage == &damages[0]) {
            firstCopy = copies.value(0);
        }
    }
    const QString log = AppLogger::shared().readRecentLines(30);
    EXPECT_TRUE(log.contains(QStringLiteral("[WARN] [Ledger] The oldest damaged copy of the "
                                            "ledger '") +
                             drive()))
        << log.toStdString();
    EXPECT_TRUE(log.contains(QStringLiteral("[ERROR] [Ledger] The ledger '") + drive() +
                             QStringLiteral("' cannot be read (it is not JSON: ")))
        << log.toStdString();
}

// A ledger of any size a person makes is read and kept; one past that bound is told and left
// alone, never replaced by a new one without its records.
TEST_F(LedgerFilesTest, ALedgerOfAnySizeIsReadAndKept)
{
    QByteArray ledger = "[";
    const QByteArray folders =
        QJsonDocument(
            QJsonArray{QJsonObject{{QStringLiteral("source"), QString(900, QLatin1Char('s'))},
                                   {QStringLiteral("target"), QString(900, QLatin1Char('t'))},
                                   {QStringLiteral("display_name"), QStringLiteral("Folder")},
                                   {QStringLiteral("symlink_created"), true}}})
            .toJson(QJsonDocument::Compact);
    int count = 0;
    while (ledger.size() < 40 * 1024 * 1024) {
        if (count > 0)
            ledger += ',';
        ledger += "{\"app_name\":\"App" + QByteArray::number(count) +
                  "\",\"app_original_path\":\"/Applications/App" + QByteArray::number(count) +
                  ".app\",\"moved_app\":true,\"status\":\"active\",\"timestamp\":"
                  "\"2025-01-01T00:00:00Z\",\"support_folders\":" +
                  folders + "}";
        ++count;
    }
    ledger += "]";
    sandbox.writeFile(local(), ledger);
    {
        LedgerService service;
        EXPECT_EQ(service.records().size(), count);
        service.recordMigration(record("New", "01"));
        EXPECT_EQ(decodeFile(local())->size(), count + 1);
        EXPECT_EQ(setAside(local()), QStringList());
    }

    // Past the bound: a sparse file, which costs no room.
    QFile::remove(local());
    {
        QFile huge(local());
        ASSERT_TRUE(huge.open(QIODevice::WriteOnly) && huge.write("[") == 1 &&
                    huge.resize(qint64(257) * 1024 * 1024));
    }
    LedgerService service;
    EXPECT_EQ(service.records(), Records());
    const QString problem = QStringLiteral("it is larger than 268435456 bytes");
    const QString log = AppLogger::shared().readRecentLines(20);
    EXPECT_TRUE(log.contains(QStringLiteral("[ERROR] [Ledger] The ledger '") + local() +
                             QStringLiteral("' cannot be read (") + problem +
                             QStringLiteral("). Its records are not shown, and it is left as it "
                                            "is.")))
        << log.toStdString();
    try {
        service.recordMigration(record("New", "01"));
        ADD_FAILURE() << "no error";
    } catch (const OperationError &error) {
        EXPECT_EQ(error.message(), QStringLiteral("Cannot write the ledger ") + local() +
                                       QStringLiteral(": it cannot be read (") + problem +
                                       QStringLiteral("), so it was left as it is"));
    }
    EXPECT_EQ(QFileInfo(local()).size(), qint64(257) * 1024 * 1024);
    EXPECT_EQ(setAside(local()), QStringList());
}

// A lock file that is not a file is never written past: a link makes way for a file, a folder
// is refused with a message, for the home folder's lock as for a drive's.
TEST_F(LedgerFilesTest, ALockThatIsNotAFileIsReplacedOrRefused)
{
    const MigrationRecord a = record("A", "01");
    const QUrl driveUrl = QUrl::fromLocalFile(sandbox.drive());
    const QString homeLock = sandbox.home() + QStringLiteral("/.config/korvanthelix/ledgers.lock");
    const QString driveLock = sandbox.drive() + QStringLiteral("/.korvanthelix_ledger.lock");
    const QString elsewhere = sandbox.root() + QStringLiteral("/elsewhere");
    struct Case
    {
        const char *name;
        bool onDrive;
        std::function<void(const QString &lock)> make;
        bool refused;
        QByteArray elsewhereAfter = "<missing>"; // where the link led
    };
    const Case cases[] = {
        {"HomeDanglingLink", false, [&](const QString &l) { Sandbox::makeSymlink(l, elsewhere); },
         false},
        {"HomeLinkToAFile", false,
         [&](const QString &l) {
             Sandbox::writeFile(elsewhere, "kept");
             Sandbox::makeSymlink(l, elsewhere);
         },
         false, "kept"},
        {"HomeFolder", false, [](const QString &l) { Sandbox::makeFolder(l); }, true},
        {"DriveDanglingLink", true, [&](const QString &l) { Sandbox::makeSymlink(l, elsewhere); },
         false},
        {"DriveFolder", true, [](const QString &l) { Sandbox::makeFolder(l); }, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QDir(sandbox.home() + QStringLiteral("/.config")).removeRecursively();
        QDir(driveLock).removeRecursively();
        QFile::remove(driveLock);
        QFile::remove(drive());
        QFile::remove(elsewhere);
        Sandbox::makeFolder(PathUtils::parentPath(homeLock));
        const QString lock = c.onDrive ? driveLock : homeLock;
        c.make(lock);
        LedgerService ledger;
        std::optional<QString> outcome;
        try {
            outcome = ledger.recordMigration(a, driveUrl);
        } catch (const OperationError &error) {
            outcome = error.message();
        }
        const QString refusal = QStringLiteral("The migration history cannot be saved: '") + lock +
                                QStringLiteral("' is a folder where its lock file belongs. Remove "
                                               "it, then try again.");
        const QString log = AppLogger::shared().readRecentLines(20);
        if (c.refused) {
            // The drive's, told within a sentence; the home's, thrown.
            EXPECT_EQ(outcome, c.onDrive ? refusal.chopped(1) : refusal);
            EXPECT_TRUE(log.contains(QStringLiteral("[ERROR] [Ledger] ") + refusal));
            EXPECT_FALSE(QFileInfo::exists(c.onDrive ? drive() : local()));
        } else {
            EXPECT_EQ(outcome, std::nullopt);
            EXPECT_TRUE(QFileInfo(lock).isFile() && !QFileInfo(lock).isSymLink());
            EXPECT_EQ(bytesOf(elsewhere), c.elsewhereAfter);
            EXPECT_TRUE(log.contains(QStringLiteral("[WARN] [Ledger] The lock file '") + lock +
                                     QStringLiteral("' was a link; a file took its place.")))
                << log.toStdString();
            EXPECT_EQ(decodeFile(drive()), Records{a});
        }
    }
}

// A mark stands in for the lock only on a drive without locks, and says who holds it: one left
// by a writer of this machine that ended, or by one of an earlier start-up, is left over at
// once; one made on another machine is judged by this program's own clock, never by the time it
// carries. A holder of the lock waits for a live mark all the same.
TEST_F(LedgerFilesTest, AMarkSaysWhoHoldsIt)
{
#ifndef KORVANTHELIX_STAND_IN_DRIVE
    GTEST_SKIP() << "built without the stand-in drive";
#else
    const StandInDrive noLocks(
        QStringLiteral(KORVANTHELIX_STAND_IN_DRIVE), sandbox.path(QStringLiteral("no-locks")),
        sandbox.volumesRoot() + QStringLiteral("/NoLocks"), StandInDrive::Kind::noLocks);
    if (!noLocks.ready())
        GTEST_SKIP() << "a drive cannot be mounted here";
    sandbox.mountDrive(noLocks.mountPoint());
    sandbox.mountDrive(sandbox.drive());
    char name[256] = {};
    (void)::gethostname(name, sizeof name - 1);
    const QByteArray host = QByteArray("host=") + name + '\n',
                     boot = "boot=" + platformBootSession() + '\n';
    const pid_t ended = ::fork();
    if (ended == 0)
        ::_exit(0);
    ::waitpid(ended, nullptr, 0);
    const QByteArray endedHolder = "pid=" + QByteArray::number(ended) + '\n',
                     liveHolder = "pid=" + QByteArray::number(::getpid()) + '\n';
    struct Case
    {
        const char *name;
        bool driveHasLocks;
        QByteArray mark;
        int secondsAhead; // of the mark's time over this machine's clock
        bool recorded;    // else the busy message
    };
    const Case cases[] = {
        {"AWriterHereThatEnded", false, host + endedHolder + boot, 0, true},
        {"AWriterOfAnEarlierStartUp", false, host + liveHolder + "boot=before\n", 0, true},
        {"AMacWhoseClockRunsAnHourAhead", false, "host=another-mac\npid=1\nboot=x\n", 3600, true},
        {"ALiveMarkBesideALock", true, host + liveHolder + boot, 0, false},
    };
    FileLock::setForeignMarkLimit(std::chrono::milliseconds(300));
    const std::shared_ptr<void> restore(
        nullptr, [](void *) { FileLock::setForeignMarkLimit(std::chrono::minutes(2)); });
    int second = 10;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const QString folder = c.driveHasLocks ? sandbox.drive() : noLocks.mountPoint();
        const QString mark = folder + QStringLiteral("/.korvanthelix_ledger.lock.held");
        Sandbox::writeFile(mark, c.mark);
        const timespec now{::time(nullptr) + c.secondsAhead, 0}, times[2] = {now, now};
        ::utimensat(AT_FDCWD, QFile::encodeName(mark).constData(), times, 0);
        LedgerService ledger;
        ledger.setWriterWaitLimit(std::chrono::milliseconds(2500));
        const MigrationRecord r = record("A", QByteArray::number(++second).constData());
        QElapsedTimer clock;
        clock.start();
        const std::optional<QString> outcome =
            ledger.recordMigration(r, QUrl::fromLocalFile(folder));
        if (c.recorded) {
            EXPECT_EQ(outcome, std::nullopt);
            EXPECT_LT(clock.elapsed(), 2000);
            EXPECT_TRUE(decodeFile(folder + QStringLiteral("/.korvanthelix_ledger.json"))
                            .value_or(Records())
                            .contains(r));
            EXPECT_FALSE(QFileInfo::exists(mark)) << "the new holder's mark went with it";
        } else {
            EXPECT_EQ(outcome, QStringLiteral(
                                   "another Korvanthelix window is saving the migration history"));
            EXPECT_EQ(bytesOf(mark), c.mark);
        }
        QFile::remove(mark);
    }
#endif
}

} // namespace
