#include "views/main/ContentView.h"

#include "services/AppScanner.h"
#include "services/LedgerService.h"
#include "transfer/OffloadEngine.h"
#include "transfer/RestoreEngine.h"
#include "transfer/StagingCleaner.h"
#include "views/kit/Controls.h"
#include "views/kit/Palette.h"
#include "views/kit/Symbols.h"
#include "views/main/AppListColumn.h"
#include "views/main/BackupWarningSheet.h"
#include "views/main/ContentModel.h"
#include "views/main/DetailColumn.h"
#include "views/main/ListColumnPresenter.h"
#include "views/main/SidebarManager.h"
#include "views/main/SidebarView.h"
#include "views/main/ToolbarPresenter.h"
#include "views/main/VolumeToolbarView.h"
#include "views/sheets/DuplicateInstancesSheet.h"
#include "views/sheets/HelpGuideView.h"
#include "views/sheets/HistoryView.h"
#include "views/sheets/LogViewerSheet.h"
#include "views/sheets/MigrationProgressSheet.h"
#include "views/sheets/OffloadedListView.h"
#include "views/sheets/RestoreProgressSheet.h"
#include "views/sheets/SelectionBinding.h"
#include "volumes/VolumeManager.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QSplitter>
#include <QStackedWidget>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>

namespace {

// While a scan publishes thousands of sizes, the window follows at this pace.
constexpr int scanRefreshIntervalMs = 150;

} // namespace

// --- RefreshToolbarButton ---

RefreshToolbarButton::RefreshToolbarButton(QWidget *parent)
    : QToolButton(parent)
{
    setObjectName(QStringLiteral("refreshToolbarButton"));
    setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    setAutoRaise(true);
    m_busy = new QWidget(this);
    auto *row = new QHBoxLayout(m_busy);
    row->setContentsMargins(6, 0, 6, 0);
    row->setSpacing(6);
    row->addWidget(new ActivitySpinner(12, m_busy), 0, Qt::AlignVCenter);
    auto *label = new QLabel(ToolbarPresenter::refreshButton(true).text, m_busy);
    label->setEnabled(false);
    row->addWidget(label, 0, Qt::AlignVCenter);
    m_busy->setAttribute(Qt::WA_TransparentForMouseEvents);
    setScanning(false);
}

void RefreshToolbarButton::setScanning(bool scanning)
{
    m_scanning = scanning;
    const RefreshButtonModel model = ToolbarPresenter::refreshButton(scanning);
    setEnabled(model.enabled);
    setText(model.showsSpinner ? QString() : model.text);
    setIcon(model.showsSpinner ? QIcon() : Symbols::icon(model.symbol));
    setToolTip(model.text);
    m_busy->setVisible(model.showsSpinner);
    m_busy->resize(m_busy->sizeHint());
    m_busy->move(0, (height() - m_busy->height()) / 2);
    updateGeometry();
}

QString RefreshToolbarButton::shownText() const
{
    return ToolbarPresenter::refreshButton(m_scanning).text;
}

QSize RefreshToolbarButton::sizeHint() const
{
    // Wide enough for either label, so the toolbar does not jump when a scan starts.
    QSize size = QToolButton::sizeHint();
    const QSize busy = m_busy->sizeHint();
    return {std::max(size.width(), busy.width()), std::max(size.height(), busy.height())};
}

// --- ContentView ---

ContentView::ContentView(ContentModel &model, QWidget *parent)
    : QWidget(parent)
    , m_model(model)
    , m_refreshTimer(new QTimer(this))
{
    setObjectName(QStringLiteral("contentView"));
    setMinimumSize(minimumContentSize);
    m_refreshTimer->setSingleShot(true);
    connect(m_refreshTimer, &QTimer::timeout, this, &ContentView::refresh);
    buildToolbar();
    buildColumns();
    watchModel();
    refresh();
    // A window may be built with flags already set (a model handed over mid-task).
    syncBackupWarningSheet();
    syncProgressSheet();
    syncRestoreSheet();
    syncHelpSheet();
    syncDuplicatesSheet();
}

ContentView::~ContentView() = default;

OffloadedListView *ContentView::offloadedList() const
{
    return m_offloadedList;
}

HistoryView *ContentView::historyView() const
{
    return m_historyView;
}

MigrationProgressSheet *ContentView::progressSheet() const
{
    return m_progressSheet;
}

RestoreProgressSheet *ContentView::restoreProgressSheet() const
{
    return m_restoreSheet;
}

HelpGuideView *ContentView::helpSheet() const
{
    return m_helpSheet;
}

BackupWarningSheet *ContentView::backupWarningSheet() const
{
    return m_backupSheet;
}

DuplicateInstancesSheet *ContentView::duplicateInstancesSheet() const
{
    return m_duplicatesSheet;
}

QSize ContentView::sizeHint() const
{
    // Wide enough that the list pages' headers and the detail pane's action bar each stand
    // on one row at the first size, beside a sidebar at its minimum width.
    return {firstSidebarWidth + firstListWidth + firstDetailWidth + 2, 760};
}

void ContentView::buildToolbar()
{
    m_toolbar = new QToolBar(tr("Toolbar"), this);
    m_toolbar->setObjectName(QStringLiteral("mainToolbar"));
    m_toolbar->setMovable(false);
    m_toolbar->setFloatable(false);
    m_toolbar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_toolbar->setIconSize(QSize(16, 16));
    // The items stand at the trailing end, as the platform places automatic items.
    auto *spacer = new QWidget(m_toolbar);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    m_toolbar->addWidget(spacer);

    m_volumeToolbar = new VolumeToolbarView(&m_model.volumeManager(), m_toolbar);
    m_volumeToolbar->setEjectOperation(
        [model = &m_model](const TargetVolume &volume) { return model->startSafeEject(volume); });
    m_toolbar->addWidget(m_volumeToolbar);

    auto *help = new QToolButton(m_toolbar);
    help->setObjectName(QStringLiteral("helpToolbarButton"));
    help->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    help->setAutoRaise(true);
    help->setText(Controls::literalText(tr("Help & Guide")));
    help->setIcon(Symbols::icon(QStringLiteral("questionmark.circle")));
    connect(help, &QToolButton::clicked, this, [this] { m_model.setShowingHelpSheet(true); });
    m_toolbar->addWidget(help);

    m_refreshButton = new RefreshToolbarButton(m_toolbar);
    connect(m_refreshButton, &QToolButton::clicked, this, [this] { m_model.startToolbarRescan(); });
    m_toolbar->addWidget(m_refreshButton);
}

void ContentView::buildColumns()
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    m_splitter = new QSplitter(Qt::Horizontal, this);
    m_splitter->setObjectName(QStringLiteral("columns"));
    m_splitter->setHandleWidth(1);
    m_splitter->setChildrenCollapsible(true);
    layout->addWidget(m_splitter);

    m_sidebar = new SidebarView(m_model, m_splitter);
    m_splitter->addWidget(m_sidebar);

    m_contentStack = new QStackedWidget(m_splitter);
    m_contentStack->setObjectName(QStringLiteral("contentStack"));
    m_listColumn = new AppListColumn(m_model, m_contentStack);
    m_contentStack->addWidget(m_listColumn);
    m_splitter->addWidget(m_contentStack);

    m_detailColumn = new DetailColumn(m_model, m_splitter);
    m_splitter->addWidget(m_detailColumn);

    // Only the sidebar folds away; the list and the detail keep their minimum widths.
    m_splitter->setCollapsible(0, true);
    m_splitter->setCollapsible(1, false);
    m_splitter->setCollapsible(2, false);
    m_splitter->setStretchFactor(0, 0);
    m_splitter->setStretchFactor(1, 1);
    m_splitter->setStretchFactor(2, 1);
    m_splitter->setSizes({m_sidebarWidth, firstListWidth, firstDetailWidth});

    m_selection = new SelectionBinding(
        [this] { return m_model.selectedAppIds(); },
        [this](const QSet<QString> &ids) { m_model.setSelectedAppIds(ids); }, this);
    connect(&m_model, &ContentModel::selectedAppIdsChanged, m_selection,
            &SelectionBinding::changed);

    SidebarManager &sidebar = m_model.sidebarManager();
    connect(&sidebar, &SidebarManager::columnVisibilityChanged, this,
            &ContentView::applySidebarVisibility);
    connect(&sidebar, &SidebarManager::sidebarToggleRequested, this,
            &ContentView::applySidebarVisibility);
    connect(m_splitter, &QSplitter::splitterMoved, this, [this] {
        if (m_splitter->sizes().value(0) > 0)
            m_sidebarWidth = m_splitter->sizes().value(0);
        m_model.sidebarManager().updateState();
    });
    applySidebarVisibility();
}

void ContentView::watchModel()
{
    ContentModel *model = &m_model;
    const auto later = [this] { scheduleRefresh(); };
    for (auto signal :
         {&ContentModel::selectedSectionChanged, &ContentModel::selectedAppIdsChanged,
          &ContentModel::searchTextChanged, &ContentModel::statusFilterChanged,
          &ContentModel::sizeFilterChanged, &ContentModel::sortOrderChanged,
          &ContentModel::selectedSubfolderChanged, &ContentModel::derivedListsChanged})
        connect(model, signal, this, later);
    // The section decides which middle column exists; that follows at once.
    connect(model, &ContentModel::selectedSectionChanged, this, &ContentView::showContentColumn);
    connect(model, &ContentModel::isSearchFocusedChanged, this, &ContentView::focusSearchIfAsked);

    AppScanner *scanner = &model->appScanner();
    for (auto signal : {&AppScanner::isScanningChanged, &AppScanner::scanStatusChanged,
                        &AppScanner::scanProgressChanged})
        connect(scanner, signal, this, later);
    connect(&model->stagingCleaner(), &StagingCleaner::orphanedItemsChanged, this, later);
    connect(&model->stagingCleaner(), &StagingCleaner::isCleaningChanged, this, later);
    connect(&model->offloadEngine(), &OffloadEngine::isOffloadingChanged, this, later);
    connect(&model->restoreEngine(), &RestoreEngine::isRestoringChanged, this, later);
    connect(&model->volumeManager(), &VolumeManager::selectedVolumeChanged, this, later);
    connect(&model->ledgerService(), &LedgerService::recordsChanged, this, later);

    connect(model, &ContentModel::showingProgressSheetChanged, this,
            &ContentView::syncProgressSheet);
    connect(model, &ContentModel::showingRestoreProgressSheetChanged, this,
            &ContentView::syncRestoreSheet);
    connect(model, &ContentModel::showingHelpSheetChanged, this, &ContentView::syncHelpSheet);
    connect(model, &ContentModel::showingBackupWarningSheetChanged, this,
            &ContentView::syncBackupWarningSheet);
    connect(model, &ContentModel::showingDuplicateInstancesSheetChanged, this,
            &ContentView::syncDuplicatesSheet);
    connect(model, &ContentModel::offloadTaskReportChanged, this, [this] {
        if (m_progressSheet)
            m_progressSheet->setTaskReport(m_model.offloadTaskReport());
    });
    connect(model, &ContentModel::restoreTaskReportChanged, this, [this] {
        if (m_restoreSheet)
            m_restoreSheet->setTaskReport(m_model.restoreTaskReport());
    });
}

void ContentView::scheduleRefresh()
{
    if (m_refreshTimer->isActive())
        return;
    int wait = 0;
    if (m_model.appScanner().isScanning() && m_sinceRefresh.isValid())
        wait = int(std::max<qint64>(0, scanRefreshIntervalMs - m_sinceRefresh.elapsed()));
    m_refreshTimer->start(wait);
}

void ContentView::refreshNow()
{
    m_refreshTimer->stop();
    refresh();
}

void ContentView::refresh()
{
    m_sinceRefresh.start();
    showContentColumn();
    m_sidebar->refresh();
    if (m_contentStack->currentWidget() == m_listColumn)
        m_listColumn->refresh();
    m_detailColumn->refresh();
    m_refreshButton->setScanning(m_model.appScanner().isScanning());
}

void ContentView::showContentColumn()
{
    const ContentColumn column = ListColumnPresenter::contentColumn(m_model.selectedSection());
    // A section's own view starts afresh each time the section is chosen.
    if (column != ContentColumn::offloadedList && m_offloadedList) {
        m_contentStack->removeWidget(m_offloadedList);
        m_offloadedList->deleteLater();
        m_offloadedList = nullptr;
    }
    if (column != ContentColumn::history && m_historyView) {
        m_contentStack->removeWidget(m_historyView);
        m_historyView->deleteLater();
        m_historyView = nullptr;
    }
    switch (column) {
    case ContentColumn::appList:
        if (m_contentStack->currentWidget() != m_listColumn) {
            m_contentStack->setCurrentWidget(m_listColumn);
            m_listColumn->refresh();
        }
        break;
    case ContentColumn::offloadedList:
        if (!m_offloadedList) {
            ContentModel *model = &m_model;
            m_offloadedList = new OffloadedListView(
                &model->appScanner(), &model->volumeManager(), m_selection,
                [model](const AppItem &app) { model->restoreSingleApp(app); },
                [model](const QList<AppItem> &apps) { model->restoreAppsBatch(apps); },
                m_contentStack);
            m_offloadedList->setPromoteOperation([model](const AppItem &app) {
                return model->transferOperations().promoteToRootApplications(app);
            });
            m_contentStack->addWidget(m_offloadedList);
        }
        m_contentStack->setCurrentWidget(m_offloadedList);
        break;
    case ContentColumn::history:
        if (!m_historyView) {
            m_historyView = new HistoryView(&m_model.ledgerService(), m_contentStack);
            m_contentStack->addWidget(m_historyView);
        }
        m_contentStack->setCurrentWidget(m_historyView);
        break;
    }
}

void ContentView::focusSearchIfAsked()
{
    if (!m_model.isSearchFocused())
        return;
    // The command may have just left the history section: show the list column first.
    refreshNow();
    m_listColumn->focusSearch();
}

void ContentView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    // Before the window is on screen the splitter has no sizes worth reading.
    if (isVisible())
        m_model.sidebarManager().updateState();
}

void ContentView::applySidebarVisibility()
{
    const SidebarManager::ColumnVisibility visibility = m_model.sidebarManager().columnVisibility();
    const bool show = visibility != SidebarManager::ColumnVisibility::doubleColumn &&
                      visibility != SidebarManager::ColumnVisibility::detailOnly;
    QList<int> sizes = m_splitter->sizes();
    if (sizes.size() < 3)
        return;
    if (!show && sizes[0] > 0) {
        m_sidebarWidth = sizes[0];
        sizes[1] += sizes[0];
        sizes[0] = 0;
        m_splitter->setSizes(sizes);
    } else if (show && sizes[0] == 0) {
        const int width = std::max(m_sidebarWidth, m_sidebar->minimumWidth());
        sizes[0] = width;
        sizes[1] = std::max(m_listColumn->minimumWidth(), sizes[1] - width);
        m_splitter->setSizes(sizes);
    }
}

// --- Sheets ---

template<typename Sheet, typename Make>
void ContentView::syncSheet(QPointer<Sheet> &sheet, bool showing, Make make)
{
    if (showing && !sheet) {
        sheet = make();
        sheet->open();
    } else if (!showing && sheet) {
        // Later: the sheet's own button may be what closed it.
        sheet->hide();
        sheet->deleteLater();
        sheet = nullptr;
    }
}

void ContentView::syncProgressSheet()
{
    syncSheet(m_progressSheet, m_model.showingProgressSheet(), [this] {
        auto *sheet = new MigrationProgressSheet(
            &m_model.offloadEngine(), [this] { m_model.handleProgressSheetDismiss(); }, this);
        sheet->setObjectName(QStringLiteral("migrationProgressSheet"));
        sheet->setTaskReport(m_model.offloadTaskReport());
        return sheet;
    });
}

void ContentView::syncRestoreSheet()
{
    syncSheet(m_restoreSheet, m_model.showingRestoreProgressSheet(), [this] {
        auto *sheet = new RestoreProgressSheet(
            &m_model.restoreEngine(), [this] { m_model.handleRestoreSheetDismiss(); }, this);
        sheet->setObjectName(QStringLiteral("restoreProgressSheet"));
        sheet->setTaskReport(m_model.restoreTaskReport());
        return sheet;
    });
}

void ContentView::syncHelpSheet()
{
    syncSheet(m_helpSheet, m_model.showingHelpSheet(), [this] {
        auto *sheet = new HelpGuideView([this] { m_model.setShowingHelpSheet(false); }, this);
        sheet->setObjectName(QStringLiteral("helpGuideSheet"));
        return sheet;
    });
}

void ContentView::syncBackupWarningSheet()
{
    syncSheet(m_backupSheet, m_model.showingBackupWarningSheet(), [this] {
        return new BackupWarningSheet([this] { m_model.acknowledgeBackupWarning(); }, this);
    });
}

void ContentView::syncDuplicatesSheet()
{
    syncSheet(m_duplicatesSheet, m_model.showingDuplicateInstancesSheet(), [this] {
        auto *sheet = new DuplicateInstancesSheet(
            &m_model.appScanner(), [this] { m_model.setShowingDuplicateInstancesSheet(false); },
            this);
        sheet->setObjectName(QStringLiteral("duplicateInstancesSheet"));
        return sheet;
    });
}
