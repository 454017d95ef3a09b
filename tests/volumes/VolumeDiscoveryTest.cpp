#include "VolumeFixtures.h"

#include <QSignalSpy>
#include <functional>
#include <gtest/gtest.h>

namespace {

using Volume = FakeVolumeService::Volume;

// Each row describes one drive, found by the mount list (pass 1, outside the volumes folder)
// or only in the volumes folder (pass 2), and says whether it is listed.
TEST(VolumeDiscoveryTest, SkipRulesOfBothPasses)
{
    enum Pass { mountList, volumesFolder };
    const struct
    {
        const char *label;
        Pass pass;
        std::function<void(Volume &)> change; // nothing: no resource values at all
        bool listed;
    } rows[] = {
        {"plain", mountList, [](Volume &) {}, true},
        {"plain", volumesFolder, [](Volume &) {}, true},
        {"no is-volume value", mountList, [](Volume &v) { v.values.isVolume.reset(); }, true},
        {"no is-volume value", volumesFolder, [](Volume &v) { v.values.isVolume.reset(); }, false},
        {"no internal value", mountList, [](Volume &v) { v.values.isInternal.reset(); }, true},
        {"read-only", mountList, [](Volume &v) { v.values.isReadOnly = true; }, false},
        {"read-only", volumesFolder, [](Volume &v) { v.values.isReadOnly = true; }, false},
        {"internal", mountList, [](Volume &v) { v.values.isInternal = true; }, false},
        {"internal", volumesFolder, [](Volume &v) { v.values.isInternal = true; }, false},
        {"not a volume", mountList, [](Volume &v) { v.values.isVolume = false; }, false},
        {"size 0", mountList,
         [](Volume &v) {
             v.space = FileSystemSpace{0, 9};
         },
         false},
        {"size 0", volumesFolder, [](Volume &v) { v.space.reset(); }, false},
        {"unreadable values", mountList, {}, false},
        {"unreadable values", volumesFolder, {}, false},
    };
    for (const auto &row : rows) {
        Sandbox box;
        QDir(box.drive()).removeRecursively();
        const QString path = row.pass == mountList ? box.path(QStringLiteral("mnt/Disk"))
                                                   : box.volumesRoot() + QStringLiteral("/Disk");
        QDir().mkpath(path);
        if (row.pass == mountList)
            box.system().fakeVolumes().setMountedVolumePaths(QStringList{path});
        if (row.change) {
            Volume volume = externalDrive(QStringLiteral("Disk"));
            volume.values.isRemovable = false;
            row.change(volume);
            box.system().fakeVolumes().setVolume(path, volume);
        }
        const QList<TargetVolume> listed = startedManager()->availableVolumes();
        ASSERT_EQ(listed.size(), row.listed ? 1 : 0) << row.label << " in pass " << row.pass;
        // Only the mount list knows whether a drive is removable.
        if (row.listed) {
            EXPECT_EQ(listed.first().isRemovable, row.pass == volumesFolder) << row.label;
        }
    }

    // Unwritable drives, Recovery volumes and links to the boot volume are never listed.
    Sandbox box;
    mountDrive(box.system(), box.drive(), externalDrive(QStringLiteral("Drive")));
    box.system().setReadOnly(box.drive());
    mountDrive(box.system(), box.path(QStringLiteral("mnt/Recovery")),
               externalDrive(QStringLiteral("Recovery")));
    const QString bootLink = box.makeSymlink(box.volumesRoot() + QStringLiteral("/HD"), "/");
    box.system().fakeVolumes().setVolume(bootLink, externalDrive(QStringLiteral("HD")));
    // Nor is the volumes root, even when a file system of its own is mounted there.
    mountDrive(box.system(), box.volumesRoot(), externalDrive(QStringLiteral("Volumes")));
    EXPECT_TRUE(startedManager()->availableVolumes().isEmpty());
}

TEST(VolumeDiscoveryTest, AVolumeFoundTwiceIsListedOnceWithTheMountListsValues)
{
    Sandbox box;
    Volume volume = externalDrive(QStringLiteral("Drive"), 5000, 1200);
    volume.values.isRemovable = false;
    mountDrive(box.system(), box.drive(), volume);
    // Another drive, mounted elsewhere and linked from the volumes folder.
    const QString elsewhere = box.path(QStringLiteral("mnt/Other"));
    mountDrive(box.system(), elsewhere, externalDrive(QStringLiteral("Other")));
    const QString link = box.makeSymlink(box.volumesRoot() + QStringLiteral("/Link"), elsewhere);
    box.system().fakeVolumes().setVolume(link, externalDrive(QStringLiteral("Link")));

    const QList<TargetVolume> volumes = startedManager()->availableVolumes();
    ASSERT_EQ(volumeNames(volumes),
              (QStringList{QStringLiteral("Drive"), QStringLiteral("Other")}));
    EXPECT_EQ(volumes.first(),
              (TargetVolume{QUrl::fromLocalFile(box.drive()), QStringLiteral("Drive"), 5000, 1200,
                            false, true, QStringLiteral("EXT4"), true}));
}

TEST(VolumeDiscoveryTest, SortsLikeTheFileBrowserAndKeepsTiesInDiscoveryOrder)
{
    Sandbox box;
    QDir(box.drive()).removeRecursively();
    const char *names[] = {"disk 10", "Same", "Disk 2", "beta", "Same", "Alpha"};
    for (int i = 0; i < 6; ++i) {
        mountDrive(box.system(), box.path(QStringLiteral("mnt/m%1").arg(i)),
                   externalDrive(QString::fromLatin1(names[i])));
    }
    const QList<TargetVolume> volumes = startedManager()->availableVolumes();
    EXPECT_EQ(volumeNames(volumes).join(QLatin1Char(',')),
              QStringLiteral("Alpha,beta,Disk 2,disk 10,Same,Same"));
    EXPECT_TRUE(volumes[4].url.toLocalFile().endsWith(QLatin1String("/m1")));
}

TEST(VolumeDiscoveryTest, SpaceAndFormatFallBacks)
{
    const auto none = std::nullopt;
    const struct
    {
        std::optional<FileSystemSpace> space;
        std::optional<qint64> capacity;
        VolumeSpace expected;
    } spaces[] = {
        {FileSystemSpace{500, 200}, 900, {500, 200}},
        {FileSystemSpace{0, 7}, 900, {900, 300}},
        {none, 900, {900, 300}},
        {none, none, {0, 300}},
    };
    for (const auto &row : spaces) {
        Sandbox box;
        Volume volume = externalDrive(QStringLiteral("Drive"));
        volume.space = row.space;
        volume.values.totalCapacity = row.capacity;
        volume.values.availableCapacity = 300;
        box.system().fakeVolumes().setVolume(box.drive(), volume);
        EXPECT_EQ(VolumeManager::getVolumeSpace(QUrl::fromLocalFile(box.drive())), row.expected)
            << row.expected.total;
    }
    EXPECT_EQ(VolumeManager::getVolumeSpace(QUrl::fromLocalFile(QStringLiteral("/nowhere"))),
              VolumeSpace{});

    const struct
    {
        std::optional<QString> typeName;
        std::optional<QString> volumeTypeName;
        std::optional<bool> links;
        FileSystemTypeInfo expected;
    } formats[] = {
        {QStringLiteral("ext4"), none, true, {QStringLiteral("EXT4"), true}},
        {none, QStringLiteral("exfat"), none, {QStringLiteral("EXFAT"), false}},
        {none, none, none, {QStringLiteral("APFS"), true}},
        {QStringLiteral("hfs"), none, none, {QStringLiteral("HFS"), true}},
        {QStringLiteral("apfs"), none, false, {QStringLiteral("APFS"), false}},
        {QStringLiteral("9p"), none, none, {QStringLiteral("9P"), false}},
    };
    for (const auto &row : formats) {
        Sandbox box;
        Volume volume = externalDrive(QStringLiteral("Drive"));
        volume.typeName = row.typeName;
        volume.values.volumeTypeName = row.volumeTypeName;
        volume.values.supportsSymlinks = row.links;
        box.system().fakeVolumes().setVolume(box.drive(), volume);
        EXPECT_EQ(VolumeManager::getFileSystemType(QUrl::fromLocalFile(box.drive())), row.expected);
    }
}

TEST(VolumeDiscoveryTest, EveryMountEventRefreshesTheList)
{
    Sandbox box;
    mountDrive(box.system(), box.drive(), externalDrive(QStringLiteral("Drive")));
    VolumeManager manager;
    // The first list is published on a later turn of the event loop.
    EXPECT_TRUE(manager.availableVolumes().isEmpty());
    drainEvents();
    EXPECT_EQ(volumeNames(manager.availableVolumes()), QStringList{QStringLiteral("Drive")});

    const QString second = box.addDrive(QStringLiteral("Second"));
    mountDrive(box.system(), second, externalDrive(QStringLiteral("Second")));
    box.system().fakeVolumes().announceMountChange();
    drainEvents();
    EXPECT_EQ(volumeNames(manager.availableVolumes()),
              (QStringList{QStringLiteral("Drive"), QStringLiteral("Second")}));

    QSignalSpy listChanges(&manager, &VolumeManager::availableVolumesChanged);
    QSignalSpy selectionChanges(&manager, &VolumeManager::selectedVolumeChanged);
    box.system().fakeVolumes().removeVolume(box.drive());
    box.system().fakeVolumes().announceMountChange();
    drainEvents();
    EXPECT_EQ(volumeNames(manager.availableVolumes()), QStringList{QStringLiteral("Second")});
    // A refresh that changes nothing still publishes both, so observers always hear of it.
    box.system().fakeVolumes().announceMountChange();
    drainEvents();
    EXPECT_EQ(listChanges.count(), 2);
    EXPECT_EQ(selectionChanges.count(), 2);
}

} // namespace
