// The launchers of the main window and the tasks they start.

#include "views/main/ContentModel.h"

#include "base/AbandonableWork.h"
#include "base/OperationError.h"
#include "services/AppLogger.h"
#include "services/AppScanner.h"
#include "services/LedgerService.h"
#include "transfer/OffloadEngine.h"
#include "transfer/RestoreEngine.h"
#include "transfer/StagingCleaner.h"
#include "volumes/VolumeManager.h"

#include <QCoroFuture>
#include <QPointer>
#include <QPromise>
#include <QtConcurrent>

namespace {

// The engines' code for a user's cancellation.
constexpr int cancelledCode = 3072;

struct Failure
{
    int code = 0;
    QString message;
};

Failure failureOf(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const OperationError &operationError) {
        return {operationError.code(), operationError.message()};
    } catch (const std::exception &other) {
        return {0, QString::fromLocal8Bit(other.what())};
    } catch (...) {
        return {0, QStringLiteral("Unknown error")};
    }
}

// Starts one operation of an engine; an error thrown before it returned its future becomes
// the future's.
QFuture<void> started(const std::function<QFuture<void>()> &operation)
{
    try {
        return operation();
    } catch (...) {
        QPromise<void> promise;
        promise.start();
        promise.setException(std::current_exception());
        promise.finish();
        return promise.future();
    }
}

// Awaits one operation; its failure, or nothing when it succeeded.
QCoro::Task<std::optional<Failure>> attempt(QFuture<void> future)
{
    std::exception_ptr error;
    try {
        co_await future;
    } catch (...) {
        error = std::current_exception();
    }
    if (error)
        co_return failureOf(error);
    co_return std::nullopt;
}

// A report for a task that has started and tried `attempted` applications so far.
TaskReport runningReport(int attempted = 0)
{
    TaskReport report;
    report.isRunning = true;
    report.attempted = attempted;
    return report;
}

struct ProxyOutcome
{
    int count = 0;
    QStringList failures;
};

EjectResult refusedEject(const QString &message)
{
    return {false, message};
}

// Holds the lease until the eject has ended, then hands its result on. Owned by no window:
// a window closed meanwhile neither waits for the eject nor ends the lease early.
QCoro::Task<void> relayEject(QFuture<EjectResult> eject, TransferRegistry::Lease lease,
                             std::shared_ptr<QPromise<EjectResult>> relay)
{
    co_await QFuture<void>(eject);
    const EjectResult result = eject.resultCount() > 0
                                   ? eject.result()
                                   : refusedEject(QStringLiteral("The eject was interrupted."));
    lease.release();
    relay->addResult(result);
    relay->finish();
}

} // namespace

// --- Guards shared by the transfer launchers ---

bool ContentModel::refuseWhileTransferRuns()
{
    const TransferRegistry &registry = TransferRegistry::shared();
    if (!registry.isBusy())
        return false;
    presentNotice(registry.isEjecting() ? ejectRunningNotice : transferRunningNotice);
    return true;
}

QString ContentModel::ejectRefusedDuringTransfer(const QString &driveName)
{
    return QStringLiteral("Cannot safely eject \"") + driveName +
           QStringLiteral("\" while a transfer is running. Wait until it has finished.");
}

QString ContentModel::ejectRefusedDuringEject(const QString &driveName)
{
    return QStringLiteral("Cannot safely eject \"") + driveName +
           QStringLiteral("\" while another eject is running. Wait until it has finished.");
}

QFuture<EjectResult> ContentModel::startSafeEject(const TargetVolume &volume)
{
    TransferRegistry &registry = TransferRegistry::shared();
    if (registry.isBusy()) {
        return QtFuture::makeReadyFuture(
            refusedEject(registry.isEjecting() ? ejectRefusedDuringEject(volume.name)
                                               : ejectRefusedDuringTransfer(volume.name)));
    }
    TransferRegistry::Lease lease = registry.beginEject();
    auto relay = std::make_shared<QPromise<EjectResult>>();
    relay->start();
    QFuture<EjectResult> result = relay->future();
    QFuture<EjectResult> eject;
    try {
        eject = m_operations.safelyEject(volume);
    } catch (...) {
        return QtFuture::makeReadyFuture(refusedEject(failureOf(std::current_exception()).message));
    }
    relayEject(std::move(eject), std::move(lease), std::move(relay));
    return result;
}

std::optional<TargetVolume> ContentModel::targetOrNotice()
{
    std::optional<TargetVolume> target = m_volumeManager->selectedVolume();
    if (!target)
        presentNotice(noTargetNotice);
    return target;
}

std::optional<ContentModel::OffloadSheetStart> ContentModel::beginOffloadSheetTransfer()
{
    if (refuseWhileTransferRuns())
        return std::nullopt;
    const std::optional<TargetVolume> target = targetOrNotice();
    if (!target)
        return std::nullopt;
    OffloadSheetStart start{*target, TransferRegistry::shared().begin()};
    setOffloadTaskReport(runningReport());
    setShowingProgressSheet(true);
    return start;
}

// --- Launchers ---

void ContentModel::offloadSingleApp(const AppItem &app, bool copyOnly)
{
    std::optional<OffloadSheetStart> start = beginOffloadSheetTransfer();
    if (!start)
        return;
    auto &[target, lease] = *start;
    runSingleTransfer(
        app.name,
        [operation = m_operations.executeOffload, app, target = target, copyOnly] {
            return operation(app, target, copyOnly);
        },
        std::move(lease));
}

void ContentModel::offloadAppsBatch(const QList<AppItem> &apps, bool copyOnly)
{
    std::optional<OffloadSheetStart> start = beginOffloadSheetTransfer();
    if (!start)
        return;
    auto &[target, lease] = *start;
    runOffloadBatch(apps, target, copyOnly, std::move(lease));
}

void ContentModel::startAppMaintenance(const AppItem &app, MaintenanceOperation operation)
{
    std::optional<OffloadSheetStart> start = beginOffloadSheetTransfer();
    if (!start)
        return;
    auto &[target, lease] = *start;
    const auto run = operation == MaintenanceOperation::backupUpdate
                         ? m_operations.updateBackup
                         : m_operations.reoffloadAppBundle;
    runSingleTransfer(
        app.name, [run, app, target = target] { return run(app, target); }, std::move(lease));
}

void ContentModel::restoreSingleApp(const AppItem &app)
{
    if (refuseWhileTransferRuns())
        return;
    TransferRegistry::Lease lease = TransferRegistry::shared().begin();
    setRestoreTaskReport(runningReport());
    setShowingRestoreProgressSheet(true);
    runRestore({app}, selectedTargetURL(), true, std::move(lease));
}

void ContentModel::restoreAppsBatch(const QList<AppItem> &apps)
{
    QList<AppItem> offloaded;
    for (const AppItem &app : apps) {
        if (AppList::isOffloadedItem(app))
            offloaded.append(app);
    }
    if (offloaded.isEmpty())
        return;
    if (refuseWhileTransferRuns())
        return;
    TransferRegistry::Lease lease = TransferRegistry::shared().begin();
    setRestoreTaskReport(runningReport());
    setShowingRestoreProgressSheet(true);
    runRestore(offloaded, selectedTargetURL(), false, std::move(lease));
}

void ContentModel::launchBannerBatch(const QList<AppItem> &apps, MaintenanceOperation operation)
{
    std::optional<OffloadSheetStart> start = beginOffloadSheetTransfer();
    if (!start)
        return;
    auto &[target, lease] = *start;
    runBannerBatch(apps, target, operation, std::move(lease));
}

void ContentModel::resolveDuplicates(const AppItem &app)
{
    m_appScanner->removeDuplicateAliases(app);
}

void ContentModel::removeSingleDuplicate(const QString &path)
{
    // The scanner removes the path only while it still holds a stand-in: a real application
    // may have taken the alias's place since the scan.
    m_appScanner->removeDuplicateAlias(path);
}

void ContentModel::cleanSelectedDuplicates()
{
    const QList<AppItem> apps = selectedApps();
    if (apps.isEmpty())
        return;
    runCleanDuplicates(apps);
}

void ContentModel::makeAppsVisible(const QList<AppItem> &apps)
{
    runProxyCreation(apps, ProxyNotice::makeVisible);
}

void ContentModel::promoteAppsToRoot(const QList<AppItem> &apps)
{
    runProxyCreation(apps, ProxyNotice::promote);
}

void ContentModel::rescanAfterProxy()
{
    m_appScanner->scanAsync();
}

// --- Tasks ---

QCoro::Task<void> ContentModel::refreshAfterOperation()
{
    const QPointer<ContentModel> self(this);
    co_await m_appScanner->scanAsync();
    if (!self)
        co_return;
    co_await m_stagingCleaner->scanOrphanedItems(selectedTargetURL());
}

QCoro::Task<void> ContentModel::inventoryAndLedgerRefresh()
{
    const QPointer<ContentModel> self(this);
    co_await m_appScanner->scanAsync();
    if (!self)
        co_return;
    const QFuture<void> loaded = reloadLedger();
    co_await loaded;
}

QCoro::Task<void> ContentModel::fullRefresh(std::optional<QUrl> targetURL)
{
    const QPointer<ContentModel> self(this);
    co_await m_appScanner->scanAsync();
    if (!self)
        co_return;
    co_await m_stagingCleaner->scanOrphanedItems(targetURL);
    if (!self)
        co_return;
    const QFuture<void> loaded = reloadLedger();
    co_await loaded;
}

QFuture<void> ContentModel::reloadLedger()
{
    // A drive that stopped answering may hold the load for good: it is never waited for, on
    // closing either. The shared ledger service outlives the window.
    return runAbandonable([&ledger = m_ledger, user = m_ledger.user()] { ledger.loadRecords(); });
}

QCoro::Task<void> ContentModel::delayedVolumeRescan(std::shared_ptr<RescanTask> task)
{
    const QPointer<ContentModel> self(this);
    const auto finish = [&] {
        task->finished = true;
        if (self && m_volumeRescanTask == task)
            emit volumeRescanTaskStateChanged();
    };
    co_await m_operations.delay(volumeRescanDelay);
    if (!self || task->cancelled || m_offloadEngine->isOffloading() ||
        m_restoreEngine->isRestoring() || m_appScanner->isScanning()) {
        finish();
        co_return;
    }
    co_await m_appScanner->scanAsync();
    if (self)
        co_await m_stagingCleaner->scanOrphanedItems(selectedTargetURL());
    finish();
}

QCoro::Task<void> ContentModel::runSingleTransfer(QString appName,
                                                  std::function<QFuture<void>()> operation,
                                                  TransferRegistry::Lease lease)
{
    const QPointer<ContentModel> self(this);
    TaskReport report = runningReport(1);
    setOffloadTaskReport(report);
    const QFuture<void> future = started(operation);
    const std::optional<Failure> failure = co_await attempt(future);
    lease.release();
    if (!self)
        co_return;
    report.isRunning = false;
    if (failure && failure->code == cancelledCode)
        report.cancelled = true;
    else if (failure)
        report.failures.append({appName, failure->message});
    setOffloadTaskReport(report);
    // A failed transfer leaves the engine's state on the sheet and refreshes nothing.
    if (!failure)
        co_await inventoryAndLedgerRefresh();
}

QCoro::Task<void> ContentModel::runOffloadBatch(QList<AppItem> apps, TargetVolume target,
                                                bool copyOnly, TransferRegistry::Lease lease)
{
    QList<AppItem> candidates;
    for (const AppItem &app : apps) {
        if (AppList::isOffloadCandidate(app))
            candidates.append(app);
    }
    const auto offload = m_operations.executeOffload;
    const AppStep step = [offload, target, copyOnly](const AppItem &app) {
        return offload(app, target, copyOnly);
    };
    QCoro::Task<std::optional<TaskReport>> batch = runEachApp(candidates, step, true);
    const std::optional<TaskReport> report = co_await std::move(batch);
    lease.release();
    if (!report)
        co_return;
    setOffloadTaskReport(*report);
    co_await inventoryAndLedgerRefresh();
}

QCoro::Task<void> ContentModel::runBannerBatch(QList<AppItem> apps, TargetVolume target,
                                               MaintenanceOperation operation,
                                               TransferRegistry::Lease lease)
{
    const auto run = operation == MaintenanceOperation::backupUpdate
                         ? m_operations.updateBackup
                         : m_operations.reoffloadAppBundle;
    const AppStep step = [run, target](const AppItem &app) { return run(app, target); };
    QCoro::Task<std::optional<TaskReport>> batch = runEachApp(apps, step, false);
    const std::optional<TaskReport> report = co_await std::move(batch);
    lease.release();
    if (!report)
        co_return;
    setOffloadTaskReport(*report);
    co_await fullRefresh(target.url);
}

QCoro::Task<std::optional<TaskReport>> ContentModel::runEachApp(QList<AppItem> apps, AppStep step,
                                                                bool logFailures)
{
    const QPointer<ContentModel> self(this);
    OffloadEngine *engine = m_offloadEngine;
    // A cancel request stays in force until the next operation opens; one left from an
    // earlier operation must not stop this batch before its first application.
    engine->resetCancellationState();
    TaskReport report = runningReport();
    for (const AppItem &app : apps) {
        if (engine->isCancelRequested()) {
            report.cancelled = true;
            break;
        }
        ++report.attempted;
        setOffloadTaskReport(report);
        const QFuture<void> future = started([&] { return step(app); });
        const std::optional<Failure> failure = co_await attempt(future);
        if (!self)
            co_return std::nullopt;
        if (!failure)
            continue;
        if (logFailures) {
            AppLogger::shared().log(AppLogLevel::error, QStringLiteral("Offload"),
                                    QStringLiteral("Batch offload error for '") + app.name +
                                        QStringLiteral("': ") + failure->message);
        }
        if (failure->code == cancelledCode) {
            report.cancelled = true;
            break;
        }
        report.failures.append({app.name, failure->message});
        if (engine->isCancelRequested()) {
            report.cancelled = true;
            break;
        }
    }
    report.isRunning = false;
    co_return report;
}

QCoro::Task<void> ContentModel::runRestore(QList<AppItem> apps, std::optional<QUrl> targetURL,
                                           bool single, TransferRegistry::Lease lease)
{
    const QPointer<ContentModel> self(this);
    TaskReport report = runningReport(int(apps.size()));
    setRestoreTaskReport(report);
    const auto restore = m_operations.restoreBatch;
    const QFuture<void> future = started([&] { return restore(apps, targetURL); });
    const std::optional<Failure> failure = co_await attempt(future);
    lease.release();
    if (!self)
        co_return;
    report.isRunning = false;
    if (failure && failure->code == cancelledCode) {
        // Cancelling is the user's choice, not a failure to report.
        report.cancelled = true;
    } else if (failure) {
        report.error = failure->message;
        if (single)
            report.failures.append({apps.first().name, failure->message});
    }
    setRestoreTaskReport(report);
    // One message per failure: the progress sheet shows it while it is up.
    if (failure && !report.cancelled && !showingRestoreProgressSheet()) {
        presentNotice(single
                          ? QString(QStringLiteral("Restore failed for ") + apps.first().name +
                                    QStringLiteral(": ") + failure->message)
                          : QString(QStringLiteral("Batch restore failed: ") + failure->message));
    }
    // A failed single restore rolled back and changed nothing; a batch may have brought earlier
    // applications back before it stopped, and the list must not go on showing them offloaded.
    if (failure && single)
        co_return;
    co_await inventoryAndLedgerRefresh();
}

QCoro::Task<void> ContentModel::runSafeEject(TargetVolume volume)
{
    const QPointer<ContentModel> self(this);
    const QFuture<EjectResult> eject = startSafeEject(volume);
    const EjectResult result = co_await eject;
    if (!self)
        co_return;
    const QString quoted = QLatin1Char('"') + volume.name + QLatin1Char('"');
    if (result.success)
        presentNotice(quoted + QStringLiteral(" was safely ejected and can now be unplugged."));
    else
        presentNotice(
            result.errorMessage.value_or(QStringLiteral("Could not eject ") + quoted + u'.'));
}

QCoro::Task<void> ContentModel::runStagingCleanup(std::optional<QUrl> targetURL)
{
    const QPointer<ContentModel> self(this);
    const QFuture<StagingCleanupResult> cleanup =
        m_stagingCleaner->cleanAllOrphanedItems(targetURL);
    // Taken once the cleaner has judged whether a transfer runs: none may start, and stage a
    // copy where the cleanup removes one, until it is over.
    TransferRegistry::Lease lease = TransferRegistry::shared().begin();
    const StagingCleanupResult result = co_await cleanup;
    lease.release();
    if (!self || result.errors.isEmpty())
        co_return;
    presentNotice(QStringLiteral("Cleaned %1 item(s), with %2 error(s):\n")
                      .arg(result.removedCount)
                      .arg(result.errors.size()) +
                  result.errors.join(QLatin1Char('\n')));
}

QCoro::Task<void> ContentModel::runCleanDuplicates(QList<AppItem> apps)
{
    const QPointer<ContentModel> self(this);
    for (const AppItem &app : apps) {
        co_await m_appScanner->removeDuplicateAliases(app);
        if (!self)
            co_return;
    }
}

QCoro::Task<void> ContentModel::runProxyCreation(QList<AppItem> apps, ProxyNotice notice)
{
    const QPointer<ContentModel> self(this);
    const auto promote = m_operations.promoteToRootApplications;
    const QFuture<ProxyOutcome> work = QtConcurrent::run([apps, promote] {
        ProxyOutcome result;
        for (const AppItem &app : apps) {
            if (app.isProtected)
                continue;
            try {
                promote(app);
                ++result.count;
            } catch (...) {
                result.failures.append(app.name + QStringLiteral(" (") +
                                       failureOf(std::current_exception()).message +
                                       QLatin1Char(')'));
            }
        }
        return result;
    });
    const ProxyOutcome outcome = co_await work;
    if (!self)
        co_return;
    const QString count = QString::number(outcome.count);
    const QString failed = QString::number(outcome.failures.size());
    const QString failures = outcome.failures.join(QStringLiteral(", "));
    const bool visible = notice == ProxyNotice::makeVisible;
    QString message;
    if (outcome.failures.isEmpty() && visible)
        message = QStringLiteral("Created ") + count +
                  QStringLiteral(" app proxy bundles in /Applications! They are now visible in "
                                 "macOS Apps.app.");
    else if (outcome.failures.isEmpty())
        message = QStringLiteral("Successfully promoted ") + count +
                  QStringLiteral(" app(s) to /Applications! Now visible in macOS Apps.app.");
    else if (visible)
        message = QStringLiteral("Created ") + count + QStringLiteral(" proxies. (") + failed +
                  QStringLiteral(" failed: ") + failures + QLatin1Char(')');
    else
        message = QStringLiteral("Promoted ") + count + QStringLiteral(" app(s). (") + failed +
                  QStringLiteral(" failed: ") + failures + QLatin1Char(')');
    presentNotice(message);
    m_appScanner->scanAsync();
}
