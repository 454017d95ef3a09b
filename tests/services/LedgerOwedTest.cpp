#include "services/LedgerService.h"

#include "base/OperationError.h"
#include "base/PathUtils.h"
#include "base/Subprocess.h"
#include "services/AppLogger.h"
#include "services/FileLock.h"
#include "services/LedgerFixture.h"
#include "support/StoppedHolder.h"
#include "support/Wait.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcessEnvironment>
#include <QThread>
#include <QtConcurrent>
#include <algorithm>

namespace {

using namespace LedgerTesting;

class LedgerOwedTest : public LedgerFixture
{};

// Another program holds a lock and does not let go: every change gives up within the wait limit
// with one clear message (or, for the drive's ledger of an offload, says that ledger did not
// take the record), the settling leaves what is owed for later, and nothing that only reads
// waits at all, not even behind a worker of its own program that waits.
TEST_F(LedgerOwedTest, NoWriterWaitsLongerThanTheLimit)
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
        // both ledgers say once the next scan settled (unless nothing).
        std::string shown = "Kept:active";
        std::optional<std::string> settled = std::nullopt;
        // Done while the operation waits, by the program that holds the lock.
        std::function<void()> meanwhile = {};
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
    // A record owed to the drive, then restored before the drive took it.
    const auto recordThenRestore = [&](LedgerService &l) {
        (void)l.recordMigration(next, driveUrl);
        return l
            .updateRecordStatus(next.appOriginalPath, QStringLiteral("restored"), std::nullopt,
                                driveUrl)
            .value_or(QStringLiteral("nothing owed"))
            .toStdString();
    };
    const Case cases[] = {
        {"Record", false, recordNext, "busy"},
        // The holder's settling took the record owed and gave it to the Mac's ledger, then kept
        // the lock past the wait: the record the offload did not get is not left in force.
        {"RecordGivenByTheHoldersSettling",
         false,
         recordNext,
         "busy",
         {QStringLiteral("W")},
         "Kept:active",
         "Kept:active",
         [&] { sandbox.writeFile(local(), encode(decodeFile(local()).value() + Records{next})); }},
        // Owed before the wait: once the holder is gone, the settling takes it out of both.
        {"Withdraw", false, withdraw, "busy", {QStringLiteral("W")}, "", ""},
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
        // The drive is given the record as the Mac's ledger has it by then, never as it was
        // first written.
        {"RestoreOfARecordOwedToALockedDrive",
         true,
         recordThenRestore,
         "The drive's own ledger could not take it yet; the drive 'Drive' will be updated when it "
         "is next free.",
         {QStringLiteral("W")},
         "Kept:active Next:restored",
         "Kept:active Next:restored"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        startAfresh();
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
        if (c.meanwhile)
            c.meanwhile();
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
        if (c.settled) {
            ledger.settleOwedChanges();
            EXPECT_EQ(names(decodeFile(this->drive())), *c.settled);
            EXPECT_EQ(names(decodeFile(local())), *c.settled);
        }
    }
}

const char *const cutShortRow = "KORVANTHELIX_CUT_SHORT_ROW";
const char *const cutShortHome = "KORVANTHELIX_CUT_SHORT_HOME";
const char *const cutShortDrive = "KORVANTHELIX_CUT_SHORT_DRIVE";

// The names of the owed changes' files, which say their kinds; none of a file still being
// written.
QStringList owedFiles(const QString &home)
{
    return QDir(home + QStringLiteral("/.config/korvanthelix/owed"))
        .entryList({QStringLiteral("*.json")}, QDir::Files);
}

// A program that ends, killed, while its change waits for a lock another program holds: the
// change was owed before the wait, so the next start's settling does it.
TEST_F(LedgerOwedTest, AChangeCutShortWhileItWaitsIsOwed)
{
    const bool child = qEnvironmentVariableIsSet(cutShortRow);
    const QString home = child ? qEnvironmentVariable(cutShortHome) : sandbox.home();
    const QString theDrive = child ? qEnvironmentVariable(cutShortDrive) : sandbox.drive();
    const QUrl driveUrl = QUrl::fromLocalFile(theDrive);
    const MigrationRecord kept = record("Kept", "01"), next = record("Next", "03");
    struct Case
    {
        const char *name;
        bool driveLocked; // else the home folder's lock
        std::function<void(LedgerService &)> operation;
        // The program waits for the lock by now.
        std::function<bool()> waiting;
        std::string settled; // what both ledgers say once the next start settled
    };
    const auto owes = [home](const char *kind) {
        return [home, kind] {
            const QStringList files = owedFiles(home);
            return std::any_of(files.cbegin(), files.cend(), [kind](const QString &file) {
                return file.startsWith(QLatin1String(kind));
            });
        };
    };
    const Case cases[] = {
        {"ARecordWaitingForTheDrive", true,
         [&](LedgerService &l) { (void)l.recordMigration(next, driveUrl); },
         [&] { return decodeFile(local()).value_or(Records()).contains(next); },
         "Kept:active Next:active"},
        {"ARecordWaitingForTheMac", false,
         [&](LedgerService &l) { (void)l.recordMigration(next, driveUrl); }, owes("append"),
         "Kept:active Next:active"},
        {"AWithdrawalWaitingForTheMac", false,
         [&](LedgerService &l) {
             (void)l.withdrawMigration(kept, driveUrl, FileSystemIdentity::of(theDrive));
         },
         owes("withdrawal"), ""},
    };
    if (child) {
        SystemPaths paths = sandbox.paths();
        paths.home = home;
        paths.volumesRoot = PathUtils::parentPath(theDrive);
        sandbox.system().setPaths(paths);
        sandbox.mountDrive(theDrive);
        LedgerService ledger;
        ledger.setWriterWaitLimit(std::chrono::minutes(2));
        for (const Case &c : cases) {
            if (qEnvironmentVariable(cutShortRow) == QLatin1String(c.name))
                c.operation(ledger);
        }
        return;
    }
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        startAfresh();
        {
            LedgerService ledger;
            ledger.recordMigration(kept, driveUrl);
        }
        StoppedHolder holder(
            c.driveLocked ? sandbox.drive() + QStringLiteral("/.korvanthelix_ledger.lock")
                          : sandbox.home() + QStringLiteral("/.config/korvanthelix/ledgers.lock"));
        ASSERT_TRUE(holder.holding());
        QStringList environment = QProcessEnvironment::systemEnvironment().toStringList();
        environment << QLatin1String(cutShortRow) + QLatin1Char('=') + QLatin1String(c.name)
                    << QLatin1String(cutShortHome) + QLatin1Char('=') + sandbox.home()
                    << QLatin1String(cutShortDrive) + QLatin1Char('=') + sandbox.drive();
        Subprocess program(
            QCoreApplication::applicationFilePath(),
            {QStringLiteral("--gtest_filter=LedgerOwedTest.AChangeCutShortWhileItWaitsIsOwed")},
            SubprocessOptions{{}, environment, std::chrono::minutes(2)});
        ASSERT_TRUE(program.start());
        EXPECT_TRUE(waitUntil(c.waiting, 20000));
        // Killed as it waits: it neither ends its wait nor says anything.
        program.terminate();
        (void)program.waitForFinished();
        holder.release();

        LedgerService again;
        again.settleOwedChanges();

        EXPECT_EQ(names(decodeFile(drive())), c.settled);
        EXPECT_EQ(names(decodeFile(local())), c.settled);
        EXPECT_EQ(names(again.records(), true), c.settled);
        EXPECT_EQ(owedFiles(sandbox.home()), QStringList());
    }
}

} // namespace
