#include "views/main/ContentModel.h"

#include "platform/System.h"
#include "services/AppScanner.h"
#include "services/LedgerService.h"
#include "transfer/AppProxyHelper.h"
#include "transfer/OffloadEngine.h"
#include "transfer/RestoreEngine.h"
#include "transfer/StagingCleaner.h"
#include "views/main/CommandCenter.h"
#include "views/main/SidebarManager.h"
#include "volumes/VolumeManager.h"

#include <QPromise>
#include <QTimer>

ContentModel::ContentModel(QObject *parent)
    : ContentModel(LedgerService::shared(), parent)
{}

ContentModel::ContentModel(LedgerService &ledger, QObject *parent)
    : QObject(parent)
    , m_ledger(ledger)
    , m_appScanner(new AppScanner(ledger, this))
    , m_volumeManager(new VolumeManager(&ledger, this))
    , m_offloadEngine(new OffloadEngine(this))
    , m_restoreEngine(new RestoreEngine(ledger, this))
    , m_stagingCleaner(new StagingCleaner(ledger, this))
{
    m_operations = defaultOperations();
    m_lastVolumes = m_volumeManager->availableVolumes();
    // A copy staged on the drive is a leftover only while no transfer of any window runs.
    m_stagingCleaner->setTransferProbe([] { return TransferRegistry::shared().isBusy(); });
    watchServices();
}

ContentModel::~ContentModel() = default;

SidebarManager &ContentModel::sidebarManager() const
{
    return SidebarManager::shared();
}

TransferOperations ContentModel::defaultOperations()
{
    TransferOperations operations;
    operations.executeOffload =
        [engine = m_offloadEngine](const AppItem &app, const TargetVolume &target, bool copyOnly) {
            return engine->executeOffload(app, target, copyOnly);
        };
    operations.updateBackup = [engine = m_offloadEngine](const AppItem &app,
                                                         const TargetVolume &target) {
        return engine->updateBackup(app, target);
    };
    operations.reoffloadAppBundle = [engine = m_offloadEngine](const AppItem &app,
                                                               const TargetVolume &target) {
        return engine->reoffloadAppBundle(app, target);
    };
    operations.restoreBatch = [engine = m_restoreEngine](const QList<AppItem> &apps,
                                                         const std::optional<QUrl> &url) {
        return engine->restoreBatch(apps, url);
    };
    operations.promoteToRootApplications = [](const AppItem &app) {
        return AppProxyHelper::promoteToRootApplications(app);
    };
    operations.safelyEject = [manager = m_volumeManager](const TargetVolume &volume) {
        return manager->safelyEject(volume);
    };
    operations.delay = [this](std::chrono::milliseconds pause) {
        auto promise = std::make_shared<QPromise<void>>();
        promise->start();
        QFuture<void> future = promise->future();
        // A model gone before the pause ends drops the promise, which finishes the future.
        QTimer::singleShot(pause, this, [promise] { promise->finish(); });
        return future;
    };
    return operations;
}

void ContentModel::setTransferOperations(TransferOperations operations)
{
    const TransferOperations defaults = defaultOperations();
    const auto keep = [](auto &member, const auto &fallback) {
        if (!member)
            member = fallback;
    };
    keep(operations.executeOffload, defaults.executeOffload);
    keep(operations.updateBackup, defaults.updateBackup);
    keep(operations.reoffloadAppBundle, defaults.reoffloadAppBundle);
    keep(operations.restoreBatch, defaults.restoreBatch);
    keep(operations.promoteToRootApplications, defaults.promoteToRootApplications);
    keep(operations.safelyEject, defaults.safelyEject);
    keep(operations.delay, defaults.delay);
    m_operations = std::move(operations);
}

void ContentModel::watchServices()
{
    connect(m_appScanner, &AppScanner::appsChanged, this,
            [this] { invalidateDerived(Change::inventory); });
    connect(m_appScanner, &AppScanner::duplicateLocalInstancesChanged, this,
            &ContentModel::queueDerivedSignal);
    connect(&m_ledger, &LedgerService::recordsChanged, this, &ContentModel::queueDerivedSignal);
    connect(m_stagingCleaner, &StagingCleaner::orphanedItemsChanged, this,
            &ContentModel::queueDerivedSignal);
    // The manager republishes its list on every refresh; only a different list counts.
    connect(m_volumeManager, &VolumeManager::availableVolumesChanged, this, [this] {
        const QList<TargetVolume> volumes = m_volumeManager->availableVolumes();
        if (volumes == m_lastVolumes)
            return;
        m_lastVolumes = volumes;
        handleAvailableVolumesChange();
    });
}

void ContentModel::subscribeToCommands(CommandCenter &center)
{
    KeyboardShortcutsModifier shortcuts;
    shortcuts.onFocusSearch = [this] { handleFocusSearch(); };
    shortcuts.onRefresh = [this] { handleRefreshApps(); };
    shortcuts.onSelectAll = [this] { handleSelectAllFilteredApps(); };
    shortcuts.onClearSelection = [this] { handleClearAppSelection(); };
    shortcuts.onOffloadSelected = [this] { handleOffloadSelectedApps(); };
    shortcuts.onRestoreSelected = [this] { handleRestoreSelectedApps(); };
    shortcuts.onSafeEject = [this] { handleSafeEjectTarget(); };
    shortcuts.onNavigateSection = [this](const QString &title) { handleNavigateSection(title); };
    shortcuts.attach(center, this);
    connect(&center, &CommandCenter::posted, this, [this](const QString &name) {
        if (name == CommandNames::openHelpGuide)
            handleOpenHelpGuide();
    });
}

// --- Derived lists ---

void ContentModel::invalidateDerived(Change change)
{
    if (change == Change::inventory)
        m_sectionCounts.clear();
    if (change != Change::criteria) {
        m_sectionApps.reset();
        m_subfolders.reset();
    }
    m_filteredApps.reset();
    queueDerivedSignal();
}

void ContentModel::queueDerivedSignal()
{
    if (m_derivedSignalQueued)
        return;
    m_derivedSignalQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_derivedSignalQueued = false;
            emit derivedListsChanged();
        },
        Qt::QueuedConnection);
}

QList<AppItem> ContentModel::needsReoffloadApps() const
{
    QList<AppItem> apps;
    for (const AppItem &app : m_appScanner->apps()) {
        if (app.isOverwrittenOffload)
            apps.append(app);
    }
    return apps;
}

QList<AppItem> ContentModel::outOfSyncBackupApps() const
{
    QList<AppItem> apps;
    for (const AppItem &app : m_appScanner->apps()) {
        if (app.isUpdateOutOfSync)
            apps.append(app);
    }
    return apps;
}

qint64 ContentModel::orphanedStagingBytes() const
{
    qint64 total = 0;
    for (const OrphanedStagingItem &item : m_stagingCleaner->orphanedItems())
        total += item.size;
    return total;
}

qint64 ContentModel::redundantCopiesBytes() const
{
    qint64 total = 0;
    for (const DuplicateLocalInstance &instance : m_appScanner->duplicateLocalInstances())
        total += instance.localApp.totalSelectedSize();
    return total;
}

const QList<AppItem> &ContentModel::appsForSelectedSection() const
{
    if (!m_sectionApps)
        m_sectionApps = AppList::appsForSection(m_appScanner->apps(), m_criteria.section);
    return *m_sectionApps;
}

const QStringList &ContentModel::availableSubfolders() const
{
    if (!m_subfolders)
        m_subfolders = AppList::availableSubfolders(appsForSelectedSection());
    return *m_subfolders;
}

const QList<AppItem> &ContentModel::filteredApps() const
{
    if (!m_filteredApps)
        m_filteredApps = AppList::filteredApps(appsForSelectedSection(), m_criteria);
    return *m_filteredApps;
}

QList<AppItem> ContentModel::selectedApps() const
{
    QList<AppItem> apps;
    if (m_selectedAppIds.isEmpty())
        return apps;
    for (const AppItem &app : m_appScanner->apps()) {
        if (m_selectedAppIds.contains(app.id()))
            apps.append(app);
    }
    return apps;
}

qint64 ContentModel::selectedAppsTotalBytes() const
{
    qint64 total = 0;
    const QList<AppItem> apps = selectedApps();
    for (const AppItem &app : apps)
        total += app.totalSelectedSize();
    return total;
}

std::optional<AppItem> ContentModel::singleSelectedApp() const
{
    if (m_selectedAppIds.size() != 1)
        return std::nullopt;
    const QString id = *m_selectedAppIds.cbegin();
    for (const AppItem &app : m_appScanner->apps()) {
        if (app.id() == id)
            return app;
    }
    return std::nullopt;
}

int ContentModel::sectionCount(NavigationSection section) const
{
    if (section == NavigationSection::history)
        return int(m_ledger.records().size());
    const auto cached = m_sectionCounts.constFind(section);
    if (cached != m_sectionCounts.cend())
        return *cached;
    const int count = int(AppList::appsForSection(m_appScanner->apps(), section).size());
    m_sectionCounts.insert(section, count);
    return count;
}

// --- View state ---

void ContentModel::setSelectedSection(std::optional<NavigationSection> section)
{
    const bool changed = section != m_criteria.section;
    m_criteria.section = section;
    invalidateDerived(Change::section);
    emit selectedSectionChanged();
    if (changed) {
        setSelectedSubfolder(ListCriteria::allSubfolders());
        setSelectedAppIds({});
    }
}

void ContentModel::setSelectedAppIds(const QSet<QString> &ids)
{
    m_selectedAppIds = ids;
    emit selectedAppIdsChanged();
}

void ContentModel::setSearchText(const QString &text)
{
    m_criteria.searchText = text;
    invalidateDerived(Change::criteria);
    emit searchTextChanged();
}

void ContentModel::setStatusFilter(AppStatusFilter filter)
{
    m_criteria.statusFilter = filter;
    invalidateDerived(Change::criteria);
    emit statusFilterChanged();
}

void ContentModel::setSizeFilter(AppSizeFilter filter)
{
    m_criteria.sizeFilter = filter;
    invalidateDerived(Change::criteria);
    emit sizeFilterChanged();
}

void ContentModel::setSortOrder(AppSortOrder order)
{
    m_criteria.sortOrder = order;
    invalidateDerived(Change::criteria);
    emit sortOrderChanged();
}

void ContentModel::setSelectedSubfolder(const QString &subfolder)
{
    m_criteria.subfolder = subfolder;
    invalidateDerived(Change::criteria);
    emit selectedSubfolderChanged();
}

void ContentModel::setShowingProgressSheet(bool showing)
{
    m_showingProgressSheet = showing;
    emit showingProgressSheetChanged();
}

void ContentModel::setShowingRestoreProgressSheet(bool showing)
{
    m_showingRestoreProgressSheet = showing;
    emit showingRestoreProgressSheetChanged();
}

void ContentModel::setShowingHelpSheet(bool showing)
{
    m_showingHelpSheet = showing;
    emit showingHelpSheetChanged();
}

void ContentModel::setShowingBackupWarningSheet(bool showing)
{
    m_showingBackupWarningSheet = showing;
    emit showingBackupWarningSheetChanged();
}

bool ContentModel::hasAcknowledgedBackupWarning() const
{
    return System::current().preferences().value(backupWarningKey()).toBool();
}

void ContentModel::setHasAcknowledgedBackupWarning(bool acknowledged)
{
    System::current().preferences().setValue(backupWarningKey(), acknowledged);
    emit hasAcknowledgedBackupWarningChanged();
}

void ContentModel::setShowingCleanDuplicatesConfirm(bool showing)
{
    m_showingCleanDuplicatesConfirm = showing;
    emit showingCleanDuplicatesConfirmChanged();
}

void ContentModel::setShowingCleanStagingConfirm(bool showing)
{
    m_showingCleanStagingConfirm = showing;
    emit showingCleanStagingConfirmChanged();
}

void ContentModel::setShowingDuplicateInstancesSheet(bool showing)
{
    m_showingDuplicateInstancesSheet = showing;
    emit showingDuplicateInstancesSheetChanged();
}

void ContentModel::setAlertMessage(const std::optional<QString> &message)
{
    m_alertMessage = message;
    emit alertMessageChanged();
}

void ContentModel::setShowAlert(bool showing)
{
    m_showAlert = showing;
    emit showAlertChanged();
}

void ContentModel::setIsSearchFocused(bool focused)
{
    m_isSearchFocused = focused;
    emit isSearchFocusedChanged();
}

void ContentModel::setOffloadTaskReport(const TaskReport &report)
{
    m_offloadReport = report;
    emit offloadTaskReportChanged();
}

void ContentModel::setRestoreTaskReport(const TaskReport &report)
{
    m_restoreReport = report;
    emit restoreTaskReportChanged();
}

void ContentModel::presentNotice(const QString &message)
{
    setAlertMessage(message);
    setShowAlert(true);
}

std::optional<QUrl> ContentModel::selectedTargetURL() const
{
    const std::optional<TargetVolume> target = m_volumeManager->selectedVolume();
    return target ? std::optional<QUrl>(target->url) : std::nullopt;
}

ContentModel::RescanTaskState ContentModel::volumeRescanTaskState() const
{
    if (!m_volumeRescanTask)
        return RescanTaskState::none;
    return m_volumeRescanTask->finished ? RescanTaskState::finished : RescanTaskState::pending;
}

// --- Selection ---

void ContentModel::toggleSelection(const AppItem &app)
{
    QSet<QString> ids = m_selectedAppIds;
    if (!ids.remove(app.id()))
        ids.insert(app.id());
    setSelectedAppIds(ids);
}

void ContentModel::handleRowTap(const AppItem &app, bool commandKeyHeld)
{
    if (commandKeyHeld)
        toggleSelection(app);
    else
        setSelectedAppIds({app.id()});
}

void ContentModel::toggleSelectAll()
{
    const QList<AppItem> &listed = filteredApps();
    if (m_selectedAppIds.size() == listed.size()) {
        setSelectedAppIds({});
        return;
    }
    QSet<QString> ids;
    for (const AppItem &app : listed)
        ids.insert(app.id());
    setSelectedAppIds(ids);
}

// --- Lifecycle ---

void ContentModel::handleAppear()
{
    if (!hasAcknowledgedBackupWarning())
        setShowingBackupWarningSheet(true);
    refreshAfterOperation();
}

void ContentModel::handleAvailableVolumesChange()
{
    if (m_volumeRescanTask)
        m_volumeRescanTask->cancelled = true;
    auto task = std::make_shared<RescanTask>();
    m_volumeRescanTask = task;
    emit volumeRescanTaskStateChanged();
    delayedVolumeRescan(task);
}

void ContentModel::handleProgressSheetDismiss()
{
    setShowingProgressSheet(false);
    refreshAfterOperation();
}

void ContentModel::handleRestoreSheetDismiss()
{
    setShowingRestoreProgressSheet(false);
    refreshAfterOperation();
}

void ContentModel::startToolbarRescan()
{
    m_appScanner->scanAsync();
}

void ContentModel::acknowledgeBackupWarning()
{
    setHasAcknowledgedBackupWarning(true);
    setShowingBackupWarningSheet(false);
}

// --- Command handlers ---

void ContentModel::handleFocusSearch()
{
    if (m_criteria.section == NavigationSection::history)
        setSelectedSection(NavigationSection::allApps);
    setIsSearchFocused(true);
}

void ContentModel::handleRefreshApps()
{
    if (m_appScanner->isScanning())
        return;
    refreshAfterOperation();
}

void ContentModel::handleSelectAllFilteredApps()
{
    if (m_criteria.section == NavigationSection::history)
        return;
    QSet<QString> ids;
    for (const AppItem &app : filteredApps())
        ids.insert(app.id());
    setSelectedAppIds(ids);
}

void ContentModel::handleClearAppSelection()
{
    setSelectedAppIds({});
}

void ContentModel::handleOffloadSelectedApps()
{
    QList<AppItem> candidates;
    const QList<AppItem> selected = selectedApps();
    for (const AppItem &app : selected) {
        if (AppList::isOffloadCandidate(app))
            candidates.append(app);
    }
    if (candidates.size() == 1)
        offloadSingleApp(candidates.first(), false);
    else if (candidates.size() > 1)
        offloadAppsBatch(candidates, false);
}

void ContentModel::handleRestoreSelectedApps()
{
    QList<AppItem> offloaded;
    const QList<AppItem> selected = selectedApps();
    for (const AppItem &app : selected) {
        if (AppList::isOffloadedItem(app))
            offloaded.append(app);
    }
    if (offloaded.size() == 1)
        restoreSingleApp(offloaded.first());
    else if (offloaded.size() > 1)
        restoreAppsBatch(offloaded);
}

bool ContentModel::commandApplies(const QString &name) const
{
    if (name == CommandNames::safeEjectTarget)
        return m_volumeManager->selectedVolume().has_value();
    if (name == CommandNames::offloadSelectedApps || name == CommandNames::restoreSelectedApps ||
        name == CommandNames::clearAppSelection)
        return !m_selectedAppIds.isEmpty();
    return true;
}

void ContentModel::handleSafeEjectTarget()
{
    const std::optional<TargetVolume> volume = m_volumeManager->selectedVolume();
    if (!volume) {
        presentNotice(QStringLiteral("No external drive is currently selected."));
        return;
    }
    runSafeEject(*volume);
}

void ContentModel::handleNavigateSection(const QString &title)
{
    if (const std::optional<NavigationSection> section = fromLabel<NavigationSection>(title))
        setSelectedSection(*section);
}

void ContentModel::handleOpenHelpGuide()
{
    setShowingHelpSheet(true);
}

void ContentModel::handleCleanDuplicates()
{
    m_appScanner->cleanAllDuplicateAliases();
}

void ContentModel::handleCleanStaging()
{
    runStagingCleanup(selectedTargetURL());
}
