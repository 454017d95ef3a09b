#include "ContentModelFixture.h"

#include "transfer/OffloadEngine.h"
#include "transfer/StagingCleaner.h"

#include <QDir>
#include <QSemaphore>
#include <atomic>

namespace {

// Engines that record what they were asked and answer as the test scripts: success unless
// a name is set to fail (with a code) or to wait for the test.
class ScriptedEngines
{
public:
    QStringList calls;
    QHash<QString, int> failures;
    QHash<QString, std::shared_ptr<QPromise<void>>> held;
    std::function<void(const AppItem &)> during;
    QList<std::optional<QUrl>> restoreTargets;

    QFuture<void> run(const QString &kind, const AppItem &app)
    {
        calls.append(kind + QLatin1Char(':') + app.name);
        if (during)
            during(app);
        if (failures.contains(app.name))
            return failedFuture(failures.value(app.name), app.name + QStringLiteral(" broke"));
        if (held.contains(app.name))
            return held.value(app.name)->future();
        return QtFuture::makeReadyFuture();
    }

    std::shared_ptr<QPromise<void>> hold(const QString &name)
    {
        auto promise = std::make_shared<QPromise<void>>();
        promise->start();
        held.insert(name, promise);
        return promise;
    }

    void install(ContentModel &model)
    {
        TransferOperations operations = model.transferOperations();
        operations.executeOffload = [this](const AppItem &app, const TargetVolume &, bool copy) {
            return run(copy ? QStringLiteral("copy") : QStringLiteral("offload"), app);
        };
        operations.updateBackup = [this](const AppItem &app, const TargetVolume &) {
            return run(QStringLiteral("update"), app);
        };
        operations.reoffloadAppBundle = [this](const AppItem &app, const TargetVolume &) {
            return run(QStringLiteral("reoffload"), app);
        };
        operations.restoreBatch = [this](const QList<AppItem> &apps,
                                         const std::optional<QUrl> &target) {
            restoreTargets.append(target);
            QString names;
            for (const AppItem &app : apps)
                names += app.name;
            AppItem batch;
            batch.name = names;
            return run(QStringLiteral("restore"), batch);
        };
        model.setTransferOperations(operations);
    }
};

class ContentModelLaunchersTest : public ContentModelFixture
{
protected:
    ContentModelLaunchersTest() { engines.install(*model); }

    QStringList offloadLogLines()
    {
        QStringList lines;
        for (const RecordingSystemLog::Entry &entry :
             sandbox.system().recordingSystemLog().entries()) {
            if (entry.category == QStringLiteral("Offload"))
                lines.append(entry.message);
        }
        return lines;
    }

    // Waits until the offload task has ended and its refresh has scanned `expectedScans` times.
    void settleOffload(int expectedScans = 1)
    {
        EXPECT_TRUE(waitUntil([&] {
            return !model->offloadTaskReport().isRunning && scans == expectedScans &&
                   !model->appScanner().isScanning();
        }));
    }

    ScriptedEngines engines;
};

TEST_F(ContentModelLaunchersTest, TransfersTowardsTheDriveNeedATarget)
{
    const AppItem app = record(QStringLiteral("A"));
    const std::function<void()> launchers[] = {
        [&] { model->offloadSingleApp(app, false); },
        [&] { model->offloadSingleApp(app, true); },
        [&] {
            model->offloadAppsBatch({app, record(QStringLiteral("B"))}, false);
        },
        [&] { model->startAppMaintenance(app, MaintenanceOperation::backupUpdate); },
        [&] { model->startAppMaintenance(app, MaintenanceOperation::reoffload); },
        [&] { model->launchBannerBatch({app}, MaintenanceOperation::reoffload); },
    };
    for (const auto &launch : launchers) {
        model->setShowAlert(false);
        launch();
        expectNotice(ContentModel::noTargetNotice);
        EXPECT_FALSE(model->showingProgressSheet());
    }
    drainEvents();
    EXPECT_TRUE(engines.calls.isEmpty());
    EXPECT_EQ(scans, 0);
}

TEST_F(ContentModelLaunchersTest, BatchOutcomes)
{
    selectDrive();
    AppItem guarded = record("Guarded");
    guarded.isProtected = true;
    const struct
    {
        QList<AppItem> apps;
        bool copyOnly;
        QString failing;
        int code;
        QStringList calls;
        QStringList log;
        int attempted;
        qsizetype failed;
        bool cancelled;
    } cases[] = {
        // A failure is logged and the batch goes on.
        {{record("A"), record("B"), record("C")},
         true,
         "B",
         301,
         {"copy:A", "copy:B", "copy:C"},
         {"Batch offload error for 'B': B broke"},
         3,
         1,
         false},
        // The cancel code is logged too, and ends the batch.
        {{record("A"), record("B")},
         false,
         "A",
         3072,
         {"offload:A"},
         {"Batch offload error for 'A': A broke"},
         1,
         0,
         true},
        // Nothing to offload: the sheet still learns that the task ended.
        {{record("Linked", true), guarded}, false, {}, 0, {}, {}, 0, 0, false},
    };
    int expectedScans = 0;
    for (const auto &entry : cases) {
        engines.calls.clear();
        engines.failures.clear();
        sandbox.system().recordingSystemLog().clear();
        if (!entry.failing.isEmpty())
            engines.failures.insert(entry.failing, entry.code);
        model->offloadAppsBatch(entry.apps, entry.copyOnly);
        EXPECT_TRUE(model->showingProgressSheet());
        settleOffload(++expectedScans);
        EXPECT_EQ(engines.calls, entry.calls);
        EXPECT_EQ(offloadLogLines(), entry.log);
        const TaskReport &report = model->offloadTaskReport();
        EXPECT_EQ(report.attempted, entry.attempted);
        EXPECT_EQ(report.failures.size(), entry.failed);
        EXPECT_EQ(report.cancelled, entry.cancelled);
        EXPECT_FALSE(model->showAlert());
    }
}

TEST_F(ContentModelLaunchersTest, BatchStopsWhenCancelled)
{
    selectDrive();
    // The sheet's Cancel while the first application is copied, which still succeeds.
    engines.during = [this](const AppItem &) { model->offloadEngine().cancelCurrentOperation(); };
    model->offloadAppsBatch({record("A"), record("B"), record("C")}, false);
    settleOffload();
    EXPECT_EQ(engines.calls, QStringList({"offload:A"}));
    EXPECT_TRUE(offloadLogLines().isEmpty());
    EXPECT_TRUE(model->offloadTaskReport().cancelled);
    EXPECT_EQ(model->offloadTaskReport().attempted, 1);

    // The request of that batch does not stop the next one before its first application.
    engines.during = nullptr;
    engines.calls.clear();
    model->offloadAppsBatch({record("D"), record("E")}, false);
    settleOffload(2);
    EXPECT_EQ(engines.calls, QStringList({"offload:D", "offload:E"}));
}

TEST_F(ContentModelLaunchersTest, SingleTransfersRefreshOnlyOnSuccess)
{
    selectDrive();
    const struct
    {
        MaintenanceOperation operation;
        QString call;
    } maintenance[] = {{MaintenanceOperation::backupUpdate, "update:A"},
                       {MaintenanceOperation::reoffload, "reoffload:A"}};
    int expectedScans = 0;
    for (const auto &entry : maintenance) {
        engines.calls.clear();
        model->startAppMaintenance(record("A"), entry.operation);
        settleOffload(++expectedScans);
        EXPECT_EQ(engines.calls, QStringList({entry.call}));
    }

    engines.failures.insert(QStringLiteral("A"), 102);
    model->offloadSingleApp(record("A"), false);
    settleOffload(expectedScans);
    drainEvents();
    EXPECT_EQ(scans, expectedScans);
    EXPECT_EQ(model->offloadTaskReport().failures, QList<TaskFailure>({{"A", "A broke"}}));
    EXPECT_FALSE(model->showAlert());
    EXPECT_TRUE(offloadLogLines().isEmpty());
}

TEST_F(ContentModelLaunchersTest, BannerBatchTakesEveryAppAndLogsNothing)
{
    selectDrive();
    AppItem guarded = record("Guarded");
    guarded.isProtected = true;
    engines.failures.insert(QStringLiteral("A"), 404);
    engines.failures.insert(QStringLiteral("Guarded"), 3072);
    model->launchBannerBatch({record("A"), guarded, record("C")},
                             MaintenanceOperation::backupUpdate);
    settleOffload();
    EXPECT_EQ(engines.calls, QStringList({"update:A", "update:Guarded"}));
    EXPECT_TRUE(offloadLogLines().isEmpty());
    EXPECT_TRUE(model->offloadTaskReport().cancelled);
    EXPECT_EQ(model->offloadTaskReport().failures.size(), 1);
}

// A failed restore is told once, by its progress sheet.
TEST_F(ContentModelLaunchersTest, RestoresReportFailuresOnce)
{
    model->restoreAppsBatch({record("Local")});
    EXPECT_FALSE(model->showingRestoreProgressSheet());

    engines.failures.insert(QStringLiteral("One"), 405);
    model->restoreSingleApp(record("One", true));
    EXPECT_TRUE(model->showingRestoreProgressSheet());
    EXPECT_TRUE(waitUntil([this] { return !model->restoreTaskReport().isRunning; }));
    EXPECT_EQ(model->restoreTaskReport().error, QStringLiteral("One broke"));
    drainEvents();
    EXPECT_FALSE(model->showAlert()) << "the sheet tells it";

    engines.failures.insert(QStringLiteral("TwoThree"), 405);
    model->restoreAppsBatch({record("Two", true), record("Local"), record("Three", true)});
    EXPECT_TRUE(waitUntil([this] {
        return model->restoreTaskReport().error.has_value() &&
               !model->restoreTaskReport().isRunning;
    }));
    EXPECT_EQ(model->restoreTaskReport().error, QStringLiteral("TwoThree broke"));
    drainEvents();
    EXPECT_FALSE(model->showAlert());
    // Applications restored before the failure show as such: the batch still rescans.
    EXPECT_TRUE(waitUntil([this] { return scans == 1 && !model->appScanner().isScanning(); }));
    EXPECT_EQ(engines.restoreTargets, QList<std::optional<QUrl>>({std::nullopt, std::nullopt}));

    // A cancelled restore is no failure; a successful one refreshes.
    model->setShowAlert(false);
    engines.failures.insert(QStringLiteral("Four"), 3072);
    model->restoreSingleApp(record("Four", true));
    EXPECT_TRUE(waitUntil([this] { return !model->restoreTaskReport().isRunning; }));
    EXPECT_TRUE(model->restoreTaskReport().cancelled);
    selectDrive();
    model->restoreSingleApp(record("Five", true));
    EXPECT_TRUE(waitUntil([this] { return scans == 2 && !model->appScanner().isScanning(); }));
    EXPECT_FALSE(model->showAlert());
    EXPECT_EQ(engines.restoreTargets.last(), QUrl::fromLocalFile(sandbox.drive()));
}

TEST_F(ContentModelLaunchersTest, OneTransferAtATimeAcrossWindows)
{
    selectDrive();
    ContentModel other(ledger);
    drainEvents();
    other.volumeManager().setSelectedVolume(drive());
    ScriptedEngines otherEngines;
    otherEngines.install(other);

    const auto pending = engines.hold(QStringLiteral("Slow"));
    model->offloadSingleApp(record("Slow"), false);
    const std::function<void()> launchers[] = {
        [&] { other.offloadSingleApp(record("X"), false); },
        [&] { other.startAppMaintenance(record("X"), MaintenanceOperation::backupUpdate); },
        [&] { other.launchBannerBatch({record("X")}, MaintenanceOperation::reoffload); },
        [&] { other.restoreAppsBatch({record("X", true)}); },
        [&] { model->offloadSingleApp(record("Y"), false); },
    };
    for (const auto &launch : launchers) {
        other.setShowAlert(false);
        model->setShowAlert(false);
        launch();
        EXPECT_TRUE(other.showAlert() || model->showAlert());
        EXPECT_EQ(other.showAlert() ? other.alertMessage() : model->alertMessage(),
                  ContentModel::transferRunningNotice);
    }
    EXPECT_FALSE(other.showingProgressSheet());
    EXPECT_FALSE(other.showingRestoreProgressSheet());

    pending->finish();
    settleOffload();
    other.offloadSingleApp(record("X"), false);
    EXPECT_TRUE(waitUntil([&] { return !other.offloadTaskReport().isRunning; }));
    EXPECT_EQ(otherEngines.calls, QStringList({"offload:X"}));
    EXPECT_TRUE(waitUntil([&] { return !other.appScanner().isScanning(); }));
}

TEST_F(ContentModelLaunchersTest, MenuCommandsPickTheirApplications)
{
    selectDrive();
    bundle(QStringLiteral("Local"));
    bundle(QStringLiteral("Other"));
    QDir().mkpath(sandbox.drive() + QStringLiteral("/Applications/Away.app"));
    sandbox.makeSymlink(sandbox.applications() + QStringLiteral("/Away.app"),
                        sandbox.drive() + QStringLiteral("/Applications/Away.app"));
    scan();
    QSet<QString> all;
    for (const AppItem &app : model->appScanner().apps())
        all.insert(app.id());
    const auto select = [&](const QStringList &names) {
        QSet<QString> ids;
        for (const AppItem &app : model->appScanner().apps()) {
            if (names.contains(app.name))
                ids.insert(app.id());
        }
        model->setSelectedAppIds(ids);
    };

    // One candidate goes through the single launcher: its failure is not logged.
    engines.failures.insert(QStringLiteral("Local"), 301);
    select({"Local", "Away"});
    model->handleOffloadSelectedApps();
    settleOffload(1);
    EXPECT_EQ(engines.calls, QStringList({"offload:Local"}));
    EXPECT_TRUE(offloadLogLines().isEmpty());

    engines.calls.clear();
    select({"Away"});
    model->setShowingProgressSheet(false);
    model->handleOffloadSelectedApps();
    EXPECT_FALSE(model->showingProgressSheet());

    engines.failures.insert(QStringLiteral("Away"), 405);
    model->handleRestoreSelectedApps();
    EXPECT_TRUE(waitUntil([this] { return model->restoreTaskReport().error.has_value(); }));
    EXPECT_EQ(model->restoreTaskReport().error, QStringLiteral("Away broke"));
    EXPECT_EQ(engines.calls, QStringList({"restore:Away"}));

    model->setSelectedAppIds(all);
    engines.calls.clear();
    model->handleOffloadSelectedApps();
    settleOffload(2);
    EXPECT_EQ(engines.calls, QStringList({"offload:Local", "offload:Other"}));
    EXPECT_EQ(offloadLogLines().size(), 1);
}

TEST_F(ContentModelLaunchersTest, ProxyNotices)
{
    AppItem guarded = record("Guarded");
    guarded.isProtected = true;
    const struct
    {
        bool visible;
        QList<AppItem> apps;
        QString notice;
    } cases[] = {
        {true,
         {},
         "Created 0 app proxy bundles in /Applications! They are now visible in macOS Apps.app."},
        {true,
         {guarded, record("A")},
         "Created 1 app proxy bundles in /Applications! They are now visible in macOS Apps.app."},
        {true,
         {record("A"), record("Bad"), record("Worse")},
         "Created 1 proxies. (2 failed: Bad (no drive), Worse (no drive))"},
        {false,
         {record("A")},
         "Successfully promoted 1 app(s) to /Applications! Now visible in macOS Apps.app."},
        {false, {record("Bad")}, "Promoted 0 app(s). (1 failed: Bad (no drive))"},
    };
    TransferOperations operations = model->transferOperations();
    operations.promoteToRootApplications = [](const AppItem &app) {
        if (app.name != QStringLiteral("A"))
            throw OperationError(QStringLiteral("AppProxyHelper"), 2, QStringLiteral("no drive"));
        return app.url;
    };
    model->setTransferOperations(operations);
    int expectedScans = 0;
    for (const auto &entry : cases) {
        model->setShowAlert(false);
        if (entry.visible)
            model->makeAppsVisible(entry.apps);
        else
            model->promoteAppsToRoot(entry.apps);
        EXPECT_TRUE(waitUntil([this] { return model->showAlert(); }));
        expectNotice(entry.notice);
        ++expectedScans;
        EXPECT_TRUE(
            waitUntil([&] { return scans == expectedScans && !model->appScanner().isScanning(); }));
    }
}

TEST_F(ContentModelLaunchersTest, StagingCleanupReportsOnlyErrors)
{
    const QString uuid = QStringLiteral("0F8E3B52-6C1D-4C55-9D57-1F6E2A5B1C3D");
    sandbox.makeFolder(sandbox.applications() + QStringLiteral("/Foo.app.staging-") + uuid);
    ASSERT_TRUE(waitFor(model->stagingCleaner().scanOrphanedItems(std::nullopt)));
    model->handleCleanStaging();
    EXPECT_TRUE(waitUntil([this] { return model->stagingCleaner().orphanedItems().isEmpty(); }));
    EXPECT_TRUE(waitUntil([this] { return !model->stagingCleaner().isCleaning(); }));
    EXPECT_FALSE(model->showAlert());

    sandbox.makeFolder(sandbox.applications() + QStringLiteral("/.Foo.app.offload-rollback-") +
                       uuid);
    ASSERT_TRUE(waitFor(model->stagingCleaner().scanOrphanedItems(std::nullopt)));
    model->handleCleanStaging();
    EXPECT_TRUE(waitUntil([this] { return model->showAlert(); }));
    ASSERT_TRUE(model->alertMessage());
    EXPECT_TRUE(model->alertMessage()->startsWith(
        QStringLiteral("Cleaned 0 item(s), with 1 error(s):\n.Foo.app.offload-rollback-")))
        << model->alertMessage()->toStdString();
    EXPECT_TRUE(waitUntil([this] { return !model->stagingCleaner().isCleaning(); }));
}

TEST_F(ContentModelLaunchersTest, DuplicateAliasesAreRemovedOnlyWhileTheyAreStandIns)
{
    const QString target = bundle(QStringLiteral("Real"));
    const QString alias = sandbox.makeSymlink(sandbox.applications() + "/Real alias.app", target);
    const QString replaced = bundle(QStringLiteral("Replaced"));
    model->removeSingleDuplicate(replaced);
    model->removeSingleDuplicate(alias);
    EXPECT_TRUE(
        waitUntil([&] { return !QFileInfo(alias).isSymLink() && !QFileInfo::exists(alias); }));
    EXPECT_TRUE(waitUntil([this] { return scans == 2 && !model->appScanner().isScanning(); }));
    EXPECT_TRUE(QFileInfo::exists(replaced + QStringLiteral("/Contents/Info.plist")));

    // The selection's cleanup rescans once per selected application.
    scan();
    QSet<QString> ids;
    for (const AppItem &app : model->appScanner().apps())
        ids.insert(app.id());
    model->setSelectedAppIds(ids);
    const int before = scans;
    model->cleanSelectedDuplicates();
    EXPECT_TRUE(waitUntil(
        [&] { return scans == before + int(ids.size()) && !model->appScanner().isScanning(); }));
}

// --- Safe eject and transfers exclude each other ---

// Every launcher of a transfer, as the window's controls and banners call them.
QList<std::function<void(ContentModel &)>> transferLaunchers(const AppItem &local,
                                                             const AppItem &offloaded)
{
    return {
        [=](ContentModel &m) { m.offloadSingleApp(local, false); },
        [=](ContentModel &m) { m.offloadSingleApp(local, true); },
        [=](ContentModel &m) { m.offloadAppsBatch({local}, false); },
        [=](ContentModel &m) { m.startAppMaintenance(local, MaintenanceOperation::backupUpdate); },
        [=](ContentModel &m) { m.startAppMaintenance(local, MaintenanceOperation::reoffload); },
        [=](ContentModel &m) { m.launchBannerBatch({local}, MaintenanceOperation::backupUpdate); },
        [=](ContentModel &m) { m.restoreSingleApp(offloaded); },
        [=](ContentModel &m) { m.restoreAppsBatch({offloaded}); },
    };
}

TEST_F(ContentModelLaunchersTest, ARunningEjectHoldsOffEveryTransferAndASecondEject)
{
    selectDrive();
    auto ejecting = std::make_shared<QPromise<EjectResult>>();
    ejecting->start();
    int ejects = 0;
    TransferOperations operations = model->transferOperations();
    operations.safelyEject = [&](const TargetVolume &) {
        ++ejects;
        return ejecting->future();
    };
    model->setTransferOperations(operations);
    ContentModel other(ledger);
    drainEvents();
    other.volumeManager().setSelectedVolume(drive());
    ScriptedEngines otherEngines;
    otherEngines.install(other);

    model->handleSafeEjectTarget();
    EXPECT_EQ(ejects, 1);
    for (ContentModel *window : {model.get(), &other}) {
        for (const auto &launch : transferLaunchers(record("A"), record("B", true))) {
            window->setShowAlert(false);
            launch(*window);
            EXPECT_TRUE(window->showAlert());
            EXPECT_EQ(window->alertMessage(), ContentModel::ejectRunningNotice);
            EXPECT_FALSE(window->showingProgressSheet());
            EXPECT_FALSE(window->showingRestoreProgressSheet());
        }
    }
    // A second eject, from the other window's menu command and from this window's toolbar.
    other.setShowAlert(false);
    other.handleSafeEjectTarget();
    EXPECT_TRUE(waitUntil([&] { return other.showAlert(); }));
    EXPECT_EQ(other.alertMessage(),
              ContentModel::ejectRefusedDuringEject(QStringLiteral("Backup")));
    const QFuture<EjectResult> again = model->startSafeEject(drive());
    ASSERT_TRUE(waitFor(again));
    EXPECT_EQ(again.result().errorMessage,
              ContentModel::ejectRefusedDuringEject(QStringLiteral("Backup")));
    EXPECT_EQ(ejects, 1);
    drainEvents();
    EXPECT_TRUE(engines.calls.isEmpty());
    EXPECT_TRUE(otherEngines.calls.isEmpty());

    model->setShowAlert(false);
    ejecting->addResult(EjectResult{true, std::nullopt});
    ejecting->finish();
    EXPECT_TRUE(waitUntil([this] { return model->showAlert(); }));
    expectNotice(QStringLiteral("\"Backup\" was safely ejected and can now be unplugged."));
    EXPECT_FALSE(TransferRegistry::shared().isBusy());
    model->offloadSingleApp(record("A"), false);
    settleOffload();
    EXPECT_EQ(engines.calls, QStringList({"offload:A"}));
}

TEST_F(ContentModelLaunchersTest, ARunningTransferRefusesAnEject)
{
    selectDrive();
    int ejects = 0;
    TransferOperations operations = model->transferOperations();
    operations.safelyEject = [&](const TargetVolume &) {
        ++ejects;
        return QtFuture::makeReadyFuture(EjectResult{true, std::nullopt});
    };
    model->setTransferOperations(operations);
    ContentModel other(ledger);
    drainEvents();
    other.volumeManager().setSelectedVolume(drive());

    const std::function<void()> transfers[] = {
        [&] { model->offloadSingleApp(record("Slow"), true); },
        [&] { model->restoreSingleApp(record("Slow", true)); },
    };
    for (const auto &transfer : transfers) {
        const auto pending = engines.hold(QStringLiteral("Slow"));
        transfer();
        for (ContentModel *window : {model.get(), &other}) {
            window->setShowAlert(false);
            window->handleSafeEjectTarget();
            EXPECT_TRUE(waitUntil([&] { return window->showAlert(); }));
            EXPECT_EQ(window->alertMessage(),
                      ContentModel::ejectRefusedDuringTransfer(QStringLiteral("Backup")));
        }
        EXPECT_EQ(ejects, 0);
        pending->finish();
        EXPECT_TRUE(waitUntil([] { return !TransferRegistry::shared().isBusy(); }));
        EXPECT_TRUE(waitUntil([this] { return !model->appScanner().isScanning(); }));
    }

    model->setShowAlert(false);
    model->handleSafeEjectTarget();
    EXPECT_TRUE(waitUntil([this] { return model->showAlert(); }));
    expectNotice(QStringLiteral("\"Backup\" was safely ejected and can now be unplugged."));
    EXPECT_EQ(ejects, 1);
}

TEST_F(ContentModelLaunchersTest, ClosingTheWindowNeverWaitsForItsEject)
{
    // The drive as the platform reports it, and an unmount that lasts until the test ends it.
    FakeVolumeService::Volume volume;
    volume.values.volumeName = QStringLiteral("Backup");
    volume.values.isRemovable = true;
    volume.values.isVolume = true;
    volume.values.supportsSymlinks = true;
    volume.space = FileSystemSpace{1000, 400};
    volume.typeName = QStringLiteral("ext4");
    sandbox.system().fakeVolumes().setVolume(sandbox.drive(), volume);
    sandbox.system().fakeVolumes().setMountedVolumePaths(QStringList{sandbox.drive()});
    FakeEjectTools &tools = sandbox.system().fakeEjectTools();
    QSemaphore unmountMayEnd;
    std::atomic<bool> unmounting = false;
    std::atomic<bool> unmountEnded = false;
    tools.beforeUnmount = [&] {
        unmounting = true;
        // Bounded, so that a window that does wait ends the test with a failure.
        (void)unmountMayEnd.tryAcquire(1, 20000);
        unmountEnded = true;
    };
    selectDrive();

    model->handleSafeEjectTarget();
    ASSERT_TRUE(waitUntil([&] { return unmounting.load(); }));
    model.reset();
    EXPECT_FALSE(unmountEnded.load()) << "closing the window waited for the eject";

    // The eject goes on without its window, and still keeps transfers out.
    ContentModel other(ledger);
    drainEvents();
    other.volumeManager().setSelectedVolume(drive());
    ScriptedEngines otherEngines;
    otherEngines.install(other);
    other.offloadSingleApp(record("A"), false);
    EXPECT_EQ(other.alertMessage(), ContentModel::ejectRunningNotice);

    unmountMayEnd.release();
    EXPECT_TRUE(waitUntil([] { return !TransferRegistry::shared().isBusy(); }));
    EXPECT_TRUE(unmountEnded.load());
    drainEvents();
    tools.beforeUnmount = {};
    EXPECT_TRUE(otherEngines.calls.isEmpty());
    EXPECT_TRUE(waitUntil([&] { return !other.appScanner().isScanning(); }));
    model = std::make_unique<ContentModel>(ledger);
}

} // namespace
