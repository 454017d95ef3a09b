#include "transfer/OffloadFileOps.h"

#include "base/OperationError.h"
#include "base/PathUtils.h"
#include "base/UniqueFd.h"
#include "model/AppItem.h"
#include "model/MigrationRecord.h"
#include "model/TargetVolume.h"
#include "platform/FileSystemIdentity.h"
#include "platform/TreeRemoval.h"
#include "services/LedgerService.h"
#include "services/PrivilegeHelper.h"
#include "services/RecordRule.h"
#include "transfer/AppProxyHelper.h"
#include "transfer/DriveFolder.h"
#include "transfer/DriveLayout.h"
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

void OffloadFileOps::setTarget(std::optional<TargetVolume> target)
{
    m_target = std::move(target);
    m_landings.clear();
}

bool OffloadFileOps::onTarget(const QString &path) const
{
    if (!m_target)
        return false;
    const QString root = PathUtils::standardized(m_target->id());
    const QString place = PathUtils::standardized(path);
    return place != root && PathUtils::isSameOrInside(place, root);
}

QString OffloadFileOps::judgedPath(const UniqueFd &folder, const QString &path) const
{
    // Entered again from the resolved root without following any link, it must be the folder
    // held open.
    const QString root = PathUtils::resolved(m_target->id());
    const QString real = PathUtils::resolved(path);
    QString why;
    const UniqueFd rootFd(
        ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const std::optional<quint64> store =
        rootFd.valid() ? FileSystemIdentity::storeOf(rootFd.get()) : std::nullopt;
    const UniqueFd again =
        store ? DriveFolder::openBelow(root, rootFd.get(), *store, real, &why) : UniqueFd();
    if (!again.valid() ||
        DriveFolder::identityOf(again.get()) != DriveFolder::identityOf(folder.get()))
        throw OffloadEngine::targetRefusal(
            m_target->name,
            QStringLiteral("the folder '") + path + QStringLiteral("' changed while it was used") +
                (why.isEmpty() ? QString() : QStringLiteral(" (") + why + QLatin1Char(')')),
            OffloadEngine::nothingChangedOnMac());
    return real;
}

void OffloadFileOps::removeOnTarget(const QString &path, bool asAdministrator) const
{
    const QString folderPath = PathUtils::parentPath(PathUtils::standardized(path));
    const QString name = PathUtils::lastComponent(PathUtils::standardized(path));
    const QByteArray native = QFile::encodeName(name);
    UniqueFd folder;
    try {
        folder = openTargetFolder(folderPath, *m_target, false);
    } catch (const OperationError &failure) {
        // A folder that is not there holds nothing to remove.
        if (failure.domain() == QStringLiteral("FileSystem") && failure.code() == ENOENT)
            return;
        throw;
    }
    if (!DriveFolder::identityOf(folder.get(), native))
        return;
    if (!asAdministrator) {
        if (PrivilegeHelper::isWritable(folderPath))
            (void)TreeRemoval::removeTree(folder.get(), native);
        return;
    }
    DriveFolder::removeItem(folder.get(), folderPath, name,
                            [&] { return judgedPath(folder, folderPath); });
}

void OffloadFileOps::moveOnTarget(const QString &source, const QString &destination) const
{
    const QString folderPath = PathUtils::parentPath(PathUtils::standardized(source));
    if (PathUtils::parentPath(PathUtils::standardized(destination)) != folderPath)
        throw OperationError(PrivilegeHelper::errorDomain, 3,
                             QStringLiteral("Failed to move '") + source +
                                 QStringLiteral("' to '") + destination +
                                 QStringLiteral("': a move on the drive stays in its folder"));
    const QString from = PathUtils::lastComponent(PathUtils::standardized(source));
    const QString to = PathUtils::lastComponent(PathUtils::standardized(destination));
    const UniqueFd folder = openTargetFolder(folderPath, *m_target, false);
    const QByteArray fromNative = QFile::encodeName(from);
    const QByteArray toNative = QFile::encodeName(to);
    const auto failure = [&](const QString &why) {
        return OperationError(PrivilegeHelper::errorDomain, 3,
                              QStringLiteral("Failed to move '") + source +
                                  QStringLiteral("' to '") + destination + QStringLiteral("': ") +
                                  why);
    };
    // Never onto an existing item, as the plain move never does.
    if (DriveFolder::identityOf(folder.get(), toNative))
        throw failure(QString::fromLocal8Bit(std::strerror(EEXIST)));
    int err = 0;
    if (PrivilegeHelper::isWritable(folderPath)) {
        if (::renameat(folder.get(), fromNative.constData(), folder.get(), toNative.constData()) ==
            0)
            return;
        err = errno;
    }
    if (const int disk = PrivilegeHelper::incurable(folderPath, err))
        throw OperationError::fileSystem(disk, QStringLiteral("Could not move '") + source +
                                                   QStringLiteral("' to '") + destination +
                                                   QStringLiteral("': ") +
                                                   QString::fromLocal8Bit(std::strerror(disk)));
    PrivilegeHelper::renameInJudgedFolder(judgedPath(folder, folderPath), from, to);
}

void OffloadFileOps::discard(const QString &path)
{
    try {
        if (onTarget(path))
            removeOnTarget(path, true);
        else
            PrivilegeHelper::safeRemove(path);
    } catch (...) {
    }
}

void OffloadFileOps::removePlain(const QString &path)
{
    if (onTarget(path)) {
        try {
            removeOnTarget(path, false);
            return;
        } catch (...) {
        }
        // A copy a link led off the target: removed in the folder it was made in, held since,
        // while it is still the item the copy made there; never where a link put in the
        // folder's place since leads.
        const auto landed = m_landings.find(PathUtils::standardized(path));
        if (landed == m_landings.end())
            return;
        const QByteArray name = QFile::encodeName(PathUtils::lastComponent(path));
        const Landing &landing = landed->second;
        if (landing.item && DriveFolder::identityOf(landing.folder->get(), name) == landing.item &&
            PrivilegeHelper::isWritable(landing.folderPath))
            (void)TreeRemoval::removeTree(landing.folder->get(), name);
        return;
    }
    (void)TreeRemoval::removeAt(path);
}

void OffloadFileOps::copy(OffloadEngine &engine, const QString &source, const QString &destination)
{
    if (!onTarget(destination)) {
        engine.runDittoCopy(source, destination);
        return;
    }
    // Where the copy lands: its folder as the tool will find it, held from before it starts.
    const QString folderPath = PathUtils::resolved(PathUtils::parentPath(destination));
    Landing landing{std::make_shared<UniqueFd>(::open(QFile::encodeName(folderPath).constData(),
                                                      O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
                    folderPath, std::nullopt};
    const QString key = PathUtils::standardized(destination);
    m_landings.erase(key);
    const auto noteLanding = [&] {
        if (!landing.folder->valid())
            return;
        landing.item = DriveFolder::identityOf(landing.folder->get(),
                                               QFile::encodeName(PathUtils::lastComponent(key)));
        m_landings.insert_or_assign(key, std::move(landing));
    };
    try {
        engine.runDittoCopy(source, destination);
    } catch (...) {
        noteLanding();
        throw;
    }
    noteLanding();
}

void OffloadFileOps::move(const QString &source, const QString &destination)
{
    if (onTarget(source) && onTarget(destination)) {
        moveOnTarget(source, destination);
        return;
    }
    PrivilegeHelper::safeMove(source, destination);
}

void OffloadFileOps::remove(const QString &path)
{
    if (onTarget(path)) {
        removeOnTarget(path, true);
        return;
    }
    PrivilegeHelper::safeRemove(path);
}

void OffloadFileOps::removeLink(const QString &path)
{
    if (onTarget(path)) {
        // removeOnTarget removes a link itself, never what it leads to.
        if (PathUtils::isSymlink(path))
            removeOnTarget(path, true);
        return;
    }
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

std::optional<QString> OffloadFileOps::recordMigration(LedgerService &ledger,
                                                       const MigrationRecord &record,
                                                       const QUrl &targetVolumeURL)
{
    return ledger.recordMigration(record, targetVolumeURL);
}

bool OffloadFileOps::withdrawMigration(LedgerService &ledger, const MigrationRecord &record,
                                       const QUrl &targetVolumeURL,
                                       const std::optional<FileSystemIdentity> &drive)
{
    return ledger.withdrawMigration(record, targetVolumeURL, drive);
}
