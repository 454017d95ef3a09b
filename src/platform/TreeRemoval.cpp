#include "platform/TreeRemoval.h"

#include "base/FolderEntries.h"
#include "base/PathUtils.h"
#include "base/UniqueFd.h"
#include "platform/FileSystemIdentity.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace TreeRemoval {

namespace {

constexpr int folderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

int failed(int err, const QByteArray &name, QByteArray *where)
{
    if (where)
        *where = name;
    return err;
}

// Where an open folder lies: the device and the mount it is on.
struct Place
{
    dev_t device = 0;
    std::optional<quint64> mount;
};

std::optional<Place> placeOf(int fd)
{
    struct stat info
    {};
    if (::fstat(fd, &info) != 0)
        return std::nullopt;
    return Place{info.st_dev, FileSystemIdentity::mountOf(fd)};
}

// A folder on another device or mount than the folder holding it: a drive or disk image mounted
// there, a subvolume, or a bind mount of any folder, one of the same drive too (whose device and
// flushed store are the drive's own).
bool elsewhere(const Place &holder, const Place &inner)
{
    return holder.device != inner.device || holder.mount != inner.mount;
}

// The walk of the removals below: the item `name` of the open folder `folder` (at `at`), of the
// kind `type` (S_IFMT bits, 0 when not known), and for a folder what it holds, depth first,
// never through a link and never into a folder elsewhere (see above). `visit` says what is done:
// leaf(holder, name, type) for each item that is not a folder, elsewhere() for each folder not
// entered, done(holder, name) for each folder once nothing in it failed. Each gives 0 or an
// errno. The walk goes on past a failure and returns the first, `where` naming that item below
// `folder`; a folder elsewhere (EXDEV) comes before any other, as it alone decides whether an
// administrator may be asked to remove what stayed.
template<typename Visit>
int walk(int folder, const Place &at, const QByteArray &name, mode_t type, Visit &visit,
         QByteArray *where)
{
    if (type == 0) {
        struct stat item
        {};
        if (::fstatat(folder, name.constData(), &item, AT_SYMLINK_NOFOLLOW) != 0)
            return errno == ENOENT ? 0 : failed(errno, name, where);
        type = item.st_mode & S_IFMT;
    }
    if (type != S_IFDIR) {
        const int err = visit.leaf(folder, name, type);
        return err == 0 ? 0 : failed(err, name, where);
    }
    const UniqueFd inner(::openat(folder, name.constData(), folderFlags));
    if (!inner.valid()) {
        const int err = errno;
        // Listed as a folder, yet something else now: looked at again.
        struct stat item
        {};
        if ((err == ELOOP || err == ENOTDIR) &&
            ::fstatat(folder, name.constData(), &item, AT_SYMLINK_NOFOLLOW) == 0 &&
            !S_ISDIR(item.st_mode))
            return walk(folder, at, name, item.st_mode & S_IFMT, visit, where);
        return err == ENOENT ? 0 : failed(err, name, where);
    }
    const std::optional<Place> innerAt = placeOf(inner.get());
    if (!innerAt)
        return failed(errno, name, where);
    if (elsewhere(at, *innerAt)) {
        const int err = visit.elsewhere();
        return err == 0 ? 0 : failed(err, name, where);
    }
    const std::optional<std::vector<FolderEntry>> entries = entriesOf(inner.get());
    if (!entries)
        return failed(errno, name, where);
    int first = 0;
    for (const FolderEntry &entry : *entries) {
        QByteArray below;
        const int err = walk(inner.get(), *innerAt, entry.name, entry.type, visit, &below);
        if (err != 0 && (first == 0 || (err == EXDEV && first != EXDEV))) {
            first = err;
            if (where)
                *where = name + '/' + below;
        }
    }
    if (first != 0)
        return first;
    const int err = visit.done(folder, name);
    return err == 0 ? 0 : failed(err, name, where);
}

template<typename Visit>
int walkFrom(int folder, const QByteArray &name, Visit &visit, QByteArray *where)
{
    const std::optional<Place> at = placeOf(folder);
    if (!at)
        return failed(errno, name, where);
    return walk(folder, *at, name, 0, visit, where);
}

int unlinked(int folder, const QByteArray &name, int flags)
{
    return ::unlinkat(folder, name.constData(), flags) == 0 || errno == ENOENT ? 0 : errno;
}

struct Removal
{
    int leaf(int holder, const QByteArray &name, mode_t) { return unlinked(holder, name, 0); }
    int elsewhere() { return EXDEV; }
    int done(int holder, const QByteArray &name) { return unlinked(holder, name, AT_REMOVEDIR); }
};

} // namespace

int removeTree(int folder, const QByteArray &name, QByteArray *where)
{
    Removal removal;
    return walkFrom(folder, name, removal, where);
}

int removeSocketsAndPipes(int folder, const QByteArray &name)
{
    struct
    {
        int leaf(int holder, const QByteArray &item, mode_t type)
        {
            return isLeftOutOfCopies(type) ? unlinked(holder, item, 0) : 0;
        }
        int elsewhere() { return 0; }
        int done(int, const QByteArray &) { return 0; }
    } leftOut;
    return walkFrom(folder, name, leftOut, nullptr);
}

int removeAt(const QString &path, QString *where)
{
    const UniqueFd folder(::open(QFile::encodeName(PathUtils::parentPath(path)).constData(),
                                 O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid())
        return errno == ENOENT ? 0 : errno;
    QByteArray stayed;
    const int err =
        removeTree(folder.get(), QFile::encodeName(PathUtils::lastComponent(path)), &stayed);
    if (err != 0 && where)
        *where = QFile::decodeName(stayed);
    return err;
}

int findMount(int folder, const QByteArray &name, QByteArray *where)
{
    struct
    {
        int leaf(int, const QByteArray &, mode_t) { return 0; }
        int elsewhere() { return EXDEV; }
        int done(int, const QByteArray &) { return 0; }
    } mounts;
    QByteArray mounted;
    const int err = walkFrom(folder, name, mounts, &mounted);
    if (err != EXDEV)
        return 0;
    if (where)
        *where = mounted;
    return EXDEV;
}

} // namespace TreeRemoval
