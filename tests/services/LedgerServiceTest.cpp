#include "services/LedgerService.h"

#include "base/OperationError.h"
#include "base/PathUtils.h"
#include "base/Subprocess.h"
#include "services/AppLogger.h"
#include "services/FileLock.h"
#include "services/LedgerFixture.h"
#include "support/Wait.h"

#include <QProcessEnvironment>
#include <QThread>
#include <QtConcurrent>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace LedgerTesting;

class LedgerServiceTest : public LedgerFixture
{};

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

// A removal from the history takes out what was listed when it was asked, and says what stays:
// what a connected drive's own ledger lists, which no removal changes, and nothing recorded
// since, even while the removal waited for another program of this home.
TEST_F(LedgerServiceTest, ARemovalSaysWhatStays)
{
    const MigrationRecord a = record("A", "01"), b = record("B", "02"),
                          sample = record("SampleApp", "03"), later = record("Later", "04");
    struct Case
    {
        const char *name;
        std::function<HistoryRemoval(LedgerService &)> remove;
        int removed;
        std::string keptByDrives; // sorted
        QStringList keepingDrives;
        std::string onTheMac; // what the Mac's ledger lists afterwards, sorted
        // Another program of this home holds the lock when the removal is asked, records Later
        // meanwhile and lets go.
        bool recordedMeanwhile = false;
    };
    const Case cases[] = {
        {"DeleteAnEntryADriveLists",
         [&](LedgerService &l) { return l.deleteRecord(a.id()); },
         0,
         "A:active",
         {QStringLiteral("Drive")},
         "B:active SampleApp:active"},
        {"DeleteAnEntryOnlyTheMacLists",
         [&](LedgerService &l) { return l.deleteRecord(b.id()); },
         1,
         "",
         {},
         "A:active SampleApp:active"},
        {"Purge",
         [](LedgerService &l) { return l.purgeTestRecords(); },
         0,
         "SampleApp:active",
         {QStringLiteral("Drive")},
         "A:active B:active"},
        {"Clear",
         [](LedgerService &l) { return l.clearAllHistory(); },
         1,
         "A:active SampleApp:active",
         {QStringLiteral("Drive")},
         ""},
        {"ClearAskedBeforeARecord",
         [](LedgerService &l) { return l.clearAllHistory(); },
         1,
         "A:active SampleApp:active",
         {QStringLiteral("Drive")},
         "Later:active",
         true},
    };
    const QString lock = sandbox.home() + QStringLiteral("/.config/korvanthelix/ledgers.lock");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QDir(sandbox.home() + QStringLiteral("/.config")).removeRecursively();
        sandbox.writeFile(local(), encode({a, b, sample}));
        sandbox.writeFile(drive(), encode({a, sample}));
        LedgerService ledger;
        int holder = -1;
        if (c.recordedMeanwhile) {
            holder =
                ::open(QFile::encodeName(lock).constData(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
            ASSERT_EQ(::flock(holder, LOCK_EX), 0);
        }
        QFuture<HistoryRemoval> removing = QtConcurrent::run([&] { return c.remove(ledger); });
        if (c.recordedMeanwhile) {
            QThread::msleep(150);
            sandbox.writeFile(local(), encode({a, b, sample, later}));
            ::close(holder);
        }
        ASSERT_TRUE(waitFor(removing));
        const HistoryRemoval removal = removing.result();
        EXPECT_EQ(removal.removed, c.removed);
        EXPECT_EQ(names(removal.keptByDrives, true), c.keptByDrives);
        EXPECT_EQ(removal.keepingDrives, c.keepingDrives);
        EXPECT_EQ(removal.notRemoved, 0);
        EXPECT_EQ(names(decodeFile(local()), true), c.onTheMac);
        EXPECT_EQ(bytesOf(drive()), encode({a, sample})) << "the drive's ledger is left as it is";
    }
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
