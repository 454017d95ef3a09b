#include "transfer/StagingCleaner.h"

#include "base/MainThread.h"
#include "base/OperationError.h"
#include "base/PathUtils.h"
#include "base/UniqueFd.h"
#include "base/Uuid.h"
#include "model/MigrationRecord.h"
#include "platform/FileSystemIdentity.h"
#include "platform/System.h"
#include "services/AppLogger.h"
#include "services/AppScanner.h"
#include "services/LedgerService.h"
#include "services/PrivilegeHelper.h"
#include "services/RecordRule.h"
#include "transfer/DriveFolder.h"
#include "transfer/DriveLayout.h"

#include <QDir>
#include <QFile>
#include <QThread>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

const QString offloadRollbackMarker = QStringLiteral(".offload-rollback-");
const QString rollbackMarker = QStringLiteral(".rollback-");
// A drive copy a restore kept: it holds what changed after the restore read it.
const QString keptMarker = QString(DriveLayout::keptCopyMarker);
// ".offloaded-": an original whose copy is recorded on the drive and that could not be deleted
// after its offload; no recovery copy.
const QStringList markers = {QStringLiteral(".staging-"),
                             QStringLiteral(".restoring-"),
                             QStringLiteral(".offloaded-"),
                             offloadRollbackMarker,
                             rollbackMarker,
                             keptMarker};
// Recovery copies, which the bulk cleanup keeps; the first found in a name decides.
const QStringList recoveryMarkers = {offloadRollbackMarker, rollbackMarker, keptMarker};
constexpr qsizetype uuidLength = 36;

const QString category = QStringLiteral("Cleanup");

// The standard places, the target's own folders, and the folders that hold what a record moved
// from the Mac: an application in a nested folder leaves what an offload moved aside there.
QStringList foldersToScan(const std::optional<QUrl> &targetVolumeURL,
                          const QList<MigrationRecord> &records)
{
    const SystemPaths paths = System::current().paths();
    QStringList folders{paths.applications, paths.userApplications, paths.userSupport,
                        paths.systemSupport};
    const auto add = [&](const QString &original) {
        const QString folder = PathUtils::parentPath(PathUtils::standardized(original));
        if (!original.isEmpty() && !folders.contains(folder))
            folders.append(folder);
    };
    for (const MigrationRecord &record : records) {
        // A record that breaks the record rule says nothing, of where to look too.
        if (!RecordRule::check(record).ok)
            continue;
        add(record.appOriginalPath);
        for (const SupportFolderRecord &folder : record.supportFolders)
            add(folder.source);
    }
    if (targetVolumeURL) {
        const QString target = targetVolumeURL->toLocalFile();
        folders << PathUtils::join(target, QStringLiteral("Applications"))
                << PathUtils::join(target, QStringLiteral("Application Support"));
    }
    return folders;
}

bool isRecoveryName(const QString &name)
{
    return std::any_of(recoveryMarkers.cbegin(), recoveryMarkers.cend(),
                       [&](const QString &marker) { return name.contains(marker); });
}

// Where a recovery copy was moved away from: its folder + the name before the first
// recovery marker, without the one "." a rollback's move put in front.
QString homeLocation(const QString &path)
{
    const QString name = PathUtils::lastComponent(path);
    for (const QString &marker : recoveryMarkers) {
        const qsizetype at = name.indexOf(marker);
        if (at < 0)
            continue;
        QString home = name.left(at);
        if (marker != keptMarker && home.startsWith(QLatin1Char('.')))
            home.remove(0, 1);
        return PathUtils::join(PathUtils::parentPath(path), home);
    }
    return path;
}

// Nothing usable stands at the home location any more. A link or alias there counts as
// missing unless a ledger record says the item was offloaded (or restored) from there; a
// record that breaks the record rule says nothing.
bool isOriginalMissing(const QString &home, const QList<MigrationRecord> &records)
{
    const bool present = PathUtils::existsFollowingLinks(home);
    const bool recorded = std::any_of(records.cbegin(), records.cend(), [&](const auto &record) {
        return record.appOriginalPath == home &&
               (record.status == MigrationStatus::active() ||
                record.status == MigrationStatus::restored()) &&
               RecordRule::check(record).ok;
    });
    if (recorded)
        return !present;
    const bool linkLike = PathUtils::isSymlink(home) ||
                          System::current().fileResources().isAliasFile(home).value_or(false);
    return !present || linkLike;
}

// Applications from nested folders keep their folder on the drive, so their staged copies, and
// the copies a restore kept, lie deeper than the one level other leftovers are looked for.
// Bundles are not looked into.
constexpr int nestedFolderDepth = 4;

void collectNested(const QString &folder, int depth, bool includePartials, QStringList &found)
{
    if (depth == 0)
        return;
    const QStringList names = QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &name : names) {
        const QString path = PathUtils::join(folder, name);
        const std::optional<QString> marker = StagingCleaner::leftoverMarker(name);
        if ((includePartials && StagingCleaner::isPartialCopy(name)) || marker == keptMarker)
            found.append(path);
        else if (PathUtils::isDirectoryNoFollow(path) && !name.endsWith(QLatin1String(".app")) &&
                 !StagingCleaner::isPartialCopy(name) && !marker)
            collectNested(path, depth - 1, includePartials, found);
    }
}

std::optional<OrphanedStagingItem::Seen> seenOf(const struct stat &info)
{
    return OrphanedStagingItem::Seen{quint64(info.st_dev), quint64(info.st_ino),
                                     quint32(info.st_mode & S_IFMT)};
}

std::optional<OrphanedStagingItem::Seen> seenAt(const QString &path)
{
    struct stat info
    {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return std::nullopt;
    return seenOf(info);
}

// The folder holding a listed item: on the target, entered from its root one level at a time
// without following a link and on its file system, as the restore enters the drive's; on the
// Mac, the scanned folder itself. Invalid with `why` otherwise.
UniqueFd listedFolder(const QString &folder, const std::optional<QString> &root, QString &why)
{
    const QString opened = root.value_or(folder);
    UniqueFd fd(::open(QFile::encodeName(opened).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) {
        why = QStringLiteral("the folder '") + opened + QStringLiteral("' cannot be opened: ") +
              QString::fromLocal8Bit(std::strerror(errno));
        return fd;
    }
    if (!root)
        return fd;
    const std::optional<quint64> store = FileSystemIdentity::storeOf(fd.get());
    if (!store) {
        why = QStringLiteral("the folder '") + *root + QStringLiteral("' cannot be read");
        return UniqueFd();
    }
    return DriveFolder::openBelow(*root, fd.get(), *store, folder, &why);
}

// Removes `item` as the scan listed it, relative to its folder, while it is still the item the
// scan saw there: nothing, or why it stayed. `target` is the target's root, if any.
std::optional<QString> removeListed(const OrphanedStagingItem &item,
                                    const std::optional<QString> &target)
{
    const QString path = PathUtils::standardized(item.url.toLocalFile());
    const QString folderPath = PathUtils::parentPath(path);
    const QString name = PathUtils::lastComponent(path);
    const QByteArray native = QFile::encodeName(name);
    const std::optional<QString> root =
        target && PathUtils::isSameOrInside(folderPath, *target) ? target : std::nullopt;
    QString why;
    const UniqueFd folder = listedFolder(folderPath, root, why);
    if (!folder.valid())
        return QStringLiteral("Kept: ") + why + QLatin1Char('.');
    struct stat now
    {};
    if (::fstatat(folder.get(), native.constData(), &now, AT_SYMLINK_NOFOLLOW) != 0)
        return std::nullopt; // gone already
    if (!item.seen || seenOf(now) != item.seen)
        return QStringLiteral("Kept: it is no longer the item the leftover scan listed.");
    // A link that leads nowhere is passed over, as nothing is there to remove.
    struct stat followed
    {};
    if (!S_ISLNK(now.st_mode) || ::fstatat(folder.get(), native.constData(), &followed, 0) == 0) {
        try {
            DriveFolder::removeItem(folder.get(), folderPath, name, [&] {
                // The administrator's shell is given the folder's path only while it still leads
                // there.
                QString changed;
                const UniqueFd again = listedFolder(folderPath, root, changed);
                if (!again.valid() ||
                    DriveFolder::identityOf(again.get()) != DriveFolder::identityOf(folder.get()))
                    throw OperationError(
                        PrivilegeHelper::errorDomain, 1,
                        QStringLiteral("'") + folderPath +
                            QStringLiteral("' changed since it was looked at") +
                            (changed.isEmpty() ? QString() : QStringLiteral(": ") + changed));
                return PathUtils::resolved(folderPath);
            });
        } catch (const OperationError &failure) {
            return failure.message();
        }
    }
    if (DriveFolder::identityOf(folder.get(), native))
        return QStringLiteral("The item is still present after its removal.");
    return std::nullopt;
}

} // namespace

StagingCleaner::StagingCleaner(QObject *parent)
    : StagingCleaner(LedgerService::shared(), parent)
{}

StagingCleaner::StagingCleaner(LedgerService &ledger, QObject *parent)
    : QObject(parent)
    , m_ledger(ledger)
{}

StagingCleaner::~StagingCleaner()
{
    QList<QFuture<void>> workers;
    {
        const std::lock_guard lock(m_workersMutex);
        workers = m_workers;
    }
    for (QFuture<void> &worker : workers)
        worker.waitForFinished();
}

void StagingCleaner::setOrphanedItems(const QList<OrphanedStagingItem> &items)
{
    Q_ASSERT(QThread::currentThread() == thread());
    m_orphanedItems = items;
    emit orphanedItemsChanged();
}

void StagingCleaner::setIsCleaning(bool cleaning)
{
    Q_ASSERT(QThread::currentThread() == thread());
    m_isCleaning = cleaning;
    emit isCleaningChanged();
}

void StagingCleaner::setTransferProbe(TransferProbe probe)
{
    m_transferProbe = std::move(probe);
}

bool StagingCleaner::transferRuns() const
{
    return m_transferProbe && m_transferProbe();
}

bool StagingCleaner::isPartialCopy(const QString &name)
{
    return name.size() > DriveLayout::partialSuffix.size() &&
           name.endsWith(DriveLayout::partialSuffix);
}

std::optional<QString> StagingCleaner::leftoverMarker(const QString &name)
{
    if (!isUuidText(name.right(uuidLength)))
        return std::nullopt;
    const QString head = name.left(name.size() - uuidLength);
    for (const QString &marker : markers) {
        // The item's own name comes first; a marker alone is no leftover of ours.
        if (head.size() > marker.size() && head.endsWith(marker))
            return marker;
    }
    return std::nullopt;
}

QList<OrphanedStagingItem>
StagingCleaner::findOrphanedItems(const std::optional<QUrl> &targetVolumeURL,
                                  const QList<MigrationRecord> &records, bool includePartials)
{
    QList<OrphanedStagingItem> items;
    QSet<QString> seen;
    QStringList nested;
    if (targetVolumeURL) {
        const QString applications =
            PathUtils::join(targetVolumeURL->toLocalFile(), QStringLiteral("Applications"));
        const QStringList subfolders = QDir(applications)
                                           .entryList(QDir::Dirs | QDir::Hidden | QDir::System |
                                                          QDir::NoDotAndDotDot | QDir::NoSymLinks,
                                                      QDir::Name);
        for (const QString &name : subfolders) {
            if (!name.endsWith(QLatin1String(".app")) && !isPartialCopy(name) &&
                !leftoverMarker(name))
                collectNested(PathUtils::join(applications, name), nestedFolderDepth,
                              includePartials, nested);
        }
    }
    for (const QString &path : std::as_const(nested)) {
        seen.insert(PathUtils::standardized(path));
        const bool kept = isRecoveryName(PathUtils::lastComponent(path));
        items.append(OrphanedStagingItem(
            QUrl::fromLocalFile(path), AppScanner::calculateDirectorySize(path), kept,
            kept && isOriginalMissing(homeLocation(path), records), seenAt(path)));
    }
    for (const QString &folder : foldersToScan(targetVolumeURL, records)) {
        if (!PathUtils::existsFollowingLinks(folder))
            continue;
        const QStringList names = QDir(folder).entryList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
        for (const QString &name : names) {
            const bool partial = includePartials && isPartialCopy(name);
            if (!partial && !leftoverMarker(name))
                continue;
            const QString listed = PathUtils::join(folder, name);
            const QString path = PathUtils::standardized(listed);
            if (seen.contains(path))
                continue;
            seen.insert(path);
            // Any recovery marker in the name keeps the item, wherever it stands.
            const bool recovery = !partial && isRecoveryName(name);
            const bool missing = recovery && isOriginalMissing(homeLocation(path), records);
            items.append(OrphanedStagingItem(QUrl::fromLocalFile(listed),
                                             AppScanner::calculateDirectorySize(path), recovery,
                                             missing, seenAt(listed)));
        }
    }
    std::stable_sort(items.begin(), items.end(),
                     [](const auto &a, const auto &b) { return a.size > b.size; });
    return items;
}

QFuture<void> StagingCleaner::scanOrphanedItems(const std::optional<QUrl> &targetVolumeURL)
{
    const bool includePartials = !transferRuns();
    const QFuture<void> worker = QtConcurrent::run([this, targetVolumeURL, includePartials] {
        const QList<OrphanedStagingItem> items =
            findOrphanedItems(targetVolumeURL, m_ledger.records(), includePartials);
        onMainThread(this, [this, items] { setOrphanedItems(items); });
    });
    track(worker);
    return worker;
}

QFuture<StagingCleanupResult>
StagingCleaner::cleanAllOrphanedItems(const std::optional<QUrl> &targetVolumeURL)
{
    setIsCleaning(true);
    const QList<OrphanedStagingItem> items = m_orphanedItems;
    // A staged copy listed before a transfer started may be that transfer's own.
    const bool includePartials = !transferRuns();
    QFuture<StagingCleanupResult> worker = QtConcurrent::run([this, items, targetVolumeURL,
                                                              includePartials] {
        const std::optional<QString> target =
            targetVolumeURL ? std::optional(PathUtils::standardized(targetVolumeURL->toLocalFile()))
                            : std::nullopt;
        StagingCleanupResult result;
        for (const OrphanedStagingItem &item : items) {
            if (!includePartials && isPartialCopy(item.displayName))
                continue;
            if (item.isRecoveryCopy) {
                const QString note =
                    item.displayName + QStringLiteral(": Recovery copy preserved during bulk "
                                                      "cleanup. Use Reveal to inspect or remove it "
                                                      "manually.");
                AppLogger::shared().log(AppLogLevel::warning, category, note);
                result.errors.append(note);
                continue;
            }
            if (const std::optional<QString> stayed = removeListed(item, target)) {
                result.errors.append(item.displayName + QStringLiteral(": ") + *stayed);
                continue;
            }
            ++result.removedCount;
        }

        const QList<OrphanedStagingItem> remaining =
            findOrphanedItems(targetVolumeURL, m_ledger.records(), includePartials);
        onMainThread(this, [this, remaining] { setOrphanedItems(remaining); });
        AppLogger::shared().log(AppLogLevel::info, category,
                                QStringLiteral("Cleaned ") + QString::number(result.removedCount) +
                                    QStringLiteral(" orphaned staging/rollback item(s), ") +
                                    QString::number(result.errors.size()) +
                                    QStringLiteral(" error(s)"));
        onMainThread(this, [this] { setIsCleaning(false); });
        return result;
    });
    track(QFuture<void>(worker));
    return worker;
}

void StagingCleaner::track(const QFuture<void> &worker)
{
    const std::lock_guard lock(m_workersMutex);
    m_workers.erase(std::remove_if(m_workers.begin(), m_workers.end(),
                                   [](const QFuture<void> &f) { return f.isFinished(); }),
                    m_workers.end());
    m_workers.append(worker);
}
