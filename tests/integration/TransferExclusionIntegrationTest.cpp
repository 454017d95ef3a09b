// Transfers on real drives in a private mount namespace: they never replace another source's
// copy, and a safe eject and a transfer never run at the same time.

#include "base/OperationError.h"
#include "model/AppItem.h"
#include "model/MigrationRecord.h"
#include "platform/linux/LinuxEjectTools.h"
#include "platform/linux/LinuxVolumeService.h"
#include "services/AppScanner.h"
#include "services/LedgerService.h"
#include "support/BundleBuilder.h"
#include "support/Errors.h"
#include "support/PrivateMounts.h"
#include "support/Sandbox.h"
#include "support/TreeDigest.h"
#include "support/Wait.h"
#include "transfer/OffloadEngine.h"
#include "views/main/ContentModel.h"
#include "views/main/TransferRegistry.h"
#include "volumes/VolumeManager.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

namespace {

using PrivateMounts::isMounted;

const QString drivePath = QStringLiteral("/Volumes/Disk");

// The sandboxed Mac of the fake system, with the machine's real drives and eject tools.
class RealDrivesSystem : public FakeSystem
{
public:
    explicit RealDrivesSystem(SystemPaths paths)
        : FakeSystem(std::move(paths))
    {}
    [[nodiscard]] VolumeService &volumes() override { return m_volumes; }
    [[nodiscard]] EjectTools &ejectTools() override { return m_ejectTools; }

private:
    LinuxVolumeService m_volumes;
    LinuxEjectTools m_ejectTools;
};

std::shared_ptr<RealDrivesSystem> realDrives(const Sandbox &sandbox)
{
    SystemPaths paths = sandbox.paths();
    paths.volumesRoot = QStringLiteral("/Volumes");
    return std::make_shared<RealDrivesSystem>(paths);
}

// Every folder of the Mac that an operation may change.
QList<TreeDigest> macDigest(const Sandbox &sandbox)
{
    QList<TreeDigest> digests;
    for (const QString &folder : {sandbox.applications(), sandbox.userApplications(),
                                  sandbox.userSupport(), sandbox.systemSupport()})
        digests.append(digestTree(folder));
    return digests;
}

std::optional<TargetVolume> listed(const VolumeManager &manager, const QString &path)
{
    for (const TargetVolume &volume : manager.availableVolumes()) {
        if (volume.url.toLocalFile() == path)
            return volume;
    }
    return std::nullopt;
}

AppItem application(const QString &path, const QString &version)
{
    BundleBuilder(path)
        .identifier(QStringLiteral("com.example.foo"))
        .version(version)
        .file(QStringLiteral("Resources/data"), version.toUtf8().repeated(2000))
        .file(QStringLiteral("Resources/tool"), "#!/bin/sh\n", 0755)
        .symlink(QStringLiteral("Resources/current"), QStringLiteral("data"))
        .build();
    AppItem app;
    app.url = QUrl::fromLocalFile(path);
    app.name = QStringLiteral("Foo");
    app.bundleIdentifier = QStringLiteral("com.example.foo");
    app.version = version;
    app.size = 16'384;
    return app;
}

void addSupportFolder(AppItem &app, const QString &path, const QByteArray &content)
{
    Sandbox::writeFile(path + QStringLiteral("/prefs.plist"), content);
    app.supportFolders.append({.url = QUrl::fromLocalFile(path),
                               .displayName = QStringLiteral("Foo"),
                               .size = content.size(),
                               .isSelected = true});
}

// The code an operation ended with; 0 for success.
int outcome(QFuture<void> future)
{
    const std::optional<OperationError> error = errorOfFuture(future, 60000);
    return error ? error->code() : 0;
}

enum class Operation { offload, copyOnly, updateBackup, reoffload };
enum class Place { bundle, supportFolder };

struct CollisionCase
{
    const char *name;
    Operation operation;
    Place place;    // where the other source's backup lies on the drive
    bool ownBackup; // the operation is the backup's own source updating it
    // The other source is another Mac's application at the very same paths, offloaded there: the
    // drive's ledger alone records it.
    bool anotherMac = false;
};

// Another Mac with the same user name offloaded Foo and its support folder to the drive; this Mac
// has its own Foo at the same paths, and a ledger that never heard of the other's.
void offloadFromAnotherMac(Sandbox &sandbox, LedgerService &ledger, OffloadEngine &engine,
                           const TargetVolume &target)
{
    const QString appPath = sandbox.applications() + QStringLiteral("/Foo.app");
    const QString folder = sandbox.userSupport() + QStringLiteral("/Foo");
    AppItem theirs = application(appPath, QStringLiteral("1.0"));
    addSupportFolder(theirs, folder, "theirs");
    ASSERT_EQ(outcome(engine.executeOffload(theirs, target, false)), 0);
    ASSERT_TRUE(QFile::remove(ledger.ledgerFileURL().toLocalFile()));
    // What stands in for it here: a launcher bundle, else a link.
    ASSERT_TRUE(QFileInfo(appPath).isSymLink() ? QFile::remove(appPath)
                                               : QDir(appPath).removeRecursively());
    ASSERT_TRUE(QFile::remove(folder));
    ledger.loadRecords();
}

// On a real drive, another source's backup is made by a real backup copy; then the operation
// runs for the application whose place on the drive it holds.
void runCollision(const CollisionCase &c)
{
    if (!PrivateMounts::prepareVolumesRoot({QStringLiteral("Disk")}))
        GTEST_SKIP() << "mounting is not permitted here";
    // Big enough for the free-space margin of the preflight; tmpfs takes only what is written.
    ASSERT_TRUE(PrivateMounts::mountTmpfs(drivePath, QStringLiteral("size=1g,nr_inodes=4096")));

    Sandbox sandbox;
    const ScopedSystemOverride system(realDrives(sandbox));
    LedgerService ledger;
    VolumeManager manager(&ledger);
    drainEvents();
    const std::optional<TargetVolume> target = listed(manager, drivePath);
    ASSERT_TRUE(target);
    OffloadEngine engine(ledger);
    engine.setSleeper([](std::chrono::nanoseconds) {});

    // The other source: ~/Applications/Foo.app, or an application with a support folder of
    // the same name as the one under test but from the other Application Support folder.
    if (c.anotherMac) {
        offloadFromAnotherMac(sandbox, ledger, engine, *target);
        if (::testing::Test::HasFatalFailure())
            return;
        const QString theirs = drivePath + QStringLiteral("/Application Support/Foo");
        const TreeDigest before = digestTree(theirs);
        ASSERT_FALSE(before.isEmpty());
        AppItem app =
            application(sandbox.applications() + QStringLiteral("/Foo.app"), QStringLiteral("2.0"));
        addSupportFolder(app, sandbox.userSupport() + QStringLiteral("/Foo"), "mine");
        const QList<TreeDigest> macBefore = macDigest(sandbox);
        EXPECT_EQ(outcome(engine.executeOffload(app, *target, c.operation == Operation::copyOnly)),
                  206);
        EXPECT_TRUE(engine.progress().error.value_or(QString()).startsWith(
            QStringLiteral("'Foo' on '") + target->name +
            QStringLiteral("' holds the support data of an offload of 'Foo' recorded on ")))
            << engine.progress().error.value_or(QString()).toStdString();
        EXPECT_EQ(digestTree(theirs), before);
        EXPECT_TRUE(macDigest(sandbox) == macBefore);
        return;
    }
    AppItem other = application(c.place == Place::bundle
                                    ? sandbox.userApplications() + QStringLiteral("/Foo.app")
                                    : sandbox.userApplications() + QStringLiteral("/Other.app"),
                                QStringLiteral("1.0"));
    QString backupPlace = drivePath + QStringLiteral("/Applications/Foo.app");
    if (c.place == Place::supportFolder) {
        other.name = QStringLiteral("Other");
        addSupportFolder(other, sandbox.systemSupport() + QStringLiteral("/Foo"), "system");
        backupPlace = drivePath + QStringLiteral("/Application Support/Foo");
    }
    ASSERT_EQ(outcome(engine.executeOffload(other, *target, true)), 0);
    ledger.loadRecords();
    const TreeDigest backup = digestTree(backupPlace);
    ASSERT_FALSE(backup.isEmpty());
    const QList<MigrationRecord> records = ledger.records();

    AppItem app = c.ownBackup ? other
                              : application(sandbox.applications() + QStringLiteral("/Foo.app"),
                                            QStringLiteral("2.0"));
    if (c.ownBackup)
        application(other.url.toLocalFile(), QStringLiteral("1.1"));
    if (c.place == Place::supportFolder && !c.ownBackup)
        addSupportFolder(app, sandbox.userSupport() + QStringLiteral("/Foo"), "user");
    const QList<TreeDigest> macBefore = macDigest(sandbox);

    QFuture<void> run;
    switch (c.operation) {
    case Operation::offload:
    case Operation::copyOnly:
        run = engine.executeOffload(app, *target, c.operation == Operation::copyOnly);
        break;
    case Operation::updateBackup:
        run = engine.updateBackup(app, *target);
        break;
    case Operation::reoffload:
        run = engine.reoffloadAppBundle(app, *target);
        break;
    }
    const int code = outcome(run);
    ledger.loadRecords();

    if (c.ownBackup) {
        EXPECT_EQ(code, 0) << engine.progress().error.value_or(QString()).toStdString();
        EXPECT_EQ(digestTree(backupPlace), digestTree(other.url.toLocalFile()));
        ASSERT_FALSE(ledger.records().isEmpty());
        EXPECT_EQ(ledger.records().last().appTargetPath, backupPlace);
        EXPECT_EQ(ledger.records().last().status, MigrationStatus::copied());
        return;
    }
    EXPECT_EQ(code, 206);
    const QString owner = c.place == Place::bundle
                              ? other.url.toLocalFile()
                              : sandbox.systemSupport() + QStringLiteral("/Foo");
    EXPECT_EQ(engine.progress().error, QStringLiteral("Target location '") + backupPlace +
                                           QStringLiteral("' already holds the backup copy of '") +
                                           owner + QStringLiteral("'."));
    EXPECT_EQ(digestTree(backupPlace), backup)
        << describeDifference(backup, digestTree(backupPlace)).toStdString();
    EXPECT_EQ(ledger.records(), records);
    EXPECT_TRUE(macDigest(sandbox) == macBefore);
    EXPECT_FALSE(QFileInfo::exists(backupPlace + QStringLiteral(".korvanthelix-partial")));
}

void PrintTo(const CollisionCase &c, std::ostream *out)
{
    *out << c.name;
}

class AnotherSourcesBackup : public ::testing::TestWithParam<CollisionCase>
{};

TEST_P(AnotherSourcesBackup, IsNeverReplaced)
{
    if (PrivateMounts::enter())
        runCollision(GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    TransferExclusionIntegrationTest, AnotherSourcesBackup,
    ::testing::Values(
        CollisionCase{"OffloadAtTheBundlePlace", Operation::offload, Place::bundle, false},
        CollisionCase{"CopyAtTheBundlePlace", Operation::copyOnly, Place::bundle, false},
        CollisionCase{"BackupUpdateAtTheBundlePlace", Operation::updateBackup, Place::bundle,
                      false},
        CollisionCase{"ReoffloadAtTheBundlePlace", Operation::reoffload, Place::bundle, false},
        CollisionCase{"OffloadAtASupportFolderPlace", Operation::offload, Place::supportFolder,
                      false},
        CollisionCase{"CopyAtASupportFolderPlace", Operation::copyOnly, Place::supportFolder,
                      false},
        CollisionCase{"ItsOwnSourceUpdatesIt", Operation::updateBackup, Place::bundle, true},
        CollisionCase{"AnotherMacsOffloadAtTheSamePaths", Operation::offload, Place::supportFolder,
                      false, true},
        CollisionCase{"ABackupOverAnotherMacsOffloadAtTheSamePaths", Operation::copyOnly,
                      Place::supportFolder, false, true}),
    [](const auto &info) { return std::string(info.param.name); });

// --- A safe eject and a transfer, through the window ---

// A copy tool that waits until the test lets it go, so that a transfer is caught mid-way:
// it marks that it has started, then copies once the gate file exists.
void gateCopies(FakeSystem &system, const QString &gate)
{
    system.setCopyTool([gate](const QString &source, const QString &destination) {
        return QStringList{QStringLiteral("/bin/sh"),
                           QStringLiteral("-c"),
                           QStringLiteral("touch \"$0.started\"; "
                                          "while [ ! -e \"$0\" ]; do sleep 0.05; done; "
                                          "exec cp -a -T -- \"$1\" \"$2\""),
                           gate,
                           source,
                           destination};
    });
}

void ejectAndTransfer()
{
    if (!PrivateMounts::prepareVolumesRoot({QStringLiteral("Disk")}))
        GTEST_SKIP() << "mounting is not permitted here";
    QString why;
    if (!PrivateMounts::mountExt4(drivePath, QStringLiteral("Backup Disk"), 640, &why))
        GTEST_SKIP() << why.toStdString();

    Sandbox sandbox;
    const std::shared_ptr<RealDrivesSystem> drives = realDrives(sandbox);
    const ScopedSystemOverride system(drives);
    const QString gate = sandbox.path(QStringLiteral("copy-gate"));
    gateCopies(*drives, gate);
    // However the test ends, no copy is left waiting.
    const std::shared_ptr<void> openGate(
        nullptr, [gate](void *) { QFile(gate).open(QIODevice::WriteOnly); });
    LedgerService ledger;
    ContentModel model(ledger);
    ASSERT_TRUE(waitUntil([&] { return listed(model.volumeManager(), drivePath).has_value(); }));
    const TargetVolume disk = *listed(model.volumeManager(), drivePath);
    model.volumeManager().selectVolume(disk);
    const AppItem app =
        application(sandbox.applications() + QStringLiteral("/Foo.app"), QStringLiteral("1.0"));

    // An eject while a backup copy is half-way: refused, and the drive stays.
    model.offloadSingleApp(app, true);
    ASSERT_TRUE(
        waitUntil([&] { return QFileInfo::exists(gate + QStringLiteral(".started")); }, 30000));
    model.handleSafeEjectTarget();
    EXPECT_TRUE(waitUntil([&] { return model.showAlert(); }));
    EXPECT_EQ(model.alertMessage(),
              ContentModel::ejectRefusedDuringTransfer(QStringLiteral("Backup Disk")));
    EXPECT_TRUE(isMounted(drivePath));
    QFile(gate).open(QIODevice::WriteOnly);
    ASSERT_TRUE(waitUntil([&] { return !TransferRegistry::shared().isBusy(); }, 60000));
    EXPECT_EQ(model.offloadTaskReport().failures.size(), 0);
    EXPECT_EQ(digestTree(drivePath + QStringLiteral("/Applications/Foo.app")),
              digestTree(app.url.toLocalFile()));
    EXPECT_TRUE(waitUntil([&] { return !model.appScanner().isScanning(); }));
    ledger.loadRecords();
    ASSERT_EQ(ledger.records().size(), 1);
    EXPECT_EQ(ledger.records().first().status, MigrationStatus::copied());

    // A transfer while an eject runs: refused, and nothing is written to the drive. The eject
    // is the drive manager's own; it is held at its start until the transfer was tried.
    auto held = std::make_shared<QPromise<EjectResult>>();
    held->start();
    TransferOperations operations = model.transferOperations();
    operations.safelyEject = [held](const TargetVolume &) { return held->future(); };
    model.setTransferOperations(operations);
    model.setShowingProgressSheet(false); // the user closed the finished copy's sheet
    model.setShowAlert(false);
    model.handleSafeEjectTarget();
    const TreeDigest driveBefore = digestTree(drivePath);
    model.setShowAlert(false);
    model.startAppMaintenance(app, MaintenanceOperation::backupUpdate);
    EXPECT_EQ(model.alertMessage(), ContentModel::ejectRunningNotice);
    model.offloadSingleApp(app, false);
    EXPECT_EQ(model.alertMessage(), ContentModel::ejectRunningNotice);
    EXPECT_FALSE(model.showingProgressSheet());
    drainEvents();
    EXPECT_EQ(digestTree(drivePath), driveBefore);

    const QFuture<EjectResult> eject = model.volumeManager().safelyEject(disk);
    ASSERT_TRUE(waitFor(eject, 60000));
    held->addResult(eject.result());
    held->finish();
    EXPECT_TRUE(waitUntil([&] {
        return model.alertMessage() ==
               QStringLiteral("\"Backup Disk\" was safely ejected and can now be unplugged.");
    }));
    EXPECT_FALSE(isMounted(drivePath));
    EXPECT_FALSE(TransferRegistry::shared().isBusy());
    EXPECT_TRUE(waitUntil([&] { return !model.appScanner().isScanning(); }));
}

TEST(TransferExclusionIntegrationTest, AnEjectAndATransferNeverOverlap)
{
    if (PrivateMounts::tool("lsof").isEmpty())
        GTEST_SKIP() << "needs lsof";
    if (PrivateMounts::enter())
        ejectAndTransfer();
}

} // namespace
