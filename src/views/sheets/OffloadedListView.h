#pragma once

#include "model/AppItem.h"
#include "views/sheets/OffloadedListPresenter.h"

#include <QCoroTask>
#include <QPointer>
#include <QUrl>
#include <QWidget>
#include <functional>
#include <optional>

class AppScanner;
class QLabel;
class QListWidget;
class QPushButton;
class QStackedWidget;
class QTimer;
class RoundedPanel;
class SelectionBinding;
class VolumeManager;

// The window's section of offloaded applications: every application that lives on a drive
// and is represented here by a link, an alias or an App Proxy bundle, with its link kind,
// where its copy is stored and its size. Selecting writes the window's selection; restores
// go back to the window through the callbacks; "Make Visible in Apps.app" promotes the
// selected (or all listed) applications to App Proxy bundles itself and rescans.
//
// Controls by object name: "selectAllButton", "restoreSelectedButton", "makeVisibleButton",
// "dismissNoticeButton", "clearSelectionButton", "offloadedList"; in each row (object name
// "offloadedRow:" + path) "checkBox", "textColumn" and "restoreButton".
class OffloadedListView final : public QWidget
{
    Q_OBJECT
public:
    using RestoreHandler = std::function<void(const AppItem &)>;
    using BatchRestoreHandler = std::function<void(const QList<AppItem> &)>;
    // Blocks; runs off the main thread, one application at a time.
    using PromoteOperation = std::function<QUrl(const AppItem &)>;

    // None of the objects is owned; the binding is the window's selection. Without
    // `onBatchRestore`, "Restore Selected" does nothing.
    OffloadedListView(AppScanner *appScanner, VolumeManager *volumeManager,
                      SelectionBinding *selectedAppIds, RestoreHandler onRestore,
                      BatchRestoreHandler onBatchRestore = {}, QWidget *parent = nullptr);
    ~OffloadedListView() override;

    // AppProxyHelper::promoteToRootApplications unless replaced (tests).
    void setPromoteOperation(PromoteOperation promote);

    [[nodiscard]] bool isProcessingProxies() const { return m_isProcessingProxies; }
    [[nodiscard]] const std::optional<QString> &proxyNotice() const { return m_proxyNotice; }

signals:
    // A make-visible run has shown its notice (the rescan it starts may still run).
    void proxyRunFinished();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // Every row as wide as the list shows: a long name shortens instead of pushing the size
    // and the restore button out of sight.
    void fitRows();
    void build();
    void scheduleRebuild();
    void rebuildRows();
    void applySelection();
    void applyNotice();
    void listSelectionChanged();
    [[nodiscard]] QSet<QString> selection() const;
    void setSelection(const QSet<QString> &selection);
    void makeVisibleInApps();
    QCoro::Task<> runMakeVisible(QList<AppItem> targets);

    QPointer<AppScanner> m_scanner;
    QPointer<VolumeManager> m_volumeManager;
    QPointer<SelectionBinding> m_selection;
    RestoreHandler m_onRestore;
    BatchRestoreHandler m_onBatchRestore;
    PromoteOperation m_promote;

    bool m_isProcessingProxies = false;
    std::optional<QString> m_proxyNotice;

    OffloadedListPresenter m_presenter{QList<AppItem>{}};
    bool m_syncingList = false;
    QTimer *m_rebuildTimer = nullptr;

    QLabel *m_countLabel = nullptr;
    QWidget *m_headerButtons = nullptr;
    QPushButton *m_selectAll = nullptr;
    QPushButton *m_restoreSelected = nullptr;
    QPushButton *m_makeVisible = nullptr;
    RoundedPanel *m_noticeBar = nullptr;
    QLabel *m_noticeText = nullptr;
    RoundedPanel *m_selectionBar = nullptr;
    QLabel *m_selectionText = nullptr;
    QStackedWidget *m_body = nullptr;
    QWidget *m_emptyState = nullptr;
    QListWidget *m_list = nullptr;
};
