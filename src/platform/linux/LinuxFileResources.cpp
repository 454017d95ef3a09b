#include "platform/linux/LinuxFileResources.h"

#include "base/PathUtils.h"

#include <QFile>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

bool LinuxFileResources::isHidden(const QString &path)
{
    return PathUtils::lastComponent(path).startsWith(QLatin1Char('.'));
}

std::optional<bool> LinuxFileResources::isAliasFile(const QString &path)
{
    struct stat info
    {};
    if (::lstat(path.toLocal8Bit().constData(), &info) != 0)
        return std::nullopt;
    return S_ISLNK(info.st_mode);
}

std::optional<QString> LinuxFileResources::resolveAliasFile(const QString &)
{
    return std::nullopt;
}

std::optional<QString> LinuxFileResources::removalLock(const QString &path)
{
    return platformRemovalLock(path);
}

std::optional<QString> platformRemovalLock(const QString &path)
{
    // O_NONBLOCK: opening a pipe must not wait for a writer.
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    int flags = 0;
    const bool read = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    ::close(fd);
    if (!read)
        return std::nullopt;
    if ((flags & FS_IMMUTABLE_FL) != 0)
        return QStringLiteral("immutable (chattr +i)");
    if ((flags & FS_APPEND_FL) != 0)
        return QStringLiteral("append-only (chattr +a)");
    return std::nullopt;
}
