#include "services/LedgerService.h"

#include "base/OperationError.h"
#include "base/PathUtils.h"
#include "base/Subprocess.h"
#include "base/Uuid.h"
#include "services/AppLogger.h"
#include "services/FileLock.h"
#include "support/FaultyStorage.h"
#include "support/PrivateMounts.h"
#include "support/Sandbox.h"
#include "support/StandInDrive.h"
#include "support/StoppedHolder.h"
#include "support/Wait.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QProcessEnvironment>
#include <QtConcurrent>
#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <iostream>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Records = QList<MigrationRecord>;

MigrationRecord record(const char *name, const char *second, const char *status = "active")
{
    const QString app = QString::fromLatin1(name);
    return MigrationRecord(QStringLiteral("2025-01-01T00:00:%1Z").arg(QLatin1String(second)), app,
                           std::nullopt, std::nullopt,
                           QStringLiteral("/Applications/%1.app").arg(app),
                           QStringLiteral("/Volumes/Drive/%1.app").arg(app),
                           qstrcmp(status, "active") == 0, QString::fromLatin1(status), {});
}

QByteArray encode(const Records &records)
{
    return QJsonDocument(MigrationRecord::listToJson(records)).toJson(QJsonDocument::Compact);
}

QByteArray bytesOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// The bytes of a file, or "<fifo>" for a FIFO, which is not opened.
QByteArray contentOf(const QString &path)
{
    struct stat info
    {};
    if (::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISFIFO(info.st_mode))
        return "<fifo>";
    return bytesOf(path);
}

std::optional<Records> decodeFile(const QString &path)
{
    return MigrationRecord::listFromJson(QJsonDocument::fromJson(bytesOf(path)).array());
}

// "A:active B:copied", readable in a failure message; sorted where order does not matter.
std::string names(const std::optional<Records> &records, bool sorted = false)
{
    QStringList out;
    for (const MigrationRecord &r : records.value_or(Records()))
        out.append(r.appName + QLatin1Char(':') + r.status);
    if (sorted)
        out.sort();
    return out.join(QLatin1Char(' ')).toStdString();
}

class LedgerServiceTest : public ::testing::Test
{
protected:
    QString local() const
    {
        return sandbox.home() + QStringLiteral("/.config/korvanthelix/migration_ledger.json");
    }
    QString rebuild() const
    {
        return sandbox.home() +
               QStringLiteral("/.config/korvanthelix/rebuild_migration_ledger.json");
    }
    QString drive() const { return sandbox.drive() + QStringLiteral("/.korvanthelix_ledger.json"); }
    QString withdrawals() const
    {
        return sandbox.home() + QStringLiteral("/.config/korvanthelix/withdrawn_migrations.json");
    }
    // The copies a ledger set aside next to `path`.
    QStringList setAside(const QString &path) const
    {
        const QFileInfo info(path);
        return QDir(info.absolutePath())
            .entryList({info.fileName() + QStringLiteral(".unreadable-*")},
                       QDir::Hidden | QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    }

    Sandbox sandbox;
};

TEST(LedgerServiceMergeTest, LaterFilesAndPositionsWin)
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

TEST_F(LedgerServiceTest, RecordsFromAWorkerAndPublishesOnTheMainThread)
{
    LedgerService ledger;
    int changes = 0;
    bool offMainThread = false;
    QObject::connect(&ledger, &LedgerService::recordsChanged, &ledger, [&] {
        ++changes;
        offMainThread |= QThread::currentThread() != qApp->thread();
    });
    const MigrationRecord a = record("A", "01"), b = record("B", "02");
    sandbox.writeFile(drive(), encode({b}));
    QFuture<void> done =
        QtConcurrent::run([&] { ledger.recordMigration(a, QUrl::fromLocalFile(sandbox.drive())); });
    ASSERT_TRUE(waitFor(done));
    done.waitForFinished(); // rethrows

    EXPECT_EQ(decodeFile(local()), Records{a});
    EXPECT_EQ(decodeFile(drive()), Records({b, a}));
    EXPECT_FALSE(QFileInfo::exists(rebuild()));
    EXPECT_EQ(ledger.records(), Records({a, b}));
    EXPECT_EQ(changes, 1);
    EXPECT_FALSE(offMainThread);
    EXPECT_TRUE(bytesOf(local()).contains("\n    {\n        \"app_name\": \"A\",\n"))
        << "pretty-printed, keys sorted";
}

TEST_F(LedgerServiceTest, AFailedLocalWriteIsThrownAndStopsThere)
{
    LedgerService ledger;
    QDir(QFileInfo(local()).absolutePath()).removeRecursively();
    sandbox.writeFile(QFileInfo(local()).absolutePath(), "a file where the folder belongs");
    try {
        ledger.recordMigration(record("A", "01"), QUrl::fromLocalFile(sandbox.drive()));
        FAIL() << "no error";
    } catch (const OperationError &error) {
        EXPECT_EQ(error.domain(), QStringLiteral("FileSystem"));
        EXPECT_TRUE(error.message().contains(PathUtils::parentPath(local())))
            << error.message().toStdString();
    }
    EXPECT_FALSE(QFileInfo::exists(drive()));
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
TEST(LedgerServiceWriteTest, AReplacementFailingAtAnyStepLeavesThePreviousLedger)
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
    const auto nth = [&flushes](int number, std::function<int(const StorageWrites &)> fault) {
        return [&flushes, number, fault](const QString &, const StorageWrites &written) {
            return ++flushes == number ? fault(written) : 0;
        };
    };
    const auto eio = [](const StorageWrites &) { return EIO; };
    QString folder; // the ledger's, in the sandbox of the row
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

TEST_F(LedgerServiceTest, StatusUpdateTouchesOnlyActiveRecordsOfThePath)
{
    const MigrationRecord active = record("A", "01"), other = record("B", "04");
    const MigrationRecord copied = record("A", "02", "copied");
    const MigrationRecord completed = record("A", "03", "completed");
    MigrationRecord stale = active; // an absent time removes a stored one
    stale.restoredAt = QStringLiteral("2024-01-01T00:00:00Z");
    const QString second = sandbox.addDrive(QStringLiteral("Second"));
    sandbox.writeFile(local(), encode({stale, copied, completed, other}));
    sandbox.writeFile(rebuild(), encode({active}));
    sandbox.writeFile(drive(), encode({active, other}));
    sandbox.writeFile(second + QStringLiteral("/.korvanthelix_ledger.json"), encode({copied}));

    sandbox.mountDrive(sandbox.drive());
    sandbox.mountDrive(second);
    LedgerService ledger;
    const QUrl driveUrl = QUrl::fromLocalFile(sandbox.drive());
    ledger.updateRecordStatus(active.appOriginalPath, QStringLiteral("restored"), std::nullopt,
                              driveUrl,
                              {QUrl::fromLocalFile(sandbox.drive() + QStringLiteral("/./")),
                               QUrl::fromLocalFile(second), driveUrl});

    MigrationRecord restored = active;
    restored.status = QStringLiteral("restored");
    EXPECT_EQ(decodeFile(local()), Records({restored, copied, completed, other}));
    EXPECT_EQ(decodeFile(rebuild()), Records{restored});
    EXPECT_EQ(decodeFile(drive()), Records({restored, other}));
    EXPECT_EQ(bytesOf(second + QStringLiteral("/.korvanthelix_ledger.json")), encode({copied}))
        << "nothing to change: not rewritten";
    EXPECT_TRUE(ledger.records().contains(restored));
}

TEST_F(LedgerServiceTest, ARestoreAfterADeleteStaysRestored)
{
    const MigrationRecord a = record("A", "01"), b = record("B", "02");
    sandbox.writeFile(local(), encode({a, b}));
    LedgerService ledger;
    ledger.deleteRecord(b.id()); // writes the merged list into the rebuild ledger too
    ledger.updateRecordStatus(a.appOriginalPath, QStringLiteral("restored"),
                              QStringLiteral("2025-02-02T10:00:00Z"));
    EXPECT_EQ(names(ledger.records()), "A:restored");
}

TEST_F(LedgerServiceTest, DamagedLedgersAreSetAsideBeforeBeingRewritten)
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
TEST_F(LedgerServiceTest, DamageSetAsideOnceAndNoPileOfCopies)
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
TEST_F(LedgerServiceTest, ALedgerOfAnySizeIsReadAndKept)
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

// The names of the records the home folder still owes a drive ledger.
QStringList owedNames(const QString &withdrawals)
{
    QStringList names;
    for (const QJsonValue &entry : QJsonDocument::fromJson(bytesOf(withdrawals)).array())
        names.append(entry[QLatin1String("record")][QLatin1String("app_name")].toString());
    return names;
}

// A withdrawal ends only once the Mac's ledgers and the drive that was given the record are read
// whole and list it no more; whatever happens to them meanwhile, the record stays out of the
// list, and each gives it up once it is back and sound.
TEST_F(LedgerServiceTest, AWithdrawalEndsOnlyWhenEveryLedgerIsReadClear)
{
    struct Case
    {
        const char *name;
        // With the storage the ledgers use; runs before the step.
        std::function<void(FaultyStorage &)> arrange;
        // The withdrawal itself (the drive connected, as far as anyone knew), or the settling of
        // one left owed.
        bool settling;
        bool throws = false; // the withdrawal fails on the Mac
    };
    const QString gone = sandbox.drive() + QStringLiteral("-gone");
    const auto pull = [this, gone] { QDir().rename(sandbox.drive(), gone); };
    // Runs `then` at the read from its disk numbered `number`, from 1.
    const auto atRead = [](FaultyStorage &storage, int number, std::function<void(int fd)> then) {
        auto reads = std::make_shared<int>(0);
        storage.setReadBackHook([reads, number, then](int fd) {
            if (++*reads == number)
                then(fd);
        });
    };
    // The power goes once `path` has its new place in its folder: nothing more reaches a disk.
    const auto stopOnceStored = [](FaultyStorage &storage, const QString &path) {
        storage.setFlushFault([path, stopped = std::make_shared<bool>()](
                                  const QString &, const StorageWrites &written) {
            if (*stopped)
                return EIO;
            *stopped = written.items == QStringList{path};
            return 0;
        });
    };
    const Case cases[] = {
        {"DrivePulledInsideTheWithdrawal",
         [&](FaultyStorage &storage) {
             const QString home = PathUtils::parentPath(local());
             storage.setFlushFault([pull, home, done = std::make_shared<bool>()](
                                       const QString &folder, const StorageWrites &) {
                 if (folder == home && !std::exchange(*done, true))
                     pull();
                 return 0;
             });
         },
         false},
        // The program ends, as the power goes, once the Mac's ledgers no longer list the record.
        {"StopOnceTheMacsLedgerIsRewritten",
         [&](FaultyStorage &storage) { stopOnceStored(storage, local()); }, false},
        // The program ends once the withdrawal is remembered, before the Mac's ledger is
        // rewritten: it still lists the record.
        {"StopOnceTheWithdrawalIsRemembered",
         [&](FaultyStorage &storage) { stopOnceStored(storage, withdrawals()); }, false, true},
        {"DrivePulledAtTheSettlingsFirstRead",
         [&](FaultyStorage &storage) { atRead(storage, 1, [pull](int) { pull(); }); }, true},
        // As a drive being pulled: its ledger is gone the moment the settling has opened it.
        {"DriveLedgerRenamedAwayAsTheSettlingOpensIt",
         [&](FaultyStorage &storage) {
             atRead(storage, 1,
                    [this](int) { QFile::rename(drive(), drive() + QStringLiteral(".away")); });
         },
         true},
        {"DriveLedgerUnreadableOnceRewritten",
         [&](FaultyStorage &storage) {
             atRead(storage, 3, [this](int) {
                 QFile ledger(drive());
                 (void)ledger.open(QIODevice::ReadWrite);
                 (void)ledger.write("]");
             });
         },
         true},
    };
    const MigrationRecord kept = record("Kept", "01"), withdrawn = record("W", "02");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QDir(sandbox.home() + QStringLiteral("/.config")).removeRecursively();
        QDir(sandbox.drive()).removeRecursively();
        QDir(gone).removeRecursively();
        Sandbox::makeFolder(sandbox.drive());
        sandbox.mountDrive(sandbox.drive());
        const auto storage = std::make_shared<FaultyStorage>();
        sandbox.system().useStorage(storage);
        const QUrl driveUrl = QUrl::fromLocalFile(sandbox.drive());
        {
            LedgerService ledger;
            ledger.recordMigration(kept, driveUrl);
            ledger.recordMigration(withdrawn, driveUrl);
            const std::optional<FileSystemIdentity> drive = FileSystemIdentity::of(sandbox.drive());
            ASSERT_TRUE(drive);
            if (c.settling) {
                // Withdrawn while the drive was away.
                EXPECT_FALSE(ledger.withdrawMigration(withdrawn, driveUrl, std::nullopt));
                c.arrange(*storage);
                ledger.settleOwedChanges();
            } else {
                c.arrange(*storage);
                try {
                    EXPECT_FALSE(ledger.withdrawMigration(withdrawn, driveUrl, drive));
                    EXPECT_FALSE(c.throws);
                } catch (const OperationError &error) {
                    EXPECT_TRUE(c.throws) << error.message().toStdString();
                }
            }
        }
        EXPECT_EQ(owedNames(withdrawals()), QStringList{QStringLiteral("W")});

        // The drive back, sound, and the program started again.
        storage->setFlushFault({});
        storage->setReadBackHook({});
        if (!QFileInfo::exists(sandbox.drive()))
            QDir().rename(gone, sandbox.drive());
        if (decodeFile(drive()) != Records({kept, withdrawn}))
            sandbox.writeFile(drive(), encode({kept, withdrawn}));
        LedgerService again;
        EXPECT_EQ(again.records(), Records{kept});
        again.settleOwedChanges();
        EXPECT_EQ(decodeFile(drive()), Records{kept});
        EXPECT_EQ(decodeFile(local()), Records{kept});
        EXPECT_EQ(owedNames(withdrawals()), QStringList());
        again.loadRecords();
        EXPECT_EQ(again.records(), Records{kept});
    }
}

// A withdrawal owed to a drive whose ledger, read whole, no longer lists the record (it never
// took it, or another home took it back) is done: no ledger can bring the record back. One
// whose ledger is missing is not: it may be one being renamed away.
TEST_F(LedgerServiceTest, AnOwedWithdrawalEndsWhereNoLedgerListsIt)
{
    const MigrationRecord kept = record("Kept", "01"), withdrawn = record("W", "02");
    const QUrl driveUrl = QUrl::fromLocalFile(sandbox.drive());
    const struct
    {
        const char *name;
        bool driveLedgerThere;
        QStringList owedAfter;
    } cases[] = {
        {"ADriveLedgerThatNeverListedIt", true, {}},
        {"ADriveLedgerThatIsMissing", false, {QStringLiteral("W")}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QDir(sandbox.home() + QStringLiteral("/.config")).removeRecursively();
        QFile::remove(drive());
        sandbox.mountDrive(sandbox.drive());
        LedgerService ledger;
        ledger.recordMigration(kept, driveUrl);
        ledger.recordMigration(withdrawn); // the drive never took it
        EXPECT_FALSE(ledger.withdrawMigration(withdrawn, driveUrl, std::nullopt));
        EXPECT_EQ(owedNames(withdrawals()), QStringList{QStringLiteral("W")});
        if (!c.driveLedgerThere)
            QFile::remove(drive());
        ledger.settleOwedChanges();
        EXPECT_EQ(owedNames(withdrawals()), c.owedAfter);
        EXPECT_EQ(ledger.records(), Records{kept});
    }
}

// A nearly full Mac, as this program's users have: room for the withdrawal to be remembered,
// none for the rewritten ledger. The drive gives the record up, and still the withdrawal is
// owed until the Mac's ledger can be rewritten.
TEST_F(LedgerServiceTest, AWithdrawalOnAFullMacStaysOwed)
{
    if (!PrivateMounts::enter(false))
        return;
    const QString folder = PathUtils::parentPath(local());
    ASSERT_TRUE(PrivateMounts::mountTmpfs(folder, QStringLiteral("size=512k")));
    // Its mount point is left empty for the sandbox to remove.
    const std::shared_ptr<void> unmount(nullptr,
                                        [&](void *) { (void)PrivateMounts::unmount(folder); });
    sandbox.mountDrive(sandbox.drive());
    const QUrl driveUrl = QUrl::fromLocalFile(sandbox.drive());
    Records many;
    for (int i = 0; i < 200; ++i)
        many.append(record(qPrintable(QStringLiteral("App%1").arg(i)), "01"));
    const MigrationRecord withdrawn = record("W", "02");
    LedgerService ledger;
    sandbox.writeFile(local(), encode(many));
    ledger.recordMigration(withdrawn, driveUrl);
    // All but a few pages taken: the withdrawals file fits, a new ledger does not.
    const QString filler = folder + QStringLiteral("/filler");
    {
        QFile fill(filler);
        ASSERT_TRUE(fill.open(QIODevice::WriteOnly));
        const QByteArray page(4096, 'x');
        while (fill.write(page) == page.size() && fill.flush()) {
        }
        fill.close();
        ASSERT_TRUE(fill.resize(fill.size() - 4 * 4096));
    }
    try {
        (void)ledger.withdrawMigration(withdrawn, driveUrl,
                                       FileSystemIdentity::of(sandbox.drive()));
        ADD_FAILURE() << "no error";
    } catch (const OperationError &error) {
        EXPECT_TRUE(error.message().contains(QStringLiteral("No space left on device")))
            << error.message().toStdString();
    }
    EXPECT_EQ(decodeFile(drive()), Records());
    EXPECT_EQ(owedNames(withdrawals()), QStringList{QStringLiteral("W")});
    EXPECT_FALSE(ledger.records().contains(withdrawn));

    QFile::remove(filler);
    LedgerService again;
    again.settleOwedChanges();
    EXPECT_EQ(decodeFile(local()), many);
    EXPECT_EQ(owedNames(withdrawals()), QStringList());
    again.loadRecords();
    EXPECT_FALSE(again.records().contains(withdrawn));
}

// A withdrawals file that does not read whole is told in the activity log, never hangs the
// program, and loses nothing: what of it reads keeps its records withdrawn and goes into the
// next file, and what was there is set aside as it was.
TEST_F(LedgerServiceTest, DamagedWithdrawalsAreToldAndKept)
{
    const MigrationRecord kept = record("Kept", "01"), w1 = record("W1", "02"),
                          w2 = record("W2", "03"), w3 = record("W3", "04");
    const auto entry = [&](const MigrationRecord &r) {
        return QJsonObject{{QStringLiteral("record"), r.toJson()},
                           {QStringLiteral("ledger_folder"), sandbox.drive()}};
    };
    const QByteArray wrongType =
        QJsonDocument(
            QJsonArray{entry(w1), 42, QJsonObject{{QStringLiteral("record"), 7}}, entry(w2)})
            .toJson();
    const QByteArray tooLarge =
        "[" + QJsonDocument(entry(w1)).toJson() + QByteArray(32 * 1024 * 1024, ' ') + "]";
    struct Case
    {
        const char *name;
        std::function<void(const QString &path)> make;
        QStringList stillWithdrawn; // of W1 and W2
        const char *problem;
    };
    const Case cases[] = {
        {"NotJson",
         [](const QString &p) { Sandbox::writeFile(p, "[{\"record\": {"); },
         {},
         "it is not JSON: "},
        {"EntriesOfAWrongType",
         [&](const QString &p) { Sandbox::writeFile(p, wrongType); },
         {QStringLiteral("W1"), QStringLiteral("W2")},
         "2 of its 4 entries cannot be read"},
        {"AFolder",
         [](const QString &p) { Sandbox::writeFile(p + QStringLiteral("/inside"), "x"); },
         {},
         "it is not a regular file"},
        {"AFifo",
         [](const QString &p) { ::mkfifo(QFile::encodeName(p).constData(), 0644); },
         {},
         "it is not a regular file"},
        {"ALinkToAnEndlessDevice",
         [](const QString &p) { Sandbox::makeSymlink(p, QStringLiteral("/dev/zero")); },
         {},
         "it is not a regular file"},
        {"TooLarge",
         [&](const QString &p) { Sandbox::writeFile(p, tooLarge); },
         {},
         "it is larger than 33554432 bytes"},
    };
    const QUrl driveUrl = QUrl::fromLocalFile(sandbox.drive());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QDir(sandbox.home() + QStringLiteral("/.config")).removeRecursively();
        sandbox.writeFile(local(), encode({kept}));
        sandbox.writeFile(drive(), encode({kept, w1, w2}));
        c.make(withdrawals());
        // What stands there, and its bytes when it is a file.
        const auto kind = [](const QString &path) {
            struct stat info
            {};
            if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
                return std::pair(mode_t(0), QByteArray());
            return std::pair(mode_t(info.st_mode & S_IFMT),
                             S_ISREG(info.st_mode) ? bytesOf(path) : QByteArray());
        };
        const auto before = kind(withdrawals());
        const auto shown = [&](const QStringList &withdrawn) {
            Records expected;
            for (const MigrationRecord &r : {w2, w1, kept}) {
                if (!withdrawn.contains(r.appName))
                    expected.append(r);
            }
            return expected;
        };

        LedgerService ledger;
        EXPECT_EQ(ledger.records(), shown(c.stillWithdrawn));
        const QString log = AppLogger::shared().readRecentLines(50);
        EXPECT_TRUE(log.contains(QStringLiteral("[ERROR] [Ledger] The list of withdrawn migration "
                                                "records '") +
                                 withdrawals() + QStringLiteral("' cannot be read whole (") +
                                 QLatin1String(c.problem)))
            << log.toStdString();

        ledger.recordMigration(w3, driveUrl);
        EXPECT_FALSE(ledger.withdrawMigration(w3, driveUrl, std::nullopt));
        EXPECT_EQ(owedNames(withdrawals()), c.stillWithdrawn + QStringList{QStringLiteral("W3")});
        EXPECT_EQ(ledger.records(), shown(c.stillWithdrawn + QStringList{QStringLiteral("W3")}));
        const QStringList aside = setAside(withdrawals());
        ASSERT_EQ(aside.size(), 1);
        EXPECT_TRUE(kind(PathUtils::parentPath(withdrawals()) + QLatin1Char('/') + aside[0]) ==
                    before);
    }
}

const char *const secondWriterHome = "KORVANTHELIX_SECOND_WRITER_HOME";
const char *const secondWriterDrive = "KORVANTHELIX_SECOND_WRITER_DRIVE";
const char *const writerName = "KORVANTHELIX_WRITER_NAME";

// What one of several programs writing one drive does: records moves to the drive one after
// another, withdraws every other one again and restores every fourth. Returns "name:status" of
// those it kept.
QStringList recordAndWithdraw(LedgerService &ledger, const QString &prefix, const QString &drive)
{
    const QUrl driveUrl = QUrl::fromLocalFile(drive);
    const std::optional<FileSystemIdentity> fileSystem = FileSystemIdentity::of(drive);
    QStringList kept;
    for (int i = 0; i < 12; ++i) {
        const QString name = prefix + QString::number(i);
        const MigrationRecord r(
            QStringLiteral("2025-01-01T00:00:%1Z").arg(i, 2, 10, QLatin1Char('0')), name,
            std::nullopt, std::nullopt, QStringLiteral("/Applications/%1.app").arg(name),
            drive + QStringLiteral("/%1.app").arg(name), true, QStringLiteral("active"), {});
        try {
            const std::optional<QString> driveProblem = ledger.recordMigration(r, driveUrl);
            EXPECT_FALSE(driveProblem) << driveProblem.value_or(QString()).toStdString();
            if (i % 4 == 0) {
                ledger.updateRecordStatus(r.appOriginalPath, QStringLiteral("restored"),
                                          QStringLiteral("2025-02-01T00:00:00Z"), driveUrl);
                kept.append(name + QStringLiteral(":restored"));
            } else if (i % 2 == 0) {
                kept.append(name + QStringLiteral(":active"));
            } else {
                EXPECT_TRUE(ledger.withdrawMigration(r, driveUrl, fileSystem))
                    << name.toStdString();
            }
        } catch (const OperationError &error) {
            ADD_FAILURE() << name.toStdString() << ": " << error.message().toStdString();
        }
    }
    return kept;
}

// Two instances of the ledger, in one program, in two on one home folder, or in two of two
// users, writing their ledgers and one drive's at once: every record each kept is in every
// ledger that it wrote, as it left it, and none that either withdrew comes back.
TEST_F(LedgerServiceTest, TwoWritersLoseNothing)
{
    // Run again as another program, on its home folder and the first one's drive.
    if (qEnvironmentVariableIsSet(secondWriterHome)) {
        // A user who lets no one else read what they make.
        ::umask(077);
        SystemPaths paths = sandbox.paths();
        paths.home = qEnvironmentVariable(secondWriterHome);
        const QString theDrive = qEnvironmentVariable(secondWriterDrive);
        paths.volumesRoot = PathUtils::parentPath(theDrive);
        sandbox.system().setPaths(paths);
        sandbox.mountDrive(theDrive);
        LedgerService ledger;
        Sandbox::writeFile(paths.home + QStringLiteral("/second-ready"), "");
        ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(paths.home + QStringLiteral("/go")); },
                              60000));
        (void)recordAndWithdraw(ledger, qEnvironmentVariable(writerName), theDrive);
        return;
    }
    sandbox.mountDrive(sandbox.drive());
    const QString otherHome = Sandbox::makeFolder(sandbox.root() + QStringLiteral("/Users/other"));
    const auto listed = [](const std::optional<Records> &records) {
        QStringList out = QString::fromStdString(names(records, true)).split(QLatin1Char(' '));
        out.removeAll(QString());
        return out;
    };
    // What recordAndWithdraw() keeps of `prefix`.
    const auto keptOf = [](const QString &prefix) {
        QStringList kept;
        for (int i = 0; i < 12; i += 2)
            kept.append(prefix + QString::number(i) +
                        (i % 4 == 0 ? QStringLiteral(":restored") : QStringLiteral(":active")));
        return kept;
    };
    const auto ledgerIn = [](const QString &home, const char *name) -> QString {
        return home + QStringLiteral("/.config/korvanthelix/") + QLatin1String(name);
    };
    // Another program writing as `prefix` from `home`, as the user `uid` (0: this one).
    const auto startWriter = [&](const QString &home, const QString &prefix, int uid) {
        QStringList environment = QProcessEnvironment::systemEnvironment().toStringList();
        environment << QLatin1String(secondWriterHome) + QLatin1Char('=') + home
                    << QLatin1String(secondWriterDrive) + QLatin1Char('=') + sandbox.drive()
                    << QLatin1String(writerName) + QLatin1Char('=') + prefix;
        QStringList arguments{
            QCoreApplication::applicationFilePath(),
            QStringLiteral("--gtest_filter=LedgerServiceTest.TwoWritersLoseNothing")};
        if (uid != 0) {
            ::chown(QFile::encodeName(home).constData(), uid_t(uid), gid_t(uid));
            arguments = QStringList{QStringLiteral("--reuid=%1").arg(uid),
                                    QStringLiteral("--regid=%1").arg(uid),
                                    QStringLiteral("--clear-groups"), QStringLiteral("--")} +
                        arguments;
        }
        auto program = std::make_unique<Subprocess>(
            uid != 0 ? QStringLiteral("setpriv") : arguments.takeFirst(), arguments,
            SubprocessOptions{{}, environment, std::chrono::minutes(2)});
        EXPECT_TRUE(program->start());
        EXPECT_TRUE(waitUntil(
            [&] { return QFileInfo::exists(home + QStringLiteral("/second-ready")); }, 60000));
        return program;
    };
    const auto passed = [](Subprocess &program) {
        const SubprocessResult result = program.waitForFinished();
        EXPECT_TRUE(result.succeeded() &&
                    result.outputText().contains(QLatin1String("[  PASSED  ] 1 test")))
            << QString(result.outputText() + result.errorText()).toStdString();
    };
    enum class Writers { oneProgram, twoPrograms, twoHomes, twoUsers };
    for (const Writers writers :
         {Writers::oneProgram, Writers::twoPrograms, Writers::twoHomes, Writers::twoUsers}) {
        const bool twoUsers = writers == Writers::twoUsers;
        const bool twoHomes = writers == Writers::twoHomes || twoUsers;
        SCOPED_TRACE(writers == Writers::oneProgram    ? "one program"
                     : writers == Writers::twoPrograms ? "two programs"
                     : twoUsers                        ? "two users who keep their files private"
                                                       : "two homes");
        if (twoUsers && ::geteuid() != 0)
            continue; // only the administrator can be two other users
        const QString firstHome =
            twoUsers ? Sandbox::makeFolder(sandbox.root() + QStringLiteral("/Users/first"))
                     : sandbox.home();
        const QString secondHome = twoHomes ? otherHome : sandbox.home();
        for (const QString &home : {sandbox.home(), firstHome, otherHome}) {
            QDir(home + QStringLiteral("/.config")).removeRecursively();
            QDir(home + QStringLiteral("/Library")).removeRecursively();
            QFile::remove(home + QStringLiteral("/go"));
            QFile::remove(home + QStringLiteral("/second-ready"));
        }
        QFile::remove(drive());
        // Each user's first lock and ledger on the drive are made with that user's umask.
        QFile::remove(sandbox.drive() + QStringLiteral("/.korvanthelix_ledger.lock"));
        if (twoUsers) {
            for (const QString &folder :
                 QStringList{sandbox.root(), sandbox.root() + QStringLiteral("/Users"),
                             sandbox.volumesRoot()})
                ::chmod(QFile::encodeName(folder).constData(), 0755);
            ::chmod(QFile::encodeName(sandbox.drive()).constData(), 0777);
        }
        // Two homes meet on a drive that holds a long history: each write of it lasts.
        QStringList history;
        if (writers == Writers::twoHomes) {
            Records old;
            for (int i = 0; i < 3000; ++i) {
                old.append(record(qPrintable(QStringLiteral("Old%1").arg(i)), "00", "copied"));
                history.append(old.last().appName + QStringLiteral(":copied"));
            }
            sandbox.writeFile(drive(), encode(old));
        }
        LedgerService first, second;
        QStringList kept = keptOf(QStringLiteral("First")),
                    secondKept = keptOf(QStringLiteral("Second"));
        std::unique_ptr<Subprocess> firstProgram, secondProgram;
        QFuture<QStringList> other, mine;
        if (writers != Writers::oneProgram)
            secondProgram = startWriter(secondHome, QStringLiteral("Second"), twoUsers ? 61002 : 0);
        else
            other = QtConcurrent::run([&] {
                return recordAndWithdraw(second, QStringLiteral("Second"), sandbox.drive());
            });
        if (twoUsers)
            firstProgram = startWriter(firstHome, QStringLiteral("First"), 61001);
        else
            mine = QtConcurrent::run(
                [&] { return recordAndWithdraw(first, QStringLiteral("First"), sandbox.drive()); });
        for (const QString &home : {firstHome, secondHome})
            Sandbox::writeFile(home + QStringLiteral("/go"), "");
        if (firstProgram) {
            passed(*firstProgram);
        } else {
            EXPECT_TRUE(waitFor(mine, 120000));
            EXPECT_EQ(mine.result(), kept);
        }
        if (secondProgram) {
            passed(*secondProgram);
        } else {
            EXPECT_TRUE(waitFor(other, 120000));
            EXPECT_EQ(other.result(), secondKept);
        }
        const QStringList everyone = kept + secondKept;

        LedgerService after;
        QStringList shown = listed(after.records());
        QStringList expected = everyone + history;
        expected.sort();
        EXPECT_EQ(shown, expected);
        EXPECT_EQ(listed(decodeFile(drive())), expected);
        QStringList mineOnly = twoHomes ? kept : everyone;
        mineOnly.sort();
        EXPECT_EQ(listed(decodeFile(ledgerIn(firstHome, "migration_ledger.json"))), mineOnly);
        if (twoHomes) {
            QStringList theirs = secondKept;
            theirs.sort();
            EXPECT_EQ(listed(decodeFile(ledgerIn(otherHome, "migration_ledger.json"))), theirs);
        }
        if (twoUsers) {
            struct stat lock
            {};
            ASSERT_EQ(::stat(QFile::encodeName(sandbox.drive() +
                                               QStringLiteral("/.korvanthelix_ledger.lock"))
                                 .constData(),
                             &lock),
                      0);
            EXPECT_EQ(lock.st_mode & 0777, 0666u) << "one lock for every user";
        }
        for (const QString &home : {firstHome, otherHome}) {
            EXPECT_EQ(owedNames(ledgerIn(home, "withdrawn_migrations.json")), QStringList());
            EXPECT_FALSE(QFileInfo::exists(ledgerIn(home, "owed")) &&
                         !QDir(ledgerIn(home, "owed")).isEmpty())
                << "nothing owed";
        }
        ::chown(QFile::encodeName(otherHome).constData(), 0, 0);
    }
}

// Another program holds a lock and does not let go: every change gives up within the wait limit
// with one clear message (or, for the drive's ledger of an offload, says that ledger did not
// take the record), the settling leaves what is owed for later, and nothing that only reads
// waits at all, not even behind a worker of its own program that waits.
TEST_F(LedgerServiceTest, NoWriterWaitsLongerThanTheLimit)
{
    const MigrationRecord kept = record("Kept", "01"), owed = record("W", "02"),
                          next = record("Next", "03");
    const QUrl driveUrl = QUrl::fromLocalFile(sandbox.drive());
    const std::string busy = FileLock::busyMessage().toStdString();
    struct Case
    {
        const char *name;
        bool driveLocked; // else the home folder's lock
        std::function<std::string(LedgerService &)> operation;
        std::string outcome; // "busy": the busy message thrown
        QStringList owedAfter = {QStringLiteral("W")};
        // The history at once, while the holder still holds; then, with the holder gone, what
        // both ledgers say once the next scan settled (unless empty).
        std::string shown = "Kept:active";
        std::string settled = "";
    };
    const auto done = [](std::function<void(LedgerService &)> operation) {
        return [operation](LedgerService &l) {
            operation(l);
            return std::string("done");
        };
    };
    const auto status = [&](LedgerService &l) {
        return std::string(l.updateRecordStatus(kept.appOriginalPath, QStringLiteral("restored"),
                                                std::nullopt, driveUrl)
                               ? "owed"
                               : "done");
    };
    const auto remember = done([&](LedgerService &l) { l.rememberWithdrawal(kept, driveUrl); });
    const auto recordNext = [&](LedgerService &l) {
        return l.recordMigration(next, driveUrl).value_or(QStringLiteral("recorded")).toStdString();
    };
    const auto withdraw = [&](LedgerService &l) {
        return std::string(
            l.withdrawMigration(kept, driveUrl, FileSystemIdentity::of(sandbox.drive()))
                ? "withdrawn"
                : "owed");
    };
    const auto settle = [&](LedgerService &l) {
        l.settleOwedChanges();
        return owedNames(withdrawals()).join(QLatin1Char(' ')).toStdString();
    };
    const Case cases[] = {
        {"Record", false, recordNext, "busy"},
        {"Withdraw", false, withdraw, "busy"},
        {"RememberWithdrawal", false, remember, "done", {QStringLiteral("W")}, ""},
        {"Status", false, status, "owed", {QStringLiteral("W")}, "Kept:restored", "Kept:restored"},
        {"Delete", false, done([](LedgerService &l) { l.deleteRecord(QStringLiteral("x")); }),
         "busy"},
        {"Purge", false, done([](LedgerService &l) { l.purgeTestRecords(); }), "busy"},
        {"Clear", false, done([](LedgerService &l) { l.clearAllHistory(); }), "busy"},
        {"Settle", false, settle, "W"},
        {"RecordOnALockedDrive",
         true,
         recordNext,
         "another Korvanthelix window is saving the migration history",
         {QStringLiteral("W")},
         "Kept:active Next:active",
         "Kept:active Next:active"},
        {"WithdrawOnALockedDrive",
         true,
         withdraw,
         "owed",
         {QStringLiteral("W"), QStringLiteral("Kept")},
         ""},
        {"StatusOnALockedDrive",
         true,
         status,
         "owed",
         {QStringLiteral("W")},
         "Kept:restored",
         "Kept:restored"},
        {"SettleOnALockedDrive", true, settle, "W"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QDir(sandbox.home() + QStringLiteral("/.config")).removeRecursively();
        QFile::remove(drive());
        sandbox.mountDrive(sandbox.drive());
        LedgerService ledger;
        ledger.setWriterWaitLimit(std::chrono::milliseconds(500));
        ledger.recordMigration(kept, driveUrl);
        ledger.recordMigration(owed, driveUrl);
        EXPECT_FALSE(ledger.withdrawMigration(owed, driveUrl, std::nullopt));
        const QByteArray drive = bytesOf(this->drive());
        StoppedHolder holder(
            c.driveLocked ? sandbox.drive() + QStringLiteral("/.korvanthelix_ledger.lock")
                          : sandbox.home() + QStringLiteral("/.config/korvanthelix/ledgers.lock"));
        ASSERT_TRUE(holder.holding());
        QFuture<std::string> running = QtConcurrent::run([&] {
            try {
                return c.operation(ledger);
            } catch (const OperationError &error) {
                return error.message().toStdString() == busy ? std::string("busy")
                                                             : error.message().toStdString();
            }
        });
        // Once the worker waits, the list is read again at once, by this thread as by the
        // window's.
        QThread::msleep(150);
        QElapsedTimer clock;
        clock.start();
        ledger.loadRecords();
        EXPECT_LT(clock.elapsed(), 300);
        EXPECT_TRUE(waitFor(running, 5000));
        EXPECT_EQ(names(ledger.records()), c.shown);
        holder.release();
        EXPECT_EQ(running.result(), c.outcome);
        if (c.driveLocked) {
            EXPECT_EQ(bytesOf(this->drive()), drive) << "the drive's ledger was not written";
        }
        EXPECT_EQ(owedNames(withdrawals()), c.owedAfter);
        if (!c.settled.empty()) {
            ledger.settleOwedChanges();
            EXPECT_EQ(names(decodeFile(this->drive())), c.settled);
            EXPECT_EQ(names(decodeFile(local())), c.settled);
        }
    }
}

// A lock file that is not a file is never written past: a link makes way for a file, a folder
// is refused with a message, for the home folder's lock as for a drive's.
TEST_F(LedgerServiceTest, ALockThatIsNotAFileIsReplacedOrRefused)
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
TEST_F(LedgerServiceTest, AMarkSaysWhoHoldsIt)
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

TEST_F(LedgerServiceTest, DeletePurgeAndClearRewriteOnlyTheHomeLedgers)
{
    const MigrationRecord a = record("A", "01"), onDrive = record("D", "03");
    MigrationRecord twin = record("A", "01", "copied"); // same id, another place
    twin.appOriginalPath = QStringLiteral("/Applications/Tools/A.app");
    const MigrationRecord sample = record("SampleApp", "02");
    sandbox.writeFile(local(), encode({a, twin, sample}));
    sandbox.writeFile(drive(), encode({onDrive}));
    LedgerService ledger;

    ledger.deleteRecord(QStringLiteral("no such id"));
    EXPECT_EQ(decodeFile(local()), Records({sample, twin, a})) << "no drive record copied";
    EXPECT_EQ(decodeFile(rebuild()), decodeFile(local()));
    // Another home takes the drive's record back: this one no longer lists it.
    sandbox.writeFile(drive(), encode({}));
    ledger.loadRecords();
    EXPECT_EQ(names(ledger.records(), true), "A:active A:copied SampleApp:active");
    sandbox.writeFile(drive(), encode({onDrive}));
    ledger.purgeTestRecords();
    EXPECT_EQ(names(decodeFile(rebuild()), true), "A:active A:copied");
    ledger.deleteRecord(a.id());
    EXPECT_EQ(names(decodeFile(local())), "");
    ledger.clearAllHistory();
    EXPECT_EQ(decodeFile(local()), Records());
    EXPECT_EQ(decodeFile(rebuild()), Records());
    EXPECT_EQ(ledger.records(), Records{onDrive}) << "the drive keeps its copy";
}

TEST_F(LedgerServiceTest, ADeleteKeepsWhatWasWrittenOrShownSinceTheLastLoad)
{
    const MigrationRecord a = record("A", "01"), b = record("B", "02");
    sandbox.writeFile(local(), encode({a, b}));
    sandbox.writeFile(drive(), encode({record("D", "04")}));
    LedgerService ledger;
    // Another thread appended a record whose reload has not reached the list yet, and the
    // drive was unplugged since the last load: its record is not the home's to keep.
    sandbox.writeFile(local(), encode({a, b, record("New", "03")}));
    QFile::remove(drive());
    ledger.deleteRecord(b.id());
    EXPECT_EQ(names(ledger.records(), true), "A:active New:active");
}

TEST(LedgerServiceRuleTest, TestRecords)
{
    const std::tuple<const char *, const char *, const char *, bool> cases[] = {
        {"Editor", "/Applications/Editor.app", "/Volumes/D/Editor.app", true},
        {"My SampleApp", "/Applications/S.app", "", false},
        {"TESTAPP 2", "/Applications/T.app", "", false},
        {"Test App", "/Applications/Test App.app", "", true},
        {"Editor", "/private/var/x/Editor.app", "", false},
        {"Editor", "/Var/Folders/ab/Editor.app", "", false},
        {"Editor", "/Applications/tmp/Editor.app", "", false}, // a plain substring test
        {"Editor", "/Applications/tmpl/Editor.app", "", true},
        {"Editor", "/Applications/Editor.app", "/TMP/Editor.app", false},
        {"Editor", "/Applications/Editor.app", "/private/var/Editor.app", true},
    };
    for (const auto &[name, path, target, real] : cases) {
        const MigrationRecord r(QStringLiteral("t"), QString::fromLatin1(name), std::nullopt,
                                std::nullopt, QString::fromLatin1(path),
                                *target ? std::optional(QString::fromLatin1(target)) : std::nullopt,
                                true, QStringLiteral("active"), {});
        EXPECT_EQ(LedgerService::isRealRecord(r), real) << name << " " << path << " " << target;
    }
}

} // namespace
