#include "platform/macos/MacVolumeService.h"

#include "base/PathUtils.h"
#include "base/PlistFile.h"
#include "base/Subprocess.h"

#include <QSet>

namespace {

using namespace std::chrono_literals;

// File systems of the system's own that no user browses.
bool isShown(const DarwinMount &mount)
{
    return mount.isBrowsable && mount.fileSystemType != QLatin1String("devfs") &&
           mount.fileSystemType != QLatin1String("autofs");
}

std::optional<bool> boolEntry(const QVariantMap &info, const QString &key)
{
    const QVariant value = info.value(key);
    if (value.typeId() != QMetaType::Bool)
        return std::nullopt;
    return value.toBool();
}

// The Mac's own disk: its read-only system volume at "/" and the data volume, which statfs
// answers for /Applications, /Library and the homes (firmlinks lead there from "/"). Internal
// whatever diskutil says, or when it says nothing.
bool isStartupDisk(const DarwinMount &mount)
{
    return mount.mountPoint == QLatin1String("/") ||
           mount.mountPoint == QLatin1String("/System/Volumes/Data");
}

QStringList signature(const std::optional<QList<DarwinMount>> &mounts)
{
    QStringList lines;
    for (const DarwinMount &mount : mounts.value_or(QList<DarwinMount>())) {
        lines.append(mount.mountPoint + QLatin1Char('\n') + mount.device + QLatin1Char('\n') +
                     mount.fileSystemType +
                     (mount.isReadOnly ? QLatin1String(" ro") : QLatin1String(" rw")));
    }
    return lines;
}

} // namespace

MacVolumeService::MacVolumeService(std::shared_ptr<DarwinCalls> darwin, QString diskutil)
    : m_darwin(std::move(darwin))
    , m_diskutil(diskutil.isEmpty() ? QStringLiteral("/usr/sbin/diskutil") : std::move(diskutil))
{}

std::optional<QStringList> MacVolumeService::mountedVolumePaths()
{
    const std::optional<QList<DarwinMount>> mounts = m_darwin->mounts();
    if (!mounts)
        return std::nullopt;
    QStringList paths;
    for (const DarwinMount &mount : *mounts) {
        if (isShown(mount) && !paths.contains(mount.mountPoint))
            paths.append(mount.mountPoint);
    }
    return paths;
}

std::optional<QStringList> MacVolumeService::allMountPoints()
{
    const std::optional<QList<DarwinMount>> mounts = m_darwin->mounts();
    if (!mounts)
        return std::nullopt;
    QStringList points;
    for (const DarwinMount &mount : *mounts)
        points.append(mount.mountPoint);
    return points;
}

std::optional<VolumeResourceValues> MacVolumeService::resourceValues(const QString &path)
{
    if (path.isEmpty() || !PathUtils::existsFollowingLinks(path))
        return std::nullopt;
    const std::optional<DarwinMount> mount = m_darwin->mountHolding(path);
    if (!mount)
        return std::nullopt;
    VolumeResourceValues values = valuesOf(*mount, diskFacts(*mount));
    values.isVolume = PathUtils::resolved(path) == mount->mountPoint;
    return values;
}

std::optional<FileSystemSpace> MacVolumeService::fileSystemSpace(const QString &path)
{
    const std::optional<DarwinMount> mount = m_darwin->mountHolding(path);
    if (!mount)
        return std::nullopt;
    return FileSystemSpace{mount->totalBytes, mount->freeBytes};
}

std::optional<QString> MacVolumeService::fileSystemTypeName(const QString &path)
{
    const std::optional<DarwinMount> mount = m_darwin->mountHolding(path);
    if (!mount)
        return std::nullopt;
    return mount->fileSystemType;
}

std::unique_ptr<MountWatcher> MacVolumeService::watchMounts()
{
    return std::make_unique<MacMountWatcher>(m_darwin);
}

std::optional<DiskFacts> MacVolumeService::parseDiskInfo(const QByteArray &plist)
{
    const std::optional<QVariant> parsed = PlistFile::parse(plist);
    if (!parsed || parsed->typeId() != QMetaType::QVariantMap)
        return std::nullopt;
    const QVariantMap info = parsed->toMap();
    DiskFacts facts;
    const QVariant name = info.value(QStringLiteral("VolumeName"));
    if (name.typeId() == QMetaType::QString && !name.toString().isEmpty())
        facts.volumeName = name.toString();
    facts.isInternal = boolEntry(info, QStringLiteral("Internal"));
    // A drive the user can take away, whichever way diskutil words it.
    for (const char *key :
         {"RemovableMedia", "Removable", "Ejectable", "RemovableMediaOrExternalDevice"}) {
        const std::optional<bool> value = boolEntry(info, QLatin1String(key));
        if (value)
            facts.isRemovable = facts.isRemovable.value_or(false) || *value;
    }
    return facts;
}

VolumeResourceValues MacVolumeService::valuesOf(const DarwinMount &mount,
                                                const std::optional<DiskFacts> &disk)
{
    VolumeResourceValues values;
    if (disk && disk->volumeName)
        values.volumeName = disk->volumeName;
    else if (mount.mountPoint != QLatin1String("/"))
        values.volumeName = PathUtils::lastComponent(mount.mountPoint);
    if (!mount.isLocal) {
        // A network share is neither on an internal bus nor removable media.
        values.isInternal = false;
        values.isRemovable = false;
    } else if (isStartupDisk(mount)) {
        values.isInternal = true;
        values.isRemovable = false;
    } else if (disk) {
        values.isInternal = disk->isInternal;
        values.isRemovable = disk->isRemovable;
    }
    values.isReadOnly = mount.isReadOnly;
    values.isRootFileSystem = mount.isRootFileSystem;
    values.totalCapacity = mount.totalBytes;
    values.availableCapacity = mount.freeBytes;
    values.volumeTypeName = mount.fileSystemType;
    values.supportsSymlinks = supportsSymlinks(mount.fileSystemType);
    values.volumePath = mount.mountPoint;
    return values;
}

std::optional<bool> MacVolumeService::supportsSymlinks(const QString &fileSystemType)
{
    static const QSet<QString> withLinks = {
        QStringLiteral("apfs"),
        QStringLiteral("hfs"),
        QStringLiteral("ufs"),
        QStringLiteral("nfs"),
    };
    static const QSet<QString> withoutLinks = {
        QStringLiteral("msdos"), QStringLiteral("exfat"),  QStringLiteral("ntfs"),
        QStringLiteral("udf"),   QStringLiteral("cd9660"), QStringLiteral("webdav"),
    };
    if (withLinks.contains(fileSystemType))
        return true;
    if (withoutLinks.contains(fileSystemType))
        return false;
    return std::nullopt;
}

std::optional<DiskFacts> MacVolumeService::diskFacts(const DarwinMount &mount)
{
    if (!mount.device.startsWith(QLatin1String("/dev/disk")))
        return std::nullopt;
    // A device name is reused by the next disk attached, so the mount point is part of the key.
    const QString key = mount.device + QLatin1Char('\n') + mount.mountPoint;
    {
        const std::lock_guard lock(m_mutex);
        const auto found = m_disks.constFind(key);
        if (found != m_disks.constEnd())
            return *found;
    }
    SubprocessOptions options;
    options.timeLimit = 5s;
    const SubprocessResult result = Subprocess::run(
        m_diskutil, {QStringLiteral("info"), QStringLiteral("-plist"), mount.device}, options);
    if (!result.succeeded())
        return std::nullopt; // asked again next time
    const std::optional<DiskFacts> facts = parseDiskInfo(result.standardOutput);
    if (facts) {
        const std::lock_guard lock(m_mutex);
        m_disks.insert(key, *facts);
    }
    return facts;
}

MacMountWatcher::MacMountWatcher(std::shared_ptr<DarwinCalls> darwin, QObject *parent)
    : MountWatcher(parent)
    , m_darwin(std::move(darwin))
    , m_last(signature(m_darwin->mounts()))
{
    connect(&m_timer, &QTimer::timeout, this, &MacMountWatcher::poll);
    m_timer.start(2000);
}

void MacMountWatcher::poll()
{
    QStringList current = signature(m_darwin->mounts());
    if (current == m_last)
        return;
    m_last = std::move(current);
    emit mountsChanged();
}
