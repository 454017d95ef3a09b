// A drive over a folder, as drives behave that the program meets: everything is passed to the
// folder SOURCE, except that with --no-locks the file system has no flock(2), as some network
// and FUSE file systems have none, and with --hang-while FILE every request waits, unanswered,
// for as long as FILE exists, as a drive that stopped answering does.
//
//     stand_in_drive SOURCE MOUNTPOINT [--no-locks] [--hang-while FILE]
//
// Runs in the foreground until it is terminated or the mount point is unmounted.

#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

std::string source;
std::string hangFlag;
bool noLocks = false;

std::string real(const char *path)
{
    return source + path;
}

// A drive that stopped answering answers nothing until it answers again.
void answerWhenAwake()
{
    struct stat info
    {};
    while (!hangFlag.empty() && ::stat(hangFlag.c_str(), &info) == 0)
        ::usleep(20000);
}

int result(int value)
{
    return value < 0 ? -errno : value;
}

int getAttributes(const char *path, struct stat *info, fuse_file_info *)
{
    answerWhenAwake();
    return result(::lstat(real(path).c_str(), info));
}

int readLink(const char *path, char *buffer, size_t size)
{
    answerWhenAwake();
    const ssize_t length = ::readlink(real(path).c_str(), buffer, size - 1);
    if (length < 0)
        return -errno;
    buffer[length] = '\0';
    return 0;
}

int makeFolder(const char *path, mode_t mode)
{
    answerWhenAwake();
    return result(::mkdir(real(path).c_str(), mode));
}

int removeFile(const char *path)
{
    answerWhenAwake();
    return result(::unlink(real(path).c_str()));
}

int removeFolder(const char *path)
{
    answerWhenAwake();
    return result(::rmdir(real(path).c_str()));
}

int makeLink(const char *target, const char *path)
{
    answerWhenAwake();
    return result(::symlink(target, real(path).c_str()));
}

int renameItem(const char *from, const char *to, unsigned int flags)
{
    answerWhenAwake();
    if (flags != 0)
        return -EINVAL;
    return result(::rename(real(from).c_str(), real(to).c_str()));
}

int makeHardLink(const char *from, const char *to)
{
    answerWhenAwake();
    return result(::link(real(from).c_str(), real(to).c_str()));
}

int changeMode(const char *path, mode_t mode, fuse_file_info *)
{
    answerWhenAwake();
    return result(::chmod(real(path).c_str(), mode));
}

int changeOwner(const char *path, uid_t user, gid_t group, fuse_file_info *)
{
    answerWhenAwake();
    return result(::lchown(real(path).c_str(), user, group));
}

int truncateFile(const char *path, off_t size, fuse_file_info *)
{
    answerWhenAwake();
    return result(::truncate(real(path).c_str(), size));
}

int openFile(const char *path, fuse_file_info *file)
{
    answerWhenAwake();
    const int fd = ::open(real(path).c_str(), file->flags);
    if (fd < 0)
        return -errno;
    file->fh = uint64_t(fd);
    return 0;
}

int createFile(const char *path, mode_t mode, fuse_file_info *file)
{
    answerWhenAwake();
    const int fd = ::open(real(path).c_str(), file->flags, mode);
    if (fd < 0)
        return -errno;
    file->fh = uint64_t(fd);
    return 0;
}

int readFile(const char *, char *buffer, size_t size, off_t offset, fuse_file_info *file)
{
    answerWhenAwake();
    return result(int(::pread(int(file->fh), buffer, size, offset)));
}

int writeFile(const char *, const char *buffer, size_t size, off_t offset, fuse_file_info *file)
{
    answerWhenAwake();
    return result(int(::pwrite(int(file->fh), buffer, size, offset)));
}

int fileSystemStatus(const char *path, struct statvfs *status)
{
    answerWhenAwake();
    return result(::statvfs(real(path).c_str(), status));
}

int releaseFile(const char *, fuse_file_info *file)
{
    ::close(int(file->fh));
    return 0;
}

int syncFile(const char *, int dataOnly, fuse_file_info *file)
{
    answerWhenAwake();
    return result(dataOnly ? ::fdatasync(int(file->fh)) : ::fsync(int(file->fh)));
}

int openFolder(const char *path, fuse_file_info *file)
{
    answerWhenAwake();
    DIR *folder = ::opendir(real(path).c_str());
    if (!folder)
        return -errno;
    file->fh = uint64_t(reinterpret_cast<uintptr_t>(folder));
    return 0;
}

int readFolder(const char *, void *buffer, fuse_fill_dir_t fill, off_t, fuse_file_info *file,
               fuse_readdir_flags)
{
    answerWhenAwake();
    DIR *folder = reinterpret_cast<DIR *>(uintptr_t(file->fh));
    ::rewinddir(folder);
    while (const dirent *entry = ::readdir(folder)) {
        struct stat info
        {};
        info.st_ino = entry->d_ino;
        info.st_mode = mode_t(entry->d_type) << 12;
        if (fill(buffer, entry->d_name, &info, 0, fuse_fill_dir_flags(0)) != 0)
            break;
    }
    return 0;
}

int releaseFolder(const char *, fuse_file_info *file)
{
    ::closedir(reinterpret_cast<DIR *>(uintptr_t(file->fh)));
    return 0;
}

int setTimes(const char *path, const struct timespec times[2], fuse_file_info *)
{
    answerWhenAwake();
    return result(::utimensat(AT_FDCWD, real(path).c_str(), times, AT_SYMLINK_NOFOLLOW));
}

int lockFile(const char *, fuse_file_info *file, int operation)
{
    answerWhenAwake();
    if (noLocks)
        return -EOPNOTSUPP;
    return result(::flock(int(file->fh), operation));
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 3)
        return 2;
    char resolved[PATH_MAX] = {};
    if (!::realpath(argv[1], resolved))
        return 2;
    source = resolved;
    for (int i = 3; i < argc; ++i) {
        if (std::strcmp(argv[i], "--no-locks") == 0)
            noLocks = true;
        else if (std::strcmp(argv[i], "--hang-while") == 0 && i + 1 < argc)
            hangFlag = argv[++i];
        else
            return 2;
    }

    fuse_operations operations{};
    operations.getattr = getAttributes;
    operations.readlink = readLink;
    operations.mkdir = makeFolder;
    operations.unlink = removeFile;
    operations.rmdir = removeFolder;
    operations.symlink = makeLink;
    operations.rename = renameItem;
    operations.link = makeHardLink;
    operations.chmod = changeMode;
    operations.chown = changeOwner;
    operations.truncate = truncateFile;
    operations.open = openFile;
    operations.create = createFile;
    operations.read = readFile;
    operations.write = writeFile;
    operations.statfs = fileSystemStatus;
    operations.release = releaseFile;
    operations.fsync = syncFile;
    operations.opendir = openFolder;
    operations.readdir = readFolder;
    operations.releasedir = releaseFolder;
    operations.utimens = setTimes;
    operations.flock = lockFile;
    char program[] = "stand_in_drive";
    char foreground[] = "-f";
    char *arguments[] = {program, foreground, argv[2], nullptr};
    return fuse_main(3, arguments, &operations, nullptr);
}
