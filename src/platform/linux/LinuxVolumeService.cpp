#include "platform/linux/LinuxVolumeService.h"

#include "base/PathUtils.h"
#include "platform/linux/BlockDevices.h"

#include <QFile>
#include <QSet>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

bool exists(const QString &path)
{
    struct stat info
    {};
    return ::stat(path.toLocal8Bit().constData(), &info) == 0;
}

std::optional<MountEntry> mountHolding(const QString &path)
{
    if (path.isEmpty() || !exists(path))
        return std::nullopt;
    const std::optional<QList<MountEntry>> table = MountTable::read();
    if (!table)
        return std::nullopt;
    return MountTable::containing(*table, PathUtils::resolved(path));
}

// Mount ids are reused after an unmount, so the device is part of the key.
QString labelKey(const MountEntry &entry)
{
    return QString::number(entry.id) + QLatin1Char(' ') + entry.source;
}

QByteArray readMountTable()
{
    QFile file(QStringLiteral("/proc/self/mountinfo"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

std::optional<QStringList> LinuxVolumeService::mountedVolumePaths()
{
    const std::optional<QList<MountEntry>> table = MountTable::read();
    if (!table)
        return std::nullopt;
    QStringList paths;
    for (const MountEntry &entry : MountTable::visible(*table)) {
        if (!entry.isHidden() && !paths.contains(entry.mountPoint))
            paths.append(entry.mountPoint);
    }
    return paths;
}

std::optional<QStringList> LinuxVolumeService::allMountPoints()
{
    const std::optional<QList<MountEntry>> table = MountTable::read();
    if (!table)
        return std::nullopt;
    QStringList points;
    for (const MountEntry &entry : *table)
        points.append(entry.mountPoint);
    return points;
}

std::optional<VolumeResourceValues> LinuxVolumeService::resourceValues(const QString &path)
{
    const std::optional<MountEntry> mount = mountHolding(path);
    if (!mount)
        return std::nullopt;
    VolumeResourceValues values;
    values.volumeName = labelOf(*mount);
    if (!values.volumeName) {
        const QString folderName = PathUtils::lastComponent(mount->mountPoint);
        if (!folderName.isEmpty() && folderName != QLatin1String("/"))
            values.volumeName = folderName;
    }
    const DeviceAttachment attachment = BlockDevices::attachment(mount->major, mount->minor);
    values.isInternal = attachment.isInternal;
    values.isRemovable = attachment.isRemovable;
    values.isReadOnly = mount->isReadOnly();
    values.isVolume = PathUtils::resolved(path) == mount->mountPoint;
    values.isRootFileSystem = mount->mountPoint == QLatin1String("/");
    if (const std::optional<FileSystemSpace> space = fileSystemSpace(path)) {
        values.totalCapacity = space->total;
        values.availableCapacity = space->free;
    }
    values.supportsSymlinks = supportsSymlinks(mount->fileSystemType);
    values.volumePath = mount->mountPoint;
    return values;
}

std::optional<FileSystemSpace> LinuxVolumeService::fileSystemSpace(const QString &path)
{
    struct statvfs info
    {};
    if (path.isEmpty() || ::statvfs(path.toLocal8Bit().constData(), &info) != 0)
        return std::nullopt;
    // Free space is what an ordinary user may still write, as on a Mac.
    return FileSystemSpace{qint64(info.f_blocks) * qint64(info.f_frsize),
                           qint64(info.f_bavail) * qint64(info.f_frsize)};
}

std::optional<QString> LinuxVolumeService::fileSystemTypeName(const QString &path)
{
    const std::optional<MountEntry> mount = mountHolding(path);
    if (!mount)
        return std::nullopt;
    return mount->fileSystemType;
}

std::unique_ptr<MountWatcher> LinuxVolumeService::watchMounts()
{
    return std::make_unique<LinuxMountWatcher>();
}

std::optional<bool> LinuxVolumeService::supportsSymlinks(const QString &fileSystemType)
{
    static const QSet<QString> withLinks = {
        QStringLiteral("ext2"),     QStringLiteral("ext3"),     QStringLiteral("ext4"),
        QStringLiteral("btrfs"),    QStringLiteral("xfs"),      QStringLiteral("f2fs"),
        QStringLiteral("zfs"),      QStringLiteral("tmpfs"),    QStringLiteral("ramfs"),
        QStringLiteral("jfs"),      QStringLiteral("reiserfs"), QStringLiteral("nilfs2"),
        QStringLiteral("bcachefs"), QStringLiteral("ntfs3"),    QStringLiteral("nfs"),
        QStringLiteral("nfs4"),     QStringLiteral("apfs"),     QStringLiteral("hfsplus"),
    };
    static const QSet<QString> withoutLinks = {
        QStringLiteral("vfat"),  QStringLiteral("msdos"),   QStringLiteral("fat"),
        QStringLiteral("exfat"), QStringLiteral("ntfs"),    QStringLiteral("iso9660"),
        QStringLiteral("udf"),   QStringLiteral("fuseblk"),
    };
    if (withLinks.contains(fileSystemType))
        return true;
    if (withoutLinks.contains(fileSystemType))
        return false;
    return std::nullopt;
}

std::optional<QString> LinuxVolumeService::labelOf(const MountEntry &entry)
{
    {
        const std::lock_guard lock(m_labelMutex);
        const auto found = m_labels.constFind(labelKey(entry));
        if (found != m_labels.constEnd())
            return *found;
    }
    const std::optional<QString> label = BlockDevices::label(entry.source);
    const std::lock_guard lock(m_labelMutex);
    m_labels.insert(labelKey(entry), label);
    return label;
}

LinuxMountWatcher::LinuxMountWatcher(QObject *parent)
    : MountWatcher(parent)
{
    m_fd = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (m_fd >= 0) {
        m_notifier = new QSocketNotifier(qintptr(m_fd), QSocketNotifier::Exception, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &MountWatcher::mountsChanged);
        return;
    }
    m_lastTable = readMountTable();
    m_pollTimer = new QTimer(this);
    connect(m_pollTimer, &QTimer::timeout, this, &LinuxMountWatcher::compareTable);
    m_pollTimer->start(2000);
}

LinuxMountWatcher::~LinuxMountWatcher()
{
    delete m_notifier;
    if (m_fd >= 0)
        ::close(m_fd);
}

void LinuxMountWatcher::compareTable()
{
    QByteArray table = readMountTable();
    if (table == m_lastTable)
        return;
    m_lastTable = std::move(table);
    emit mountsChanged();
}
