#include "VolumeFixtures.h"

#include "services/AppLogger.h"
#include "support/BundleBuilder.h"

#include <functional>
#include <gtest/gtest.h>

namespace {

QVariant savedPath(Sandbox &box)
{
    return box.system().fakePreferences().value(VolumeManager::lastSelectedKey());
}

QString selectedName(const VolumeManager &manager)
{
    return manager.selectedVolume() ? manager.selectedVolume()->name : QStringLiteral("<none>");
}

void announce(Sandbox &box)
{
    box.system().fakeVolumes().announceMountChange();
    drainEvents();
}

int rejectionLines()
{
    const QString log = AppLogger::shared().readRecentLines(200);
    return int(log.count(QStringLiteral("[WARN] [Volume] Rejected custom destination")));
}

TEST(TargetSelectionTest, TheSavedDriveIsSelectedWheneverItIsListed)
{
    Sandbox box;
    const QString other = box.addDrive(QStringLiteral("Other"));
    mountDrive(box.system(), other, externalDrive(QStringLiteral("Other")));
    // First launch: nothing saved, nothing selected, whatever is listed.
    EXPECT_FALSE(startedManager()->selectedVolume());

    box.system().fakePreferences().setValue(VolumeManager::lastSelectedKey(), box.drive());
    const auto manager = startedManager();
    EXPECT_FALSE(manager->selectedVolume());

    mountDrive(box.system(), box.drive(), externalDrive(QStringLiteral("Drive"), 1000, 400));
    announce(box);
    EXPECT_EQ(selectedName(*manager), QStringLiteral("Drive"));

    // A refresh carries the fresh figures into the selection.
    mountDrive(box.system(), box.drive(), externalDrive(QStringLiteral("Drive"), 1000, 100));
    announce(box);
    EXPECT_EQ(manager->selectedVolume()->freeBytes, 100);

    box.system().fakeVolumes().removeVolume(box.drive());
    announce(box);
    EXPECT_FALSE(manager->selectedVolume());

    mountDrive(box.system(), box.drive(), externalDrive(QStringLiteral("Drive")));
    announce(box);
    EXPECT_EQ(selectedName(*manager), QStringLiteral("Drive"));
}

TEST(TargetSelectionTest, ChoosingADriveSavesItsPathButTheCustomRowDoesNot)
{
    Sandbox box;
    mountDrive(box.system(), box.drive(), externalDrive(QStringLiteral("Drive")));
    const QString folder = box.makeFolder(box.drive() + QStringLiteral("/Apps"));
    const auto manager = startedManager();

    manager->selectCustomDirectory(QUrl::fromLocalFile(folder));
    manager->selectVolume(manager->availableVolumes().first());
    EXPECT_EQ(savedPath(box).toString(), box.drive());
    manager->setSelectedVolume(manager->customTarget());
    EXPECT_EQ(selectedName(*manager), QStringLiteral("Apps (Drive)"));
    EXPECT_EQ(savedPath(box).toString(), box.drive());

    // The folder goes away: the target falls back to the saved drive.
    QDir(folder).removeRecursively();
    announce(box);
    EXPECT_FALSE(manager->customTarget());
    EXPECT_EQ(selectedName(*manager), QStringLiteral("Drive"));
}

TEST(TargetSelectionTest, ACustomFolderIsTheTargetUntilItVanishes)
{
    Sandbox box;
    mountDrive(box.system(), box.drive(), externalDrive(QStringLiteral("Backup"), 800, 300));
    const QString folder = box.makeFolder(box.drive() + QStringLiteral("/Apps"));
    const auto manager = startedManager();

    const QUrl chosen = QUrl::fromLocalFile(box.drive() + QStringLiteral("/./Apps/"));
    manager->selectCustomDirectory(chosen);
    const TargetVolume expected{chosen, QStringLiteral("Apps (Backup)"), 800, 300, true,
                                true,   QStringLiteral("EXT4"),          true};
    EXPECT_EQ(manager->customTarget(), expected);
    EXPECT_EQ(manager->selectedVolume(), expected);
    EXPECT_EQ(savedPath(box).toString(), folder);

    announce(box);
    EXPECT_EQ(manager->selectedVolume(), expected);

    QDir(folder).removeRecursively();
    announce(box);
    EXPECT_FALSE(manager->customTarget());
    // The saved path names the folder, which matches no listed drive.
    EXPECT_FALSE(manager->selectedVolume());
}

TEST(TargetSelectionTest, FoldersOnTheBootOrAnInternalDiskAreRefused)
{
    struct Row
    {
        const char *label;
        std::function<void(VolumeResourceValues &)> change;
        const char *line;  // the warning logged, the folder's path following
        const char *reply; // what the user is told; nullptr: nothing
        // The folder chosen, given the internal disk's folder; nothing: its "Apps".
        std::function<QString(Sandbox &, const QString &internal)> place = nullptr;
    };
    const Row rows[] = {
        {"root file system", [](VolumeResourceValues &v) { v.isRootFileSystem = true; },
         "Rejected custom destination on internal/boot disk: ", nullptr},
        {"internal disk", [](VolumeResourceValues &v) { v.isInternal = true; },
         "Rejected custom destination on internal/boot disk: ", nullptr},
        // An external drive mounted outside the volumes root (as under /mnt or /media): the
        // restore would refuse every copy made there.
        {"drive outside the volumes root", [](VolumeResourceValues &) {},
         "Rejected custom destination: the folder '",
         "This folder cannot be the target: the folder '{folder}' is not on a drive in "
         "'{volumes}', so nothing copied there could be restored."},
        // An application of this Mac's Utilities folder would be copied through the link.
        {"subfolder linked off the drive", [](VolumeResourceValues &) {},
         "Rejected custom destination: the folder '",
         "This folder cannot be the target: the folder '{folder}/Applications/Utilities' (a link "
         "leads it to '{internal}') lies outside the \"Applications\" folder of a drive in "
         "'{volumes}', so nothing copied there could be restored.",
         [](Sandbox &box, const QString &internal) {
             BundleBuilder(box.applications() + QStringLiteral("/Utilities/Tool.app")).build();
             const QString folder = box.makeFolder(box.drive() + QStringLiteral("/Apps"));
             Sandbox::makeSymlink(folder + QStringLiteral("/Applications/Utilities"), internal);
             return folder;
         }},
    };
    for (const Row &row : rows) {
        Sandbox box;
        mountDrive(box.system(), box.drive(), externalDrive(QStringLiteral("Drive")));
        const QString internal = box.makeFolder(box.path(QStringLiteral("Internal")));
        FakeVolumeService::Volume disk = externalDrive(QStringLiteral("Macintosh HD"));
        row.change(disk.values);
        box.system().fakeVolumes().setVolume(internal, disk);
        const QString folder = row.place ? row.place(box, internal)
                                         : box.makeFolder(internal + QStringLiteral("/Apps"));
        const auto manager = startedManager();
        manager->selectVolume(manager->availableVolumes().first());
        const int before = rejectionLines();

        const std::optional<QString> reply =
            manager->selectCustomDirectory(QUrl::fromLocalFile(folder));
        EXPECT_EQ(selectedName(*manager), QStringLiteral("Drive")) << row.label;
        EXPECT_FALSE(manager->customTarget()) << row.label;
        EXPECT_EQ(savedPath(box).toString(), box.drive()) << row.label;
        EXPECT_EQ(rejectionLines(), before + 1) << row.label;
        EXPECT_TRUE(AppLogger::shared().readRecentLines(5).contains(
            QString::fromUtf8(row.line) + (row.reply ? QString() : folder)))
            << row.label;
        EXPECT_EQ(reply.value_or(QStringLiteral("<nothing>")),
                  row.reply ? QString::fromUtf8(row.reply)
                                  .replace(QStringLiteral("{folder}"), folder)
                                  .replace(QStringLiteral("{internal}"), internal)
                                  .replace(QStringLiteral("{volumes}"), box.volumesRoot())
                            : QStringLiteral("<nothing>"))
            << row.label;
    }

    // The root itself is refused without a word.
    Sandbox box;
    const auto manager = startedManager();
    const int before = rejectionLines();
    manager->selectCustomDirectory(QUrl::fromLocalFile(QStringLiteral("/")));
    EXPECT_FALSE(manager->selectedVolume());
    EXPECT_FALSE(savedPath(box).isValid());
    EXPECT_EQ(rejectionLines(), before);
}

TEST(TargetSelectionTest, FolderNamesAndADriveRootChosenAsFolder)
{
    Sandbox box;
    mountDrive(box.system(), box.drive(), externalDrive(QStringLiteral("Drive")));
    const QString loose = box.makeFolder(box.volumesRoot() + QStringLiteral("/loose/Apps"));
    box.system().setReadOnly(loose);
    const auto manager = startedManager();
    // No volume name: named after itself; unwritable: accepted, but shown as incompatible.
    manager->selectCustomDirectory(QUrl::fromLocalFile(loose));
    EXPECT_EQ(selectedName(*manager), QStringLiteral("Apps (Apps)"));
    EXPECT_FALSE(manager->selectedVolume()->isWritable);

    manager->selectCustomDirectory(QUrl::fromLocalFile(box.drive()));
    EXPECT_EQ(selectedName(*manager), QStringLiteral("Drive (Drive)"));
    announce(box);
    EXPECT_EQ(manager->selectedVolume(), manager->availableVolumes().first());
    EXPECT_TRUE(manager->customTarget());
}

} // namespace
