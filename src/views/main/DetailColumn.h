#pragma once

#include "views/main/DetailColumnPresenter.h"

#include <QPointer>
#include <QStackedWidget>

class AppDetailView;
class BatchInspectorView;
class ContentModel;
class QBoxLayout;
class QLabel;

// The storage overview: what the Mac could free, what already lives on drives, and the
// target. Object names: "localFigure", "localCaption", "offloadedFigure",
// "offloadedCaption", "targetLine".
class StorageOverviewView final : public QWidget
{
    Q_OBJECT
public:
    explicit StorageOverviewView(QWidget *parent = nullptr);

    void apply(const StorageOverviewModel &overview);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    // Side by side while the column holds both tiles, one above the other otherwise.
    void arrangeTiles();

    QBoxLayout *m_tiles = nullptr;
    QWidget *m_localTile = nullptr;
    QWidget *m_offloadedTile = nullptr;
    QLabel *m_localFigure = nullptr;
    QLabel *m_localCaption = nullptr;
    QLabel *m_offloadedFigure = nullptr;
    QLabel *m_offloadedCaption = nullptr;
    QLabel *m_targetSymbol = nullptr;
    QLabel *m_targetText = nullptr;
    QString m_shownTargetSymbol;
};

// The window's third column: the history placeholder, the storage overview, the detail pane
// of the one selected application, or the batch inspector of several, wired to the model's
// launchers. A pane stays while the same application is selected; the batch inspector is
// built again whenever the selection, the inventory or the target changes.
class DetailColumn final : public QStackedWidget
{
    Q_OBJECT
public:
    static constexpr int minimumColumnWidth = 378;

    explicit DetailColumn(ContentModel &model, QWidget *parent = nullptr);

    void refresh();

    [[nodiscard]] DetailContent content() const { return m_content; }
    // The pane or the inspector while it is shown.
    [[nodiscard]] AppDetailView *detailView() const;
    [[nodiscard]] BatchInspectorView *batchInspector() const;

private:
    void showDetail(const QString &appId);
    void showBatch();
    void dropDetail();
    void dropBatch();

    ContentModel &m_model;
    DetailContent m_content = DetailContent::storageOverview;
    QLabel *m_placeholder = nullptr;
    StorageOverviewView *m_overview = nullptr;
    QPointer<AppDetailView> m_detail;
    QString m_detailId;
    QPointer<BatchInspectorView> m_batch;
    QSet<QString> m_batchIds;
    bool m_batchStale = true;
    // The overview reads every bundle; it is worked out again only when its inputs change.
    bool m_overviewStale = true;
};
