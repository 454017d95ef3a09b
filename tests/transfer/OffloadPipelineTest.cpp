#include "platform/FakeDarwinCalls.h"
#include "platform/macos/MacStorage.h"
#include "services/AppLogger.h"
#include "support/FakeTool.h"
#include "support/FaultyStorage.h"
#include "support/StoppedHolder.h"
#include "support/WithdrawnRecord.h"
#include "transfer/DriveLayout.h"
#include "transfer/LocalRollback.h"
#include "transfer/OffloadPipelineFixture.h"
#include "transfer/RestoreEngine.h"
#include "transfer/StagingCleaner.h"

#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <gtest/gtest.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

using Steps = QList<std::pair<QString, double>>;

struct ProgressCase
{
    const char *name;
    Operation operation;
    int supportFolders;
    bool folderIsLink; // the one folder is already a link: never copied
    Steps steps;
    bool overItsBackup = false;
};

class OffloadPipelineRuns : public ::testing::TestWithParam<ProgressCase>
{};

TEST_P(OffloadPipelineRuns, PublishesEachStepAndRecordsTheResult)
{
    const ProgressCase &c = GetParam();
    PipelineScenario scenario(c.operation, c.supportFolders, c.overItsBackup);
    if (c.folderIsLink) {
        // Not part of the run: it stays as it is.
        scenario.app.supportFolders.first().isSymlink = true;
        scenario.originals.removeLast();
    }
    ASSERT_EQ(scenario.run(), 0) << scenario.errorMessage.toStdString();

    Steps published;
    for (const OffloadProgress &progress : std::as_const(scenario.published))
        published.append({progress.currentStep, progress.percent});
    ASSERT_EQ(published.size(), c.steps.size()) << published.last().first.toStdString();
    for (qsizetype i = 0; i < published.size(); ++i) {
        EXPECT_EQ(published.at(i).first, c.steps.at(i).first);
        EXPECT_DOUBLE_EQ(published.at(i).second, c.steps.at(i).second) << i;
    }
    EXPECT_TRUE(scenario.engine.progress().isComplete);
    EXPECT_FALSE(scenario.engine.isOffloading());

    // A backup update lists no folders; a re-offload carries over those of the first offload.
    const bool moved = c.operation == Operation::offload || c.operation == Operation::reoffload;
    const qsizetype folders =
        c.operation == Operation::updateBackup || c.folderIsLink ? 0 : c.supportFolders;
    const std::optional<MigrationRecord> record = scenario.newRecord();
    ASSERT_TRUE(record);
    EXPECT_EQ(record->status, moved ? QStringLiteral("active") : QStringLiteral("copied"));
    EXPECT_EQ(record->movedApp, moved);
    EXPECT_EQ(record->appTargetPath, scenario.finalBundle);
    EXPECT_EQ(record->supportFolders.size(), folders);
    for (const SupportFolderRecord &folder : record->supportFolders)
        EXPECT_EQ(folder.symlinkCreated, moved);
    expectSucceeded(scenario);
    if (c.folderIsLink) {
        const QString support = scenario.sandbox.userSupport();
        EXPECT_EQ(digestTree(support), scenario.macBefore.value(support));
    }
    // Nothing moved aside stays behind after a success, on the Mac nor on the drive.
    for (const PipelineScenario::Original &original : scenario.originals)
        EXPECT_TRUE(movedAsideSiblings(original.path).isEmpty());
    EXPECT_EQ(QDir(PathUtils::parentPath(scenario.finalBundle))
                  .entryList({QStringLiteral("*.rollback-*")}, QDir::AllEntries | QDir::Hidden),
              QStringList());
    // An offload or a copy takes its place with one record in force; a re-offload keeps the first
    // offload's record beside its own.
    const QList<MigrationRecord> records = scenario.ledger.records();
    const auto inForceAtTheBundle =
        std::count_if(records.cbegin(), records.cend(), [&](const MigrationRecord &r) {
            return r.appTargetPath == scenario.finalBundle &&
                   r.status != MigrationStatus::restored();
        });
    EXPECT_EQ(inForceAtTheBundle,
              c.operation == Operation::reoffload || c.operation == Operation::updateBackup ? 2
                                                                                            : 1);
}

const QString preflightOffload =
    QStringLiteral("Preflight validation for offloading (move & link)...");
const QString copyBundle = QStringLiteral("Copying app bundle: Foo...");
const QString verifyBundle = QStringLiteral("Verifying application bundle integrity...");
const QString makeProxy = QStringLiteral("Creating native macOS App Proxy in Applications...");
const QString saveLedger = QStringLiteral("Saving migration ledger...");
const Steps offloadWithOneFolder{{preflightOffload, 0.05},
                                 {QStringLiteral("Copying support data: Foo..."), 0.2},
                                 {QStringLiteral("Verifying support copy: Foo..."), 0.2},
                                 {copyBundle, 0.6},
                                 {verifyBundle, 0.7},
                                 {makeProxy, 0.7},
                                 {saveLedger, 0.95},
                                 {QStringLiteral("Migration complete!"), 1.0}};

INSTANTIATE_TEST_SUITE_P(
    OffloadPipeline, OffloadPipelineRuns,
    ::testing::Values(
        ProgressCase{"OffloadWithoutFolders",
                     Operation::offload,
                     0,
                     false,
                     {{preflightOffload, 0.05},
                      {copyBundle, 1.0 / 3},
                      {verifyBundle, 0.5},
                      {makeProxy, 0.5},
                      {saveLedger, 0.95},
                      {QStringLiteral("Migration complete!"), 1.0}}},
        ProgressCase{"OffloadSkipsALinkedFolder",
                     Operation::offload,
                     1,
                     true,
                     {{preflightOffload, 0.05},
                      {copyBundle, 1.0 / 3},
                      {verifyBundle, 0.5},
                      {makeProxy, 0.5},
                      {saveLedger, 0.95},
                      {QStringLiteral("Migration complete!"), 1.0}}},
        ProgressCase{"OffloadWithOneFolder", Operation::offload, 1, false, offloadWithOneFolder},
        ProgressCase{"OffloadOverItsBackup", Operation::offload, 1, false, offloadWithOneFolder,
                     true},
        ProgressCase{"CopyOnly",
                     Operation::copyOnly,
                     1,
                     false,
                     {{QStringLiteral("Preflight validation for copying (backup)..."), 0.05},
                      {QStringLiteral("Copying support data: Foo..."), 0.2},
                      {QStringLiteral("Verifying support copy: Foo..."), 0.2},
                      {copyBundle, 0.6},
                      {verifyBundle, 0.7},
                      {saveLedger, 0.95},
                      {QStringLiteral("Copy backup complete!"), 1.0}}},
        ProgressCase{"BackupUpdate",
                     Operation::updateBackup,
                     1,
                     false,
                     {{QStringLiteral("Preflight check for backup update..."), 0.1},
                      {QStringLiteral("Copying updated Foo to 'Drive'..."), 0.3},
                      {QStringLiteral("Verifying updated app backup integrity..."), 0.7},
                      {QStringLiteral("Backup updated successfully!"), 1.0}}},
        ProgressCase{
            "Reoffload",
            Operation::reoffload,
            1,
            false,
            {{QStringLiteral("Preflight check for re-offloading updated app..."), 0.1},
             {QStringLiteral("Transferring updated application binary to 'Drive'..."), 0.35},
             {QStringLiteral("Verifying application binary integrity..."), 0.7},
             {QStringLiteral("Replacing local binary with App Proxy in /Applications..."), 0.85},
             {QStringLiteral("Re-offload complete! Settings retained & space freed on Mac."),
              1.0}}}),
    [](const auto &info) { return std::string(info.param.name); });

// --- The application's stand-in ---

struct StandInCase
{
    const char *name;
    bool aliasFails;
    bool putBackFails;
};

class OffloadPipelineStandIn : public ::testing::TestWithParam<StandInCase>
{};

TEST_P(OffloadPipelineStandIn, ProxyElseAliasElseTheAppGoesBack)
{
    const StandInCase &c = GetParam();
    PipelineScenario scenario(Operation::offload, 0);
    // No launcher to put in a proxy: the program carries none and cannot compile one.
    FakeBundleServices &services = scenario.sandbox.system().fakeBundleServices();
    services.setProgramResource(QStringLiteral("ProxyLauncher"), std::nullopt);
    services.setProgramBundlePath(QString());
    const QString appPath = scenario.app.url.toLocalFile();
    scenario.ops->failWhere([&](const QString &call) {
        return (c.aliasFails && call.startsWith(QStringLiteral("createFinderAlias"))) ||
               (c.putBackFails && call.startsWith(QStringLiteral("move ")) &&
                call.endsWith(QStringLiteral(" -> ") + appPath));
    });

    const int code = scenario.run();
    expectNothingLost(scenario);
    if (!c.aliasFails) {
        EXPECT_EQ(code, 0);
        EXPECT_EQ(PathUtils::linkText(appPath), scenario.finalBundle);
        EXPECT_EQ(scenario.newRecord()->status, QStringLiteral("active"));
        return;
    }
    const QString aliasError = QStringLiteral("Injected failure: createFinderAlias ") + appPath;
    EXPECT_TRUE(scenario.ledger.records().isEmpty());
    EXPECT_EQ(digestTree(scenario.finalBundle), scenario.originals.first().digest);
    if (!c.putBackFails) {
        EXPECT_EQ(scenario.errorMessage, aliasError);
        EXPECT_TRUE(scenario.macUnchanged());
        return;
    }
    const QStringList aside = movedAsideSiblings(appPath);
    ASSERT_EQ(aside.size(), 1);
    EXPECT_EQ(code, 302);
    EXPECT_EQ(scenario.errorMessage, QStringLiteral("Proxy creation failed (") + aliasError +
                                         QStringLiteral(") and rollback to '") + appPath +
                                         QStringLiteral("' failed (Injected failure: move ") +
                                         aside.first() + QStringLiteral(" -> ") + appPath +
                                         QStringLiteral("). Backup remains at '") + aside.first() +
                                         QStringLiteral("'."));
}

INSTANTIATE_TEST_SUITE_P(OffloadPipeline, OffloadPipelineStandIn,
                         ::testing::Values(StandInCase{"AliasInstead", false, false},
                                           StandInCase{"AppPutBack", true, false},
                                           StandInCase{"PutBackFails", true, true}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(OffloadPipeline, CancelledBundleCopyKeepsCommittedFoldersAndLeavesTheMacAlone)
{
    PipelineScenario scenario(Operation::offload, 1);
    FakeTool tool(QStringLiteral("copy"),
                  QStringLiteral("case \"$2\" in *Foo.app.korvanthelix-partial) mkdir -p \"$2\"; "
                                 "echo > \"$2/part\"; exec sleep 30;; esac; exec ") +
                      platformCopyShell());
    scenario.sandbox.system().setCopyTool([&](const QString &source, const QString &destination) {
        return QStringList{tool.path(), source, destination};
    });
    const QString staged =
        DriveLayout::stagedLocation(QUrl::fromLocalFile(scenario.finalBundle)).toLocalFile();

    QFuture<void> operation = scenario.start();
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(staged + QStringLiteral("/part")); }));
    scenario.engine.cancelCurrentOperation();
    EXPECT_EQ(scenario.finish(operation), 3072);

    EXPECT_EQ(scenario.engine.progress().error, QStringLiteral("Operation cancelled by user."));
    EXPECT_TRUE(scenario.engine.isCancelling());
    EXPECT_FALSE(PathUtils::existsNoFollow(staged));
    EXPECT_EQ(digestTree(scenario.sandbox.drive() + QStringLiteral("/Application Support/Foo")),
              scenario.originals.at(1).digest);
    EXPECT_TRUE(scenario.macUnchanged());
    EXPECT_TRUE(scenario.ledger.records().isEmpty());
}

// --- Places on the drive that are taken ---

struct CollisionCase
{
    const char *name;
    Operation operation;
    const char *owner;             // below the sandbox root: the source whose copy is in the way
    const char *location;          // below the drive: the place both claim
    bool ownerIsFolder;            // the record lists the owner as a support folder
    bool inTheSameRun;             // no record: the run itself holds a second folder of that name
    const char *status = "active"; // of the owner's record
    // Where the owner's record is: this home's ledger; only the drive's ledger (another Mac with
    // the same paths, or this one after its history was cleared), with the owner's copy at the
    // place; or nowhere readable, the drive's ledger damaged and something at the place.
    enum class Claim { home, otherMac, unreadableLedger } claim = Claim::home;
};

void PrintTo(const CollisionCase &c, std::ostream *out)
{
    *out << c.name;
}

class OffloadPipelineCollisions : public ::testing::TestWithParam<CollisionCase>
{};

TEST_P(OffloadPipelineCollisions, AreRefusedBeforeAnythingIsCopied)
{
    const CollisionCase &c = GetParam();
    PipelineScenario scenario(c.operation, 1);
    const QString owner = scenario.sandbox.path(QString::fromUtf8(c.owner));
    const QString location =
        scenario.sandbox.drive() + QLatin1Char('/') + QString::fromUtf8(c.location);
    const QString status = QString::fromUtf8(c.status);
    const QString driveLedgerPath =
        scenario.sandbox.drive() + QLatin1Char('/') + LedgerService::driveLedgerFileName();
    if (c.inTheSameRun) {
        scenario.addSupportFolder(scenario.sandbox.systemSupport() + QStringLiteral("/Foo"));
    } else if (c.claim != CollisionCase::Claim::home) {
        for (int i = 0; i < 10; ++i)
            Sandbox::writeFile(location + QStringLiteral("/data-%1").arg(i), "theirs");
        if (c.claim == CollisionCase::Claim::unreadableLedger) {
            Sandbox::writeFile(driveLedgerPath, "[{\"app_name\": ");
        } else if (c.operation == Operation::updateBackup || c.operation == Operation::reoffload) {
            // What this Mac recorded of its copy there went with its history.
            ASSERT_TRUE(QFile::remove(scenario.ledger.ledgerFileURL().toLocalFile()));
        } else {
            MigrationRecord record(QStringLiteral("2024-03-03T00:00:00Z"), QStringLiteral("Foo"),
                                   std::nullopt, std::nullopt,
                                   c.ownerIsFolder ? scenario.app.url.toLocalFile() : owner,
                                   c.ownerIsFolder ? scenario.finalBundle : location,
                                   status == MigrationStatus::active(), status, {});
            if (c.ownerIsFolder)
                record.supportFolders.append(
                    {owner, location, QStringLiteral("Foo"), status == MigrationStatus::active()});
            Sandbox::writeFile(driveLedgerPath,
                               QJsonDocument(MigrationRecord::listToJson({record})).toJson());
        }
        scenario.ledger.loadRecords();
    } else {
        MigrationRecord record(
            QStringLiteral("2024-02-02T00:00:00Z"), QStringLiteral("Other"), std::nullopt,
            std::nullopt,
            c.ownerIsFolder ? scenario.sandbox.path(QStringLiteral("Applications/Other.app"))
                            : owner,
            c.ownerIsFolder ? scenario.sandbox.drive() + QStringLiteral("/Applications/Other.app")
                            : location,
            status == MigrationStatus::active(), status, {});
        if (c.ownerIsFolder)
            record.supportFolders.append(
                {owner, location, QStringLiteral("Foo"), status == MigrationStatus::active()});
        scenario.ledger.recordMigration(record);
    }
    const QList<MigrationRecord> recordsBefore = scenario.ledger.records();
    const TreeDigest occupant = digestTree(location);

    EXPECT_EQ(scenario.run(), 206);
    const QString where = QLatin1Char('\'') + PathUtils::lastComponent(location) +
                          QStringLiteral("' on '") + scenario.target.name + QLatin1Char('\'');
    if (c.claim == CollisionCase::Claim::otherMac)
        EXPECT_EQ(scenario.errorMessage,
                  where + QStringLiteral(" holds ") +
                      (c.ownerIsFolder ? QStringLiteral("the support data")
                                       : QStringLiteral("the application")) +
                      QStringLiteral(" of ") +
                      (status == MigrationStatus::active()   ? QStringLiteral("an offload")
                       : status == MigrationStatus::copied() ? QStringLiteral("a backup")
                                                             : QStringLiteral("a transfer")) +
                      QStringLiteral(" of 'Foo' recorded on ") +
                      (c.operation == Operation::updateBackup || c.operation == Operation::reoffload
                           ? QStringLiteral("2024-01-01")
                           : QStringLiteral("2024-03-03")) +
                      QStringLiteral(" by another Mac, or by this one before it stopped keeping "
                                     "the record. Nothing was copied. ") +
                      (status == MigrationStatus::active()
                           ? QStringLiteral("Restore it on the Mac it was offloaded from, or "
                                            "choose another drive or folder.")
                           : QStringLiteral("Choose another drive or folder.")));
    else if (c.claim == CollisionCase::Claim::unreadableLedger) {
        EXPECT_TRUE(scenario.errorMessage.startsWith(
            where +
            QStringLiteral(" is already taken, and whose copy it is cannot be told: the "
                           "ledger '") +
            driveLedgerPath + QStringLiteral("' (it is not JSON: ")))
            << scenario.errorMessage.toStdString();
        EXPECT_TRUE(scenario.errorMessage.endsWith(
            QStringLiteral(" cannot be read. Nothing was copied. Try again once it can be read, "
                           "or choose another drive or folder.")));
    } else if (c.inTheSameRun)
        EXPECT_EQ(scenario.errorMessage,
                  QStringLiteral("'") + owner + QStringLiteral("' and '") +
                      scenario.sandbox.systemSupport() +
                      QStringLiteral("/Foo' have the same name and would both be copied to '") +
                      location +
                      QStringLiteral("'. Select only one of them for transfer and try again."));
    else
        EXPECT_EQ(scenario.errorMessage,
                  QStringLiteral("Target location '") + location +
                      (status == MigrationStatus::active()
                           ? QStringLiteral("' already holds the offloaded copy of '")
                           : QStringLiteral("' already holds the backup copy of '")) +
                      owner + QStringLiteral("'."));
    EXPECT_TRUE(scenario.ops->log().isEmpty());
    EXPECT_TRUE(scenario.macUnchanged());
    EXPECT_EQ(scenario.ledger.records(), recordsBefore);
    EXPECT_EQ(digestTree(location), occupant);
}

INSTANTIATE_TEST_SUITE_P(
    OffloadPipeline, OffloadPipelineCollisions,
    ::testing::Values(
        CollisionCase{"TwoFoldersOfOneName", Operation::copyOnly,
                      "Users/tester/Library/Application Support/Foo", "Application Support/Foo",
                      false, true},
        CollisionCase{"TwoFoldersOfOneNameOffloaded", Operation::offload,
                      "Users/tester/Library/Application Support/Foo", "Application Support/Foo",
                      false, true},
        CollisionCase{"OffloadOverAnotherAppsCopy", Operation::offload,
                      "Users/tester/Applications/Foo.app", "Applications/Foo.app", false, false},
        CollisionCase{"OffloadOverAnotherFoldersCopy", Operation::offload,
                      "Library/Application Support/Foo", "Application Support/Foo", true, false},
        CollisionCase{"BackupUpdateOverAnotherAppsCopy", Operation::updateBackup,
                      "Users/tester/Applications/Foo.app", "Applications/Foo.app", false, false},
        CollisionCase{"ReoffloadOverAnotherAppsCopy", Operation::reoffload,
                      "Users/tester/Applications/Foo.app", "Applications/Foo.app", false, false},
        CollisionCase{"OffloadOverAnotherAppsBackup", Operation::offload,
                      "Users/tester/Applications/Foo.app", "Applications/Foo.app", false, false,
                      "copied"},
        CollisionCase{"CopyOverAnotherAppsBackup", Operation::copyOnly,
                      "Users/tester/Applications/Foo.app", "Applications/Foo.app", false, false,
                      "copied"},
        CollisionCase{"CopyOverAnotherFoldersBackup", Operation::copyOnly,
                      "Library/Application Support/Foo", "Application Support/Foo", true, false,
                      "copied"},
        CollisionCase{"BackupUpdateOverAnotherAppsBackup", Operation::updateBackup,
                      "Users/tester/Applications/Foo.app", "Applications/Foo.app", false, false,
                      "copied"},
        CollisionCase{"ReoffloadOverAnotherAppsBackup", Operation::reoffload,
                      "Users/tester/Applications/Foo.app", "Applications/Foo.app", false, false,
                      "copied"},
        // Two Macs with the same user name share every path, and one drive.
        CollisionCase{"OffloadOverAnotherMacsSupportData", Operation::offload,
                      "Users/tester/Library/Application Support/Foo", "Application Support/Foo",
                      true, false, "active", CollisionCase::Claim::otherMac},
        CollisionCase{"CopyOverAnotherMacsBackup", Operation::copyOnly, "Applications/Foo.app",
                      "Applications/Foo.app", false, false, "copied",
                      CollisionCase::Claim::otherMac},
        CollisionCase{"OffloadOverACopyAnotherMacRestoredFrom", Operation::offload,
                      "Applications/Foo.app", "Applications/Foo.app", false, false, "restored",
                      CollisionCase::Claim::otherMac},
        CollisionCase{"BackupUpdateOfACopyOnlyTheDriveRecords", Operation::updateBackup,
                      "Applications/Foo.app", "Applications/Foo.app", false, false, "copied",
                      CollisionCase::Claim::otherMac},
        CollisionCase{"ReoffloadOfACopyOnlyTheDriveRecords", Operation::reoffload,
                      "Applications/Foo.app", "Applications/Foo.app", false, false, "active",
                      CollisionCase::Claim::otherMac},
        CollisionCase{"OffloadOverSupportDataNoLedgerCanTell", Operation::offload,
                      "Users/tester/Library/Application Support/Foo", "Application Support/Foo",
                      true, false, "active", CollisionCase::Claim::unreadableLedger},
        CollisionCase{"CopyOverABundleNoLedgerCanTell", Operation::copyOnly, "Applications/Foo.app",
                      "Applications/Foo.app", false, false, "active",
                      CollisionCase::Claim::unreadableLedger}),
    [](const auto &info) { return std::string(info.param.name); });

// --- Failures of the machine itself, through the fakes ---

struct MachineFaultCase
{
    const char *name;
    const char *bundleCopy; // the copy tool's script for the bundle; nullptr: a faithful copy
    std::function<void(PipelineScenario &)> arrange;
    int code;                     // -1: any failure
    const char *messageStart;     // of the error ("{app}", "{support}" and "{final}" stand for
                                  // those paths); of a success, of what it tells besides
    const char *logged = nullptr; // in the activity log afterwards
    Operation operation = Operation::offload;
    // Brings the drive back whole after the failure; then a rescan follows.
    std::function<void(PipelineScenario &)> replug = {};
    // Someone else changed the Mac meanwhile: only that nothing is lost is judged there.
    bool othersChangeTheMac = false;
    // The bundle's place on the drive holds this source's own older backup.
    bool overItsBackup = false;
};

// Acts on the world each time the copy tool is about to run (`call` names what it copies).
std::function<void(PipelineScenario &)>
asCopiesStart(std::function<void(PipelineScenario &, const QString &call)> act)
{
    return [act](PipelineScenario &s) {
        s.ops->failWhere([&s, act](const QString &call) {
            if (call.startsWith(QStringLiteral("copy ")))
                act(s, call);
            return false;
        });
    };
}

class OffloadPipelineMachineFaults : public ::testing::TestWithParam<MachineFaultCase>
{};

// Every copy in the drive's folders is one that a record in force names.
void expectEveryDriveCopyRecorded(const PipelineScenario &scenario)
{
    QSet<QString> named;
    for (const MigrationRecord &record : scenario.ledger.records()) {
        if (record.status == MigrationStatus::restored())
            continue;
        if (record.appTargetPath)
            named.insert(*record.appTargetPath);
        for (const SupportFolderRecord &folder : record.supportFolders)
            named.insert(folder.target);
    }
    for (const QString &folder :
         {QStringLiteral("/Applications"), QStringLiteral("/Application Support")}) {
        const QDir listed(scenario.sandbox.drive() + folder);
        for (const QString &name : listed.entryList(QDir::AllEntries | QDir::NoDotAndDotDot)) {
            if (!name.endsWith(DriveLayout::partialSuffix)) {
                EXPECT_TRUE(named.contains(listed.filePath(name)))
                    << "unrecorded: " << listed.filePath(name).toStdString();
            }
        }
    }
}

// The drive's ledger as its file holds it.
std::optional<QList<MigrationRecord>> driveLedger(const PipelineScenario &scenario)
{
    return ledgerFileRecords(scenario.sandbox.drive() + QLatin1Char('/') +
                             LedgerService::driveLedgerFileName());
}

// A drive that still lists a withdrawn record, back again: neither the window nor a restore
// takes the record for true, and the scan's settling leaves the drive's ledger as it was before.
void expectSettledAfterARescan(PipelineScenario &scenario, const QList<MigrationRecord> &before,
                               AppOffloadStatus status)
{
    scenario.ledger.loadRecords();
    EXPECT_EQ(scenario.ledger.records(), before);
    EXPECT_NE(driveLedger(scenario), before) << "the drive did not keep the record";

    expectWithdrawnAfterARescan(scenario.ledger, QStringLiteral("Foo"),
                                scenario.sandbox.drive() + QLatin1Char('/') +
                                    LedgerService::driveLedgerFileName(),
                                before, status);
}

TEST_P(OffloadPipelineMachineFaults, LoseNothing)
{
    const MachineFaultCase &c = GetParam();
    PipelineScenario scenario(c.operation, 1, c.overItsBackup);
    const QList<MigrationRecord> recordsBefore = scenario.ledger.records();
    FakeTool tool(QStringLiteral("copy"),
                  QStringLiteral("case \"$2\" in *Foo.app.korvanthelix-partial) %1;; esac; exec ")
                          .arg(QLatin1String(c.bundleCopy ? c.bundleCopy : "true")) +
                      platformCopyShell());
    scenario.sandbox.system().setCopyTool([&](const QString &source, const QString &destination) {
        return QStringList{tool.path(), source, destination};
    });
    if (c.arrange)
        c.arrange(scenario);

    const int code = scenario.run();
    if (c.code < 0)
        EXPECT_NE(code, 0);
    else
        EXPECT_EQ(code, c.code) << scenario.errorMessage.toStdString();
    expectNothingLost(scenario);
    if (code == 0) {
        expectSucceeded(scenario);
        // What the success could not do, told with it.
        const QString notice = scenario.engine.progress().notice;
        EXPECT_TRUE(notice.isEmpty() ? *c.messageStart == '\0'
                                     : notice.startsWith(QString::fromUtf8(c.messageStart)))
            << notice.toStdString();
    } else {
        const QString expected =
            QString::fromUtf8(c.messageStart)
                .replace("{app}", scenario.app.url.toLocalFile())
                .replace("{support}", scenario.app.supportFolders.value(0).url.toLocalFile())
                .replace("{final}", scenario.finalBundle)
                .replace("{holder}", QString::number(scenario.holder ? scenario.holder->pid() : 0));
        EXPECT_TRUE(scenario.errorMessage.startsWith(expected))
            << scenario.errorMessage.toStdString();
        if (!c.othersChangeTheMac) {
            EXPECT_TRUE(scenario.macUnchanged());
        }
        EXPECT_EQ(scenario.ledger.records(), recordsBefore);
        // What the drive held at the place before is there again, as it was, unless the drive
        // went away before it could be put back: then it waits under its rollback name.
        if (!scenario.olderDriveCopy.isEmpty() && !c.replug) {
            EXPECT_EQ(digestTree(scenario.finalBundle), scenario.olderDriveCopy);
        }
        // Refused at the last moment, the run leaves no copy that would read as a backup.
        if (code == 209 || code == 210)
            expectEveryDriveCopyRecorded(scenario);
        // Whatever the error's type, the run ended visibly and the engine is free again.
        EXPECT_FALSE(scenario.engine.isOffloading());
        EXPECT_EQ(scenario.engine.progress().error, scenario.errorMessage);
    }
    if (c.logged) {
        EXPECT_TRUE(AppLogger::shared().readRecentLines(400).contains(QString::fromUtf8(c.logged)))
            << c.logged;
    }
    if (c.replug) {
        c.replug(scenario);
        // A copy verified on the drive and no record of a move: a backup of what is on the Mac.
        expectSettledAfterARescan(scenario, recordsBefore,
                                  c.operation == Operation::reoffload
                                      ? AppOffloadStatus::needsReoffload
                                      : AppOffloadStatus::copied);
    }
}

// A Mac's storage over Darwin calls the test sees.
std::shared_ptr<FakeDarwinCalls> onAMac(PipelineScenario &scenario)
{
    auto darwin = std::make_shared<FakeDarwinCalls>();
    scenario.sandbox.system().useStorage(std::make_shared<MacStorage>(darwin));
    return darwin;
}

// Every read-back of the staged copies' files named `file` fails at `call`; the push before it
// at the flush goes through.
void failOnReadBack(PipelineScenario &scenario, const char *call, const char *file)
{
    onAMac(scenario)->failWhere([=](const QString &made, const QString &path, int earlier) {
        const bool pushedAtTheFlush = made == QLatin1String("sync") && earlier == 0;
        return made == QLatin1String(call) && !pushedAtTheFlush &&
                       path.endsWith(QLatin1Char('/') + QLatin1String(file)) &&
                       path.contains(QStringLiteral(".korvanthelix-partial/"))
                   ? EIO
                   : 0;
    });
}

// A helper's stale socket and pipe, as programs leave them in their support folders.
void addSocketAndPipe(const QString &folder)
{
    ASSERT_EQ(
        ::mkfifo(QFile::encodeName(folder + QStringLiteral("/helper.pipe")).constData(), 0600), 0);
    const QByteArray path = QFile::encodeName(folder + QStringLiteral("/helper.sock"));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(size_t(path.size()), sizeof(address.sun_path));
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)), 0);
    ::close(fd);
}

// Files of the application and its first support folder named as a file server names a file
// removed while open, which a Mac's copy tool passes over: the user's own on a Mac's disk, and
// among the originals that must never be lost.
void addFilesNamedAsAFileServerDoes(PipelineScenario &s)
{
    const QString app = s.app.url.toLocalFile();
    const QString folder = s.app.supportFolders.first().url.toLocalFile();
    Sandbox::writeFile(app + "/Contents/Resources/.nfsrc", "set rc");
    Sandbox::writeFile(app + "/Contents/Resources/.nfs0000000000000001", QByteArray(5000, 'n'));
    Sandbox::writeFile(folder + "/.nfs-cache-index", "index", 0600);
    Sandbox::writeFile(folder + "/.afpDeletedX/kept", "inside a folder so named");
    Sandbox::writeFile(folder + "/Cache/.afpDeletedButNotReally", "mine");
    s.sandbox.makeSymlink(folder + "/.nfs-link", "prefs.plist");
    for (PipelineScenario::Original &original : s.originals)
        original.digest = digestTree(original.path);
    s.macBefore = s.macDigest();
}

void withoutLauncher(PipelineScenario &scenario)
{
    FakeBundleServices &services = scenario.sandbox.system().fakeBundleServices();
    services.setProgramResource(QStringLiteral("ProxyLauncher"), std::nullopt);
    services.setProgramBundlePath(QString());
}

// Once the move is recorded, the drive's flushes fail; pulled, it is gone as well.
void failTheDriveOnceRecorded(PipelineScenario &scenario, bool pulled)
{
    auto storage = std::make_shared<FaultyStorage>();
    scenario.sandbox.system().useStorage(storage);
    scenario.ops->afterRecording([drive = scenario.sandbox.drive(), storage, pulled] {
        if (pulled)
            QDir().rename(drive, drive + QStringLiteral("-gone"));
        storage->setFlushFault([drive](const QString &folder, const StorageWrites &) {
            return PathUtils::isSameOrInside(folder, drive) ? EIO : 0;
        });
    });
}

// Once the move is recorded, the drive's flushes fail; then, inside the withdrawal that
// follows, `atTheMac` runs at each flush of the Mac's ledger folder with what it pushes, and
// fails it with the errno it returns.
void failTheDriveThenAtTheMac(PipelineScenario &scenario,
                              std::function<int(const StorageWrites &)> atTheMac)
{
    auto storage = std::make_shared<FaultyStorage>();
    scenario.sandbox.system().useStorage(storage);
    const QString home = scenario.sandbox.home() + QStringLiteral("/.config/korvanthelix");
    scenario.ops->afterRecording([drive = scenario.sandbox.drive(), home, storage, atTheMac] {
        storage->setFlushFault([=](const QString &folder, const StorageWrites &written) {
            if (PathUtils::isSameOrInside(folder, drive))
                return EIO;
            return folder == home ? atTheMac(written) : 0;
        });
    });
}

// The drive is gone by the time the withdrawal reads its ledger.
void pullTheDriveInsideTheWithdrawal(PipelineScenario &scenario)
{
    failTheDriveThenAtTheMac(
        scenario, [&scenario, pulled = std::make_shared<bool>()](const StorageWrites &) {
            if (!std::exchange(*pulled, true))
                QDir().rename(scenario.sandbox.drive(),
                              scenario.sandbox.drive() + QStringLiteral("-gone"));
            return 0;
        });
}

// The program ends, as the power goes, once the Mac's ledger no longer lists the record: from
// then on nothing more reaches the disk.
void stopOnceTheMacsLedgerIsRewritten(PipelineScenario &scenario)
{
    const QString local = scenario.ledger.ledgerFileURL().toLocalFile();
    failTheDriveThenAtTheMac(
        scenario, [local, stopped = std::make_shared<bool>()](const StorageWrites &written) {
            if (*stopped)
                return EIO;
            *stopped = written.items == QStringList{local};
            return 0;
        });
}

// The program ends as the rollback puts the application back in its place: from then on
// nothing reaches the disk, and the withdrawal that follows writes nothing.
void endTheProgramAtTheRollback(PipelineScenario &scenario)
{
    failTheDriveOnceRecorded(scenario, false);
    auto &storage = static_cast<FaultyStorage &>(scenario.sandbox.system().storage());
    const QString app = scenario.app.url.toLocalFile();
    scenario.ops->failWhere([&storage, app](const QString &call) {
        if (call.startsWith(QStringLiteral("move ")) && call.endsWith(QStringLiteral(" -> ") + app))
            storage.setFlushFault([](const QString &, const StorageWrites &) { return EIO; });
        return false;
    });
}

// Once the move is recorded, the drive's flushes fail, and another program of this home takes
// the lock of its ledgers and stops, as one stopped by the user: the undo that follows must not
// leave the record in force.
void holdTheHomeLockOnceRecorded(PipelineScenario &scenario)
{
    auto storage = std::make_shared<FaultyStorage>();
    scenario.sandbox.system().useStorage(storage);
    scenario.ledger.setWriterWaitLimit(std::chrono::milliseconds(300));
    auto holder = std::make_shared<std::unique_ptr<StoppedHolder>>();
    const QString lock = PathUtils::parentPath(scenario.ledger.ledgerFileURL().toLocalFile()) +
                         QStringLiteral("/ledgers.lock");
    scenario.ops->afterRecording([drive = scenario.sandbox.drive(), storage, holder, lock] {
        storage->setFlushFault([drive](const QString &folder, const StorageWrites &) {
            return PathUtils::isSameOrInside(folder, drive) ? EIO : 0;
        });
        *holder = std::make_unique<StoppedHolder>(lock);
    });
    scenario.whenFinished = [holder] { holder->reset(); };
}

// The drive takes the copies but not its ledger's new copy.
void failTheDrivesLedger(PipelineScenario &scenario)
{
    auto storage = std::make_shared<FaultyStorage>();
    scenario.sandbox.system().useStorage(storage);
    const QString ledger = scenario.sandbox.drive() + QLatin1Char('/') +
                           LedgerService::driveLedgerFileName() + QStringLiteral(".saving-");
    storage->setFlushFault([ledger](const QString &, const StorageWrites &written) {
        return std::any_of(written.items.cbegin(), written.items.cend(),
                           [&](const QString &item) { return item.startsWith(ledger); })
                   ? EIO
                   : 0;
    });
}

void replugTheDrive(PipelineScenario &scenario)
{
    static_cast<FaultyStorage &>(scenario.sandbox.system().storage()).setFlushFault({});
    const QString drive = scenario.sandbox.drive();
    if (!QFileInfo::exists(drive))
        QDir().rename(drive + QStringLiteral("-gone"), drive);
}

// A helper of the application appends a line to its support folder's log, by path, every few
// milliseconds from the moment the bundle's copy begins until the operation ends. Every line it
// got written must be found at the folder's place afterwards, wherever that leads.
void writeToTheSupportFolderDuringTheBundleCopy(PipelineScenario &s)
{
    const QString app = s.app.url.toLocalFile();
    const QString folder = s.app.supportFolders.first().url.toLocalFile();
    const QString log = Sandbox::writeFile(folder + QStringLiteral("/log"), "first\n");
    // Large enough that its copy and verification take a moment.
    Sandbox::writeFile(app + QStringLiteral("/Contents/Resources/large"),
                       QByteArray(64 << 20, 'L'));
    s.originals[0].digest = digestTree(app);
    s.originals[1].digest = digestTree(folder);
    s.macBefore = s.macDigest();
    struct Writer
    {
        std::atomic<bool> stop = false;
        QList<QByteArray> written; // by the thread until it is joined
        std::thread thread;
        ~Writer()
        {
            stop = true;
            if (thread.joinable())
                thread.join();
        }
    };
    const auto writer = std::make_shared<Writer>();
    const QString staged =
        DriveLayout::stagedLocation(QUrl::fromLocalFile(s.finalBundle)).toLocalFile();
    writer->thread = std::thread([w = writer.get(), log, staged] {
        while (!w->stop && !PathUtils::existsNoFollow(staged))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        for (int i = 0; !w->stop; ++i) {
            const QByteArray line = "line " + QByteArray::number(i);
            QFile file(log);
            // Opened by path each time, as a logger does: while nothing is there it fails.
            if (file.open(QIODevice::Append) && file.write(line + '\n') == line.size() + 1 &&
                file.flush())
                w->written.append(line);
            file.close();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    s.whenFinished = [&s, writer, log, folder] {
        writer->stop = true;
        writer->thread.join();
        QFile file(log);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> kept = file.readAll().split('\n');
        EXPECT_FALSE(writer->written.isEmpty());
        for (const QByteArray &line : std::as_const(writer->written))
            EXPECT_TRUE(kept.contains(line)) << "lost: " << line.toStdString();
        // What it wrote is the user's: the folder as it now is is the one to keep.
        s.originals[1].digest = digestTree(folder);
        s.macBefore = s.macDigest();
    };
}

// An updater renames a new version of the application into its place as the offload moves it
// aside: what would go is not what was copied.
void renameANewVersionIntoPlaceAtTheMoveAside(PipelineScenario &s)
{
    const QString app = s.app.url.toLocalFile();
    const QString update = BundleBuilder(s.sandbox.path(QStringLiteral("update/Foo.app")))
                               .identifier(QStringLiteral("com.acme.foo"))
                               .version(QStringLiteral("3.0"))
                               .build();
    const QString replaced = s.sandbox.path(QStringLiteral("replaced/Foo.app"));
    s.originals = {{app, digestTree(update)}, {replaced, s.originals.first().digest}};
    s.ops->failWhere([&s, app, update, replaced](const QString &call) {
        if (call.startsWith(QStringLiteral("move ") + app + QStringLiteral(" -> ")) &&
            PathUtils::existsNoFollow(update)) {
            QDir().mkpath(PathUtils::parentPath(replaced));
            EXPECT_TRUE(QDir().rename(app, replaced) && QDir().rename(update, app));
            s.macBefore = s.macDigest();
        }
        return false;
    });
}

// An updater puts a new version into the place the offload has just cleared.
void putANewVersionInPlaceAsTheProxyIsMade(PipelineScenario &s)
{
    const QString app = s.app.url.toLocalFile();
    const auto update = std::make_shared<TreeDigest>();
    s.ops->failWhere([app, update](const QString &call) {
        if (call.startsWith(QStringLiteral("createProxy ")) && !PathUtils::existsNoFollow(app)) {
            BundleBuilder(app)
                .identifier(QStringLiteral("com.acme.foo"))
                .version(QStringLiteral("3.0"))
                .build();
            *update = digestTree(app);
        }
        return false;
    });
    // The copied version is found beside it (as every original is judged).
    s.whenFinished = [app, update] {
        EXPECT_FALSE(update->isEmpty());
        EXPECT_EQ(digestTree(app), *update) << "the new version is lost";
    };
}

// Once the move is recorded, a file of the moved-aside original `which` is written to, as by a
// process that holds it open: the original as it now is must come back.
void writeToTheMovedAsideOriginal(PipelineScenario &s, int which, const QString &file)
{
    s.ops->afterRecording([&s, which, file] {
        const QString original = s.originals.at(which).path;
        const QStringList aside = movedAsideSiblings(original);
        ASSERT_EQ(aside.size(), 1);
        QFile written(aside.first() + QLatin1Char('/') + file);
        ASSERT_TRUE(written.open(QIODevice::Append));
        written.write("more\n");
        written.close();
        s.originals[which].digest = digestTree(aside.first());
        s.macBefore[PathUtils::parentPath(original)]
                   [PathUtils::lastComponent(original) + QLatin1Char('/') + file] =
            s.originals[which].digest.value(file);
    });
}

// A process of the test holds `file` of the application's first support folder, from the moment
// `when` picks (the arrangement itself when it is empty).
std::function<void(PipelineScenario &)> holdASupportFile(const char *file, FileHolder::Hold how,
                                                         bool fromTheBundleCopy)
{
    return [=](PipelineScenario &s) {
        const QString path =
            s.app.supportFolders.first().url.toLocalFile() + QLatin1Char('/') + QLatin1String(file);
        // A file the folder does not have yet is the user's too.
        if (!PathUtils::existsNoFollow(path)) {
            Sandbox::writeFile(path, "notes");
            s.originals[1].digest = digestTree(s.originals.at(1).path);
            s.macBefore = s.macDigest();
        }
        const auto hold = [&s, path, how] {
            if (s.holder)
                return;
            s.holder = std::make_shared<FileHolder>(path, how);
            EXPECT_TRUE(s.holder->isReady());
        };
        if (!fromTheBundleCopy) {
            hold();
        } else {
            asCopiesStart(
                [hold, app = s.app.url.toLocalFile()](PipelineScenario &, const QString &call) {
                    if (call.startsWith(QStringLiteral("copy ") + app))
                        hold();
                })(s);
        }
        // What it wrote through its mapping is the user's.
        if (how == FileHolder::Hold::mapsForWriting)
            s.whenFinished = [&s] {
                s.originals[1].digest = digestTree(s.originals.at(1).path);
                s.macBefore = s.macDigest();
            };
    };
}

// Once the move is recorded, a process maps a file of the moved-aside support folder to write
// to it.
void mapTheMovedAsideFolderOnceRecorded(PipelineScenario &s)
{
    s.ops->afterRecording([&s] {
        const QStringList aside = movedAsideSiblings(s.originals.at(1).path);
        ASSERT_EQ(aside.size(), 1);
        s.holder = std::make_shared<FileHolder>(aside.first() + QStringLiteral("/prefs.plist"),
                                                FileHolder::Hold::mapsForWriting);
        EXPECT_TRUE(s.holder->isReady());
    });
    s.whenFinished = [&s] {
        s.originals[1].digest = digestTree(s.originals.at(1).path);
        s.macBefore = s.macDigest();
    };
}

// A helper program of the application, kept in its support folder, runs from there.
void runAHelperFromTheSupportFolder(PipelineScenario &s)
{
    const QString helper =
        s.app.supportFolders.first().url.toLocalFile() + QStringLiteral("/Helpers/syncd");
    QDir().mkpath(PathUtils::parentPath(helper));
    ASSERT_TRUE(QFile::copy(QStringLiteral("/bin/sleep"), helper));
    s.originals[1].digest = digestTree(s.originals.at(1).path);
    s.macBefore = s.macDigest();
    s.holder = std::make_shared<FileHolder>(FileHolder::running(helper));
    EXPECT_TRUE(s.holder->isReady());
}

// The moved-aside bundle cannot be deleted once its copy is recorded: the success says so, and
// the leftover cleanup lists it as a leftover to remove, and removes it.
void failToDeleteTheMovedAsideBundle(PipelineScenario &s)
{
    const QString app = s.app.url.toLocalFile();
    s.ops->failWhere([app](const QString &call) {
        return call.startsWith(QStringLiteral("remove ") + PathUtils::parentPath(app) +
                               QStringLiteral("/.Foo.app.offloaded-"));
    });
    s.whenFinished = [&s, app] {
        const QList<OrphanedStagingItem> found =
            StagingCleaner::findOrphanedItems(s.target.url, s.ledger.records(), true);
        ASSERT_EQ(found.size(), 1);
        EXPECT_TRUE(found.first().displayName.startsWith(".Foo.app.offloaded-"))
            << found.first().displayName.toStdString();
        EXPECT_FALSE(found.first().isRecoveryCopy);
        EXPECT_TRUE(s.engine.progress().notice.contains(found.first().url.toLocalFile()));
        StagingCleaner cleaner(s.ledger);
        ASSERT_TRUE(waitFor(cleaner.scanOrphanedItems(s.target.url)));
        const QFuture<StagingCleanupResult> cleanup = cleaner.cleanAllOrphanedItems(s.target.url);
        ASSERT_TRUE(waitFor(cleanup));
        EXPECT_EQ(cleanup.result().removedCount, 1);
        EXPECT_FALSE(PathUtils::existsNoFollow(found.first().url.toLocalFile()));
    };
}

const char *const putBackButTheDriveMayList =
    "The drive \"Drive\" could not store what was written to it: Input/output error. 'Foo' was "
    "put back on your Mac as it was, and the record of the move was withdrawn from your Mac's "
    "ledger; the drive 'Drive' may still list it, and will be updated when it is next "
    "connected and free.";

INSTANTIATE_TEST_SUITE_P(
    OffloadPipeline, OffloadPipelineMachineFaults,
    ::testing::Values(
        // They hold no data and a Mac's copy leaves them out: so does every copy and the
        // comparison, and the activity log says what was left. Whatever else a copy tool passes
        // over by its name is copied all the same.
        MachineFaultCase{"ASocketAndAPipeInASupportFolder", nullptr,
                         [](PipelineScenario &s) {
                             addFilesNamedAsAFileServerDoes(s);
                             addSocketAndPipe(s.app.supportFolders.first().url.toLocalFile());
                         },
                         0, "",
                         "/Foo': 2 sockets and pipes, which hold no data (/helper.pipe, "
                         "/helper.sock)."},
        // Links that lead nowhere, as programs leave them, are copied and verified as they are;
        // one of a name a Mac's copy tool passes over is copied by the program itself. A Mac's
        // storage pushes each item of the copies on its own.
        MachineFaultCase{"LinksLeadingNowhere", nullptr,
                         [](PipelineScenario &s) {
                             onAMac(s);
                             for (const QString &folder :
                                  QStringList{s.app.url.toLocalFile() + "/Contents",
                                              s.app.supportFolders.first().url.toLocalFile()}) {
                                 s.sandbox.makeSymlink(folder + "/lock", "127.0.0.1:+12345");
                                 s.sandbox.makeSymlink(folder + "/removed", s.sandbox.path("gone"));
                                 s.sandbox.makeSymlink(folder + "/.nfs0000000000000003", "gone");
                             }
                             for (PipelineScenario::Original &original : s.originals)
                                 original.digest = digestTree(original.path);
                             s.macBefore = s.macDigest();
                         },
                         0, ""},
        MachineFaultCase{"CopyToolFails",
                         "mkdir -p \"$2\"; echo > \"$2/x\"; echo 'disk full' >&2; exit 1",
                         {},
                         301,
                         "ditto copy failed: disk full\n (Admin attempt: User canceled.)"},
        MachineFaultCase{"AdminMovesOutOfReadOnlyApplications", nullptr,
                         [](PipelineScenario &s) {
                             s.sandbox.system().setReadOnly(s.sandbox.applications());
                             s.sandbox.system().fakeAdminShell().runUnprivileged();
                         },
                         0, ""},
        MachineFaultCase{"LedgerCannotBeWritten", nullptr,
                         [](PipelineScenario &s) {
                             const QString folder =
                                 s.sandbox.home() + QStringLiteral("/.config/korvanthelix");
                             QDir(folder).removeRecursively();
                             s.sandbox.writeFile(folder, "not a folder");
                         },
                         -1, "The migration history cannot be saved: the lock file '"},
        // The links and the alias dangle by the time they are undone.
        MachineFaultCase{"DriveGoneWhileTheLedgerIsWritten", nullptr,
                         [](PipelineScenario &s) {
                             withoutLauncher(s);
                             s.ops->failWhere([&s](const QString &call) {
                                 if (!call.startsWith(QStringLiteral("recordMigration")))
                                     return false;
                                 QDir().rename(s.sandbox.drive(),
                                               s.sandbox.drive() + QStringLiteral("-gone"));
                                 return true;
                             });
                         },
                         EIO, "Injected failure: recordMigration"},
        // The drive fails to store one file of the first copy, which only its own push reports.
        MachineFaultCase{"AMacDriveCannotStoreAFile", nullptr,
                         [](PipelineScenario &s) { onAMac(s)->failSyncNumber(2); }, 303,
                         "The drive \"Drive\" could not store what was written to it: "
                         "Input/output error. Nothing on your Mac was changed."},
        // A drive that will not empty its own cache still takes the plain flush, and the log
        // says which it got.
        MachineFaultCase{"AMacDriveRefusesTheFullFlush", nullptr,
                         [](PipelineScenario &s) {
                             onAMac(s)->failWhere([](const QString &call, const QString &, int) {
                                 return call == QLatin1String("drive cache") ? ENOTSUP : 0;
                             });
                         },
                         0, "", "[WARN] [Offload] The drive holding '"},
        // A read-back that cannot get past memory proves nothing, at any step; each attempt of
        // the verification says which file.
        MachineFaultCase{"AMacCannotPushAFileItReadsBack", nullptr,
                         [](PipelineScenario &s) { failOnReadBack(s, "sync", "Info.plist"); }, 102,
                         "Verification failed for app bundle 'Foo'.",
                         ".korvanthelix-partial/Contents/Info.plist (dropping its cached pages to "
                         "read it from the drive failed: Input/output error)"},
        MachineFaultCase{"AMacCannotDropAFilesPages", nullptr,
                         [](PipelineScenario &s) { failOnReadBack(s, "discard", "Info.plist"); },
                         102, "Verification failed for app bundle 'Foo'."},
        MachineFaultCase{"AMacCannotTurnCachingOff", nullptr,
                         [](PipelineScenario &s) { failOnReadBack(s, "uncached", "Info.plist"); },
                         102, "Verification failed for app bundle 'Foo'."},
        MachineFaultCase{"AMacCannotDropASupportFilesPages", nullptr,
                         [](PipelineScenario &s) { failOnReadBack(s, "discard", "prefs.plist"); },
                         101, "Verification failed for support folder 'Foo'."},
        // The copy kept a file compressed: its bytes cannot be read from the drive.
        MachineFaultCase{"AMacCopyLeftCompressed", nullptr,
                         [](PipelineScenario &s) {
                             onAMac(s)->compress(s.finalBundle +
                                                     QStringLiteral(".korvanthelix-partial/"
                                                                    "Contents/Info.plist"),
                                                 QString());
                         },
                         102, "Verification failed for app bundle 'Foo'.",
                         "read it from the drive failed: Operation not supported)"},
        // The drive fails, or is pulled, right after it took the record: the Mac is put back,
        // and the drive gives the record up when it is back.
        MachineFaultCase{"TheDriveFailsOnceTheOffloadIsRecorded", nullptr,
                         [](PipelineScenario &s) { failTheDriveOnceRecorded(s, false); }, 303,
                         putBackButTheDriveMayList, nullptr, Operation::offload, replugTheDrive},
        MachineFaultCase{"TheDriveIsPulledOnceTheOffloadIsRecorded", nullptr,
                         [](PipelineScenario &s) { failTheDriveOnceRecorded(s, true); }, 303,
                         putBackButTheDriveMayList, nullptr, Operation::offload, replugTheDrive},
        MachineFaultCase{"TheDriveFailsOnceTheReoffloadIsRecorded", nullptr,
                         [](PipelineScenario &s) { failTheDriveOnceRecorded(s, false); }, 303,
                         putBackButTheDriveMayList, nullptr, Operation::reoffload, replugTheDrive},
        MachineFaultCase{"TheDriveIsPulledOnceTheReoffloadIsRecorded", nullptr,
                         [](PipelineScenario &s) { failTheDriveOnceRecorded(s, true); }, 303,
                         putBackButTheDriveMayList, nullptr, Operation::reoffload, replugTheDrive},
        MachineFaultCase{"TheDriveIsPulledInsideTheWithdrawal", nullptr,
                         pullTheDriveInsideTheWithdrawal, 303, putBackButTheDriveMayList, nullptr,
                         Operation::offload, replugTheDrive},
        MachineFaultCase{"TheProgramEndsBetweenTheRollbackAndTheWithdrawal", nullptr,
                         endTheProgramAtTheRollback, 303,
                         "The drive \"Drive\" could not store what was written to it: "
                         "Input/output error. 'Foo' was put back on your Mac as it was, and the "
                         "record of the move was withdrawn, but your Mac's ledger could not be "
                         "rewritten without it yet (Cannot write the ledger ",
                         nullptr, Operation::offload, replugTheDrive},
        MachineFaultCase{"AnotherProgramHoldsTheHomeLedgersAtTheUndo", nullptr,
                         holdTheHomeLockOnceRecorded, 303,
                         "The drive \"Drive\" could not store what was written to it: "
                         "Input/output error. 'Foo' was put back on your Mac as it was, and the "
                         "record of the move was withdrawn, but your Mac's ledger could not be "
                         "rewritten without it yet (another Korvanthelix window is saving the "
                         "migration history). The next scan finishes it.",
                         nullptr, Operation::offload, replugTheDrive},
        // Told with the success, which the Mac's ledger holds.
        MachineFaultCase{"TheDrivesLedgerDoesNotTakeTheRecord", nullptr, failTheDrivesLedger, 0,
                         "Your Mac's ledger holds the record, but the drive's own ledger could "
                         "not be updated yet (Cannot write the ledger ",
                         "[WARN] [Ledger] The record of 'Foo' was not added to the drive's "
                         "ledger '"},
        MachineFaultCase{"TheProgramStopsOnceTheMacsLedgerIsRewritten", nullptr,
                         stopOnceTheMacsLedgerIsRewritten, 303, putBackButTheDriveMayList, nullptr,
                         Operation::reoffload, replugTheDrive},
        // Only what was copied goes: a change since, by whoever, stays on the Mac.
        MachineFaultCase{
            "AWriterAppendsToASupportFileDuringTheBundleCopy", nullptr,
            writeToTheSupportFolderDuringTheBundleCopy, 209,
            "'{support}' changed after its copy to the drive began ('log' in it changed). Try "
            "again when nothing is using or updating it. Nothing on your Mac was changed."},
        MachineFaultCase{
            "ANewVersionRenamedIntoPlaceAtTheMoveAside", nullptr,
            renameANewVersionIntoPlaceAtTheMoveAside, 209,
            "'{app}' changed after its copy to the drive began (it was replaced by another item). "
            "Try again when nothing is using or updating it. Nothing on your Mac was changed."},
        MachineFaultCase{"ANewVersionPutInPlaceAsTheProxyIsMade",
                         nullptr,
                         putANewVersionInPlaceAsTheProxyIsMade,
                         302,
                         "Proxy creation failed ('{app}' is no longer the stand-in put there, so "
                         "it stays.) and rollback to '{app}' failed",
                         nullptr,
                         Operation::offload,
                         {},
                         true},
        MachineFaultCase{"TheMovedAsideFolderIsWrittenToBeforeItGoes", nullptr,
                         [](PipelineScenario &s) {
                             writeToTheMovedAsideOriginal(s, 1, QStringLiteral("prefs.plist"));
                         },
                         209,
                         "'{support}' changed after its copy to the drive began ('prefs.plist' in "
                         "it changed). Try again when nothing is using or updating it. 'Foo' was "
                         "put back on your Mac as it was"},
        // A writer makes the folder anew as soon as it moved aside: the original cannot go back.
        MachineFaultCase{"TheSupportFolderIsMadeAnewBeforeItsLink",
                         nullptr,
                         [](PipelineScenario &s) {
                             const QString folder = s.originals.at(1).path;
                             s.ops->failWhere([folder](const QString &call) {
                                 if (call != QStringLiteral("createSymbolicLink ") + folder)
                                     return false;
                                 QDir().mkpath(folder);
                                 return true;
                             });
                         },
                         EIO,
                         "Injected failure: createSymbolicLink {support} 'Foo' could not be fully "
                         "put back on your Mac: what stayed aside keeps its \".offload-rollback-\" "
                         "name beside its place.",
                         nullptr,
                         Operation::offload,
                         {},
                         true},
        MachineFaultCase{"TheReinstalledBundleIsWrittenToBeforeItGoes", nullptr,
                         [](PipelineScenario &s) {
                             writeToTheMovedAsideOriginal(
                                 s, 0, QStringLiteral("Contents/Resources/tool"));
                         },
                         209,
                         "'{app}' changed after its copy to the drive began "
                         "('Contents/Resources/tool' in it changed). Try again when nothing is "
                         "using or updating it. 'Foo' was put back on your Mac as it was",
                         nullptr, Operation::reoffload},
        // The drive's earlier copy, the one to be replaced, is written to as the new one is made.
        MachineFaultCase{"TheOldBackupIsWrittenToWhileTheUpdateCopies", nullptr,
                         asCopiesStart([](PipelineScenario &s, const QString &) {
                             Sandbox::writeFile(s.finalBundle + "/Contents/Resources/notes",
                                                "written on the drive");
                             s.olderDriveCopy = digestTree(s.finalBundle);
                         }),
                         209,
                         "'{final}' on the drive changed while a new copy was made to replace it "
                         "('Contents/Resources/notes' was added to it): it was left as it was, "
                         "and the new copy was not kept. Nothing on your Mac was changed.",
                         nullptr, Operation::updateBackup},
        // The drive's earlier copy, opened from the drive as the new one is made.
        MachineFaultCase{"TheOldCopyRunsAsTheReoffloadCopies", nullptr,
                         asCopiesStart([](PipelineScenario &s, const QString &) {
                             s.sandbox.system().fakeWorkspace().setRunningApplicationBundles(
                                 {s.finalBundle});
                         }),
                         202,
                         "'{final}' on the drive is running. Please quit it before its copy is "
                         "replaced. Nothing on your Mac was changed.",
                         nullptr, Operation::reoffload},
        // Started after the scan, as its bundle is copied: a helper inside it runs.
        MachineFaultCase{"TheApplicationIsLaunchedDuringItsCopy", nullptr,
                         asCopiesStart([](PipelineScenario &s, const QString &call) {
                             const QString app = s.app.url.toLocalFile();
                             if (call.startsWith(QStringLiteral("copy ") + app))
                                 s.sandbox.system().fakeWorkspace().setRunningApplicationBundles(
                                     {app + "/Contents/Helpers/Foo Helper.app"});
                         }),
                         202,
                         "Application 'Foo' is currently running. Please quit it before "
                         "offloading."},
        // A process that may still write a file of a tree stops its move and its deletion, and is
        // named; one that only reads it does not.
        MachineFaultCase{
            "AProcessMapsASupportFileForWritingAfterItsCopy", nullptr,
            holdASupportFile("prefs.plist", FileHolder::Hold::mapsForWriting, true), 210,
            "'tests_transfer' (pid {holder}) has 'prefs.plist' in '{support}' mapped into its "
            "memory, where it can write to it. Quit it, then try again. Nothing on your Mac was "
            "changed."},
        MachineFaultCase{"AProcessHoldsASupportFileOpenForWriting", nullptr,
                         holdASupportFile("Cache/blob", FileHolder::Hold::writes, false), 210,
                         "'tests_transfer' (pid {holder}) is writing to 'Cache/blob' in "
                         "'{support}'. Quit it, then try again. Nothing on your Mac was changed."},
        // Committed over its own backup before the writer is seen: the backup goes back.
        MachineFaultCase{"AProcessWritesASupportFileOnceTheBundleReplacedItsBackup",
                         nullptr,
                         holdASupportFile("Cache/blob", FileHolder::Hold::writes, true),
                         210,
                         "'tests_transfer' (pid {holder}) is writing to 'Cache/blob' in "
                         "'{support}'. Quit it, then try again. Nothing on your Mac was changed.",
                         nullptr,
                         Operation::offload,
                         {},
                         false,
                         true},
        MachineFaultCase{"AProcessWritesASupportFileNamedAsRemoved", nullptr,
                         holdASupportFile("notes (deleted)", FileHolder::Hold::writes, false), 210,
                         "'tests_transfer' (pid {holder}) is writing to 'notes (deleted)' in "
                         "'{support}'. Quit it, then try again. Nothing on your Mac was changed."},
        MachineFaultCase{"AProcessWorksInASupportFolder", nullptr,
                         holdASupportFile("Cache", FileHolder::Hold::worksIn, false), 210,
                         "'tests_transfer' (pid {holder}) works in 'Cache' in '{support}'. Quit "
                         "it, then try again. Nothing on your Mac was changed."},
        // An ordinary user may not look into the system's processes: the success says so.
        MachineFaultCase{"ProcessesOfOthersCannotBeLookedInto", nullptr,
                         [](PipelineScenario &s) {
                             s.sandbox.system().fakeEjectTools().setUsersOf([](const TreeItems &) {
                                 return FileUsers{{}, {{1, QStringLiteral("launchd")}}};
                             });
                         },
                         0,
                         "Korvanthelix was not allowed to look into 1 process ('launchd'), so it "
                         "cannot tell whether it was still writing to '"},
        MachineFaultCase{"AProcessReadsASupportFile", nullptr,
                         holdASupportFile("prefs.plist", FileHolder::Hold::reads, false), 0, ""},
        MachineFaultCase{"AHelperRunsFromTheSupportFolder", nullptr, runAHelperFromTheSupportFolder,
                         202,
                         "Application 'Foo' is currently running. Please quit it before "
                         "offloading. 'syncd' (pid {holder}) runs from 'Helpers/syncd' in "
                         "'{support}'."},
        MachineFaultCase{"AProcessMapsTheMovedAsideFolderBeforeItGoes", nullptr,
                         mapTheMovedAsideFolderOnceRecorded, 210,
                         "'tests_transfer' (pid {holder}) has 'prefs.plist' in '{support}' mapped "
                         "into its memory, where it can write to it. Quit it, then try again. "
                         "'Foo' was put back on your Mac as it was, and the record of the move "
                         "was withdrawn."},
        MachineFaultCase{"TheMovedAsideBundleCannotBeDeleted", nullptr,
                         failToDeleteTheMovedAsideBundle, 0,
                         "Its original could not be removed from '"},
        // An error of another type than the engine's own, as the first copy starts.
        MachineFaultCase{"ForeignErrorAtTheFirstCopy", nullptr,
                         [](PipelineScenario &s) {
                             s.sandbox.system().setCopyTool(
                                 [](const QString &, const QString &) -> QStringList {
                                     throw std::runtime_error("no copy tool today");
                                 });
                         },
                         -1, "The operation stopped on an unexpected error: no copy tool today"}),
    [](const auto &info) { return std::string(info.param.name); });

// --- On a Mac: each file pushed to the drive, then read back from it ---

class OffloadPipelineOnAMac : public ::testing::TestWithParam<Operation>
{};

// Every file of the copy is pushed with its own result and the drive's cache emptied before it
// is read back; its pages are dropped before the first byte is read; and the ledger on the
// drive is pushed before the operation ends.
TEST_P(OffloadPipelineOnAMac, EveryFileReachesTheDriveBeforeItIsReadBack)
{
    PipelineScenario scenario(GetParam(), 1);
    const std::shared_ptr<FakeDarwinCalls> darwin = onAMac(scenario);
    ASSERT_EQ(scenario.run(), 0) << scenario.errorMessage.toStdString();
    const QList<FakeDarwinCalls::StorageCall> calls = darwin->storageCalls();
    const auto firstIndex = [&](const QString &call, qint64 inode, qsizetype from = 0) {
        for (qsizetype i = from; i < calls.size(); ++i) {
            if (calls.at(i).call == call && calls.at(i).inode == inode)
                return i;
        }
        return qsizetype(-1);
    };
    const auto inodeOf = [](const QString &path) {
        struct stat info
        {};
        return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? qint64(info.st_ino)
                                                                        : qint64(-1);
    };
    const qint64 drive = inodeOf(scenario.sandbox.drive());

    int files = 0;
    QDirIterator it(scenario.finalBundle, QDir::Files | QDir::Hidden | QDir::NoSymLinks,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        SCOPED_TRACE(path.toStdString());
        ++files;
        const qint64 inode = inodeOf(path);
        const qsizetype pushed = firstIndex(QStringLiteral("sync"), inode);
        ASSERT_GE(pushed, 0);
        const qsizetype flushed = firstIndex(QStringLiteral("drive cache"), drive, pushed);
        ASSERT_GT(flushed, pushed);
        if (QFileInfo(path).size() == 0)
            continue;
        const qsizetype dropped = firstIndex(QStringLiteral("discard"), inode, flushed);
        ASSERT_GT(dropped, flushed);
        EXPECT_EQ(calls.at(dropped).position, 0);
        EXPECT_GT(firstIndex(QStringLiteral("uncached"), inode, dropped), dropped);
    }
    EXPECT_GT(files, 1);

    const qint64 ledger =
        inodeOf(scenario.sandbox.drive() + QLatin1Char('/') + LedgerService::driveLedgerFileName());
    const qsizetype ledgerPushed = firstIndex(QStringLiteral("sync"), ledger);
    ASSERT_GE(ledgerPushed, 0);
    EXPECT_GT(firstIndex(QStringLiteral("drive cache"), drive, ledgerPushed), ledgerPushed);
}

// In the order of Operation.
const char *const operationNames[] = {"Offload", "CopyOnly", "BackupUpdate", "Reoffload"};

INSTANTIATE_TEST_SUITE_P(OffloadPipeline, OffloadPipelineOnAMac,
                         ::testing::Values(Operation::offload, Operation::copyOnly,
                                           Operation::updateBackup, Operation::reoffload),
                         [](const auto &info) { return operationNames[int(info.param)]; });

// --- Re-offload: which support folders the new record carries over ---

struct CarryOverCase
{
    const char *name;
    QList<std::pair<const char *, const char *>> records; // status, folder; oldest first
    QStringList carried;
};

class OffloadPipelineCarryOver : public ::testing::TestWithParam<CarryOverCase>
{};

TEST_P(OffloadPipelineCarryOver, TakesTheFirstRecordInForceElseAnyOther)
{
    const CarryOverCase &c = GetParam();
    PipelineScenario scenario(Operation::reoffload, 0);
    QFile::remove(scenario.ledger.ledgerFileURL().toLocalFile());
    QFile::remove(scenario.sandbox.drive() + QLatin1Char('/') +
                  LedgerService::driveLedgerFileName());
    const QString local = scenario.sandbox.userSupport();
    const QString drive = scenario.sandbox.drive() + QStringLiteral("/Application Support");
    int second = 0;
    for (const auto &[status, folder] : c.records) {
        scenario.ledger.recordMigration(MigrationRecord(
            QStringLiteral("2024-01-01T00:00:0%1Z").arg(++second), scenario.app.name, std::nullopt,
            std::nullopt, scenario.app.url.toLocalFile(), scenario.finalBundle, true,
            QString::fromUtf8(status),
            {{local + QString::fromUtf8(folder), drive + QString::fromUtf8(folder), QString(),
              true}}));
    }
    scenario.ledger.loadRecords();

    ASSERT_EQ(scenario.run(), 0) << scenario.errorMessage.toStdString();
    const MigrationRecord record = scenario.ledger.records().first();
    EXPECT_EQ(record.status, QStringLiteral("active"));
    QStringList carried;
    for (const SupportFolderRecord &folder : record.supportFolders)
        carried.append(folder.source.mid(local.size()));
    EXPECT_EQ(carried, c.carried);
}

// The ledger lists the record read last first.
INSTANTIATE_TEST_SUITE_P(OffloadPipeline, OffloadPipelineCarryOver,
                         ::testing::Values(CarryOverCase{"NoRecord", {}, {}},
                                           CarryOverCase{"OnlyARestoredRecord",
                                                         {{"restored", "/R"}},
                                                         {QStringLiteral("/R")}},
                                           CarryOverCase{"RecordInForceBeforeAnother",
                                                         {{"active", "/A"}, {"restored", "/R"}},
                                                         {QStringLiteral("/A")}},
                                           CarryOverCase{"FirstOfTwoInForce",
                                                         {{"copied", "/C"}, {"active", "/A"}},
                                                         {QStringLiteral("/A")}}),
                         [](const auto &info) { return std::string(info.param.name); });

// --- Putting an item back never replaces what stands in its place ---

struct MoveBackCase
{
    const char *name;
    const char *occupant; // "", "file", "dangling link"
};

class LocalRollbackMoveBack : public ::testing::TestWithParam<MoveBackCase>
{};

TEST_P(LocalRollbackMoveBack, OnlyIntoAFreePlace)
{
    const MoveBackCase &c = GetParam();
    Sandbox sandbox;
    // The administrator fallback really runs, so only the check keeps "mv" from replacing.
    sandbox.system().fakeAdminShell().runUnprivileged();
    const QString original = sandbox.applications() + QStringLiteral("/Foo.app");
    const QString aside = sandbox.writeFile(
        sandbox.applications() + QStringLiteral("/.Foo.app.offload-rollback-X"), "original");
    const std::string occupant = c.occupant;
    if (occupant == "file")
        sandbox.writeFile(original, "alias");
    else if (occupant == "dangling link")
        sandbox.makeSymlink(original, sandbox.drive() + QStringLiteral("/gone"));
    const TreeDigest before = digestTree(sandbox.applications());

    OffloadFileOps ops;
    LocalRollback rollback(ops);
    rollback.movedAside(original, aside);
    rollback.undo();

    if (occupant.empty()) {
        EXPECT_FALSE(PathUtils::existsNoFollow(aside));
        EXPECT_TRUE(QFile::exists(original));
    } else {
        EXPECT_EQ(digestTree(sandbox.applications()), before);
    }
}

INSTANTIATE_TEST_SUITE_P(OffloadPipeline, LocalRollbackMoveBack,
                         ::testing::Values(MoveBackCase{"Free", ""},
                                           MoveBackCase{"FileInTheWay", "file"},
                                           MoveBackCase{"DanglingLinkInTheWay", "dangling link"}),
                         [](const auto &info) { return std::string(info.param.name); });

// --- The whole way there and back ---

TEST(OffloadPipeline, RestoreAfterOffloadGivesBackTheSameTree)
{
    PipelineScenario scenario(Operation::offload, 2);
    addFilesNamedAsAFileServerDoes(scenario);
    ASSERT_EQ(scenario.run(), 0) << scenario.errorMessage.toStdString();

    RestoreEngine restore(scenario.ledger);
    restore.setSleeper([](std::chrono::nanoseconds) {});
    AppItem offloaded = scenario.app;
    offloaded.isSymlink = offloaded.isAlias = true;
    offloaded.symlinkTarget = scenario.finalBundle;
    QFuture<void> restored = restore.restoreBatch({offloaded}, scenario.target.url);
    ASSERT_TRUE(waitFor(restored));
    ASSERT_NO_THROW(restored.waitForFinished());
    scenario.ledger.loadRecords();

    for (const auto &[folder, digest] : scenario.macBefore.asKeyValueRange())
        EXPECT_EQ(digestTree(folder), digest)
            << describeDifference(digest, digestTree(folder)).toStdString();
    ASSERT_EQ(scenario.ledger.records().size(), 1);
    EXPECT_EQ(scenario.ledger.records().first().status, QStringLiteral("restored"));
}

} // namespace
