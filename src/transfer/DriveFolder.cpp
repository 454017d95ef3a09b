#include "transfer/DriveFolder.h"

#include "base/FolderEntries.h"
#include "base/PathUtils.h"
#include "platform/FileSystemIdentity.h"
#include "services/PrivilegeHelper.h"

#include <QFile>
#include <QStringList>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace DriveFolder {

namespace {

constexpr int folderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

QString quoted(const QString &text)
{
    return QLatin1Char('\'') + text + QLatin1Char('\'');
}

int failed(int err, const QByteArray &name, QByteArray *where)
{
    if (where)
        *where = name;
    return err;
}

} // namespace

UniqueFd openBelow(const QString &root, int rootFd, quint64 rootStore, const QString &path,
                   QString *why)
{
    const auto refuse = [why](const QString &reason) {
        if (why)
            *why = reason;
        return UniqueFd();
    };
    const QString base = PathUtils::standardized(root);
    const QString folder = PathUtils::standardized(path);
    if (!PathUtils::isSameOrInside(folder, base))
        return refuse(QStringLiteral("the folder ") + quoted(path) +
                      QStringLiteral(" does not lie inside ") + quoted(root));
    struct stat rootInfo
    {};
    UniqueFd current(::fcntl(rootFd, F_DUPFD_CLOEXEC, 0));
    if (!current.valid() || ::fstat(rootFd, &rootInfo) != 0)
        return refuse(quoted(root) + QStringLiteral(" cannot be read: ") +
                      QString::fromLocal8Bit(std::strerror(errno)));
    QString place = base;
    const QStringList parts =
        QStringView(folder).mid(base.size()).toString().split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString &part : parts) {
        place = PathUtils::join(place, part);
        const QByteArray name = QFile::encodeName(part);
        UniqueFd next(::openat(current.get(), name.constData(), folderFlags));
        if (!next.valid()) {
            const int err = errno;
            struct stat link
            {};
            if (::fstatat(current.get(), name.constData(), &link, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(link.st_mode))
                return refuse(QStringLiteral("the folder ") + quoted(place) +
                              QStringLiteral(" is now a link"));
            if (err == ENOENT)
                return refuse(QStringLiteral("the folder ") + quoted(place) +
                              QStringLiteral(" is no longer there"));
            if (err == ENOTDIR)
                return refuse(quoted(place) + QStringLiteral(" is no longer a folder"));
            return refuse(QStringLiteral("the folder ") + quoted(place) +
                          QStringLiteral(" cannot be entered: ") +
                          QString::fromLocal8Bit(std::strerror(err)));
        }
        struct stat info
        {};
        if (::fstat(next.get(), &info) != 0 ||
            (info.st_dev != rootInfo.st_dev &&
             FileSystemIdentity::storeOf(next.get()) != rootStore))
            return refuse(QStringLiteral("the folder ") + quoted(place) +
                          QStringLiteral(" lies on another file system than ") + quoted(root));
        current = std::move(next);
    }
    return current;
}

namespace {

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
            return type == S_IFSOCK || type == S_IFIFO ? unlinked(holder, item, 0) : 0;
        }
        int elsewhere() { return 0; }
        int done(int, const QByteArray &) { return 0; }
    } sockets;
    return walkFrom(folder, name, sockets, nullptr);
}

void removeItem(int folder, const QString &folderPath, const QString &name,
                const std::function<QString()> &judged)
{
    const QByteArray native = QFile::encodeName(name);
    QByteArray where = native;
    int err = 0;
    if (PrivilegeHelper::isWritable(folderPath)) {
        err = removeTree(folder, native, &where);
        if (err == 0)
            return;
    } else {
        // Nothing was tried: what the administrator's removal could not see stop it is looked
        // for first.
        struct
        {
            int leaf(int, const QByteArray &, mode_t) { return 0; }
            int elsewhere() { return EXDEV; }
            int done(int, const QByteArray &) { return 0; }
        } mounts;
        QByteArray mounted;
        if (walkFrom(folder, native, mounts, &mounted) == EXDEV) {
            err = EXDEV;
            where = mounted;
        }
    }
    PrivilegeHelper::removeAfterRefusal(folderPath, name, err, QFile::decodeName(where), judged);
}

std::optional<Identity> identityOf(int folder, const QByteArray &name)
{
    struct stat info
    {};
    if (::fstatat(folder, name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return std::nullopt;
    return Identity{quint64(info.st_dev), quint64(info.st_ino), S_ISDIR(info.st_mode)};
}

std::optional<Identity> identityOf(int fd)
{
    struct stat info
    {};
    if (::fstat(fd, &info) != 0)
        return std::nullopt;
    return Identity{quint64(info.st_dev), quint64(info.st_ino), S_ISDIR(info.st_mode)};
}

} // namespace DriveFolder
