#include "platform/linux/MountTable.h"
#include "platform/linux/BlockDevices.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

TEST(MountTableTest, ParsesLinesAndDecodesEscapes)
{
    const QList<MountEntry> entries = MountTable::parse(
        "27 1 254:0 / / rw,relatime shared:1 - ext4 /dev/vda rw,discard\n"
        "66 27 0:40 / /Volumes/My\\040Drive rw shared:5 master:2 - tmpfs tmpfs rw,size=10m\n"
        "not a mount\n"
        "67 27 7:0 / /Volumes/Backup ro,relatime - ext4 /dev/loop0 rw\n"
        "68 27 8:17 /sub /media/usb rw - vfat /dev/sdb1 ro,fmask=0022\n");
    ASSERT_EQ(entries.size(), 4);
    const MountEntry &drive = entries[1];
    EXPECT_EQ(drive.id, 66);
    EXPECT_EQ(drive.parentId, 27);
    EXPECT_EQ(drive.minor, 40u);
    EXPECT_EQ(drive.mountPoint, QStringLiteral("/Volumes/My Drive"));
    EXPECT_EQ(drive.fileSystemType, QStringLiteral("tmpfs"));
    EXPECT_FALSE(drive.isReadOnly());
    // Read-only per mount or for the whole file system.
    EXPECT_TRUE(entries[2].isReadOnly());
    EXPECT_TRUE(entries[3].isReadOnly());
    EXPECT_EQ(entries[3].major, 8u);
    EXPECT_EQ(entries[3].source, QStringLiteral("/dev/sdb1"));

    EXPECT_EQ(MountTable::decodeField("a\\040b\\011c\\012d\\134e"), QStringLiteral("a b\tc\nd\\e"));
    EXPECT_EQ(MountTable::decodeField("x\\09y\\4"), QStringLiteral("x\\09y\\4"));
    EXPECT_EQ(MountTable::decodeField("caf\\303\\251"), QStringLiteral("café"));
}

TEST(MountTableTest, HidesPseudoFileSystemsAndSystemMountPoints)
{
    const struct
    {
        const char *type;
        const char *mountPoint;
        bool hidden;
    } rows[] = {
        {"ext4", "/", true},
        {"proc", "/Volumes/odd", true},
        {"tmpfs", "/dev/shm", true},
        {"tmpfs", "/run/user/1000", true},
        {"ext4", "/boot/efi", true},
        {"ext4", "/etc/hosts", true},
        {"tmpfs", "/tmp", true},
        {"squashfs", "/media/snap", true},
        {"ext4", "/run/media/a/B", false},
        {"tmpfs", "/Volumes/Scratch", false},
        {"vfat", "/media/a/STICK", false},
        {"ext4", "/mnt/data", false},
        {"ext4", "/tmpdata", false},
    };
    for (const auto &row : rows) {
        MountEntry entry;
        entry.fileSystemType = QString::fromLatin1(row.type);
        entry.mountPoint = QString::fromLatin1(row.mountPoint);
        EXPECT_EQ(entry.isHidden(), row.hidden) << row.type << " " << row.mountPoint;
    }
}

TEST(MountTableTest, FindsTheVisibleMountHoldingAPath)
{
    const QList<MountEntry> entries = MountTable::parse("1 0 8:1 / / rw - ext4 root rw\n"
                                                        "2 1 0:30 / /V/A rw - tmpfs first rw\n"
                                                        "3 1 0:31 / /V/A rw - tmpfs second rw\n"
                                                        "4 1 0:32 / /V/B rw - tmpfs b rw\n"
                                                        "5 4 0:33 / /V/B/in rw - tmpfs in rw\n"
                                                        "6 1 0:34 / /V rw - tmpfs cover rw\n"
                                                        "7 6 0:35 / /V/C rw - tmpfs c rw\n");
    const struct
    {
        const char *path;
        const char *source;
    } rows[] = {
        {"/usr/bin", "root"},
        {"/V/C/x", "c"},
        // The later mount on /V hides everything mounted below it before.
        {"/V/A/file", "cover"},
        {"/V/B/in/deep", "cover"},
    };
    for (const auto &row : rows) {
        const std::optional<MountEntry> found =
            MountTable::containing(entries, QString::fromLatin1(row.path));
        ASSERT_TRUE(found) << row.path;
        EXPECT_EQ(found->source, QString::fromLatin1(row.source)) << row.path;
    }
    EXPECT_FALSE(MountTable::at(entries, QStringLiteral("/V/A")));
    EXPECT_EQ(MountTable::at(entries.mid(0, 3), QStringLiteral("/V/A"))->source,
              QStringLiteral("second"));
}

TEST(BlockDevicesTest, TellsInternalFromExternalDevices)
{
    // A small sysfs: /dev/block/<major:minor> links into /devices, as the kernel lays it out.
    QTemporaryDir sys;
    const auto add = [&](const char *number, const char *device, const char *file,
                         const char *content) {
        const QString folder = sys.path() + QString::fromLatin1(device);
        const QString path = folder + QLatin1Char('/') + QString::fromLatin1(file);
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile attribute(path);
        ASSERT_TRUE(attribute.open(QIODevice::WriteOnly));
        attribute.write(QByteArray(content) + '\n');
        QDir().mkpath(sys.path() + QStringLiteral("/dev/block"));
        QFile::link(QStringLiteral("../..") + QString::fromLatin1(device),
                    sys.path() + QStringLiteral("/dev/block/") + QString::fromLatin1(number));
    };
    add("254:0", "/devices/pci0/virtio1/block/vda", "removable", "0");
    add("7:0", "/devices/virtual/block/loop0", "removable", "0");
    add("8:16", "/devices/pci0/usb2/2-1/block/sdb", "removable", "0");
    add("8:17", "/devices/pci0/usb2/2-1/block/sdb/sdb1", "partition", "1");
    add("179:0", "/devices/platform/mmc0/block/mmcblk0", "removable", "1");
    add("8:0", "/devices/pci0/ata1/block/sda", "removable", "0");
    add("8:1", "/devices/pci0/ata1/block/sda/sda1", "partition", "1");
    // An encrypted drive: a mapper device over the USB partition.
    add("253:1", "/devices/virtual/block/dm-1", "slaves/sdb1/dev", "8:17");

    const DeviceAttachment internal{true, false};
    const DeviceAttachment external{false, true};
    const struct
    {
        unsigned major;
        unsigned minor;
        DeviceAttachment expected;
    } rows[] = {
        {254, 0, internal}, {7, 0, external},   {8, 16, external},
        {8, 17, external},  {179, 0, external}, {8, 1, internal},
        {253, 1, external}, {0, 40, {}},        {9, 9, {}},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(BlockDevices::attachment(row.major, row.minor, sys.path()), row.expected)
            << row.major << ":" << row.minor;
    }
    EXPECT_EQ(BlockDevices::decodeUdevName(QStringLiteral("My\\x20Drive\\x2fA")),
              QStringLiteral("My Drive/A"));
}

} // namespace
