#include "transfer/StagingCleaner.h"

#include "base/MainThread.h"
#include "base/OperationError.h"
#include "base/PathUtils.h"
#include "base/Uuid.h"
#include "model/MigrationRecord.h"
#include "platform/System.h"
#include "services/AppLogger.h"
#include "services/AppScanner.h"
#include "services/LedgerService.h"
#include "services/PrivilegeHelper.h"
#include "services/RecordRule.h"
#include "transfer/DriveLayout.h"

#include <QDir>
#include <QThread>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>

namespace {

const QString offloadRollbackMarker = QStringLiteral(".offload-rollback-");
const QString rollbackMarker = QStringLiteral(".rollback-");
const QStringList markers = {QStringLiteral(".staging-"), QStringLiteral(".restoring-"),
                             offloadRollbackMarker, rollbackMarker};
constexpr qsizetype uuidLength = 36;

const QString category = QStringLiteral("Cleanup");

QStringList foldersToScan(const std::optional<QUrl> &targetVolumeURL)
{
    const SystemPaths paths = System::current().paths();
    QStringList folders{paths.applications, paths.userApplications, paths.userSupport,
                        paths.systemSupport};
    if (targetVolumeURL) {
        const QString target = targetVolumeURL->toLocalFile();
        folders << PathUtils::join(target, QStringLiteral("Applications"))
                << PathUtils::join(target, QStringLiteral("Application Support"));
    }
    return folders;
}

// Where a recovery copy was moved away from: its folder + the name before the first
// rollback marker, without the one "." the move put in front.
QString homeLocation(const QString &path)
{
    const QString name = PathUtils::lastComponent(path);
    qsizetype at = name.indexOf(offloadRollbackMarker);
    if (at < 0)
        at = name.indexOf(rollbackMarker);
    QString home = name.left(at);
    if (home.startsWith(QLatin1Char('.')))
        home.remove(0, 1);
    return PathUtils::join(PathUtils::parentPath(path), home);
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

// Applications from nested folders keep their folder on the drive, so their staged copies lie
// deeper than the one level other leftovers are looked for. Bundles are not looked into.
constexpr int nestedFolderDepth = 4;

void collectNestedPartials(const QString &folder, int depth, QStringList &found)
{
    if (depth == 0)
        return;
    const QStringList names = QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &name : names) {
        const QString path = PathUtils::join(folder, name);
        if (StagingCleaner::isPartialCopy(name))
            found.append(path);
        else if (PathUtils::isDirectoryNoFollow(path) && !name.endsWith(QLatin1String(".app")) &&
                 !StagingCleaner::leftoverMarker(name))
            collectNestedPartials(path, depth - 1, found);
    }
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
    if (includePartials && targetVolumeURL) {
        const QString applications =
            PathUtils::join(targetVolumeURL->toLocalFile(), QStringLiteral("Applications"));
        const QStringList subfolders = QDir(applications)
                                           .entryList(QDir::Dirs | QDir::Hidden | QDir::System |
                                                          QDir::NoDotAndDotDot | QDir::NoSymLinks,
                                                      QDir::Name);
        for (const QString &name : subfolders) {
            if (!name.endsWith(QLatin1String(".app")) && !isPartialCopy(name) &&
                !leftoverMarker(name))
                collectNestedPartials(PathUtils::join(applications, name), nestedFolderDepth,
                                      nested);
        }
    }
    for (const QString &path : std::as_const(nested)) {
        seen.insert(PathUtils::standardized(path));
        items.append(OrphanedStagingItem(QUrl::fromLocalFile(path),
                                         AppScanner::calculateDirectorySize(path), false, false));
    }
    for (const QString &folder : foldersToScan(targetVolumeURL)) {
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
            // Any rollback marker in the name keeps the item, wherever it stands.
            const bool recovery =
                !partial && (name.contains(offloadRollbackMarker) || name.contains(rollbackMarker));
            const bool missing = recovery && isOriginalMissing(homeLocation(path), records);
            items.append(OrphanedStagingItem(QUrl::fromLocalFile(listed),
                                             AppScanner::calculateDirectorySize(path), recovery,
                                             missing));
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
            const QString path = item.url.toLocalFile();
            try {
                PrivilegeHelper::safeRemove(path);
            } catch (const OperationError &failure) {
                result.errors.append(item.displayName + QStringLiteral(": ") + failure.message());
                continue;
            }
            // safeRemove passes over what it cannot see through a link; only a real removal
            // counts.
            if (PathUtils::existsNoFollow(path)) {
                result.errors.append(item.displayName +
                                     QStringLiteral(": The item is still present after its "
                                                    "removal."));
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
