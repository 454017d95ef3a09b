#include "platform/macos/MacVolumeService.h"

#include "FakeDarwinCalls.h"
#include "support/FakeTool.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

constexpr qint64 gigabyte = 1'000'000'000;

// "diskutil info -plist DEVICE" as the tool documents it: an XML property list, one
// dictionary of the disk's facts (only the keys read here, and a few others around them).
QByteArray diskInfo(const QString &device, const QString &volumeName, bool internal,
                    bool removableMedia, bool ejectable, bool externalDevice)
{
    const auto flag = [](bool on) {
        return on ? QStringLiteral("<true/>") : QStringLiteral("<false/>");
    };
    return (QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                           "<plist version=\"1.0\">\n<dict>\n"
                           "\t<key>DeviceIdentifier</key>\n\t<string>%1</string>\n"
                           "\t<key>DeviceNode</key>\n\t<string>/dev/%1</string>\n"
                           "\t<key>Ejectable</key>\n\t%3\n"
                           "\t<key>Internal</key>\n\t%4\n"
                           "\t<key>RemovableMedia</key>\n\t%5\n"
                           "\t<key>RemovableMediaOrExternalDevice</key>\n\t%6\n"
                           "\t<key>TotalSize</key>\n\t<integer>64000000000</integer>\n"
                           "\t<key>VolumeName</key>\n\t<string>%2</string>\n"
                           "</dict>\n</plist>\n")
                .arg(device.mid(5), volumeName, flag(ejectable), flag(internal),
                     flag(removableMedia), flag(externalDevice)))
        .toUtf8();
}

DarwinMount mount(const QString &mountPoint, const QString &device, const QString &type,
                  bool local = true, bool readOnly = false, bool browsable = true)
{
    DarwinMount m;
    m.mountPoint = mountPoint;
    m.device = device;
    m.fileSystemType = type;
    m.isLocal = local;
    m.isReadOnly = readOnly;
    m.isBrowsable = browsable;
    m.isRootFileSystem = mountPoint == QLatin1String("/");
    m.totalBytes = 64 * gigabyte;
    m.freeBytes = 20 * gigabyte;
    return m;
}

class MacVolumeServiceTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(root.isValid());
        for (const QString &folder : {data, usb, image, share})
            ASSERT_TRUE(QDir().mkpath(folder));
        writeFile("disk3s5", diskInfo("/dev/disk3s5", "Data", true, false, false, false));
        // A second stick called UNTITLED is mounted at "UNTITLED 1"; its name stays UNTITLED.
        writeFile("disk4s1", diskInfo("/dev/disk4s1", "UNTITLED", false, true, true, true));
        writeFile("disk5s1", diskInfo("/dev/disk5s1", "Installer", false, false, true, true));
        diskutil.setBody(
            QStringLiteral("cat '%1/'\"$(basename \"$3\")\" || exit 1").arg(root.path()));
        darwin->table = QList<DarwinMount>{
            mount("/", "/dev/disk3s1s1", "apfs", true, true),
            mount("/dev", "devfs", "devfs", true, false, false),
            mount(data, "/dev/disk3s5", "apfs", true, false, false),
            // The startup disk's own data volume, which diskutil has no answer for here.
            mount("/System/Volumes/Data", "/dev/disk1s2", "apfs", true, false, false),
            mount(data + "/home", "map auto_home", "autofs", false, false, false),
            mount(usb, "/dev/disk4s1", "msdos"),
            mount(image, "/dev/disk5s1", "hfs", true, true),
            mount(share, "//alice@nas.local/share", "smbfs", false),
        };
    }

    void writeFile(const QString &name, const QByteArray &content)
    {
        QFile file(root.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    QTemporaryDir root;
    // statfs names mount points with links resolved (a Mac's temporary folders lie behind one).
    const QString base = PathUtils::resolved(root.path());
    const QString data = base + "/System/Volumes/Data";
    const QString usb = base + "/Volumes/UNTITLED 1";
    const QString image = base + "/Volumes/Installer";
    const QString share = base + "/Volumes/share";
    FakeTool diskutil{QStringLiteral("diskutil")};
    std::shared_ptr<FakeDarwinCalls> darwin = std::make_shared<FakeDarwinCalls>();
};

TEST_F(MacVolumeServiceTest, ListsTheVolumesTheDesktopShows)
{
    MacVolumeService service(darwin, diskutil.path());
    EXPECT_EQ(service.mountedVolumePaths(), (QStringList{"/", usb, image, share}));
    darwin->table.reset();
    EXPECT_EQ(service.mountedVolumePaths(), std::nullopt);
}

TEST_F(MacVolumeServiceTest, MountTableAndDiskFactsMakeTheVolumeRecords)
{
    struct Case
    {
        QString path;
        std::optional<QString> name;
        std::optional<bool> internal;
        std::optional<bool> removable;
        bool readOnly;
        QString type;
        std::optional<bool> symlinks;
        QString volume = {}; // the volume's mount point, when not `path` itself
    };
    const Case cases[] = {
        {usb, "UNTITLED", false, true, false, "msdos", false},
        {data, "Data", true, false, false, "apfs", true},
        {image, "Installer", false, true, true, "hfs", true},
        {share, "share", false, false, false, "smbfs", std::nullopt},
        // The startup disk is internal even when diskutil cannot tell: its system volume,
        // and the data volume statfs answers for a folder a firmlink leads to.
        {"/", std::nullopt, true, false, true, "apfs", true},
        {"/usr/local", "Data", true, false, false, "apfs", true, "/System/Volumes/Data"},
    };
    MacVolumeService service(darwin, diskutil.path());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path.toStdString());
        const std::optional<VolumeResourceValues> values = service.resourceValues(c.path);
        ASSERT_TRUE(values);
        EXPECT_EQ(values->volumeName, c.name);
        EXPECT_EQ(values->isInternal, c.internal);
        EXPECT_EQ(values->isRemovable, c.removable);
        EXPECT_EQ(values->isReadOnly, c.readOnly);
        const QString volume = c.volume.isEmpty() ? c.path : c.volume;
        EXPECT_EQ(values->isVolume, volume == c.path);
        EXPECT_EQ(values->isRootFileSystem, volume == "/");
        EXPECT_EQ(values->totalCapacity, 64 * gigabyte);
        EXPECT_EQ(values->availableCapacity, 20 * gigabyte);
        EXPECT_EQ(values->volumeTypeName, c.type);
        EXPECT_EQ(values->supportsSymlinks, c.symlinks);
        EXPECT_EQ(values->volumePath, volume);
        EXPECT_EQ(service.fileSystemTypeName(c.path), c.type);
    }

    // A folder on a drive belongs to the drive's volume without being one.
    ASSERT_TRUE(QDir().mkpath(usb + "/Applications"));
    const std::optional<VolumeResourceValues> inside =
        service.resourceValues(usb + "/Applications");
    ASSERT_TRUE(inside);
    EXPECT_EQ(inside->isVolume, false);
    EXPECT_EQ(inside->volumePath, usb);
    EXPECT_EQ(service.resourceValues(usb + "/missing"), std::nullopt);

    // diskutil is asked once per mounted disk, never for a share.
    EXPECT_EQ(diskutil.calls(), (QList<QStringList>{{"info", "-plist", "/dev/disk4s1"},
                                                    {"info", "-plist", "/dev/disk3s5"},
                                                    {"info", "-plist", "/dev/disk5s1"},
                                                    {"info", "-plist", "/dev/disk3s1s1"},
                                                    {"info", "-plist", "/dev/disk1s2"}}));
}

TEST_F(MacVolumeServiceTest, DiskFactsUnknownWhenDiskutilFails)
{
    diskutil.setBody(QStringLiteral("echo 'Could not find disk' >&2; exit 1"));
    MacVolumeService service(darwin, diskutil.path());
    const std::optional<VolumeResourceValues> values = service.resourceValues(usb);
    ASSERT_TRUE(values);
    EXPECT_EQ(values->volumeName, "UNTITLED 1");
    EXPECT_EQ(values->isInternal, std::nullopt);
    EXPECT_EQ(values->isRemovable, std::nullopt);
    EXPECT_EQ(MacVolumeService::parseDiskInfo("Could not find disk"), std::nullopt);
}

TEST_F(MacVolumeServiceTest, WatcherReportsMountUnmountAndRenameButNotSpace)
{
    MacMountWatcher watcher(darwin);
    QSignalSpy changed(&watcher, &MountWatcher::mountsChanged);
    const auto pollCounts = [&] {
        watcher.poll();
        return changed.count();
    };
    darwin->table->last().freeBytes -= gigabyte;
    EXPECT_EQ(pollCounts(), 0);
    darwin->table->append(mount(base + "/Volumes/Backup", "/dev/disk6s1", "apfs"));
    EXPECT_EQ(pollCounts(), 1);
    darwin->table->last().mountPoint = base + "/Volumes/Archive"; // renamed
    EXPECT_EQ(pollCounts(), 2);
    darwin->table->removeLast();
    EXPECT_EQ(pollCounts(), 3);
    EXPECT_EQ(pollCounts(), 3);
}

} // namespace
