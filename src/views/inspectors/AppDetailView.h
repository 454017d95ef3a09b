#pragma once

#include "views/inspectors/AppDetailPresenter.h"

#include <QCoroTask>
#include <QPointer>
#include <QScrollArea>
#include <chrono>
#include <functional>

class AppItemBinding;
class QButtonGroup;
class QLabel;
class QPushButton;
class QVBoxLayout;
class RoundedPanel;
class SelectableLabel;
class Pill;
class VolumeManager;

// The detail pane of one application: what it is, where it lives, what needs attention, and
// every single-application action. Transfers go back to the window through the callbacks;
// promotion and proxy creation run here, off the GUI thread, one job per process
// (ProxyJobGuard). Main thread only.
class AppDetailView final : public QScrollArea
{
    Q_OBJECT
public:
    using AppAction = std::function<void(const AppItem &)>;
    using OffloadAction = std::function<void(const AppItem &, bool copyOnly)>;
    using PathAction = std::function<void(const QString &)>;

    // How "Terminate App" watches the application go: it asks every `interval`, at most
    // `attempts` times; the default is every 0.5 s for 10 s.
    struct QuitPolling
    {
        std::chrono::milliseconds interval{500};
        int attempts = 20;
    };

    // Takes ownership of `app`; `volumeManager` is not owned and must outlive the pane.
    // Absent optional callbacks are simply not called; their buttons still show.
    AppDetailView(AppItemBinding *app, VolumeManager *volumeManager, OffloadAction onStartOffload,
                  AppAction onStartRestore, AppAction onResolveDuplicates = {},
                  PathAction onRemoveSingleDuplicate = {},
                  std::function<void()> onProxyCreated = {}, AppAction onUpdateBackup = {},
                  AppAction onReoffloadUpdate = {}, QWidget *parent = nullptr);
    ~AppDetailView() override;

    // What the pane shows now.
    [[nodiscard]] const AppDetailModel &model() const { return m_model; }
    [[nodiscard]] const AppDetailPaneState &paneState() const { return m_state; }
    void setQuitPolling(QuitPolling polling) { m_quitPolling = polling; }

public slots:
    // Reads the item, the drive and the disk again and redraws.
    void refresh();

private:
    enum class ProxyJob { promotion, proxy };

    void build();
    void buildHeader(QVBoxLayout *into);
    void buildBanners(QVBoxLayout *into);
    void buildProxySections(QVBoxLayout *into);
    void buildModeAndNotices(QVBoxLayout *into);
    void buildSupportFolders(QVBoxLayout *into);
    void buildStorage(QVBoxLayout *into);
    void buildActionBar(QVBoxLayout *into);

    void apply();
    void applyHeader();
    void applyBanners();
    void applyProxySections();
    void applyModeAndNotices();
    void applySupportFolders();
    void applyStorage();
    void applyActionBar();
    void scheduleRefresh();

    void runMainAction();
    void setCopyOnly(bool copyOnly);
    QCoro::Task<> runProxyJob(ProxyJob job);
    QCoro::Task<> terminateApp();

    AppItemBinding *m_binding;
    QPointer<VolumeManager> m_volumeManager;
    OffloadAction m_onStartOffload;
    AppAction m_onStartRestore;
    AppAction m_onResolveDuplicates;
    PathAction m_onRemoveSingleDuplicate;
    std::function<void()> m_onProxyCreated;
    AppAction m_onUpdateBackup;
    AppAction m_onReoffloadUpdate;

    AppDetailPaneState m_state;
    AppItem m_app;
    AppDetailModel m_model;
    QuitPolling m_quitPolling;
    bool m_refreshPending = false;

    struct Widgets;
    std::unique_ptr<Widgets> w;
};
