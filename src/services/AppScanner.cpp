#include "services/AppScanner.h"

#include "base/MainThread.h"
#include "base/PathUtils.h"
#include "platform/System.h"
#include "services/AppLogger.h"
#include "services/DuplicateFinder.h"
#include "services/InventoryCollector.h"
#include "services/LedgerService.h"

#include <QPromise>
#include <QSet>
#include <QThread>
#include <QtConcurrent/QtConcurrentMap>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>

namespace {

const QString logCategory = QStringLiteral("Scanner");

// The bundle a size stands for: the application on the drive for a stand-in.
QString measuredBundlePath(const AppItem &item)
{
    if (item.symlinkTarget && item.isOffloaded())
        return *item.symlinkTarget;
    return item.id();
}

QString measuredFolderPath(const SupportFolder &folder)
{
    if (folder.isOffloaded() && folder.symlinkTarget)
        return *folder.symlinkTarget;
    return folder.id();
}

} // namespace

struct AppScanner::SizeResult
{
    QString path;
    qint64 size = 0;
    QList<SupportFolder> supportFolders;
};

// One scan's own state, shared by its steps; `done` and `total` are touched only on the main
// thread. Dropping the last reference before the end cancels the scan's future.
class AppScanner::ScanRun
{
public:
    QPromise<void> promise;
    qsizetype total = 0;
    qsizetype done = 0;
};

AppScanner::AppScanner(QObject *parent)
    : AppScanner(LedgerService::shared(), parent)
{}

AppScanner::AppScanner(LedgerService &ledger, QObject *parent)
    : QObject(parent)
    , m_ledger(ledger)
{
    for (const QString &root : System::current().paths().supportRoots())
        m_supportRoots.append(QUrl::fromLocalFile(root));
}

AppScanner::~AppScanner()
{
    QList<QFuture<void>> workers;
    {
        const std::lock_guard lock(m_workersMutex);
        workers = m_workers;
    }
    for (QFuture<void> &worker : workers)
        worker.waitForFinished();
}

int AppScanner::totalDuplicateAliasesCount() const
{
    int total = 0;
    for (const AppItem &item : m_apps)
        total += int(item.duplicateAliasPaths.size());
    return total;
}

void AppScanner::setSupportFolderSelected(const QString &appPath, const QString &folderPath,
                                          bool selected)
{
    for (AppItem &app : m_apps) {
        if (app.id() != appPath)
            continue;
        for (SupportFolder &folder : app.supportFolders) {
            if (folder.id() == folderPath) {
                folder.isSelected = selected;
                m_folderChoices[appPath].insert(folderPath, selected);
                emit appsChanged();
                return;
            }
        }
        return;
    }
}

void AppScanner::setAppRunning(const QString &appPath, bool running)
{
    for (AppItem &app : m_apps) {
        if (app.id() == appPath) {
            app.isRunning = running;
            emit appsChanged();
            return;
        }
    }
}

QFuture<void> AppScanner::scanAsync()
{
    auto run = std::make_shared<ScanRun>();
    run->promise.start();
    QFuture<void> future = run->promise.future();
    if (QThread::currentThread() == thread())
        startScan(run);
    else
        onMainThread(this, [this, run] { startScan(run); });
    return future;
}

void AppScanner::startScan(const std::shared_ptr<ScanRun> &run)
{
    setIsScanning(true);
    setScanProgress(0.05);
    setScanStatus(QStringLiteral("Scanning applications..."));
    track(QtConcurrent::run([this, run] { runScan(run); }));
}

void AppScanner::runScan(const std::shared_ptr<ScanRun> &run)
{
    // A scan follows every drive that appears: the one that missed a withdrawal of a record
    // takes it now, off the GUI thread.
    m_ledger.settleOwedChanges();
    QSet<QString> running;
    for (const QString &bundle : System::current().workspace().runningApplicationBundles())
        running.insert(PathUtils::standardized(bundle));
    QStringList roots;
    for (const QUrl &root : std::as_const(m_supportRoots))
        roots << root.toLocalFile();
    const InventoryCollector collector(m_ledger.records(), running, roots);
    const QList<AppItem> items = collector.collect();
    onMainThread(this, [this, run, items] {
        run->total = items.size();
        publishList(items);
    });

    // Each child posts its own result, so the list fills in as sizes finish; the posts of
    // this thread before and after the children keep the phases in order.
    QtConcurrent::blockingMap(items, [this, run](const AppItem &item) {
        SizeResult result{item.id(), calculateDirectorySize(measuredBundlePath(item)), {}};
        for (SupportFolder folder : item.supportFolders) {
            folder.size = calculateDirectorySize(measuredFolderPath(folder));
            result.supportFolders.append(folder);
        }
        onMainThread(this, [this, run, result] { applySize(result, *run); });
    });
    onMainThread(this, [this, run] {
        finishScan();
        run->promise.finish();
    });
}

void AppScanner::publishList(const QList<AppItem> &items)
{
    QList<AppItem> fresh = items;
    carryFolderChoices(fresh);
    setApps(std::move(fresh));
    setScanProgress(0.15);
    setScanStatus(QStringLiteral("Calculating sizes for %1 applications...").arg(items.size()));
}

void AppScanner::carryFolderChoices(QList<AppItem> &items)
{
    QHash<QString, QHash<QString, bool>> kept;
    for (AppItem &item : items) {
        const auto choices = m_folderChoices.constFind(item.id());
        if (choices == m_folderChoices.cend())
            continue;
        for (SupportFolder &folder : item.supportFolders) {
            const auto choice = choices->constFind(folder.id());
            if (choice == choices->cend())
                continue;
            folder.isSelected = *choice;
            kept[item.id()].insert(folder.id(), *choice);
        }
    }
    m_folderChoices = std::move(kept);
}

void AppScanner::applySize(const SizeResult &result, ScanRun &run)
{
    // Only sizes change: the item may have been replaced by another scan meanwhile, and the
    // user may have changed the selection of its support folders.
    const auto position = m_positions.constFind(result.path);
    if (position != m_positions.cend()) {
        AppItem *item = &m_apps[*position];
        item->size = result.size;
        for (SupportFolder &folder : item->supportFolders) {
            const auto measured =
                std::find_if(result.supportFolders.cbegin(), result.supportFolders.cend(),
                             [&](const SupportFolder &f) { return f.id() == folder.id(); });
            if (measured != result.supportFolders.cend())
                folder.size = measured->size;
        }
        emit appsChanged();
    }
    ++run.done;
    setScanProgress(0.15 + 0.85 * double(run.done) / double(std::max<qsizetype>(run.total, 1)));
    setScanStatus(QStringLiteral("Calculating sizes (%1/%2)...").arg(run.done).arg(run.total));
}

void AppScanner::finishScan()
{
    QList<AppItem> sorted = m_apps;
    std::stable_sort(sorted.begin(), sorted.end(), [](const AppItem &a, const AppItem &b) {
        return a.totalSelectedSize() > b.totalSelectedSize();
    });
    setApps(sorted);
    setDuplicateLocalInstances(findDuplicateLocalInstances(m_apps));
    setScanProgress(1.0);
    setIsScanning(false);
    setScanStatus(QStringLiteral("Scan complete. Found %1 apps.").arg(m_apps.size()));
    AppLogger::shared().info(QStringLiteral("Scan complete: %1 app(s), %2 redundant local copy(s)")
                                 .arg(m_apps.size())
                                 .arg(m_duplicateLocalInstances.size()),
                             logCategory);
}

QFuture<void> AppScanner::removeDuplicateAliases(const AppItem &item)
{
    const QStringList paths = item.duplicateAliasPaths;
    return thenRescan([paths] { DuplicateCleanup::removeStandIns(paths); });
}

QFuture<void> AppScanner::removeDuplicateAlias(const QString &duplicatePath)
{
    return thenRescan([duplicatePath] { DuplicateCleanup::removeStandIns({duplicatePath}); });
}

QFuture<void> AppScanner::cleanAllDuplicateAliases()
{
    const QList<AppItem> items = m_apps;
    return thenRescan([items] {
        QStringList paths;
        for (const AppItem &item : items)
            paths += item.duplicateAliasPaths;
        DuplicateCleanup::removeStandIns(paths);
        DuplicateCleanup::restoreMissingStandIns(items);
    });
}

QFuture<TrashResult>
AppScanner::trashDuplicateLocalInstances(const QList<DuplicateLocalInstance> &instances)
{
    auto result = std::make_shared<TrashResult>();
    return thenRescan(
               [instances, result] { *result = DuplicateCleanup::trashLocalCopies(instances); })
        .then([result] { return *result; });
}

QFuture<void> AppScanner::thenRescan(std::function<void()> work)
{
    QFuture<void> worker = QtConcurrent::run(std::move(work));
    track(worker);
    return worker.then(this, [this] { return scanAsync(); }).unwrap();
}

void AppScanner::track(const QFuture<void> &worker)
{
    const std::lock_guard lock(m_workersMutex);
    m_workers.removeIf([](const QFuture<void> &f) { return f.isFinished(); });
    m_workers.append(worker);
}

qint64 AppScanner::calculateDirectorySize(const QString &path)
{
    return BundleFacts::directorySize(path);
}

VersionInfo AppScanner::extractVersionInfo(const QUrl &bundle)
{
    return BundleFacts::versionInfo(bundle);
}

QList<DuplicateLocalInstance> AppScanner::findDuplicateLocalInstances(const QList<AppItem> &items)
{
    return DuplicateFinder::findDuplicateLocalInstances(items);
}

void AppScanner::setApps(QList<AppItem> apps)
{
    m_apps = std::move(apps);
    m_positions.clear();
    m_positions.reserve(m_apps.size());
    for (qsizetype i = 0; i < m_apps.size(); ++i)
        if (!m_positions.contains(m_apps[i].id()))
            m_positions.insert(m_apps[i].id(), i);
    emit appsChanged();
}

void AppScanner::setIsScanning(bool scanning)
{
    m_isScanning = scanning;
    emit isScanningChanged();
}

void AppScanner::setScanStatus(const QString &status)
{
    m_scanStatus = status;
    emit scanStatusChanged();
}

void AppScanner::setScanProgress(double progress)
{
    m_scanProgress = progress;
    emit scanProgressChanged();
}

void AppScanner::setDuplicateLocalInstances(QList<DuplicateLocalInstance> instances)
{
    m_duplicateLocalInstances = std::move(instances);
    emit duplicateLocalInstancesChanged();
}
