#include "base/TreeCopy.h"

#include "base/FolderEntries.h"
#include "base/UniqueFd.h"

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace TreeCopy {

namespace {

constexpr int folderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

int failed(int err, const QByteArray &name, QByteArray *where)
{
    if (where)
        *where = name;
    return err;
}

// Access and modification times: POSIX names them st_atim and st_mtim, Darwin st_atimespec and
// st_mtimespec.
template<typename Stat>
std::array<struct timespec, 2> accessedAndModified(const Stat &info)
{
    if constexpr (requires { info.st_mtim; })
        return {info.st_atim, info.st_mtim};
    else
        return {info.st_atimespec, info.st_mtimespec};
}

// The times and, where the process may give them, the owner of the copied item.
void keepOwnerAndTimes(int fd, const struct stat &info)
{
    if (::geteuid() == 0)
        (void)::fchown(fd, info.st_uid, info.st_gid);
    const std::array<struct timespec, 2> times = accessedAndModified(info);
    (void)::futimens(fd, times.data());
}

int copyFile(int source, const QByteArray &name, int copy, const struct stat &info)
{
    const UniqueFd from(
        ::openat(source, name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!from.valid())
        return errno;
    struct stat opened
    {};
    if (::fstat(from.get(), &opened) != 0)
        return errno;
    // Replaced since it was listed: copied as what it is now, never as something else.
    if (!S_ISREG(opened.st_mode) || opened.st_ino != info.st_ino)
        return EAGAIN;
    UniqueFd to(::openat(copy, name.constData(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!to.valid())
        return errno;
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t got = ::read(from.get(), buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (got == 0)
            break;
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(to.get(), buffer.data() + done, size_t(got - done));
            if (put < 0) {
                if (errno == EINTR)
                    continue;
                return errno;
            }
            done += put;
        }
    }
    if (::fchmod(to.get(), opened.st_mode & 07777) != 0)
        return errno;
    keepOwnerAndTimes(to.get(), opened);
    return ::close(to.release()) == 0 ? 0 : errno;
}

int copyLink(int source, const QByteArray &name, int copy, const struct stat &info)
{
    QByteArray text(qsizetype(info.st_size) + 1, '\0');
    const ssize_t length = ::readlinkat(source, name.constData(), text.data(), size_t(text.size()));
    if (length < 0)
        return errno;
    // Longer than when it was looked at: it changed, and is copied as it is at the next try.
    if (length >= text.size())
        return EAGAIN;
    text.truncate(length);
    if (::symlinkat(text.constData(), copy, name.constData()) != 0)
        return errno;
    const std::array<struct timespec, 2> times = accessedAndModified(info);
    (void)::utimensat(copy, name.constData(), times.data(), AT_SYMLINK_NOFOLLOW);
    if (::geteuid() == 0)
        (void)::fchownat(copy, name.constData(), info.st_uid, info.st_gid, AT_SYMLINK_NOFOLLOW);
    return 0;
}

int copyItem(int source, const QByteArray &name, int copy, QByteArray *where);

int copyFolder(int source, const QByteArray &name, int copy, const struct stat &info,
               QByteArray *where)
{
    const UniqueFd from(::openat(source, name.constData(), folderFlags));
    if (!from.valid())
        return failed(errno, name, where);
    if (::mkdirat(copy, name.constData(), 0700) != 0)
        return failed(errno, name, where);
    const UniqueFd to(::openat(copy, name.constData(), folderFlags));
    if (!to.valid())
        return failed(errno, name, where);
    const std::optional<std::vector<FolderEntry>> entries = entriesOf(from.get());
    if (!entries)
        return failed(errno, name, where);
    for (const FolderEntry &entry : *entries) {
        QByteArray below;
        if (const int err = copyItem(from.get(), entry.name, to.get(), &below))
            return failed(err, QByteArray(name).append('/').append(below), where);
    }
    // Last, so that what was written into it does not change its times.
    if (::fchmod(to.get(), info.st_mode & 07777) != 0)
        return failed(errno, name, where);
    keepOwnerAndTimes(to.get(), info);
    return 0;
}

int copyItem(int source, const QByteArray &name, int copy, QByteArray *where)
{
    struct stat info
    {};
    if (::fstatat(source, name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return failed(errno, name, where);
    int err = 0;
    switch (info.st_mode & S_IFMT) {
    case S_IFDIR:
        return copyFolder(source, name, copy, info, where);
    case S_IFREG:
        err = copyFile(source, name, copy, info);
        break;
    case S_IFLNK:
        err = copyLink(source, name, copy, info);
        break;
    default:
        return 0; // sockets, pipes and devices hold no data of the tree's own
    }
    return err == 0 ? 0 : failed(err, name, where);
}

} // namespace

int copyMissing(int source, const QByteArray &name, int copy, const QByteArray &copyName,
                const Wanted &wanted, QByteArray *where)
{
    const UniqueFd from(::openat(source, name.constData(), folderFlags));
    const UniqueFd to(::openat(copy, copyName.constData(), folderFlags));
    // Not folders on both sides: nothing below to complete.
    if (!from.valid() || !to.valid())
        return 0;
    const std::optional<std::vector<FolderEntry>> entries = entriesOf(from.get());
    if (!entries)
        return failed(errno, name, where);
    int first = 0;
    for (const FolderEntry &entry : *entries) {
        mode_t type = entry.type;
        if (type == 0) {
            struct stat info
            {};
            if (::fstatat(from.get(), entry.name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0)
                continue; // gone since it was listed
            type = info.st_mode & S_IFMT;
        }
        struct stat there
        {};
        const bool present =
            ::fstatat(to.get(), entry.name.constData(), &there, AT_SYMLINK_NOFOLLOW) == 0;
        QByteArray below;
        int err = 0;
        if (!present && wanted(entry.name, type))
            err = copyItem(from.get(), entry.name, to.get(), &below);
        else if (present && type == S_IFDIR && S_ISDIR(there.st_mode))
            err = copyMissing(from.get(), entry.name, to.get(), entry.name, wanted, &below);
        if (err != 0 && first == 0) {
            first = err;
            if (where)
                *where = QByteArray(name).append('/').append(below);
        }
    }
    return first;
}

} // namespace TreeCopy
