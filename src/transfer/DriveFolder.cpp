#include "transfer/DriveFolder.h"

#include "base/FolderEntries.h"
#include "base/PathUtils.h"
#include "platform/FileSystemIdentity.h"
#include "platform/TreeRemoval.h"
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

void removeItem(int folder, const QString &folderPath, const QString &name,
                const std::function<QString()> &judged)
{
    const QByteArray native = QFile::encodeName(name);
    QByteArray where = native;
    int err = 0;
    if (PrivilegeHelper::isWritable(folderPath)) {
        err = TreeRemoval::removeTree(folder, native, &where);
        if (err == 0)
            return;
    } else {
        // Nothing was tried: what the administrator's removal could not see stop it is looked
        // for first.
        err = TreeRemoval::findMount(folder, native, &where);
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
