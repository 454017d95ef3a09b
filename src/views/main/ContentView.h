#pragma once

#include <QElapsedTimer>
#include <QPointer>
#include <QToolButton>
#include <QWidget>

class AppListColumn;
class BackupWarningSheet;
class ContentModel;
class DetailColumn;
class DuplicateInstancesSheet;
class HelpGuideView;
class HistoryView;
class MigrationProgressSheet;
class OffloadedListView;
class RestoreProgressSheet;
class QSplitter;
class QStackedWidget;
class QTimer;
class QToolBar;
class SelectionBinding;
class SidebarView;
class VolumeToolbarView;

// The toolbar's refresh button: "Refresh" with its symbol, or a spinner with "Scanning…"
// and disabled while the inventory is scanned.
class RefreshToolbarButton final : public QToolButton
{
    Q_OBJECT
public:
    explicit RefreshToolbarButton(QWidget *parent = nullptr);

    void setScanning(bool scanning);
    [[nodiscard]] bool isScanning() const { return m_scanning; }
    [[nodiscard]] QString shownText() const;

    [[nodiscard]] QSize sizeHint() const override;

private:
    bool m_scanning = false;
    QWidget *m_busy = nullptr;
};

// The root of the main window: the sidebar, the middle column of the chosen section and the
// detail column side by side in a splitter (920 × 620 at least), the toolbar content, and
// the sheets the model asks for. It shows the window model and sends every user action to
// it; the model decides. Updates that follow the inventory are gathered and applied at most
// every 150 ms while a scan runs, so a scan of thousands of applications stays smooth.
//
// Object names: "columns" (the splitter), "contentStack", "mainToolbar",
// "helpToolbarButton", "refreshToolbarButton"; the views' own names otherwise.
class ContentView final : public QWidget
{
    Q_OBJECT
public:
    static constexpr QSize minimumContentSize{920, 620};

    // `model` is not owned and must outlive the view.
    explicit ContentView(ContentModel &model, QWidget *parent = nullptr);
    ~ContentView() override;

    [[nodiscard]] ContentModel &model() const { return m_model; }
    // The toolbar content; the window places it (it is this view's child until then).
    [[nodiscard]] QToolBar *toolbar() const { return m_toolbar; }

    [[nodiscard]] QSplitter *splitter() const { return m_splitter; }
    [[nodiscard]] SidebarView *sidebar() const { return m_sidebar; }
    [[nodiscard]] QStackedWidget *contentStack() const { return m_contentStack; }
    [[nodiscard]] AppListColumn *appListColumn() const { return m_listColumn; }
    // The views of the offloaded and history sections while their section is shown.
    [[nodiscard]] OffloadedListView *offloadedList() const;
    [[nodiscard]] HistoryView *historyView() const;
    [[nodiscard]] DetailColumn *detailColumn() const { return m_detailColumn; }
    [[nodiscard]] VolumeToolbarView *volumeToolbar() const { return m_volumeToolbar; }
    [[nodiscard]] RefreshToolbarButton *refreshButton() const { return m_refreshButton; }

    // The sheets while they are open; null otherwise.
    [[nodiscard]] MigrationProgressSheet *progressSheet() const;
    [[nodiscard]] RestoreProgressSheet *restoreProgressSheet() const;
    [[nodiscard]] HelpGuideView *helpSheet() const;
    [[nodiscard]] BackupWarningSheet *backupWarningSheet() const;
    [[nodiscard]] DuplicateInstancesSheet *duplicateInstancesSheet() const;

    // Applies whatever changed at once instead of at the next gathered update.
    void refreshNow();

    [[nodiscard]] QSize sizeHint() const override;

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void buildToolbar();
    void buildColumns();
    void watchModel();
    void scheduleRefresh();
    void refresh();
    void showContentColumn();
    void focusSearchIfAsked();
    void applySidebarVisibility();

    void syncProgressSheet();
    void syncRestoreSheet();
    void syncHelpSheet();
    void syncBackupWarningSheet();
    void syncDuplicatesSheet();
    // Opens or closes the sheet held in `sheet` to follow `showing`.
    template<typename Sheet, typename Make>
    void syncSheet(QPointer<Sheet> &sheet, bool showing, Make make);

    ContentModel &m_model;
    QToolBar *m_toolbar = nullptr;
    VolumeToolbarView *m_volumeToolbar = nullptr;
    RefreshToolbarButton *m_refreshButton = nullptr;
    QSplitter *m_splitter = nullptr;
    SidebarView *m_sidebar = nullptr;
    QStackedWidget *m_contentStack = nullptr;
    AppListColumn *m_listColumn = nullptr;
    QPointer<OffloadedListView> m_offloadedList;
    QPointer<HistoryView> m_historyView;
    SelectionBinding *m_selection = nullptr;
    DetailColumn *m_detailColumn = nullptr;
    // The columns' widths at the first size.
    static constexpr int firstSidebarWidth = 200;
    static constexpr int firstListWidth = 720;
    static constexpr int firstDetailWidth = 540;
    int m_sidebarWidth = firstSidebarWidth;

    QTimer *m_refreshTimer = nullptr;
    QElapsedTimer m_sinceRefresh;

    QPointer<MigrationProgressSheet> m_progressSheet;
    QPointer<RestoreProgressSheet> m_restoreSheet;
    QPointer<HelpGuideView> m_helpSheet;
    QPointer<BackupWarningSheet> m_backupSheet;
    QPointer<DuplicateInstancesSheet> m_duplicatesSheet;
};
