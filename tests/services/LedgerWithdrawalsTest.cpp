#include "services/LedgerService.h"

#include "base/OperationError.h"
#include "base/PathUtils.h"
#include "services/AppLogger.h"
#include "services/FileLock.h"
#include "services/LedgerFixture.h"
#include "support/FaultyStorage.h"
#include "support/PrivateMounts.h"

#include <sys/stat.h>

namespace {

using namespace LedgerTesting;

class LedgerWithdrawalsTest : public LedgerFixture
{};

// A withdrawal ends only once the Mac's ledgers and the drive that was given the record are read
// whole and list it no more; whatever happens to them meanwhile, the record stays out of the
// list, and each gives it up once it is back and sound.
TEST_F(LedgerWithdrawalsTest, AWithdrawalEndsOnlyWhenEveryLedgerIsReadClear)
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
TEST_F(LedgerWithdrawalsTest, AnOwedWithdrawalEndsWhereNoLedgerListsIt)
{
    const MigrationRecord kept = record("Kept", "01"), withdrawn = record("W", "02");
    const QUrl driveUrl = QUrl::fromLocalFile(sandbox.drive());
    const struct
    {
        const char *name;
        bool driveLedgerThere;
        QStringList owedAfter;
        bool givenToNoDrive = false; // withdrawn without a drive's folder
    } cases[] = {
        {"ADriveLedgerThatNeverListedIt", true, {}},
        {"ADriveLedgerThatIsMissing", false, {QStringLiteral("W")}},
        // As a record whose write gave up after a settling gave it to the Mac's ledger alone.
        {"ARecordNoDriveWasGiven", false, {}, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        startAfresh();
        LedgerService ledger;
        ledger.recordMigration(kept, driveUrl);
        ledger.recordMigration(withdrawn); // the drive never took it
        EXPECT_FALSE(ledger.withdrawMigration(withdrawn, c.givenToNoDrive ? QUrl() : driveUrl,
                                              std::nullopt));
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
TEST_F(LedgerWithdrawalsTest, AWithdrawalOnAFullMacStaysOwed)
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
TEST_F(LedgerWithdrawalsTest, DamagedWithdrawalsAreToldAndKept)
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

} // namespace
