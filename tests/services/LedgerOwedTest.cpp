#include "services/LedgerService.h"

#include "base/OperationError.h"
#include "base/PathUtils.h"
#include "services/AppLogger.h"
#include "services/FileLock.h"
#include "services/LedgerFixture.h"
#include "support/StoppedHolder.h"
#include "support/Wait.h"

#include <QElapsedTimer>
#include <QThread>
#include <QtConcurrent>

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

} // namespace
