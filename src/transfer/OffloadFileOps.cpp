#include "transfer/OffloadFileOps.h"

#include "base/OperationError.h"
#include "base/PathUtils.h"
#include "base/UniqueFd.h"
#include "model/AppItem.h"
#include "model/MigrationRecord.h"
#include "model/TargetVolume.h"
#include "platform/FileSystemIdentity.h"
#include "services/LedgerService.h"
#include "services/PrivilegeHelper.h"
#include "services/RecordRule.h"
#include "transfer/AppProxyHelper.h"
#include "transfer/DriveProof.h"
#include "transfer/OffloadEngine.h"

#include <QDir>
#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

OffloadFileOps::~OffloadFileOps() = default;

namespace {

// "Could not create the folder", or "Could not open the folder" when it is only entered.
QString cannot(bool make)
{
    return make ? QStringLiteral("Could not create the folder '")
                : QStringLiteral("Could not open the folder '");
}

OperationError folderError(int err, const QString &path, bool make = true)
{
    return OperationError::fileSystem(err, cannot(make) + path + QStringLiteral("': ") +
                                               QString::fromLocal8Bit(std::strerror(err)));
}

// A link met on the way is entered only as the target's check would let a folder be: leading
// into a drive's folder of ours on the target's own file system; and only when what it opens is
// the folder that was judged.
UniqueFd enterLink(const UniqueFd &folder, const QByteArray &name, const QString &place,
                   const TargetVolume &target, quint64 store, bool make)
{
    const Verdict verdict = RecordRule::checkTargetFolder(target.id(), place, store);
    if (!verdict.ok)
        throw OffloadEngine::targetRefusal(target.name, verdict.reason.value_or(QString()),
                                           OffloadEngine::nothingChangedOnMac());
    struct stat judged
    {};
    const bool found =
        ::stat(QFile::encodeName(PathUtils::resolved(place)).constData(), &judged) == 0;
    UniqueFd entered(::openat(folder.get(), name.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!entered.valid())
        throw folderError(errno, place, make);
    struct stat opened
    {};
    if (!found || ::fstat(entered.get(), &opened) != 0 ||
        FileSystemIdentity::storeOf(entered.get()) != store || opened.st_dev != judged.st_dev ||
        opened.st_ino != judged.st_ino)
        throw OffloadEngine::targetRefusal(target.name,
                                           QStringLiteral("the folder '") + place +
                                               QStringLiteral("' changed while it was entered"),
                                           OffloadEngine::nothingChangedOnMac());
    return entered;
}

} // namespace

UniqueFd OffloadFileOps::openTargetFolder(const QString &path, const TargetVolume &target,
                                          bool make)
{
    const QString root = target.id();
    const QString base = PathUtils::standardized(root);
    const QString folder = PathUtils::standardized(path);
    if (!PathUtils::isDirectory(base))
        throw OperationError::fileSystem(ENOENT, cannot(make) + path +
                                                     QStringLiteral("': its target '") + root +
                                                     QStringLiteral("' is missing."));
    if (!PathUtils::isSameOrInside(folder, base))
        throw OperationError::fileSystem(EINVAL, cannot(make) + path +
                                                     QStringLiteral("': it lies outside '") + root +
                                                     QStringLiteral("'."));
    // Made and entered one level at a time from the target's own root, never by a path that a
    // link put there since the check could lead elsewhere.
    UniqueFd current(
        ::open(QFile::encodeName(base).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!current.valid())
        throw folderError(errno, base, make);
    struct stat info
    {};
    if (!target.fileSystem || ::fstat(current.get(), &info) != 0 ||
        quint64(info.st_dev) != target.fileSystem->device)
        throw DriveProof::disconnectedError(target.name, OffloadEngine::errorDomain,
                                            DriveProof::offloadCode);
    const std::optional<quint64> store = FileSystemIdentity::storeOf(current.get());
    if (!store)
        throw folderError(errno, base, make);
    QString place = base;
    const QStringList parts =
        QStringView(folder).mid(base.size()).toString().split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString &part : parts) {
        place = PathUtils::join(place, part);
        const QByteArray name = QFile::encodeName(part);
        if (make && ::mkdirat(current.get(), name.constData(), 0755) != 0 && errno != EEXIST)
            throw folderError(errno, place, make);
        UniqueFd next(::openat(current.get(), name.constData(),
                               O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.valid()) {
            const int err = errno;
            struct stat link
            {};
            if (::fstatat(current.get(), name.constData(), &link, AT_SYMLINK_NOFOLLOW) != 0 ||
                !S_ISLNK(link.st_mode))
                throw folderError(err, place, make);
            next = enterLink(current, name, place, target, *store, make);
        } else if (struct stat level{}; ::fstat(next.get(), &level) != 0 ||
                                        (level.st_dev != info.st_dev &&
                                         FileSystemIdentity::storeOf(next.get()) != store)) {
            // A drive mounted on a folder of the target: nothing of ours goes there.
            throw OffloadEngine::targetRefusal(
                target.name,
                QStringLiteral("the folder '") + place +
                    QStringLiteral("' lies on another file system than '") + base +
                    QStringLiteral("', which the drive's flush and read-back do not reach"),
                OffloadEngine::nothingChangedOnMac());
        }
        current = std::move(next);
    }
    return current;
}

void OffloadFileOps::makeFolder(const QString &path, const TargetVolume &target)
{
    (void)openTargetFolder(path, target, true);
}

void OffloadFileOps::removePlain(const QString &path)
{
    if (PathUtils::isDirectoryNoFollow(path))
        QDir(path).removeRecursively();
    else
        QFile::remove(path);
}

void OffloadFileOps::copy(OffloadEngine &engine, const QString &source, const QString &destination)
{
    engine.runDittoCopy(source, destination);
}

void OffloadFileOps::move(const QString &source, const QString &destination)
{
    PrivilegeHelper::safeMove(source, destination);
}

void OffloadFileOps::remove(const QString &path)
{
    PrivilegeHelper::safeRemove(path);
}

void OffloadFileOps::removeLink(const QString &path)
{
    if (!PathUtils::isSymlink(path))
        return;
    if (PrivilegeHelper::isWritable(PathUtils::parentPath(path)) &&
        ::unlink(QFile::encodeName(path).constData()) == 0)
        return;
    const auto result = PrivilegeHelper::runPrivilegedCommand(QStringLiteral("/bin/rm -f -- ") +
                                                              PrivilegeHelper::shellQuote(path));
    if (!result.success)
        throw OperationError(PrivilegeHelper::errorDomain, 1,
                             QStringLiteral("Failed to remove '") + path +
                                 QStringLiteral("' with admin privileges: ") + result.output);
}

void OffloadFileOps::createSymbolicLink(const QString &linkPath, const QString &target)
{
    PrivilegeHelper::createSymbolicLink(linkPath, target);
}

void OffloadFileOps::createProxy(const AppItem &app, const QUrl &driveBundle)
{
    AppProxyHelper::createProxyBundle(app.name, driveBundle, app.url, app.bundleIdentifier,
                                      app.version);
}

void OffloadFileOps::createFinderAlias(const QString &targetPath, const QString &aliasPath)
{
    PrivilegeHelper::createFinderAlias(targetPath, aliasPath);
}

void OffloadFileOps::recordMigration(LedgerService &ledger, const MigrationRecord &record,
                                     const QUrl &targetVolumeURL)
{
    ledger.recordMigration(record, targetVolumeURL);
}

bool OffloadFileOps::withdrawMigration(LedgerService &ledger, const MigrationRecord &record,
                                       const QUrl &targetVolumeURL, bool driveConnected)
{
    return ledger.withdrawMigration(record, targetVolumeURL, driveConnected);
}
