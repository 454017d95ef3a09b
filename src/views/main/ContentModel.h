#pragma once

#include "model/AppItem.h"
#include "model/TargetVolume.h"
#include "views/kit/TaskReport.h"
#include "views/main/AppListFilter.h"
#include "views/main/ListVocabulary.h"
#include "views/main/TransferRegistry.h"
#include "volumes/SafeEject.h"

#include <QCoroTask>
#include <QFuture>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QUrl>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class AppScanner;
class CommandCenter;
class LedgerService;
class OffloadEngine;
class RestoreEngine;
class SidebarManager;
class StagingCleaner;
class VolumeManager;

// The two maintenance transfers of one application whose drive copy is out of date.
enum class MaintenanceOperation {
    backupUpdate,
    reoffload,
};

// What the window starts on its engines and services. Each member defaults to the window's
// own object; tests replace members to script outcomes.
struct TransferOperations
{
    std::function<QFuture<void>(const AppItem &, const TargetVolume &, bool copyOnly)>
        executeOffload;
    std::function<QFuture<void>(const AppItem &, const TargetVolume &)> updateBackup;
    std::function<QFuture<void>(const AppItem &, const TargetVolume &)> reoffloadAppBundle;
    std::function<QFuture<void>(const QList<AppItem> &, const std::optional<QUrl> &)> restoreBatch;
    // Blocks; called off the main thread.
    std::function<QUrl(const AppItem &)> promoteToRootApplications;
    std::function<QFuture<EjectResult>(const TargetVolume &)> safelyEject;
    // Finishes after the pause; a cancelled or abandoned pause may finish early.
    std::function<QFuture<void>(std::chrono::milliseconds)> delay;
};

// The main window's state and decisions, with no widget: the services it owns, the view
// state (section, selection, search, filters, sort, sheets, dialogs and the one "Notice"
// alert), the derived lists, the command handlers, the rescans and the launchers of every
// operation. One per window; lives on the main thread, where every member is called.
//
// Published state: each setter assigns and emits its signal, also when the value is the
// same. A notice is shown by setting alertMessage first and then showAlert. Derived lists
// are recomputed when their inputs change and kept until the next change;
// derivedListsChanged() is sent once per turn of the event loop after such changes.
//
// Operations run as main-thread coroutines that await the services one application at a
// time; none blocks the caller. A transfer (offload, copy, backup update, re-offload,
// restore) or a safe eject starts only while no transfer and no eject runs anywhere in the
// process.
class ContentModel final : public QObject
{
    Q_OBJECT
    Q_PROPERTY(std::optional<NavigationSection> selectedSection READ selectedSection WRITE
                   setSelectedSection NOTIFY selectedSectionChanged)
    Q_PROPERTY(QSet<QString> selectedAppIds READ selectedAppIds WRITE setSelectedAppIds NOTIFY
                   selectedAppIdsChanged)
    Q_PROPERTY(QString searchText READ searchText WRITE setSearchText NOTIFY searchTextChanged)
    Q_PROPERTY(AppStatusFilter statusFilter READ statusFilter WRITE setStatusFilter NOTIFY
                   statusFilterChanged)
    Q_PROPERTY(
        AppSizeFilter sizeFilter READ sizeFilter WRITE setSizeFilter NOTIFY sizeFilterChanged)
    Q_PROPERTY(AppSortOrder sortOrder READ sortOrder WRITE setSortOrder NOTIFY sortOrderChanged)
    Q_PROPERTY(QString selectedSubfolder READ selectedSubfolder WRITE setSelectedSubfolder NOTIFY
                   selectedSubfolderChanged)
    Q_PROPERTY(bool showingProgressSheet READ showingProgressSheet WRITE setShowingProgressSheet
                   NOTIFY showingProgressSheetChanged)
    Q_PROPERTY(bool showingRestoreProgressSheet READ showingRestoreProgressSheet WRITE
                   setShowingRestoreProgressSheet NOTIFY showingRestoreProgressSheetChanged)
    Q_PROPERTY(bool showingHelpSheet READ showingHelpSheet WRITE setShowingHelpSheet NOTIFY
                   showingHelpSheetChanged)
    Q_PROPERTY(bool showingBackupWarningSheet READ showingBackupWarningSheet WRITE
                   setShowingBackupWarningSheet NOTIFY showingBackupWarningSheetChanged)
    Q_PROPERTY(bool hasAcknowledgedBackupWarning READ hasAcknowledgedBackupWarning WRITE
                   setHasAcknowledgedBackupWarning NOTIFY hasAcknowledgedBackupWarningChanged)
    Q_PROPERTY(bool showingCleanDuplicatesConfirm READ showingCleanDuplicatesConfirm WRITE
                   setShowingCleanDuplicatesConfirm NOTIFY showingCleanDuplicatesConfirmChanged)
    Q_PROPERTY(bool showingCleanStagingConfirm READ showingCleanStagingConfirm WRITE
                   setShowingCleanStagingConfirm NOTIFY showingCleanStagingConfirmChanged)
    Q_PROPERTY(bool showingDuplicateInstancesSheet READ showingDuplicateInstancesSheet WRITE
                   setShowingDuplicateInstancesSheet NOTIFY showingDuplicateInstancesSheetChanged)
    Q_PROPERTY(std::optional<QString> alertMessage READ alertMessage WRITE setAlertMessage NOTIFY
                   alertMessageChanged)
    Q_PROPERTY(bool showAlert READ showAlert WRITE setShowAlert NOTIFY showAlertChanged)
    Q_PROPERTY(bool isSearchFocused READ isSearchFocused WRITE setIsSearchFocused NOTIFY
                   isSearchFocusedChanged)
    Q_PROPERTY(TaskReport offloadTaskReport READ offloadTaskReport NOTIFY offloadTaskReportChanged)
    Q_PROPERTY(TaskReport restoreTaskReport READ restoreTaskReport NOTIFY restoreTaskReportChanged)

public:
    // The pause between a change of the drive list and the rescan it leads to.
    static constexpr std::chrono::milliseconds volumeRescanDelay{800};

    // The states of the delayed drive-change rescan.
    enum class RescanTaskState {
        none,     // no drive change yet
        pending,  // waiting for its pause, or rescanning
        finished, // ended: rescanned, dropped or cancelled
    };

    [[nodiscard]] static QString backupWarningKey()
    {
        return QStringLiteral("Korvanthelix_HasAcknowledgedBackupWarning");
    }
    static inline const QString noTargetNotice =
        QStringLiteral("Please select an external drive target first.");
    static inline const QString transferRunningNotice =
        QStringLiteral("Another transfer is still running. Wait until it has finished.");
    static inline const QString ejectRunningNotice =
        QStringLiteral("A drive is being ejected. Wait until the eject has finished.");
    // The refusals of an eject while a transfer or another eject runs.
    [[nodiscard]] static QString ejectRefusedDuringTransfer(const QString &driveName);
    [[nodiscard]] static QString ejectRefusedDuringEject(const QString &driveName);

    // Uses the shared ledger service.
    explicit ContentModel(QObject *parent = nullptr);
    // Uses `ledger` (not owned; must outlive the model).
    explicit ContentModel(LedgerService &ledger, QObject *parent = nullptr);
    ~ContentModel() override;

    // --- Services: owned for the window's lifetime, except the two shared ones ---
    [[nodiscard]] AppScanner &appScanner() const { return *m_appScanner; }
    [[nodiscard]] VolumeManager &volumeManager() const { return *m_volumeManager; }
    [[nodiscard]] OffloadEngine &offloadEngine() const { return *m_offloadEngine; }
    [[nodiscard]] RestoreEngine &restoreEngine() const { return *m_restoreEngine; }
    [[nodiscard]] StagingCleaner &stagingCleaner() const { return *m_stagingCleaner; }
    [[nodiscard]] LedgerService &ledgerService() const { return m_ledger; }
    [[nodiscard]] SidebarManager &sidebarManager() const;

    [[nodiscard]] const TransferOperations &transferOperations() const { return m_operations; }
    // Members left empty keep the window's own service.
    void setTransferOperations(TransferOperations operations);

    // Subscribes this window to the menu commands for the model's lifetime.
    void subscribeToCommands(CommandCenter &center);

    // --- View state ---
    [[nodiscard]] std::optional<NavigationSection> selectedSection() const
    {
        return m_criteria.section;
    }
    // A different section also sets the subfolder back to "All" and empties the selection.
    void setSelectedSection(std::optional<NavigationSection> section);
    [[nodiscard]] const QSet<QString> &selectedAppIds() const { return m_selectedAppIds; }
    void setSelectedAppIds(const QSet<QString> &ids);
    [[nodiscard]] const QString &searchText() const { return m_criteria.searchText; }
    void setSearchText(const QString &text);
    [[nodiscard]] AppStatusFilter statusFilter() const { return m_criteria.statusFilter; }
    void setStatusFilter(AppStatusFilter filter);
    [[nodiscard]] AppSizeFilter sizeFilter() const { return m_criteria.sizeFilter; }
    void setSizeFilter(AppSizeFilter filter);
    [[nodiscard]] AppSortOrder sortOrder() const { return m_criteria.sortOrder; }
    void setSortOrder(AppSortOrder order);
    [[nodiscard]] const QString &selectedSubfolder() const { return m_criteria.subfolder; }
    void setSelectedSubfolder(const QString &subfolder);

    [[nodiscard]] bool showingProgressSheet() const { return m_showingProgressSheet; }
    void setShowingProgressSheet(bool showing);
    [[nodiscard]] bool showingRestoreProgressSheet() const { return m_showingRestoreProgressSheet; }
    void setShowingRestoreProgressSheet(bool showing);
    [[nodiscard]] bool showingHelpSheet() const { return m_showingHelpSheet; }
    void setShowingHelpSheet(bool showing);
    [[nodiscard]] bool showingBackupWarningSheet() const { return m_showingBackupWarningSheet; }
    void setShowingBackupWarningSheet(bool showing);
    // Kept in the user's defaults under backupWarningKey(); false while the key is absent.
    [[nodiscard]] bool hasAcknowledgedBackupWarning() const;
    void setHasAcknowledgedBackupWarning(bool acknowledged);
    [[nodiscard]] bool showingCleanDuplicatesConfirm() const
    {
        return m_showingCleanDuplicatesConfirm;
    }
    void setShowingCleanDuplicatesConfirm(bool showing);
    [[nodiscard]] bool showingCleanStagingConfirm() const { return m_showingCleanStagingConfirm; }
    void setShowingCleanStagingConfirm(bool showing);
    [[nodiscard]] bool showingDuplicateInstancesSheet() const
    {
        return m_showingDuplicateInstancesSheet;
    }
    void setShowingDuplicateInstancesSheet(bool showing);
    [[nodiscard]] const std::optional<QString> &alertMessage() const { return m_alertMessage; }
    void setAlertMessage(const std::optional<QString> &message);
    [[nodiscard]] bool showAlert() const { return m_showAlert; }
    void setShowAlert(bool showing);
    [[nodiscard]] bool isSearchFocused() const { return m_isSearchFocused; }
    void setIsSearchFocused(bool focused);

    // What the offload and the restore progress sheets show about their task.
    [[nodiscard]] const TaskReport &offloadTaskReport() const { return m_offloadReport; }
    [[nodiscard]] const TaskReport &restoreTaskReport() const { return m_restoreReport; }

    [[nodiscard]] RescanTaskState volumeRescanTaskState() const;

    // --- Derived lists and totals (inventory order unless said otherwise) ---
    [[nodiscard]] QList<AppItem> needsReoffloadApps() const;
    [[nodiscard]] QList<AppItem> outOfSyncBackupApps() const;
    [[nodiscard]] qint64 orphanedStagingBytes() const;
    // The redundant local copies' own sizes with their selected support folders.
    [[nodiscard]] qint64 redundantCopiesBytes() const;
    [[nodiscard]] const QList<AppItem> &appsForSelectedSection() const;
    [[nodiscard]] const QStringList &availableSubfolders() const;
    // The list the window shows: searched, filtered and sorted.
    [[nodiscard]] const QList<AppItem> &filteredApps() const;
    [[nodiscard]] QList<AppItem> selectedApps() const;
    // Whether the menu command `name` has something to act on in this window now: ejecting
    // needs a target, the selection commands a selection. The menus stay enabled regardless.
    [[nodiscard]] bool commandApplies(const QString &name) const;
    [[nodiscard]] qint64 selectedAppsTotalBytes() const;
    // The one selected application while exactly one id is selected and it is listed. Its
    // support-folder choices are written through AppScanner::setSupportFolderSelected().
    [[nodiscard]] std::optional<AppItem> singleSelectedApp() const;
    // The number a sidebar section shows: its list's length, the ledger's record count for
    // the history section.
    [[nodiscard]] int sectionCount(NavigationSection section) const;

    // --- Selection ---
    void toggleSelection(const AppItem &app);
    // A click on a row: with the command key the row toggles, otherwise it alone is selected.
    void handleRowTap(const AppItem &app, bool commandKeyHeld);
    // Empties the selection when it holds as many ids as the list has rows, else selects
    // every row.
    void toggleSelectAll();

    // --- Lifecycle ---
    // The first-run check, then the first scan of the inventory and the leftovers.
    void handleAppear();
    // Cancels the pending drive-change rescan and starts a new one after the pause.
    void handleAvailableVolumesChange();
    void handleProgressSheetDismiss();
    void handleRestoreSheetDismiss();
    // The toolbar's refresh: the inventory only.
    void startToolbarRescan();
    void acknowledgeBackupWarning();

    // --- Command handlers ---
    void handleFocusSearch();
    void handleRefreshApps();
    void handleSelectAllFilteredApps();
    void handleClearAppSelection();
    void handleOffloadSelectedApps();
    void handleRestoreSelectedApps();
    void handleSafeEjectTarget();
    void handleNavigateSection(const QString &title);
    void handleOpenHelpGuide();
    void handleCleanDuplicates();
    void handleCleanStaging();

    // --- Launchers ---
    void offloadSingleApp(const AppItem &app, bool copyOnly);
    void offloadAppsBatch(const QList<AppItem> &apps, bool copyOnly);
    void startAppMaintenance(const AppItem &app, MaintenanceOperation operation);
    void restoreSingleApp(const AppItem &app);
    void restoreAppsBatch(const QList<AppItem> &apps);
    // The list banners' batch: every application of `apps`, in order, with `operation`.
    void launchBannerBatch(const QList<AppItem> &apps, MaintenanceOperation operation);
    void resolveDuplicates(const AppItem &app);
    // Removes the path only while it still holds a link, alias or proxy bundle.
    void removeSingleDuplicate(const QString &path);
    void cleanSelectedDuplicates();
    void makeAppsVisible(const QList<AppItem> &apps);
    void promoteAppsToRoot(const QList<AppItem> &apps);
    // After the detail pane made a proxy of its own.
    void rescanAfterProxy();
    // The one way the window ejects a drive (menu command and toolbar): refused, with its
    // message as the result, while a transfer or another eject runs anywhere in the process;
    // otherwise holds the transfer lease until the eject has ended, also when the window
    // closes first. The future never holds an exception.
    [[nodiscard]] QFuture<EjectResult> startSafeEject(const TargetVolume &volume);

signals:
    void selectedSectionChanged();
    void selectedAppIdsChanged();
    void searchTextChanged();
    void statusFilterChanged();
    void sizeFilterChanged();
    void sortOrderChanged();
    void selectedSubfolderChanged();
    void showingProgressSheetChanged();
    void showingRestoreProgressSheetChanged();
    void showingHelpSheetChanged();
    void showingBackupWarningSheetChanged();
    void hasAcknowledgedBackupWarningChanged();
    void showingCleanDuplicatesConfirmChanged();
    void showingCleanStagingConfirmChanged();
    void showingDuplicateInstancesSheetChanged();
    void alertMessageChanged();
    void showAlertChanged();
    void isSearchFocusedChanged();
    void offloadTaskReportChanged();
    void restoreTaskReportChanged();
    void derivedListsChanged();
    void volumeRescanTaskStateChanged();

private:
    struct RescanTask
    {
        bool cancelled = false;
        bool finished = false;
    };
    enum class ProxyNotice {
        makeVisible,
        promote,
    };

    [[nodiscard]] TransferOperations defaultOperations();
    void watchServices();
    // What changed: the inventory, the section, or only a filter or the order.
    enum class Change {
        inventory,
        section,
        criteria,
    };
    void invalidateDerived(Change change);
    // One derivedListsChanged() for every change made in this turn of the event loop.
    void queueDerivedSignal();
    void presentNotice(const QString &message);
    [[nodiscard]] bool refuseWhileTransferRuns();
    [[nodiscard]] std::optional<TargetVolume> targetOrNotice();
    // The opening of every transfer shown on the offload sheet: refused while another runs,
    // needs a target; takes the transfer lease and raises the sheet.
    struct OffloadSheetStart
    {
        TargetVolume target;
        TransferRegistry::Lease lease;
    };
    [[nodiscard]] std::optional<OffloadSheetStart> beginOffloadSheetTransfer();
    void setOffloadTaskReport(const TaskReport &report);
    void setRestoreTaskReport(const TaskReport &report);
    [[nodiscard]] std::optional<QUrl> selectedTargetURL() const;

    // The tasks. Each guards the model across its waits; a transfer task holds its lease
    // until its engine work has ended.
    QCoro::Task<void> refreshAfterOperation();
    QCoro::Task<void> inventoryAndLedgerRefresh();
    QCoro::Task<void> fullRefresh(std::optional<QUrl> targetURL);
    // loadRecords() off the GUI thread, on a thread nothing waits for.
    QFuture<void> reloadLedger();
    QCoro::Task<void> delayedVolumeRescan(std::shared_ptr<RescanTask> task);
    QCoro::Task<void> runSingleTransfer(QString appName, std::function<QFuture<void>()> operation,
                                        TransferRegistry::Lease lease);
    QCoro::Task<void> runOffloadBatch(QList<AppItem> apps, TargetVolume target, bool copyOnly,
                                      TransferRegistry::Lease lease);
    QCoro::Task<void> runBannerBatch(QList<AppItem> apps, TargetVolume target,
                                     MaintenanceOperation operation, TransferRegistry::Lease lease);
    // One transfer after another for the offload sheet: publishes its report as it goes,
    // stops on a cancel request or a cancelled transfer. Nothing when the model went away.
    using AppStep = std::function<QFuture<void>(const AppItem &)>;
    QCoro::Task<std::optional<TaskReport>> runEachApp(QList<AppItem> apps, AppStep step,
                                                      bool logFailures);
    QCoro::Task<void> runRestore(QList<AppItem> apps, std::optional<QUrl> targetURL, bool single,
                                 TransferRegistry::Lease lease);
    QCoro::Task<void> runSafeEject(TargetVolume volume);
    QCoro::Task<void> runStagingCleanup(std::optional<QUrl> targetURL);
    QCoro::Task<void> runCleanDuplicates(QList<AppItem> apps);
    QCoro::Task<void> runProxyCreation(QList<AppItem> apps, ProxyNotice notice);

    LedgerService &m_ledger;
    AppScanner *m_appScanner = nullptr;
    VolumeManager *m_volumeManager = nullptr;
    OffloadEngine *m_offloadEngine = nullptr;
    RestoreEngine *m_restoreEngine = nullptr;
    StagingCleaner *m_stagingCleaner = nullptr;
    TransferOperations m_operations;

    ListCriteria m_criteria;
    QSet<QString> m_selectedAppIds;
    bool m_showingProgressSheet = false;
    bool m_showingRestoreProgressSheet = false;
    bool m_showingHelpSheet = false;
    bool m_showingBackupWarningSheet = false;
    bool m_showingCleanDuplicatesConfirm = false;
    bool m_showingCleanStagingConfirm = false;
    bool m_showingDuplicateInstancesSheet = false;
    std::optional<QString> m_alertMessage;
    bool m_showAlert = false;
    bool m_isSearchFocused = false;
    TaskReport m_offloadReport;
    TaskReport m_restoreReport;

    QList<TargetVolume> m_lastVolumes;
    std::shared_ptr<RescanTask> m_volumeRescanTask;

    // Derived lists, recomputed on the first read after their inputs changed.
    mutable std::optional<QList<AppItem>> m_sectionApps;
    mutable std::optional<QStringList> m_subfolders;
    mutable std::optional<QList<AppItem>> m_filteredApps;
    mutable QHash<NavigationSection, int> m_sectionCounts;
    bool m_derivedSignalQueued = false;
};
