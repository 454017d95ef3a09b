#include "views/main/DetailColumn.h"

#include "services/AppScanner.h"
#include "views/inspectors/AppDetailView.h"
#include "views/inspectors/AppItemBinding.h"
#include "views/inspectors/BatchInspectorView.h"
#include "views/kit/Controls.h"
#include "views/kit/Palette.h"
#include "views/kit/RoundedPanel.h"
#include "views/kit/TextStyles.h"
#include "views/main/ContentModel.h"
#include "volumes/VolumeManager.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

using namespace Controls;

namespace {

QFont bold(QFont font)
{
    font.setBold(true);
    return font;
}

RoundedPanel *tile(const QColor &color, QLabel *figure, QLabel *caption, QWidget *parent)
{
    auto *panel = new RoundedPanel(Palette::withOpacity(color, 0.08), parent, 10, 14);
    panel->setMinimumWidth(160);
    panel->contentLayout()->setSpacing(4);
    panel->contentLayout()->addWidget(figure, 0, Qt::AlignHCenter);
    panel->contentLayout()->addWidget(caption, 0, Qt::AlignHCenter);
    return panel;
}

} // namespace

// --- StorageOverviewView ---

StorageOverviewView::StorageOverviewView(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("storageOverview"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->setSpacing(20);
    layout->addStretch(1);
    layout->addWidget(
        symbol(QStringLiteral("externaldrive.connected.to.line.below"), 44, accent(), this), 0,
        Qt::AlignHCenter);
    layout->addWidget(text(tr("Storage Overview"), bold(TextStyles::title2()), {}, false,
                           Qt::AlignLeft | Qt::AlignVCenter, this),
                      0, Qt::AlignHCenter);

    QFont figure = bold(TextStyles::title3());
    m_localFigure =
        text({}, figure, Palette::blue(), false, Qt::AlignLeft | Qt::AlignVCenter, this);
    m_localFigure->setObjectName(QStringLiteral("localFigure"));
    m_localCaption = text({}, TextStyles::caption(), Palette::secondaryText(), false,
                          Qt::AlignLeft | Qt::AlignVCenter, this);
    m_localCaption->setObjectName(QStringLiteral("localCaption"));
    m_offloadedFigure =
        text({}, figure, Palette::green(), false, Qt::AlignLeft | Qt::AlignVCenter, this);
    m_offloadedFigure->setObjectName(QStringLiteral("offloadedFigure"));
    m_offloadedCaption = text({}, TextStyles::caption(), Palette::secondaryText(), false,
                              Qt::AlignLeft | Qt::AlignVCenter, this);
    m_offloadedCaption->setObjectName(QStringLiteral("offloadedCaption"));
    m_tiles = new QBoxLayout(QBoxLayout::LeftToRight);
    m_tiles->setSpacing(16);
    m_tiles->addStretch(1);
    m_localTile = tile(Palette::blue(), m_localFigure, m_localCaption, this);
    m_localTile->setObjectName(QStringLiteral("localTile"));
    m_tiles->addWidget(m_localTile, 0, Qt::AlignCenter);
    m_offloadedTile = tile(Palette::green(), m_offloadedFigure, m_offloadedCaption, this);
    m_offloadedTile->setObjectName(QStringLiteral("offloadedTile"));
    m_tiles->addWidget(m_offloadedTile, 0, Qt::AlignCenter);
    m_tiles->addStretch(1);
    layout->addLayout(m_tiles);

    auto *target = new QHBoxLayout;
    target->setSpacing(5);
    target->addStretch(1);
    m_targetSymbol = new QLabel(this);
    target->addWidget(m_targetSymbol, 0, Qt::AlignVCenter);
    // A long drive name wraps the line rather than cutting it at the column's edge.
    m_targetText =
        text({}, TextStyles::caption(), {}, true, Qt::AlignLeft | Qt::AlignVCenter, this);
    m_targetText->setObjectName(QStringLiteral("targetLine"));
    target->addWidget(m_targetText, 0, Qt::AlignVCenter);
    target->addStretch(1);
    layout->addLayout(target);

    QLabel *hint = text(tr("Select an app on the left to inspect its bundle and support folders, "
                           "or use the checkboxes for batch actions."),
                        TextStyles::caption(), Palette::secondaryText(), false,
                        Qt::AlignLeft | Qt::AlignVCenter, this);
    hint->setWordWrap(true);
    hint->setAlignment(Qt::AlignCenter);
    hint->setMaximumWidth(340);
    // Centred by stretches rather than by alignment, so that the wrapped lines get their
    // height for the width they have.
    auto *hintRow = new QHBoxLayout;
    hintRow->addStretch(0);
    hintRow->addWidget(hint, 1);
    hintRow->addStretch(0);
    layout->addLayout(hintRow);
    layout->addStretch(1);
}

void StorageOverviewView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    arrangeTiles();
}

void StorageOverviewView::arrangeTiles()
{
    const QMargins margins = layout()->contentsMargins();
    const auto tileWidth = [](const QWidget *tile) {
        return std::max(tile->sizeHint().width(), tile->minimumWidth());
    };
    const int needed = tileWidth(m_localTile) + m_tiles->spacing() + tileWidth(m_offloadedTile) +
                       margins.left() + margins.right();
    const auto direction = width() >= needed ? QBoxLayout::LeftToRight : QBoxLayout::TopToBottom;
    if (m_tiles->direction() != direction)
        m_tiles->setDirection(direction);
    // One line where it fits; a long drive name wraps it rather than cutting it.
    const int lineWidth = m_targetSymbol->width() + 5 +
                          m_targetText->fontMetrics().horizontalAdvance(m_targetText->text());
    m_targetText->setWordWrap(lineWidth > width() - margins.left() - margins.right());
}

void StorageOverviewView::apply(const StorageOverviewModel &overview)
{
    m_localFigure->setText(overview.localFigure);
    m_localCaption->setText(overview.localCaption);
    m_offloadedFigure->setText(overview.offloadedFigure);
    m_offloadedCaption->setText(overview.offloadedCaption);
    const QColor color = overview.hasTarget ? Palette::secondaryText() : Palette::orange();
    m_targetText->setText(overview.targetText);
    setTextColor(m_targetText, color);
    arrangeTiles();
    if (overview.targetSymbol != m_shownTargetSymbol) {
        m_shownTargetSymbol = overview.targetSymbol;
        setSymbol(m_targetSymbol, overview.targetSymbol, 13, color);
    }
}

// --- DetailColumn ---

DetailColumn::DetailColumn(ContentModel &model, QWidget *parent)
    : QStackedWidget(parent)
    , m_model(model)
{
    setObjectName(QStringLiteral("detailColumn"));
    // What is left of the smallest window beside the sidebar and the list column at their
    // minimum widths: the detail pane gets it all, so its controls keep their whole texts.
    setMinimumWidth(minimumColumnWidth);
    m_placeholder = text(DetailColumnPresenter::historyPlaceholderText, TextStyles::body(),
                         Palette::secondaryText(), false, Qt::AlignLeft | Qt::AlignVCenter, this);
    m_placeholder->setObjectName(QStringLiteral("historyPlaceholder"));
    m_placeholder->setAlignment(Qt::AlignCenter);
    addWidget(m_placeholder);
    m_overview = new StorageOverviewView(this);
    addWidget(m_overview);

    // The batch inspector holds values, so it is rebuilt when they change.
    const auto stale = [this] {
        m_batchStale = true;
        m_overviewStale = true;
    };
    connect(&model.appScanner(), &AppScanner::appsChanged, this, stale);
    connect(&model.volumeManager(), &VolumeManager::selectedVolumeChanged, this, stale);
    refresh();
}

AppDetailView *DetailColumn::detailView() const
{
    return m_detail;
}

BatchInspectorView *DetailColumn::batchInspector() const
{
    return m_batch;
}

void DetailColumn::refresh()
{
    const QList<AppItem> &apps = m_model.appScanner().apps();
    m_content =
        DetailColumnPresenter::choose(m_model.selectedSection(), m_model.selectedAppIds(), apps);
    if (m_content != DetailContent::appDetail)
        dropDetail();
    if (m_content != DetailContent::batchInspector)
        dropBatch();
    switch (m_content) {
    case DetailContent::historyPlaceholder:
        setCurrentWidget(m_placeholder);
        break;
    case DetailContent::storageOverview:
        if (m_overviewStale) {
            m_overview->apply(DetailColumnPresenter::storageOverview(
                apps, m_model.volumeManager().selectedVolume()));
            m_overviewStale = false;
        }
        setCurrentWidget(m_overview);
        break;
    case DetailContent::appDetail:
        showDetail(*m_model.selectedAppIds().cbegin());
        break;
    case DetailContent::batchInspector:
        showBatch();
        break;
    }
}

void DetailColumn::showDetail(const QString &appId)
{
    if (m_detail && m_detailId == appId) {
        setCurrentWidget(m_detail);
        return;
    }
    dropDetail();
    ContentModel &model = m_model;
    m_detailId = appId;
    m_detail = new AppDetailView(
        new ScannerAppItemBinding(&model.appScanner(), appId), &model.volumeManager(),
        [&model](const AppItem &app, bool copyOnly) { model.offloadSingleApp(app, copyOnly); },
        [&model](const AppItem &app) { model.restoreSingleApp(app); },
        [&model](const AppItem &app) { model.resolveDuplicates(app); },
        [&model](const QString &path) { model.removeSingleDuplicate(path); },
        [&model] { model.rescanAfterProxy(); },
        [&model](const AppItem &app) {
            model.startAppMaintenance(app, MaintenanceOperation::backupUpdate);
        },
        [&model](const AppItem &app) {
            model.startAppMaintenance(app, MaintenanceOperation::reoffload);
        },
        this);
    addWidget(m_detail);
    setCurrentWidget(m_detail);
}

void DetailColumn::showBatch()
{
    if (m_batch && !m_batchStale && m_batchIds == m_model.selectedAppIds()) {
        setCurrentWidget(m_batch);
        return;
    }
    dropBatch();
    ContentModel &model = m_model;
    m_batchIds = model.selectedAppIds();
    m_batchStale = false;
    m_batch = new BatchInspectorView(
        model.selectedApps(), model.volumeManager().selectedVolume(),
        [&model](bool copyOnly) { model.offloadAppsBatch(model.selectedApps(), copyOnly); },
        [&model] { model.restoreAppsBatch(model.selectedApps()); },
        [&model] { model.cleanSelectedDuplicates(); },
        [&model](const QList<AppItem> &apps) { model.makeAppsVisible(apps); },
        [&model](const QList<AppItem> &apps) { model.promoteAppsToRoot(apps); }, this);
    addWidget(m_batch);
    setCurrentWidget(m_batch);
}

void DetailColumn::dropDetail()
{
    if (!m_detail)
        return;
    removeWidget(m_detail);
    // Later: a callback of the pane may be what led here.
    m_detail->deleteLater();
    m_detail = nullptr;
    m_detailId.clear();
}

void DetailColumn::dropBatch()
{
    if (!m_batch)
        return;
    removeWidget(m_batch);
    m_batch->deleteLater();
    m_batch = nullptr;
    m_batchIds.clear();
}
