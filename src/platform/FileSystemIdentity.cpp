#include "platform/FileSystemIdentity.h"

#include "base/PathUtils.h"
#include "platform/FileSystemStore.h"
#include "platform/System.h"

#include <QFile>
#include <fcntl.h>
#include <sys/stat.h>

std::optional<quint64> FileSystemIdentity::deviceOf(const QString &path, bool followLink)
{
    struct stat info
    {};
    if (path.isEmpty())
        return std::nullopt;
    const QByteArray native = QFile::encodeName(path);
    if ((followLink ? ::stat(native.constData(), &info) : ::lstat(native.constData(), &info)) != 0)
        return std::nullopt;
    return quint64(info.st_dev);
}

std::optional<quint64> FileSystemIdentity::storeOf(const QString &path, bool followLink)
{
    if (path.isEmpty())
        return std::nullopt;
    return platformStoreAt(AT_FDCWD, QFile::encodeName(path), followLink);
}

std::optional<quint64> FileSystemIdentity::storeOf(int fd)
{
    if (fd < 0)
        return std::nullopt;
    return platformStoreAt(fd, QByteArray(), true);
}

std::optional<quint64> FileSystemIdentity::mountOf(int fd)
{
    if (fd < 0)
        return std::nullopt;
    return platformMountOf(fd);
}

std::optional<FileSystemIdentity> FileSystemIdentity::of(const QString &path)
{
    const std::optional<VolumeResourceValues> values =
        System::current().volumes().resourceValues(path);
    if (!values || !values->volumePath || values->volumePath->isEmpty())
        return std::nullopt;
    const std::optional<quint64> device = deviceOf(path);
    // The folder the platform names must hold the same file system as the path itself;
    // otherwise the mount table and the disk disagree and nothing can be proven. A subvolume
    // has a device id of its own, yet the same file system.
    if (!device)
        return std::nullopt;
    const std::optional<quint64> store = storeOf(path);
    if (!store || storeOf(*values->volumePath) != store)
        return std::nullopt;
    return FileSystemIdentity{PathUtils::standardized(*values->volumePath), *device};
}

bool FileSystemIdentity::holds(const QString &path) const
{
    const std::optional<FileSystemIdentity> now = of(path);
    return now && *now == *this;
}
