// Transfers towards drives that go away or fill up under them, on real mounts: a private mount
// namespace, tmpfs drives mounted over the sandbox's drive folder, the platform's own volume
// service, and the real copy tool.

#include "base/OperationError.h"
#include "base/PathUtils.h"
#include "base/Subprocess.h"
#include "model/AppItem.h"
#include "model/MigrationRecord.h"
#include "model/TargetVolume.h"
#include "platform/FakeDarwinCalls.h"
#include "platform/linux/LinuxVolumeService.h"
#include "services/InventoryCollector.h"
#include "services/LedgerService.h"
#include "services/PrivilegeHelper.h"
#include "services/RecordRule.h"
#include "support/BundleBuilder.h"
#include "support/Errors.h"
#include "support/FakeTool.h"
#include "support/FaultyStorage.h"
#include "support/FileHolder.h"
#include "support/PrivateMounts.h"
#include "support/Sandbox.h"
#include "support/TreeDigest.h"
#include "support/Wait.h"
#include "support/WithdrawnRecord.h"
#include "transfer/AppProxyHelper.h"
#include "transfer/DriveLayout.h"
#include "transfer/OffloadEngine.h"
#include "transfer/OffloadFileOps.h"
#include "transfer/RestoreEngine.h"
#include "transfer/StagingCleaner.h"
#include "transfer/TreeUsers.h"
#include "volumes/VolumeManager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QScopeGuard>
#include <algorithm>
#include <cerrno>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <sys/mount.h>
#include <sys/stat.h>

namespace {

enum class Step { offload, copyOnly, updateBackup, reoffload, restore };

const QString oldStamp = QStringLiteral("2024-01-01T00:00:00Z");

// A Mac in a sandbox whose drive folder holds a real tmpfs, listed by the real volume
// discovery; one application "Foo" with a support folder.
class RealDrive
{
public:
    Sandbox sandbox;
    LedgerService ledger;
    OffloadEngine offloader{ledger};
    RestoreEngine restorer{ledger};
    AppItem app;
    QString appPath;
    QString supportPath;
    QString driveCopy; // where the bundle lies on the drive

    RealDrive()
    {
        sandbox.system().useVolumeService(std::make_shared<LinuxVolumeService>());
        offloader.setSleeper([](std::chrono::nanoseconds) {});
        restorer.setSleeper([](std::chrono::nanoseconds) {});
        appPath = sandbox.applications() + QStringLiteral("/Foo.app");
        supportPath = sandbox.userSupport() + QStringLiteral("/Foo");
        driveCopy = sandbox.drive() + QStringLiteral("/Applications/Foo.app");
    }

    // The application lies in `subfolder` of /Applications, and its copy in that of the drive's
    // Applications folder. Before buildApp.
    void placeIn(const QString &subfolder)
    {
        appPath =
            sandbox.applications() + QLatin1Char('/') + subfolder + QStringLiteral("/Foo.app");
        driveCopy = sandbox.drive() + QStringLiteral("/Applications/") + subfolder +
                    QStringLiteral("/Foo.app");
    }

    [[nodiscard]] bool mount(const QString &options)
    {
        return PrivateMounts::mountTmpfs(sandbox.drive(), options);
    }

    void buildApp(int files = 3, qint64 fileSize = 1000)
    {
        BundleBuilder bundle(appPath);
        bundle.identifier(QStringLiteral("com.acme.foo")).version(QStringLiteral("2.0"));
        for (int i = 0; i < files; ++i)
            bundle.file(QStringLiteral("Resources/data-%1").arg(i), QByteArray(fileSize, 'f'));
        bundle.build();
        sandbox.writeFile(supportPath + QStringLiteral("/prefs.plist"), "<plist/>");
        app = {.url = QUrl::fromLocalFile(appPath),
               .name = QStringLiteral("Foo"),
               .bundleIdentifier = QStringLiteral("com.acme.foo"),
               .version = QStringLiteral("2.0"),
               .size = qint64(files) * fileSize};
        app.supportFolders.append({.url = QUrl::fromLocalFile(supportPath),
                                   .displayName = QStringLiteral("Foo"),
                                   .size = 8,
                                   .isSelected = true});
    }

    // What an earlier run left on the drive for the operations that need one.
    void prepareEarlierRun(Step step)
    {
        if (step == Step::offload || step == Step::copyOnly)
            return;
        BundleBuilder(driveCopy).identifier(QStringLiteral("com.acme.foo")).version("1.0").build();
        const bool moved = step != Step::updateBackup;
        if (step == Step::restore) {
            // Offloaded: only a link is left on the Mac.
            QDir(appPath).removeRecursively();
            Sandbox::makeSymlink(appPath, driveCopy);
        }
        ledger.recordMigration(
            MigrationRecord(oldStamp, app.name, app.bundleIdentifier, QStringLiteral("1.0"),
                            appPath, driveCopy, moved,
                            moved ? MigrationStatus::active() : MigrationStatus::copied(), {}),
            QUrl::fromLocalFile(sandbox.drive()));
    }

    // The drive as the discovery lists it.
    [[nodiscard]] std::optional<TargetVolume> listedDrive()
    {
        VolumeManager manager(&ledger);
        drainEvents();
        for (const TargetVolume &volume : manager.availableVolumes()) {
            if (volume.id() == sandbox.drive())
                return volume;
        }
        return std::nullopt;
    }

    // The code the operation ended with (0: success) and its message.
    std::pair<int, QString> run(Step step, const TargetVolume &target)
    {
        QFuture<void> future;
        switch (step) {
        case Step::offload:
        case Step::copyOnly:
            future = offloader.executeOffload(app, target, step == Step::copyOnly);
            break;
        case Step::updateBackup:
            future = offloader.updateBackup(app, target);
            break;
        case Step::reoffload:
            future = offloader.reoffloadAppBundle(app, target);
            break;
        case Step::restore:
            future = restorer.restoreApplication(app, target.url);
            break;
        }
        const std::optional<OperationError> error = errorOfFuture(future, 120000);
        ledger.loadRecords();
        if (error)
            return {error->code(), error->message()};
        return {0, QString()};
    }

    // Everything on the Mac an operation may change, the ledger in the home folder included.
    [[nodiscard]] QMap<QString, TreeDigest> mac() const
    {
        QMap<QString, TreeDigest> digests;
        for (const QString &folder :
             QStringList{sandbox.applications(), sandbox.userApplications(), sandbox.userSupport(),
                         sandbox.systemSupport(), sandbox.home() + QStringLiteral("/.config")})
            digests.insert(folder, digestTree(folder));
        return digests;
    }

    [[nodiscard]] QStringList partialCopies() const
    {
        QStringList found;
        for (const QString &folder :
             QStringList{sandbox.drive() + QStringLiteral("/Applications"),
                         sandbox.drive() + QStringLiteral("/Application Support")}) {
            for (const QString &name :
                 QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)) {
                if (name.endsWith(DriveLayout::partialSuffix))
                    found.append(name);
            }
        }
        return found;
    }
};

// Every case of this file shows as its name in the test's name and messages.
template<typename Case>
requires requires(const Case &c)
{
    c.name;
}
void PrintTo(const Case &c, std::ostream *out)
{
    *out << c.name;
}

// --- A drive unplugged between the listing and the operation ---

struct UnpluggedCase
{
    const char *name;
    Step step;
    int code;
};

class UnpluggedDrive : public ::testing::TestWithParam<UnpluggedCase>
{};

void writeNothingToAGoneDrive(const UnpluggedCase &c)
{
    RealDrive drive;
    ASSERT_TRUE(drive.mount(QStringLiteral("size=600m"))) << "cannot mount tmpfs";
    drive.buildApp();
    drive.prepareEarlierRun(c.step);
    const std::optional<TargetVolume> target = drive.listedDrive();
    ASSERT_TRUE(target) << "the drive was not listed";
    const QList<MigrationRecord> recordsBefore = drive.ledger.records();

    // A plain umount, as when the cable is pulled after the drive was chosen.
    ASSERT_TRUE(PrivateMounts::unmount(drive.sandbox.drive()));
    drive.ledger.loadRecords();
    const QMap<QString, TreeDigest> macBefore = drive.mac();

    const auto [code, message] = drive.run(c.step, *target);
    EXPECT_EQ(code, c.code) << message.toStdString();
    EXPECT_EQ(message, QStringLiteral("The drive \"Drive\" is no longer connected. Connect the "
                                      "drive, choose it again and retry."));
    // The folder the drive leaves behind lies on the Mac's own disk: nothing may go there.
    EXPECT_EQ(digestTree(drive.sandbox.drive()).keys(), QStringList{QString()});
    const QMap<QString, TreeDigest> macAfter = drive.mac();
    for (auto it = macBefore.cbegin(); it != macBefore.cend(); ++it) {
        EXPECT_EQ(macAfter.value(it.key()), it.value())
            << it.key().toStdString() << "\n"
            << describeDifference(it.value(), macAfter.value(it.key())).toStdString();
    }
    for (const MigrationRecord &record : drive.ledger.records())
        EXPECT_EQ(record.timestamp, oldStamp) << "a record was written";
    EXPECT_LE(drive.ledger.records().size(), recordsBefore.size());
}

TEST_P(UnpluggedDrive, WritesNothingAndLeavesTheMacAsItWas)
{
    if (PrivateMounts::enter())
        writeNothingToAGoneDrive(GetParam());
}

INSTANTIATE_TEST_SUITE_P(DriveProof, UnpluggedDrive,
                         ::testing::Values(UnpluggedCase{"Offload", Step::offload, 207},
                                           UnpluggedCase{"CopyOnly", Step::copyOnly, 207},
                                           UnpluggedCase{"BackupUpdate", Step::updateBackup, 207},
                                           UnpluggedCase{"Reoffload", Step::reoffload, 207},
                                           UnpluggedCase{"Restore", Step::restore, 410}),
                         [](const auto &info) { return std::string(info.param.name); });

// The proof holds for a drive that stays, whatever it is made of.
enum class Make {
    ext4WithoutJournal, // as the FAT and exFAT of sticks as sold
    btrfsSubvolumes,    // each drive folder a subvolume, with a device id of its own
};

struct ProvenCase
{
    const char *name;
    Make make;
    // The bundle and the support folder hold links that lead nowhere: a lock link, links to a
    // removed file off the drive and on it, and one of a name the copy tool passes over.
    bool danglingLinks = false;
};

class ProvenDrive : public ::testing::TestWithParam<ProvenCase>
{};

// On a loop-mounted drive the application goes out and comes back whole. Without a journal,
// only a flush of the whole file system makes the commit reach the drive: the drive as it is
// the moment the window says done, pulled without a sync, holds everything the Mac points to.
// A btrfs subvolume is flushed with the file system it belongs to, so a drive folder that is
// one is as good a place as any.
void offloadAndRestoreOnAProvenDrive(const ProvenCase &c)
{
    RealDrive drive;
    QString why;
    QString image;
    if (c.make == Make::ext4WithoutJournal &&
        !PrivateMounts::mountExt4(drive.sandbox.drive(), QStringLiteral("Drive"), 700, &why,
                                  {{QStringLiteral("-O"), QStringLiteral("^has_journal")}, {}, {}},
                                  &image))
        GTEST_SKIP() << why.toStdString();
    if (c.make == Make::btrfsSubvolumes) {
        if (!PrivateMounts::mountBtrfs(drive.sandbox.drive(), QStringLiteral("Drive"),
                                       {QStringLiteral("Applications"),
                                        QStringLiteral("Applications/Utilities"),
                                        QStringLiteral("Application Support")},
                                       &why))
            GTEST_SKIP() << why.toStdString();
        drive.placeIn(QStringLiteral("Utilities"));
    }
    drive.buildApp();
    if (c.danglingLinks) {
        for (const QString &folder : QStringList{
                 drive.appPath + QStringLiteral("/Contents/Resources"), drive.supportPath}) {
            Sandbox::makeSymlink(folder + QStringLiteral("/lock"), QStringLiteral("127.0.0.1:+1"));
            Sandbox::makeSymlink(folder + QStringLiteral("/removed"),
                                 drive.sandbox.path(QStringLiteral("gone/file")));
            Sandbox::makeSymlink(folder + QStringLiteral("/removedOnTheDrive"),
                                 drive.sandbox.drive() + QStringLiteral("/gone"));
            Sandbox::makeSymlink(folder + QStringLiteral("/.nfs0000000000000002"),
                                 QStringLiteral("gone"));
        }
    }
    const TreeDigest original = digestTree(drive.appPath);
    const TreeDigest support = digestTree(drive.supportPath);
    const std::optional<TargetVolume> target = drive.listedDrive();
    ASSERT_TRUE(target);

    const auto [offloaded, offloadMessage] = drive.run(Step::offload, *target);
    ASSERT_EQ(offloaded, 0) << offloadMessage.toStdString();
    EXPECT_EQ(digestTree(drive.driveCopy), original);

    if (c.make == Make::ext4WithoutJournal) {
        // What the loop device was given is in its image; what only memory holds is not.
        const QString pulled = drive.sandbox.path(QStringLiteral("pulled.img"));
        ASSERT_TRUE(Subprocess::run(PrivateMounts::tool("cp"),
                                    {QStringLiteral("--sparse=always"), image, pulled})
                        .succeeded());
        const QString replugged = drive.sandbox.path(QStringLiteral("replugged"));
        QDir().mkpath(replugged);
        ASSERT_TRUE(
            Subprocess::run(PrivateMounts::tool("mount"),
                            {QStringLiteral("-o"), QStringLiteral("loop,ro"), pulled, replugged})
                .succeeded());
        EXPECT_EQ(digestTree(replugged + QStringLiteral("/Applications/Foo.app")), original);
        EXPECT_EQ(digestTree(replugged + QStringLiteral("/Application Support/Foo")), support);
        EXPECT_TRUE(PrivateMounts::unmount(replugged));
    }
    if (c.make == Make::btrfsSubvolumes) {
        // A mapping is named by the device of the whole file system, not the subvolume's own.
        const QString supportCopy =
            drive.sandbox.drive() + QStringLiteral("/Application Support/Foo");
        const FileHolder holder(supportCopy + QStringLiteral("/prefs.plist"),
                                FileHolder::Hold::mapsReadOnly);
        ASSERT_TRUE(holder.isReady());
        EXPECT_FALSE(TreeUsers::of({supportCopy}).isEmpty());
    }
    const auto [restored, restoreMessage] = drive.run(Step::restore, *target);
    ASSERT_EQ(restored, 0) << restoreMessage.toStdString();
    EXPECT_EQ(digestTree(drive.appPath), original);
    EXPECT_EQ(digestTree(drive.supportPath), support);
    EXPECT_FALSE(PathUtils::existsNoFollow(drive.driveCopy));
}

TEST_P(ProvenDrive, TakesTheCopyAndGivesItBack)
{
    if (PrivateMounts::enter())
        offloadAndRestoreOnAProvenDrive(GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    DriveProof, ProvenDrive,
    ::testing::Values(ProvenCase{"Ext4WithoutAJournal", Make::ext4WithoutJournal},
                      ProvenCase{"BtrfsSubvolumes", Make::btrfsSubvolumes},
                      ProvenCase{"Ext4WithLinksLeadingNowhere", Make::ext4WithoutJournal, true}),
    [](const auto &info) { return std::string(info.param.name); });

// --- A drive pulled out during a restore, after the application is back ---

using namespace std::chrono_literals;

// The records of the application, each as status:drive copy:folder count.
QStringList describeRecords(const RealDrive &drive)
{
    QStringList out;
    for (const MigrationRecord &record : drive.ledger.records()) {
        if (record.appOriginalPath == drive.appPath)
            out.append(record.status + (record.appTargetPath ? ":app:" : ":-:") +
                       QString::number(record.supportFolders.size()));
    }
    return out;
}

void pullTheDriveBeforeTheFolders()
{
    RealDrive drive;
    // The drive's file system lives on while it is unplugged, so that it can come back.
    const QString store = Sandbox::makeFolder(drive.sandbox.path(QStringLiteral("store")));
    ASSERT_TRUE(PrivateMounts::mountTmpfs(store, QStringLiteral("size=600m")));
    const auto plugIn = [&] {
        return ::mount(store.toLocal8Bit().constData(),
                       drive.sandbox.drive().toLocal8Bit().constData(), nullptr, MS_BIND,
                       nullptr) == 0;
    };
    ASSERT_TRUE(plugIn());
    drive.buildApp();
    const TreeDigest application = digestTree(drive.appPath);
    const TreeDigest support = digestTree(drive.supportPath);
    std::optional<TargetVolume> target = drive.listedDrive();
    ASSERT_TRUE(target);
    const auto [offloaded, offloadMessage] = drive.run(Step::offload, *target);
    ASSERT_EQ(offloaded, 0) << offloadMessage.toStdString();

    // Unplugged once the support folder's copy is staged on the Mac, before its swap.
    drive.restorer.setSleeper([&](std::chrono::nanoseconds pause) {
        if (pause == 100ms && PrivateMounts::isMounted(drive.sandbox.drive())) {
            EXPECT_TRUE(PrivateMounts::unmount(drive.sandbox.drive()));
        }
    });
    const auto [code, message] = drive.run(Step::restore, *target);
    EXPECT_EQ(code, 410);
    EXPECT_EQ(message, QStringLiteral("The drive \"Drive\" is no longer connected. 'Foo' was "
                                      "restored to your Mac (ledger updated), but not its support "
                                      "data: 'Foo' stayed on the drive. Connect the drive, choose "
                                      "it again and retry to bring it back."));
    EXPECT_EQ(digestTree(drive.appPath), application);
    EXPECT_TRUE(PathUtils::isSymlink(drive.supportPath));
    // The application restored; the folder still on the drive, in a record of its own.
    EXPECT_EQ(describeRecords(drive), (QStringList{"active:-:1", "restored:app:1"}));

    // Plugged in again, the drive's own ledger still says "active", but the Mac's "restored"
    // is the newer: the retry brings the folder back and removes its drive copy. The
    // application's copy, left on the drive by the restore, is what its restored record names:
    // no scan takes it for this application's copy.
    ASSERT_TRUE(plugIn());
    drive.ledger.loadRecords();
    drive.restorer.setSleeper([](std::chrono::nanoseconds) {});
    target = drive.listedDrive();
    ASSERT_TRUE(target);
    const auto [retried, retryMessage] = drive.run(Step::restore, *target);
    ASSERT_EQ(retried, 0) << retryMessage.toStdString();
    EXPECT_EQ(digestTree(drive.appPath), application);
    EXPECT_FALSE(PathUtils::isSymlink(drive.supportPath));
    EXPECT_EQ(digestTree(drive.supportPath), support);
    EXPECT_EQ(digestTree(drive.sandbox.drive() + QStringLiteral("/Application Support")).keys(),
              QStringList{QString()});
    EXPECT_EQ(describeRecords(drive), (QStringList{"restored:app:1", "restored:-:1"}));
    const std::optional<AppItem> scanned =
        InventoryCollector(drive.ledger.records(), {}, {}).buildItem(drive.appPath);
    ASSERT_TRUE(scanned);
    EXPECT_EQ(scanned->status(), AppOffloadStatus::local);
}

TEST(DriveProof, ADrivePulledBeforeTheSupportFoldersIsRecordedAsSuch)
{
    if (PrivateMounts::enter())
        pullTheDriveBeforeTheFolders();
}

// --- The Mac's disk fails to store the restored application ---

struct MacDiskCase
{
    const char *name;
    // The disk fills up once the bundle's copy has reached it, before anything else of the
    // restore is written: only the flush at the end can meet the failure. Otherwise it is full
    // from the start, and the copy may meet it as well.
    bool fullOnceCopied;
};

class FailingMacDisk : public ::testing::TestWithParam<MacDiskCase>
{};

// Fills the tmpfs under a failing ext4, so that what that ext4 has not yet written fails.
void fillUp(const QString &room)
{
    QFile filler(room + QStringLiteral("/filler"));
    ASSERT_TRUE(filler.open(QIODevice::WriteOnly | QIODevice::Append));
    const QByteArray mebibyte(1024 * 1024, 'x');
    while (filler.write(mebibyte) == mebibyte.size() && filler.flush()) {
    }
}

// Whichever step meets the disk's failure, nothing is lost: the drive copy stays whole, the
// record still names it, and the Mac holds the whole application or still the link to it.
void restoreOntoAFailingMacDisk(const MacDiskCase &c)
{
    RealDrive drive;
    QString why;
    ASSERT_TRUE(drive.mount(QStringLiteral("size=600m")));
    // The Mac's applications folder: ext4 whose image lies on a small tmpfs, so that writes
    // fail at write-back once that tmpfs is full.
    const QString room = drive.sandbox.path(QStringLiteral("room"));
    ASSERT_TRUE(PrivateMounts::mountTmpfs(room, QStringLiteral("size=64m")));
    if (!PrivateMounts::mountExt4(
            drive.sandbox.applications(), QStringLiteral("Mac"), 1024, &why,
            {{QStringLiteral("-O"), QStringLiteral("^has_journal")}, room, {}}))
        GTEST_SKIP() << why.toStdString();
    drive.buildApp(4, 4 * 1024 * 1024);
    const TreeDigest original = digestTree(drive.appPath);
    const std::optional<TargetVolume> target = drive.listedDrive();
    ASSERT_TRUE(target);
    const auto [offloaded, offloadMessage] = drive.run(Step::offload, *target);
    ASSERT_EQ(offloaded, 0) << offloadMessage.toStdString();

    // The room the deleted original took goes back to the tmpfs, and something else takes it.
    ASSERT_TRUE(
        Subprocess::run(PrivateMounts::tool("fstrim"), {drive.sandbox.applications()}).succeeded());
    if (c.fullOnceCopied) {
        drive.restorer.setSleeper([&](std::chrono::nanoseconds pause) {
            if (pause != 200ms || QFileInfo::exists(room + QStringLiteral("/filler")))
                return;
            fillUp(room);
            // What the disk is given from now on cannot reach it.
            Sandbox::writeFile(drive.sandbox.applications() + QStringLiteral("/.later"),
                               QByteArray(8 * 1024 * 1024, 'l'));
        });
    } else {
        fillUp(room);
    }

    // Which step meets the failure depends on when the kernel writes back: the copy (402), the
    // swap, or the flush at the end (411).
    const auto [code, message] = drive.run(Step::restore, *target);
    EXPECT_NE(code, 0);
    if (code == 402) {
        EXPECT_TRUE(message.startsWith(QStringLiteral("ditto restore failed: ")))
            << message.toStdString();
    } else if (code == 411) {
        EXPECT_TRUE(message.startsWith(QStringLiteral("'Foo' was restored to your Mac, but the "
                                                      "disk holding '")))
            << message.toStdString();
        EXPECT_TRUE(message.endsWith(QStringLiteral("Its copies on the drive were kept.")))
            << message.toStdString();
    }
    if (c.fullOnceCopied) {
        EXPECT_EQ(code, 411) << message.toStdString();
    }
    EXPECT_EQ(digestTree(drive.driveCopy), original);
    EXPECT_EQ(describeRecords(drive), QStringList{QStringLiteral("active:app:1")});
    // A failing disk can lose its own folder's entries (ext4 then finds the folder corrupt),
    // and one full from the start that reported the failure (411) may not hold what the restore
    // wrote to it: nothing of the Mac can be judged there, and the drive copy and its record are
    // what count.
    struct stat info
    {};
    const bool macHoldsWhatWasWritten = code != 411 || c.fullOnceCopied;
    if (macHoldsWhatWasWritten &&
        (::lstat(QFile::encodeName(drive.appPath).constData(), &info) == 0 || errno == ENOENT)) {
        // The original back, or the offload's stand-in (a link, or the launcher it built)
        // still in its place.
        EXPECT_TRUE(digestTree(drive.appPath) == original ||
                    PathUtils::linkText(drive.appPath) == drive.driveCopy ||
                    AppProxyHelper::isBuiltProxy(drive.appPath))
            << message.toStdString();
    }
}

TEST_P(FailingMacDisk, KeepsTheDriveCopiesAndTheirRecord)
{
    if (PrivateMounts::enter())
        restoreOntoAFailingMacDisk(GetParam());
}

INSTANTIATE_TEST_SUITE_P(DriveProof, FailingMacDisk,
                         ::testing::Values(MacDiskCase{"FullFromTheStart", false},
                                           MacDiskCase{"FullOnceTheCopyIsMade", true}),
                         [](const auto &info) { return std::string(info.param.name); });

// --- A folder chosen as the target: its drive then unmounted, or mounted where the restore
// never looks ---

struct CustomCase
{
    const char *name;
    const char *folder; // below the drive's root; empty: the root itself
    // Where the drive is mounted, below the sandbox's root; nullptr: its folder in the volumes
    // root.
    const char *mountedAt = nullptr;
};

class UnmountedCustomTarget : public ::testing::TestWithParam<CustomCase>
{};

// Neither the choice nor, with the folder given to it anyway, the engine lets a copy go where
// the restore would refuse it; the drive stays byte for byte as it was.
void refuseAPlaceTheRestoreRefuses(RealDrive &drive, const QString &mountPoint,
                                   const QString &folder, const std::optional<QString> &refusal,
                                   const VolumeManager &manager)
{
    const QString expected = QStringLiteral("the folder '") + folder +
                             QStringLiteral("' is not on a drive in '") +
                             drive.sandbox.volumesRoot() +
                             QStringLiteral("', so nothing copied there could be restored.");
    EXPECT_EQ(refusal.value_or(QString()),
              QStringLiteral("This folder cannot be the target: ") + expected);
    EXPECT_FALSE(manager.customTarget());
    EXPECT_FALSE(manager.selectedVolume());

    // The folder as the choice would have made it.
    const QUrl url = QUrl::fromLocalFile(folder);
    const VolumeSpace space = VolumeManager::getVolumeSpace(url);
    const FileSystemTypeInfo type = VolumeManager::getFileSystemType(url);
    const TargetVolume target{url,
                              QStringLiteral("Apps (usb)"),
                              space.total,
                              space.free,
                              true,
                              true,
                              type.type,
                              type.supportsSymlinks,
                              FileSystemIdentity::of(folder)};
    ASSERT_TRUE(target.isCompatible());
    const TreeDigest driveBefore = digestTree(mountPoint);
    const QMap<QString, TreeDigest> macBefore = drive.mac();
    for (const Step step : {Step::copyOnly, Step::offload}) {
        const auto [code, message] = drive.run(step, target);
        EXPECT_EQ(code, 208) << message.toStdString();
        EXPECT_EQ(message, QStringLiteral("Target 'Apps (usb)' cannot be used: ") + expected);
    }
    EXPECT_EQ(describeDifference(driveBefore, digestTree(mountPoint)), QString());
    EXPECT_EQ(drive.mac(), macBefore);
    EXPECT_TRUE(drive.ledger.records().isEmpty());
}

void dropAGoneCustomTarget(const CustomCase &c)
{
    RealDrive drive;
    const QString mountPoint =
        c.mountedAt ? Sandbox::makeFolder(drive.sandbox.path(c.mountedAt)) : drive.sandbox.drive();
    ASSERT_TRUE(PrivateMounts::mountTmpfs(mountPoint, QStringLiteral("size=600m")))
        << "cannot mount tmpfs";
    drive.buildApp();
    QString folder = mountPoint;
    if (*c.folder)
        folder = Sandbox::makeFolder(folder + QLatin1Char('/') + QLatin1String(c.folder));

    VolumeManager manager(&drive.ledger);
    drainEvents();
    const std::optional<QString> refusal =
        manager.selectCustomDirectory(QUrl::fromLocalFile(folder));
    if (c.mountedAt) {
        refuseAPlaceTheRestoreRefuses(drive, mountPoint, folder, refusal, manager);
        return;
    }
    EXPECT_FALSE(refusal);
    ASSERT_TRUE(manager.customTarget());
    const TargetVolume chosen = *manager.customTarget();
    ASSERT_EQ(manager.selectedVolume(), chosen);

    // A backup to the folder is one the restore takes back.
    const auto [copied, copyMessage] = drive.run(Step::copyOnly, chosen);
    ASSERT_EQ(copied, 0) << copyMessage.toStdString();
    ASSERT_EQ(drive.ledger.records().size(), 1);
    const Verdict rule = RecordRule::check(drive.ledger.records().first());
    EXPECT_TRUE(rule.ok) << rule.reason.value_or(QString()).toStdString();
    const auto [restored, restoreMessage] = drive.run(Step::restore, chosen);
    EXPECT_EQ(restored, 0) << restoreMessage.toStdString();

    ASSERT_TRUE(PrivateMounts::unmount(drive.sandbox.drive()));
    manager.refreshVolumes();
    EXPECT_TRUE(waitUntil([&] { return !manager.customTarget() && !manager.selectedVolume(); }))
        << "the gone folder is still the target";

    const QMap<QString, TreeDigest> macBefore = drive.mac();
    const auto [code, message] = drive.run(Step::offload, chosen);
    EXPECT_EQ(code, 207) << message.toStdString();
    EXPECT_TRUE(message.contains(QStringLiteral("is no longer connected")));
    EXPECT_EQ(digestTree(drive.sandbox.drive()).keys(), QStringList{QString()});
    EXPECT_EQ(drive.mac(), macBefore);
}

TEST_P(UnmountedCustomTarget, IsNoTargetAndTakesNoCopy)
{
    if (PrivateMounts::enter())
        dropAGoneCustomTarget(GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    DriveProof, UnmountedCustomTarget,
    ::testing::Values(CustomCase{"DriveRoot", ""}, CustomCase{"FolderOnTheDrive", "Backups"},
                      // As a desktop mounts drives under /mnt or /media.
                      CustomCase{"DriveRootOutsideTheVolumesRoot", "", "mnt/usb"},
                      CustomCase{"FolderOnADriveOutsideTheVolumesRoot", "Apps", "mnt/usb"}),
    [](const auto &info) { return std::string(info.param.name); });

// --- A link on the drive that leads the copies off it ---

// Where the drive's Applications/Utilities leads, and from when on.
enum class Detour {
    secondDrive,         // a second drive's Applications/Utilities, from the start
    macBeforeTheFolders, // a folder of the Mac's disk, put there once the checks passed
    macBeforeTheCopy,    // ... once the folders were made
    // ... between the copy tool's cp and what follows it, the folder of the Mac holding an item
    // of the staged copy's name with a pipe in it
    macAfterTheCopyTool,
    macBeforeTheCommit, // ... once the copy was verified, holding the user's own "Foo.app"
    macAfterTheCommit,  // ... once the bundle's copy was committed
    // The staged bundle's Contents made a link to a faithful replica on a second drive, while
    // the verifier reads it
    secondDriveWhileVerifying,
    // ... its Resources folder the replica's, mounted there
    secondDriveMountedWhileVerifying,
    // ... the committed copy's Contents, once the commit is done
    secondDriveAfterTheCommit,
};

struct DetourCase
{
    const char *name;
    Detour detour;
    Step step;
    // "{drive}", "{other}", "{mac}" and "{volumes}" stand for those folders; what follows
    // "Target 'Drive' cannot be used: " for a 208, else the whole message.
    const char *message;
    int code = 208;
};

class LinkOffTheDrive : public ::testing::TestWithParam<DetourCase>
{};

// Runs `beforeFolder` ahead of each folder made, `beforeCopy` ahead of each copy,
// `beforeMove` ahead of each move (with what is moved) and `afterMove` after each move, with the
// place concerned.
class DetouringFileOps : public OffloadFileOps
{
public:
    std::function<void(const QString &)> beforeFolder = [](const QString &) {};
    std::function<void(const QString &)> beforeCopy = [](const QString &) {};
    std::function<void(const QString &)> beforeMove = [](const QString &) {};
    std::function<void(const QString &)> afterMove = [](const QString &) {};

    void makeFolder(const QString &path, const TargetVolume &target) override
    {
        beforeFolder(path);
        OffloadFileOps::makeFolder(path, target);
    }
    void copy(OffloadEngine &engine, const QString &source, const QString &destination) override
    {
        beforeCopy(destination);
        OffloadFileOps::copy(engine, source, destination);
    }
    void move(const QString &source, const QString &destination) override
    {
        beforeMove(source);
        OffloadFileOps::move(source, destination);
        afterMove(destination);
    }
};

void refuseACopyLedOffTheDrive(const DetourCase &c)
{
    RealDrive drive;
    ASSERT_TRUE(drive.mount(QStringLiteral("size=600m"))) << "cannot mount tmpfs";
    const QString utilities = drive.sandbox.drive() + QStringLiteral("/Applications/Utilities");
    const QString other = drive.sandbox.addDrive(QStringLiteral("Other"));
    const QString mac = Sandbox::makeFolder(drive.sandbox.path(QStringLiteral("Moved")));
    drive.placeIn(QStringLiteral("Utilities"));
    drive.buildApp();
    if (c.detour != Detour::secondDrive || c.step != Step::restore)
        drive.prepareEarlierRun(c.step);
    if (c.detour == Detour::secondDrive) {
        // As people move a large folder to another disk.
        ASSERT_TRUE(PrivateMounts::mountTmpfs(other, QStringLiteral("size=600m")));
        Sandbox::makeSymlink(
            utilities, Sandbox::makeFolder(other + QStringLiteral("/Applications/Utilities")));
        // An offload of the application lies there, through the link.
        if (c.step == Step::restore)
            drive.prepareEarlierRun(c.step);
    }
    if (c.detour == Detour::macBeforeTheCommit)
        BundleBuilder(mac + QStringLiteral("/Foo.app")).version(QStringLiteral("0.1")).build();
    // The copy tool's own cp, which swaps the folder once it has copied the bundle.
    std::optional<FakeTool> cp;
    const QByteArray path = qgetenv("PATH");
    if (c.detour == Detour::macAfterTheCopyTool) {
        const QString partial = mac + QStringLiteral("/Foo.app.korvanthelix-partial");
        Sandbox::writeFile(partial + QStringLiteral("/notes"), "mine");
        ASSERT_EQ(
            ::mkfifo(QFile::encodeName(partial + QStringLiteral("/helper.pipe")).constData(), 0600),
            0);
        cp.emplace(QStringLiteral("cp"),
                   QStringLiteral("/bin/cp \"$@\" || exit; for last; do :; done; case \"$last\" "
                                  "in */Utilities/Foo.app.korvanthelix-partial) mv \"${last%/*}\" "
                                  "\"${last%/*}-away\" && ln -s '") +
                       mac + QStringLiteral("' \"${last%/*}\";; esac"));
        qputenv("PATH", QFile::encodeName(PathUtils::parentPath(cp->path())) + ':' + path);
    }
    const auto restorePath = qScopeGuard([&] { qputenv("PATH", path); });
    // The drive's folder swapped for a link to the Mac's disk, once.
    bool detoured = false;
    const auto detour = [&](const QString &place) {
        if (detoured || !PathUtils::isSameOrInside(place, utilities))
            return;
        detoured = true;
        QDir().mkpath(PathUtils::parentPath(utilities));
        if (PathUtils::existsNoFollow(utilities)) {
            ASSERT_TRUE(QDir().rename(utilities, utilities + QStringLiteral("-away")));
        }
        Sandbox::makeSymlink(utilities, mac);
    };
    auto ops = std::make_shared<DetouringFileOps>();
    if (c.detour == Detour::macBeforeTheFolders)
        ops->beforeFolder = detour;
    if (c.detour == Detour::macBeforeTheCopy)
        ops->beforeCopy = detour;
    if (c.detour == Detour::macBeforeTheCommit)
        ops->beforeMove = [&](const QString &place) {
            if (place == drive.driveCopy)
                detour(place);
        };
    if (c.detour == Detour::macAfterTheCommit)
        ops->afterMove = [&](const QString &place) {
            if (place == drive.driveCopy)
                detour(place);
        };
    // The copy's Contents made a link to a faithful replica on the second drive.
    const auto replace = [&](const QString &copy) {
        const QString replica = other + QStringLiteral("/Replica");
        ASSERT_TRUE(platformCopy(copy + QStringLiteral("/Contents"), replica));
        ASSERT_TRUE(QDir().rename(copy + QStringLiteral("/Contents"),
                                  drive.sandbox.drive() + QStringLiteral("/Aside")));
        Sandbox::makeSymlink(copy + QStringLiteral("/Contents"), replica);
    };
    if (c.detour == Detour::secondDriveAfterTheCommit) {
        ASSERT_TRUE(PrivateMounts::mountTmpfs(other, QStringLiteral("size=600m")));
        ops->afterMove = [&](const QString &place) {
            if (place == drive.driveCopy && !detoured) {
                detoured = true;
                replace(place);
            }
        };
    }
    drive.offloader.setFileOps(ops);
    if (c.detour == Detour::secondDriveWhileVerifying ||
        c.detour == Detour::secondDriveMountedWhileVerifying) {
        ASSERT_TRUE(PrivateMounts::mountTmpfs(other, QStringLiteral("size=600m")));
        const QString staged = drive.driveCopy + DriveLayout::partialSuffix;
        const QString replica = other + QStringLiteral("/Replica");
        auto storage = std::make_shared<FaultyStorage>();
        storage->setReadBackHook([&, staged, replica](int fd) {
            if (detoured || !FakeDarwinCalls::pathOf(fd).startsWith(staged + QLatin1Char('/')))
                return;
            detoured = true;
            if (c.detour == Detour::secondDriveWhileVerifying) {
                replace(staged);
            } else {
                ASSERT_TRUE(platformCopy(staged + QStringLiteral("/Contents"), replica));
                const QByteArray from = QFile::encodeName(replica + QStringLiteral("/Resources"));
                const QByteArray onto =
                    QFile::encodeName(staged + QStringLiteral("/Contents/Resources"));
                ASSERT_EQ(::mount(from.constData(), onto.constData(), nullptr, MS_BIND, nullptr),
                          0);
            }
        });
        drive.sandbox.system().useStorage(storage);
    }
    const std::optional<TargetVolume> target = drive.listedDrive();
    ASSERT_TRUE(target);
    const QList<MigrationRecord> recordsBefore = drive.ledger.records();
    const QMap<QString, TreeDigest> macBefore = drive.mac();
    const TreeDigest macFolderBefore = digestTree(mac);
    const TreeDigest otherBefore = digestTree(other + QStringLiteral("/Applications"));
    const QString reason = QString::fromUtf8(c.message)
                               .replace(QStringLiteral("{drive}"), drive.sandbox.drive())
                               .replace(QStringLiteral("{other}"), other)
                               .replace(QStringLiteral("{mac}"), mac)
                               .replace(QStringLiteral("{volumes}"), drive.sandbox.volumesRoot());

    const auto [code, message] = drive.run(c.step, *target);
    EXPECT_EQ(code, c.code) << message.toStdString();
    EXPECT_EQ(message,
              c.code == 208 ? QStringLiteral("Target 'Drive' cannot be used: ") + reason : reason);
    EXPECT_EQ(drive.mac(), macBefore);
    EXPECT_EQ(digestTree(mac), macFolderBefore) << "a copy was left on the Mac";
    EXPECT_EQ(drive.ledger.records(), recordsBefore);
    EXPECT_FALSE(
        QFileInfo::exists(other + QLatin1Char('/') + LedgerService::driveLedgerFileName()));
    EXPECT_EQ(digestTree(other + QStringLiteral("/Applications")), otherBefore);
    if (c.detour == Detour::secondDrive && c.step != Step::restore) {
        EXPECT_EQ(digestTree(other + QStringLiteral("/Applications/Utilities")).keys(),
                  QStringList{QString()});
        // Nor can the drive be chosen as a folder.
        VolumeManager manager(&drive.ledger);
        drainEvents();
        EXPECT_EQ(manager.selectCustomDirectory(QUrl::fromLocalFile(drive.sandbox.drive()))
                      .value_or(QString()),
                  QStringLiteral("This folder cannot be the target: ") + reason);
        EXPECT_FALSE(manager.customTarget());
    }
}

TEST_P(LinkOffTheDrive, RefusesTheCopyAndLeavesTheMacAsItWas)
{
    if (PrivateMounts::enter())
        refuseACopyLedOffTheDrive(GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    DriveProof, LinkOffTheDrive,
    ::testing::Values(
        DetourCase{"SecondDrive", Detour::secondDrive, Step::offload,
                   "the folder '{drive}/Applications/Utilities' (a link leads it to "
                   "'{other}/Applications/Utilities') lies on another file system than '{drive}', "
                   "which the drive's flush and read-back do not reach."},
        DetourCase{"MacDiskBeforeTheFolders", Detour::macBeforeTheFolders, Step::offload,
                   "the folder '{drive}/Applications/Utilities' (a link leads it to '{mac}') lies "
                   "outside the \"Applications\" folder of a drive in '{volumes}', so nothing "
                   "copied there could be restored. Nothing on your Mac was changed."},
        DetourCase{"MacDiskBeforeTheCopy", Detour::macBeforeTheCopy, Step::offload,
                   "the copy '{drive}/Applications/Utilities/Foo.app.korvanthelix-partial' (a link "
                   "leads it to '{mac}/Foo.app.korvanthelix-partial') lies on another file system "
                   "than '{drive}', which the drive's flush and read-back do not reach. Nothing on "
                   "your Mac was changed."},
        // What follows the copy acts on the copy made in the drive's folder, not on what a link
        // put in the folder's place leads to.
        DetourCase{"MacDiskAfterTheCopyTool", Detour::macAfterTheCopyTool, Step::offload,
                   "the copy '{drive}/Applications/Utilities/Foo.app.korvanthelix-partial' (a link "
                   "leads it to '{mac}/Foo.app.korvanthelix-partial') lies on another file system "
                   "than '{drive}', which the drive's flush and read-back do not reach. Nothing on "
                   "your Mac was changed."},
        DetourCase{"MacDiskBeforeTheBackupCopy", Detour::macBeforeTheCopy, Step::copyOnly,
                   "the copy '{drive}/Applications/Utilities/Foo.app.korvanthelix-partial' (a link "
                   "leads it to '{mac}/Foo.app.korvanthelix-partial') lies on another file system "
                   "than '{drive}', which the drive's flush and read-back do not reach. Nothing on "
                   "your Mac was changed."},
        DetourCase{"MacDiskBeforeTheUpdatedBackupsFolders", Detour::macBeforeTheFolders,
                   Step::updateBackup,
                   "the folder '{drive}/Applications/Utilities' (a link leads it to '{mac}') lies "
                   "outside the \"Applications\" folder of a drive in '{volumes}', so nothing "
                   "copied there could be restored. Nothing on your Mac was changed."},
        DetourCase{"MacDiskAfterTheCommit", Detour::macAfterTheCommit, Step::offload,
                   "the copy '{drive}/Applications/Utilities/Foo.app' (a link leads it to "
                   "'{mac}/Foo.app') lies on another file system than '{drive}', which the drive's "
                   "flush and read-back do not reach. Nothing on your Mac was changed."},
        DetourCase{"MacDiskAfterTheReoffloadsCommit", Detour::macAfterTheCommit, Step::reoffload,
                   "the copy '{drive}/Applications/Utilities/Foo.app' (a link leads it to "
                   "'{mac}/Foo.app') lies on another file system than '{drive}', which the drive's "
                   "flush and read-back do not reach. Nothing on your Mac was changed."},
        // The commit moves the earlier copy aside in the folder it judged, not in the one a
        // link now leads to, where the user keeps an application of that name.
        DetourCase{"MacDiskBeforeTheReoffloadsCommit", Detour::macBeforeTheCommit, Step::reoffload,
                   "the folder '{drive}/Applications/Utilities' (a link leads it to '{mac}') lies "
                   "outside the \"Applications\" folder of a drive in '{volumes}', so nothing "
                   "copied there could be restored. Nothing on your Mac was changed."},
        DetourCase{"SecondDriveLinkedWhileVerifying", Detour::secondDriveWhileVerifying,
                   Step::offload,
                   "Verification failed for app bundle 'Foo'. Source was left untouched.", 102},
        DetourCase{"SecondDriveMountedWhileVerifying", Detour::secondDriveMountedWhileVerifying,
                   Step::offload,
                   "Verification failed for app bundle 'Foo'. Source was left untouched.", 102},
        // What was verified must still be what the drive holds when the Mac's original goes.
        DetourCase{"SecondDriveLinkedAfterTheCommit", Detour::secondDriveAfterTheCommit,
                   Step::offload,
                   "the copy '{drive}/Applications/Utilities/Foo.app' changed after it was "
                   "verified: an item of it was replaced, moved or made a link. Nothing on your "
                   "Mac was changed."},
        // The restore reads only a copy on the drive it proved; another drive's may be another
        // Mac's only one.
        DetourCase{"SecondDriveRestored", Detour::secondDrive, Step::restore,
                   "Invalid migration record for 'Foo': the drive copy "
                   "'{drive}/Applications/Utilities/Foo.app' (a link leads it to "
                   "'{other}/Applications/Utilities/Foo.app') lies on another file system than "
                   "'{drive}', which the drive's flush and read-back do not reach.",
                   407}),
    [](const auto &info) { return std::string(info.param.name); });

// --- A drive that runs out of room, fails below its file system, or lies ---

enum class Medium {
    tmpfs,       // room as its options say
    failingExt4, // loop ext4 whose image lies on a small tmpfs: writes fail at write-back
    fakeCapacity // loop ext4 over a file that keeps its first megabytes and drops the rest
};

struct FullCase
{
    const char *name;
    Medium medium;
    const char *listedOptions;  // tmpfs: the drive as listed, with room for the preflight;
                                // failingExt4: the tmpfs that holds the image
    const char *copyingOptions; // tmpfs: remounted before the copy; empty: unchanged
    int files;
    qint64 fileSize;
    int code;
    const char *messageStart;
    const char *messagePart;
    // The drive turns read-only once the bundle's copy is flushed, as ext4 does after an I/O
    // error; what it holds by then stays.
    bool readOnlyAtVerification = false;
    // The copy tool stays a while after writing, so the drive is written out while it runs
    // and meets its error before the flush after the copy does.
    bool copyLingers = false;
    Step step = Step::offload;
    // failingExt4: the drive fills up right after the ledger was written to it, so that only
    // the flush after the ledger write meets the failure, once the Mac has been changed. The
    // drive is then put right (or plugged in again) and scanned.
    bool fullAfterTheLedger = false;
    // ... and is pulled out, with its ledger.
    bool pulledAfterTheLedger = false;
    // ... or only once the withdrawal of its record has begun on the Mac.
    bool pulledInsideTheWithdrawal = false;
};

// Records the move as the product does, then runs `after`.
class LedgerWriteThen : public OffloadFileOps
{
public:
    explicit LedgerWriteThen(std::function<void()> after)
        : m_after(std::move(after))
    {}
    std::optional<QString> recordMigration(LedgerService &ledger, const MigrationRecord &record,
                                           const QUrl &targetVolumeURL) override
    {
        std::optional<QString> driveProblem =
            OffloadFileOps::recordMigration(ledger, record, targetVolumeURL);
        m_after();
        return driveProblem;
    }

private:
    std::function<void()> m_after;
};

class FullDrive : public ::testing::TestWithParam<FullCase>
{};

// A fake-capacity drive of 1 GB that keeps 8 MB: its file, served until the object goes.
class FakeCapacityFile
{
public:
    explicit FakeCapacityFile(const QString &folder)
        : m_folder(folder)
    {
#ifdef KORVANTHELIX_FAKE_CAPACITY_DRIVE
        QDir().mkpath(folder);
        m_server = std::make_unique<Subprocess>(
            QStringLiteral(KORVANTHELIX_FAKE_CAPACITY_DRIVE),
            QStringList{QStringLiteral("8"), QStringLiteral("1024"), folder});
        if (m_server->start())
            m_ready = waitUntil([&] { return QFileInfo::exists(image()); }, 10000);
#endif
    }
    ~FakeCapacityFile()
    {
        if (m_server) {
            m_server->terminate();
            (void)m_server->waitForFinished();
        }
    }
    [[nodiscard]] bool ready() const
    {
        return m_ready;
    }
    [[nodiscard]] QString image() const
    {
        return m_folder + QStringLiteral("/drive.img");
    }

private:
    QString m_folder;
    std::unique_ptr<Subprocess> m_server;
    bool m_ready = false;
};

std::optional<QList<MigrationRecord>> driveLedger(const RealDrive &drive)
{
    return ledgerFileRecords(drive.sandbox.drive() + QLatin1Char('/') +
                             LedgerService::driveLedgerFileName());
}

// The failing drive put right, or the pulled one plugged in again: its ledger reads whole with
// every record it held, says what the message said it would, and gives up the withdrawn record
// at the first scan; meanwhile neither the window nor a restore took that record for true.
void replugAndRescan(RealDrive &drive, const QString &image, const QString &room,
                     const QList<MigrationRecord> &before, const QString &message, Step step)
{
    if (PrivateMounts::isMounted(drive.sandbox.drive())) {
        ASSERT_TRUE(PrivateMounts::unmount(drive.sandbox.drive()));
    }
    QFile::remove(room + QStringLiteral("/filler"));
    // A pulled drive's device goes once the last file open on it is closed.
    ASSERT_TRUE(waitUntil([&] {
        return Subprocess::run(PrivateMounts::tool("losetup"), {QStringLiteral("-j"), image})
            .standardOutput.trimmed()
            .isEmpty();
    }));
    const SubprocessResult mounted =
        Subprocess::run(PrivateMounts::tool("mount"), {QStringLiteral("-o"), QStringLiteral("loop"),
                                                       image, drive.sandbox.drive()});
    ASSERT_TRUE(mounted.succeeded()) << mounted.failureText().toStdString();

    const std::optional<QList<MigrationRecord>> listed = driveLedger(drive);
    ASSERT_TRUE(listed) << "the drive's ledger cannot be read";
    for (const MigrationRecord &record : before)
        EXPECT_TRUE(listed->contains(record)) << record.id().toStdString();
    EXPECT_EQ(listed->size() > before.size(),
              message.endsWith(QStringLiteral("may still list it, and will be updated when it is "
                                              "next connected and free.")))
        << message.toStdString();

    drive.ledger.loadRecords();
    EXPECT_EQ(drive.ledger.records(), before);
    // A verified copy on the drive and no record of a move: a backup of what is on the Mac.
    expectWithdrawnAfterARescan(
        drive.ledger, QStringLiteral("Foo"),
        drive.sandbox.drive() + QLatin1Char('/') + LedgerService::driveLedgerFileName(), before,
        step == Step::reoffload ? AppOffloadStatus::needsReoffload : AppOffloadStatus::copied);
}

void failWithoutLeftovers(const FullCase &c)
{
    RealDrive drive;
    std::unique_ptr<FakeCapacityFile> fake;
    QString why;
    QString image;
    const QString room = drive.sandbox.path(QStringLiteral("room"));
    // Without a journal, as the FAT and exFAT of sticks as sold: nothing but a flush of the
    // whole file system makes what was written reach the drive.
    const QStringList plainExt4{QStringLiteral("-O"), QStringLiteral("^has_journal"),
                                QStringLiteral("-N"), QStringLiteral("4096"),
                                QStringLiteral("-E"), QStringLiteral("lazy_itable_init=0")};
    switch (c.medium) {
    case Medium::tmpfs:
        ASSERT_TRUE(drive.mount(QString::fromLatin1(c.listedOptions))) << "cannot mount tmpfs";
        break;
    case Medium::failingExt4:
        ASSERT_TRUE(PrivateMounts::mountTmpfs(room, QString::fromLatin1(c.listedOptions)));
        if (!PrivateMounts::mountExt4(drive.sandbox.drive(), QStringLiteral("Drive"), 1024, &why,
                                      {plainExt4, room, {}}, &image))
            GTEST_SKIP() << why.toStdString();
        break;
    case Medium::fakeCapacity:
        fake = std::make_unique<FakeCapacityFile>(drive.sandbox.path(QStringLiteral("fake")));
        if (!fake->ready())
            GTEST_SKIP() << "no FUSE drive can be served here";
        if (!PrivateMounts::mountExt4(drive.sandbox.drive(), QStringLiteral("Drive"), 1024, &why,
                                      {plainExt4, {}, fake->image()}))
            GTEST_SKIP() << why.toStdString();
        break;
    }
    drive.buildApp(c.files, c.fileSize);
    drive.prepareEarlierRun(c.step);
    const QList<MigrationRecord> recordsBefore = drive.ledger.records();
    // The support folder's few bytes may land in the kept part; the bundle's cannot.
    if (c.medium == Medium::fakeCapacity)
        drive.app.supportFolders.clear();
    const auto storage = std::make_shared<FaultyStorage>();
    drive.sandbox.system().useStorage(storage);
    if (c.fullAfterTheLedger) {
        drive.offloader.setFileOps(std::make_shared<LedgerWriteThen>([&drive, &room, &c, storage] {
            // The Mac's first push of its ledgers: the drive goes as the system drops it.
            if (c.pulledInsideTheWithdrawal) {
                storage->setFlushFault(
                    [home = QString(drive.sandbox.home() + QStringLiteral("/.config/korvanthelix")),
                     mountPoint = drive.sandbox.drive(), pulled = std::make_shared<bool>()](
                        const QString &folder, const StorageWrites &) {
                        if (folder == home && !std::exchange(*pulled, true)) {
                            EXPECT_EQ(::umount2(mountPoint.toLocal8Bit().constData(), MNT_DETACH),
                                      0);
                        }
                        return 0;
                    });
            }
            fillUp(room);
            // What the drive is given from now on cannot reach it.
            Sandbox::writeFile(drive.sandbox.drive() + QStringLiteral("/.later"),
                               QByteArray(8 * 1024 * 1024, 'l'));
            // Out of the machine while the operation still holds it open.
            if (c.pulledAfterTheLedger) {
                EXPECT_EQ(::umount2(drive.sandbox.drive().toLocal8Bit().constData(), MNT_DETACH),
                          0);
            }
        }));
    }
    const std::optional<TargetVolume> target = drive.listedDrive();
    ASSERT_TRUE(target);
    // Something else filled the drive after it was listed: same file system, less room.
    if (*c.copyingOptions) {
        ASSERT_EQ(::mount("tmpfs", drive.sandbox.drive().toLocal8Bit().constData(), "tmpfs",
                          MS_REMOUNT, c.copyingOptions),
                  0);
    }
    if (c.copyLingers) {
        drive.sandbox.system().setCopyTool([](const QString &source, const QString &copy) {
            return QStringList{QStringLiteral("/bin/sh"), QStringLiteral("-c"),
                               QStringLiteral("\"$@\" && sleep 1"), QStringLiteral("sh")} +
                   platformCopyToolArguments(source, copy);
        });
    }
    if (c.readOnlyAtVerification) {
        drive.offloader.setSleeper([&](std::chrono::nanoseconds) {
            ::mount(nullptr, drive.sandbox.drive().toLocal8Bit().constData(), nullptr,
                    MS_REMOUNT | MS_RDONLY, nullptr);
        });
    }
    QMap<QString, TreeDigest> macBefore = drive.mac();

    const auto [code, message] = drive.run(c.step, *target);
    EXPECT_EQ(code, c.code) << message.toStdString();
    EXPECT_TRUE(message.startsWith(QString::fromUtf8(c.messageStart))) << message.toStdString();
    EXPECT_TRUE(message.contains(QString::fromUtf8(c.messagePart))) << message.toStdString();
    // One complaint per file the tool could not write: the message keeps the first ones.
    EXPECT_LT(message.size(), 4000) << message.toStdString();
    if (!c.readOnlyAtVerification) {
        EXPECT_EQ(drive.partialCopies(), QStringList());
    }
    QMap<QString, TreeDigest> macAfter = drive.mac();
    if (c.fullAfterTheLedger) {
        // Its record was written there and withdrawn again.
        macAfter.remove(drive.sandbox.home() + QStringLiteral("/.config"));
        macBefore.remove(drive.sandbox.home() + QStringLiteral("/.config"));
    }
    EXPECT_EQ(macAfter, macBefore);
    EXPECT_EQ(drive.ledger.records(), recordsBefore);
    if (c.fullAfterTheLedger)
        replugAndRescan(drive, image, room, recordsBefore, message, c.step);
    if (c.medium != Medium::tmpfs) {
        EXPECT_TRUE(PrivateMounts::unmount(drive.sandbox.drive()));
    }
}

TEST_P(FullDrive, FailsWithoutLeavingAPartialCopy)
{
    if (PrivateMounts::enter())
        failWithoutLeftovers(GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    DriveProof, FullDrive,
    ::testing::Values(FullCase{"OutOfSpace", Medium::tmpfs, "size=600m", "size=1m", 4, 600 * 1024,
                               301, "ditto copy failed: ", "No space left on device"},
                      FullCase{"OutOfInodes", Medium::tmpfs, "size=600m,nr_inodes=24", "", 60, 10,
                               301, "ditto copy failed: ", "No space left on device"},
                      // The copy and its read-back from memory succeed; the drive never got it.
                      FullCase{"WritesFailBelowTheFileSystem", Medium::failingExt4, "size=12m", "",
                               4, 4 * 1024 * 1024, 303,
                               "The drive \"Drive\" could not store what was written to it: ",
                               "Nothing on your Mac was changed."},
                      FullCase{"WritesFailWhileTheCopyRuns", Medium::failingExt4, "size=12m", "", 4,
                               4 * 1024 * 1024, 303,
                               "The drive \"Drive\" could not store what was written to it: ",
                               "Nothing on your Mac was changed.", false, true},
                      // No administrator can cure it: the drive's own error is what the user reads.
                      FullCase{"TurnsReadOnly", Medium::tmpfs, "size=600m", "", 3, 1000, EROFS,
                               "Could not move '", "Read-only file system", true},
                      FullCase{"FakeCapacityDropsTheCopy", Medium::fakeCapacity, "", "", 24,
                               1024 * 1024, 102, "Verification failed for app bundle 'Foo'.",
                               "Source was left untouched."},
                      // The Mac was changed and is put back; no ledger goes on saying the
                      // application is on the drive, once the drive can be written again.
                      FullCase{"WritesFailAfterTheOffloadWasRecorded", Medium::failingExt4,
                               "size=64m", "", 4, 4 * 1024 * 1024, 303,
                               "The drive \"Drive\" could not store what was written to it: ",
                               ". 'Foo' was put back on your Mac as it was, and the record of the "
                               "move was withdrawn",
                               false, false, Step::offload, true},
                      FullCase{"WritesFailAfterTheReoffloadWasRecorded", Medium::failingExt4,
                               "size=64m", "", 4, 4 * 1024 * 1024, 303,
                               "The drive \"Drive\" could not store what was written to it: ",
                               ". 'Foo' was put back on your Mac as it was, and the record of the "
                               "move was withdrawn",
                               false, false, Step::reoffload, true},
                      FullCase{"PulledAfterTheOffloadWasRecorded", Medium::failingExt4, "size=64m",
                               "", 4, 4 * 1024 * 1024, 303,
                               "The drive \"Drive\" could not store what was written to it: ",
                               ". 'Foo' was put back on your Mac as it was, and the record of the "
                               "move was withdrawn from your Mac's ledger; the drive 'Drive' may "
                               "still list it, and will be updated when it is next connected and "
                               "free.",
                               false, false, Step::offload, true, true},
                      FullCase{"PulledAfterTheReoffloadWasRecorded", Medium::failingExt4,
                               "size=64m", "", 4, 4 * 1024 * 1024, 303,
                               "The drive \"Drive\" could not store what was written to it: ",
                               ". 'Foo' was put back on your Mac as it was, and the record of the "
                               "move was withdrawn from your Mac's ledger; the drive 'Drive' may "
                               "still list it, and will be updated when it is next connected and "
                               "free.",
                               false, false, Step::reoffload, true, true},
                      FullCase{"PulledInsideTheWithdrawal", Medium::failingExt4, "size=64m", "", 4,
                               4 * 1024 * 1024, 303,
                               "The drive \"Drive\" could not store what was written to it: ",
                               ". 'Foo' was put back on your Mac as it was, and the record of the "
                               "move was withdrawn from your Mac's ledger; the drive 'Drive' may "
                               "still list it, and will be updated when it is next connected and "
                               "free.",
                               false, false, Step::offload, true, false, true}),
    [](const auto &info) { return std::string(info.param.name); });

// --- A file system mounted in what a removal takes, or a file that nobody may remove ---

enum class Remover {
    restore,
    cleanup,
    byPath, // the removal of an item by its path, as of a Mac original that was copied
};
enum class Mounted {
    diskImage,     // a file system of its own, as a disk image a user mounts without any password
    sameDrive,     // another folder of the same drive, bound there
    onTheItem,     // a disk image mounted on the item to remove itself
    immutableFile, // nothing mounted: a file of it marked immutable (chattr +i)
};

struct MountCase
{
    const char *name;
    Remover remover;
    Mounted mounted;
    // The drive's Applications folder is the administrator's alone to change.
    bool administrator;
};

class MountInARemoval : public ::testing::TestWithParam<MountCase>
{};

// What is mounted in a drive copy once it was verified, or in a leftover, is no part of it: the
// removal goes round it, and no administrator's removal, which would follow the mount, is asked
// for. Where the program cannot look itself, the mount table keeps the administrator's removal
// from running at all. A file nobody may remove is told as such, and nobody is asked.
void removeAroundAMount(const MountCase &c)
{
    RealDrive drive;
    ASSERT_TRUE(drive.mount(QStringLiteral("size=600m"))) << "cannot mount tmpfs";
    drive.buildApp();
    const QString kept = drive.sandbox.drive() + QStringLiteral("/Kept");
    Sandbox::writeFile(kept + QStringLiteral("/mine"), "mine");
    const QString removed = drive.driveCopy + DriveLayout::partialSuffix;
    const QString inside = QStringLiteral("/Contents/Mounted");
    QString mountPoint = c.mounted == Mounted::onTheItem ? removed : removed + inside;
    QString locked;
    const auto mountIn = [&](const QString &bundle) {
        const QString at = c.mounted == Mounted::onTheItem
                               ? bundle
                               : Sandbox::makeFolder(bundle + QStringLiteral("/Contents/Mounted"));
        if (c.mounted == Mounted::sameDrive) {
            EXPECT_EQ(::mount(QFile::encodeName(kept).constData(),
                              QFile::encodeName(at).constData(), nullptr, MS_BIND, nullptr),
                      0);
            return;
        }
        if (c.mounted != Mounted::immutableFile) {
            EXPECT_TRUE(PrivateMounts::mountTmpfs(at, QStringLiteral("size=1m")));
        }
        Sandbox::writeFile(at + QStringLiteral("/mine"), "mine");
        if (c.mounted == Mounted::immutableFile) {
            locked = at + QStringLiteral("/mine");
            const SubprocessResult set =
                Subprocess::run(PrivateMounts::tool("chattr"), {QStringLiteral("+i"), locked});
            if (!set.succeeded())
                locked.clear();
        }
    };
    const auto unlock = qScopeGuard([&] {
        if (!locked.isEmpty())
            (void)Subprocess::run(PrivateMounts::tool("chattr"), {QStringLiteral("-i"), locked});
    });
    // The administrator says yes to whatever is asked.
    drive.sandbox.system().fakeAdminShell().runUnprivileged();
    if (c.administrator)
        drive.sandbox.system().setReadOnly(drive.sandbox.drive() + QStringLiteral("/Applications"));
    const auto why = [&](const QString &item) -> QString {
        if (c.mounted == Mounted::immutableFile)
            return QStringLiteral("Could not remove '") + item + QStringLiteral("': '") + locked +
                   QStringLiteral("' is immutable (chattr +i), which keeps anyone from removing it "
                                  "until that flag is cleared.");
        if (c.administrator && c.remover == Remover::byPath)
            return QStringLiteral("Could not remove '") + item +
                   QStringLiteral("': a file system is mounted at '") + mountPoint +
                   QStringLiteral("', which a removal with administrator rights would enter, so "
                                  "nothing was removed.");
        return QStringLiteral("Could not remove '") + item +
               QStringLiteral("': another file system is mounted at '") + mountPoint +
               QStringLiteral("'; what it holds was left as it is.");
    };
    if (c.remover == Remover::restore) {
        drive.prepareEarlierRun(Step::restore);
        if (c.mounted == Mounted::immutableFile) {
            mountIn(drive.driveCopy);
            if (locked.isEmpty())
                GTEST_SKIP() << "this file system takes no immutable flag";
            mountPoint = removed + inside;
            locked = removed + inside + QStringLiteral("/mine");
        } else {
            // Mounted once the copy came back verified, as the drive's ledger is updated.
            auto storage = std::make_shared<FaultyStorage>();
            storage->setFlushFault(
                [&, mounted = false](const QString &folder, const StorageWrites &) mutable {
                    if (!mounted && PathUtils::isSameOrInside(folder, drive.sandbox.drive())) {
                        mounted = true;
                        mountIn(drive.driveCopy);
                    }
                    return 0;
                });
            drive.sandbox.system().useStorage(storage);
        }
        const std::optional<TargetVolume> target = drive.listedDrive();
        ASSERT_TRUE(target);
        const auto [code, message] = drive.run(Step::restore, *target);
        if (c.mounted == Mounted::immutableFile) {
            // The application is back; the copy, renamed to be cleaned up, is told of as it is.
            EXPECT_EQ(code, 406);
            EXPECT_TRUE(message.endsWith(drive.driveCopy + QStringLiteral(": ") + why(removed)))
                << message.toStdString();
            EXPECT_EQ(drive.sandbox.system().fakeAdminShell().commands(), QStringList());
        } else {
            // A mount changes the copy the restore read, which therefore stays whole where it
            // is, renamed as what a restore kept.
            EXPECT_EQ(code, 0) << message.toStdString();
            const QString kept =
                PathUtils::join(PathUtils::parentPath(drive.driveCopy),
                                QDir(PathUtils::parentPath(drive.driveCopy))
                                    .entryList({PathUtils::lastComponent(drive.driveCopy) +
                                                QStringLiteral(".changed-after-restore-*")})
                                    .value(0));
            EXPECT_TRUE(drive.restorer.currentStep().contains(
                QStringLiteral("Its copy '") + drive.driveCopy +
                QStringLiteral("' was left on the drive as '") + kept +
                QStringLiteral("': it changed after the restore read it (")))
                << drive.restorer.currentStep().toStdString();
            mountPoint = kept + inside;
        }
    } else if (c.remover == Remover::byPath) {
        BundleBuilder(removed).build();
        mountIn(removed);
        if (c.mounted == Mounted::immutableFile && locked.isEmpty())
            GTEST_SKIP() << "this file system takes no immutable flag";
        const std::optional<OperationError> error =
            errorOf([&] { PrivilegeHelper::safeRemove(removed); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->message(), why(removed));
        if (c.mounted == Mounted::immutableFile) {
            EXPECT_EQ(drive.sandbox.system().fakeAdminShell().commands(), QStringList());
        }
    } else {
        BundleBuilder(removed).build();
        mountIn(removed);
        StagingCleaner cleaner(drive.ledger);
        const std::optional<QUrl> target = QUrl::fromLocalFile(drive.sandbox.drive());
        ASSERT_TRUE(waitFor(cleaner.scanOrphanedItems(target)));
        const QFuture<StagingCleanupResult> cleanup = cleaner.cleanAllOrphanedItems(target);
        ASSERT_TRUE(waitFor(cleanup));
        ASSERT_TRUE(waitUntil([&] { return !cleaner.isCleaning(); }));
        EXPECT_EQ(cleanup.result().removedCount, 0);
        EXPECT_EQ(cleanup.result().errors, QStringList{PathUtils::lastComponent(removed) +
                                                       QStringLiteral(": ") + why(removed)});
    }
    QFile mine(mountPoint + QStringLiteral("/mine"));
    ASSERT_TRUE(mine.open(QIODevice::ReadOnly)) << "what was mounted there is lost";
    EXPECT_EQ(mine.readAll(), "mine");
}

TEST_P(MountInARemoval, LeavesWhatIsMountedThere)
{
    if (PrivateMounts::enter())
        removeAroundAMount(GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    DriveProof, MountInARemoval,
    ::testing::Values(
        MountCase{"ByPathWithADiskImage", Remover::byPath, Mounted::diskImage, false},
        MountCase{"ByPathWithAFolderOfTheDrive", Remover::byPath, Mounted::sameDrive, false},
        // The program does not walk a folder it may not change; the administrator's removal,
        // which stays on a device by its number alone, would empty the bound folder, and a
        // file system mounted on the item itself.
        MountCase{"ByPathWithAFolderOfTheDriveAsAdministrator", Remover::byPath, Mounted::sameDrive,
                  true},
        MountCase{"ByPathOfADiskImageItselfAsAdministrator", Remover::byPath, Mounted::onTheItem,
                  true},
        MountCase{"ByPathWithAnImmutableFile", Remover::byPath, Mounted::immutableFile, false},
        MountCase{"RestoreOfACopyWithADiskImage", Remover::restore, Mounted::diskImage, false},
        MountCase{"RestoreOfACopyWithADiskImageAsAdministrator", Remover::restore,
                  Mounted::diskImage, true},
        MountCase{"RestoreOfACopyWithAFolderOfTheDrive", Remover::restore, Mounted::sameDrive,
                  false},
        MountCase{"RestoreOfACopyWithAnImmutableFile", Remover::restore, Mounted::immutableFile,
                  false},
        MountCase{"CleanupOfALeftoverWithADiskImageAsAdministrator", Remover::cleanup,
                  Mounted::diskImage, true},
        MountCase{"CleanupOfALeftoverWithAFolderOfTheDrive", Remover::cleanup, Mounted::sameDrive,
                  false}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
