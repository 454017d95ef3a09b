// A drive as fake-capacity sticks are sold: one file, "drive.img", that reports SIZE_MB of room
// but keeps only its first KEPT_MB. Whatever is written beyond is accepted and dropped, and
// reads there give zeros, with no error anywhere. A loop device over the file makes the drive.
//
//     fake_capacity_drive KEPT_MB SIZE_MB MOUNTPOINT
//
// Runs in the foreground until it is terminated or the mount point is unmounted.

#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <vector>

namespace {

const char *const imagePath = "/drive.img";
std::vector<char> kept;
off_t reportedSize = 0;

int getAttributes(const char *path, struct stat *info, fuse_file_info *)
{
    std::memset(info, 0, sizeof *info);
    if (std::strcmp(path, "/") == 0) {
        info->st_mode = S_IFDIR | 0755;
        info->st_nlink = 2;
        return 0;
    }
    if (std::strcmp(path, imagePath) != 0)
        return -ENOENT;
    info->st_mode = S_IFREG | 0644;
    info->st_nlink = 1;
    info->st_size = reportedSize;
    return 0;
}

int readFolder(const char *path, void *buffer, fuse_fill_dir_t fill, off_t, fuse_file_info *,
               fuse_readdir_flags)
{
    if (std::strcmp(path, "/") != 0)
        return -ENOENT;
    fill(buffer, ".", nullptr, 0, fuse_fill_dir_flags(0));
    fill(buffer, "..", nullptr, 0, fuse_fill_dir_flags(0));
    fill(buffer, imagePath + 1, nullptr, 0, fuse_fill_dir_flags(0));
    return 0;
}

int openFile(const char *path, fuse_file_info *file)
{
    if (std::strcmp(path, imagePath) != 0)
        return -ENOENT;
    // No page cache of our own in between: every read of the loop device reaches this program.
    file->direct_io = 1;
    return 0;
}

int readFile(const char *, char *buffer, size_t size, off_t offset, fuse_file_info *)
{
    if (offset >= reportedSize)
        return 0;
    const size_t length = size_t(std::min<off_t>(off_t(size), reportedSize - offset));
    std::memset(buffer, 0, length);
    const off_t keptSize = off_t(kept.size());
    if (offset < keptSize)
        std::memcpy(buffer, kept.data() + offset,
                    size_t(std::min<off_t>(off_t(length), keptSize - offset)));
    return int(length);
}

int writeFile(const char *, const char *buffer, size_t size, off_t offset, fuse_file_info *)
{
    const off_t keptSize = off_t(kept.size());
    if (offset < keptSize)
        std::memcpy(kept.data() + offset, buffer,
                    size_t(std::min<off_t>(off_t(size), keptSize - offset)));
    return int(size); // all of it, as far as the writer can tell
}

int truncateFile(const char *, off_t, fuse_file_info *)
{
    return 0;
}

int syncFile(const char *, int, fuse_file_info *)
{
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 4)
        return 2;
    kept.assign(size_t(std::atoll(argv[1])) * 1024 * 1024, '\0');
    reportedSize = off_t(std::atoll(argv[2])) * 1024 * 1024;

    fuse_operations operations{};
    operations.getattr = getAttributes;
    operations.readdir = readFolder;
    operations.open = openFile;
    operations.read = readFile;
    operations.write = writeFile;
    operations.truncate = truncateFile;
    operations.fsync = syncFile;
    char program[] = "fake_capacity_drive";
    char foreground[] = "-f";
    char single[] = "-s";
    char *arguments[] = {program, foreground, single, argv[3], nullptr};
    return fuse_main(4, arguments, &operations, nullptr);
}
