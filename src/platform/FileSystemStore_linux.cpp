#include "platform/FileSystemStore.h"

#include "platform/linux/MountTable.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace {

quint64 deviceNumber(quint64 major, quint64 minor)
{
    return (major << 32) | minor;
}

} // namespace

// A flush (syncfs) reaches a whole superblock. Its device id is what the mount table gives each
// mount of it; stat's st_dev is not, as btrfs gives each subvolume an id of its own. So the
// item's mount is named (statx's mount id) and looked up in the table.
std::optional<quint64> platformStoreAt(int folder, const QByteArray &path, bool followLink)
{
    struct statx info
    {};
    const int flags = AT_STATX_SYNC_AS_STAT | (followLink ? 0 : AT_SYMLINK_NOFOLLOW) |
                      (path.isEmpty() ? AT_EMPTY_PATH : 0);
    if (::statx(folder, path.constData(), flags, STATX_MNT_ID, &info) != 0)
        return std::nullopt;
    if ((info.stx_mask & STATX_MNT_ID) != 0) {
        if (const std::optional<QList<MountEntry>> table = MountTable::read()) {
            for (const MountEntry &entry : *table) {
                if (entry.id >= 0 && quint64(entry.id) == info.stx_mnt_id)
                    return deviceNumber(entry.major, entry.minor);
            }
        }
    }
    // A kernel that cannot name the mount: the item's own device, which a subvolume does not
    // share with the rest of its file system; a stricter answer, never a wrong one.
    return deviceNumber(info.stx_dev_major, info.stx_dev_minor);
}

// Every mount has an id of its own, a bind mount of the same file system too, whose device id
// and flushed store are those of the file system it shows.
std::optional<quint64> platformMountOf(int fd)
{
    struct statx info
    {};
    if (::statx(fd, "", AT_EMPTY_PATH | AT_STATX_SYNC_AS_STAT, STATX_MNT_ID, &info) != 0)
        return std::nullopt;
    if ((info.stx_mask & STATX_MNT_ID) != 0)
        return info.stx_mnt_id;
    // A kernel that cannot name the mount (the same for every item then): its device.
    return deviceNumber(info.stx_dev_major, info.stx_dev_minor);
}
