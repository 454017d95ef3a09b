#include "platform/FileSystemStore.h"

#include <fcntl.h>
#include <sys/stat.h>

// Each APFS volume is flushed on its own, and has a device id of its own.
std::optional<quint64> platformStoreAt(int folder, const QByteArray &path, bool followLink)
{
    struct stat info
    {};
    const int result = path.isEmpty() ? ::fstat(folder, &info)
                                      : ::fstatat(folder, path.constData(), &info,
                                                  followLink ? 0 : AT_SYMLINK_NOFOLLOW);
    if (result != 0)
        return std::nullopt;
    return quint64(info.st_dev);
}

// Each mounted volume, a disk image mounted on a folder too, has a device id of its own.
std::optional<quint64> platformMountOf(int fd)
{
    struct stat info
    {};
    if (::fstat(fd, &info) != 0)
        return std::nullopt;
    return quint64(info.st_dev);
}
