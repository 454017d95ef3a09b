#include "views/main/AppListView.h"

#include "views/inspectors/AppRowView.h"
#include "views/kit/Palette.h"

#include <QContextMenuEvent>
#include <QHelpEvent>
#include <QLayout>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QToolButton>
#include <QToolTip>

namespace {

constexpr int rowInsetX = 4;
constexpr int rowInsetY = 1;
constexpr int contentPaddingX = 10;
constexpr int selectionRadius = 6;

QList<QString> idsOf(const QList<AppItem> &apps)
{
    QList<QString> ids;
    ids.reserve(apps.size());
    for (const AppItem &app : apps)
        ids.append(app.id());
    return ids;
}

} // namespace

// --- AppListModel ---

void AppListModel::setApps(const QList<AppItem> &apps)
{
    if (apps.size() != m_apps.size()) {
        beginResetModel();
        m_apps = apps;
        endResetModel();
        return;
    }
    if (idsOf(apps) == idsOf(m_apps)) {
        m_apps = apps;
        if (!m_apps.isEmpty())
            emit dataChanged(index(0), index(int(m_apps.size()) - 1));
        return;
    }
    emit layoutAboutToBeChanged();
    m_apps = apps;
    emit layoutChanged();
}

void AppListModel::setSelectedIds(const QSet<QString> &ids)
{
    if (ids == m_selectedIds)
        return;
    m_selectedIds = ids;
    if (!m_apps.isEmpty())
        emit dataChanged(index(0), index(int(m_apps.size()) - 1), {SelectedRole});
}

bool AppListModel::isSelected(int row) const
{
    return m_selectedIds.contains(m_apps.at(row).id());
}

int AppListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_apps.size());
}

QVariant AppListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_apps.size())
        return {};
    const AppItem &app = m_apps.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
        return app.name;
    case Qt::ToolTipRole:
    case PathRole:
        return app.id();
    case SelectedRole:
        return isSelected(index.row());
    default:
        return {};
    }
}

// --- AppRowDelegate ---

AppRowDelegate::AppRowDelegate(QObject *parent)
    : QStyledItemDelegate(parent)
    // The row widget gets a toggle so that it draws its selection control.
    , m_stamp(std::make_unique<AppRowView>(AppItem{}, false, [] {}))
{
    // Laid out like a shown widget, but never on screen, and never keeping the program
    // running once the last real window has closed.
    m_stamp->setAttribute(Qt::WA_DontShowOnScreen);
    m_stamp->setAttribute(Qt::WA_QuitOnClose, false);
    m_stamp->show();
    // The tallest row: badges, a detail line and a support-folder count.
    AppItem tallest{QUrl::fromLocalFile(QStringLiteral("/Applications/Sample.app")),
                    QStringLiteral("Sample")};
    tallest.duplicateAliasPaths = {QStringLiteral("/Applications/Sample 2.app")};
    tallest.supportFolders = {SupportFolder{}};
    tallest.isRunning = true;
    m_stamp->setApp(tallest, false);
    m_rowHeight = m_stamp->sizeHint().height() + 2 * rowInsetY;
}

AppRowDelegate::~AppRowDelegate() = default;

QRect AppRowDelegate::contentRect(const QRect &rowRect)
{
    return rowRect.adjusted(rowInsetX + contentPaddingX, rowInsetY, -(rowInsetX + contentPaddingX),
                            -rowInsetY);
}

AppRowView &AppRowDelegate::stamp(const AppItem &app, bool selected, const QSize &size) const
{
    m_stamp->setApp(app, selected);
    m_stamp->resize(size);
    m_stamp->layout()->activate();
    return *m_stamp;
}

void AppRowDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                           const QModelIndex &index) const
{
    const auto *model = qobject_cast<const AppListModel *>(index.model());
    if (!model)
        return;
    const bool selected = model->isSelected(index.row());
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    const QRectF background = option.rect.adjusted(rowInsetX, rowInsetY, -rowInsetX, -rowInsetY);
    if (selected) {
        painter->setPen(Qt::NoPen);
        painter->setBrush(Palette::withOpacity(Palette::blue(), 0.14));
        painter->drawRoundedRect(background, selectionRadius, selectionRadius);
    } else if (option.state & QStyle::State_MouseOver) {
        painter->setPen(Qt::NoPen);
        painter->setBrush(Palette::withOpacity(Palette::secondaryText(), 0.06));
        painter->drawRoundedRect(background, selectionRadius, selectionRadius);
    }
    const QRect content = contentRect(option.rect);
    AppRowView &row = stamp(model->appAt(index.row()), selected, content.size());
    painter->translate(content.topLeft());
    row.render(painter, QPoint(), QRegion(), QWidget::DrawChildren);
    painter->restore();
}

QSize AppRowDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &) const
{
    return QSize(option.rect.width(), m_rowHeight);
}

bool AppRowDelegate::helpEvent(QHelpEvent *event, QAbstractItemView *view,
                               const QStyleOptionViewItem &option, const QModelIndex &index)
{
    const auto *model = qobject_cast<const AppListModel *>(index.model());
    if (event->type() == QEvent::ToolTip && model && view) {
        const QRect content = contentRect(option.rect);
        const AppRowView &row =
            stamp(model->appAt(index.row()), model->isSelected(index.row()), content.size());
        if (const std::optional<QString> whole =
                row.shortenedTextAt(event->pos() - content.topLeft())) {
            QToolTip::showText(event->globalPos(), *whole, view->viewport(), option.rect);
            return true;
        }
    }
    return QStyledItemDelegate::helpEvent(event, view, option, index);
}

QRect AppRowDelegate::selectionControlRect(const AppItem &app, bool selected,
                                           const QRect &rowRect) const
{
    const QRect content = contentRect(rowRect);
    AppRowView &row = stamp(app, selected, content.size());
    const auto *control = row.findChild<QToolButton *>(QStringLiteral("selectionButton"));
    if (!control || control->isHidden())
        return {};
    // A little slack around the small control, as a finger-friendly hit area.
    return control->geometry().translated(content.topLeft()).adjusted(-4, -4, 4, 4);
}

QMenu *AppRowDelegate::contextMenu(const AppItem &app, QWidget *parent) const
{
    m_stamp->setApp(app, false);
    return m_stamp->createContextMenu(parent);
}

// --- AppListView ---

AppListView::AppListView(QWidget *parent)
    : QListView(parent)
    , m_model(new AppListModel(this))
    , m_delegate(new AppRowDelegate(this))
{
    setObjectName(QStringLiteral("appList"));
    setModel(m_model);
    setItemDelegate(m_delegate);
    setUniformItemSizes(true);
    setSelectionMode(QAbstractItemView::NoSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFrameShape(QFrame::NoFrame);
    setMouseTracking(true);
    setSpacing(0);
    viewport()->setAutoFillBackground(false);
}

void AppListView::mousePressEvent(QMouseEvent *event)
{
    const QModelIndex index = indexAt(event->position().toPoint());
    if (event->button() != Qt::LeftButton || !index.isValid()) {
        QListView::mousePressEvent(event);
        return;
    }
    event->accept();
    const AppItem app = m_model->appAt(index.row());
    const QRect control =
        m_delegate->selectionControlRect(app, m_model->isSelected(index.row()), visualRect(index));
    if (control.contains(event->position().toPoint()))
        emit selectionToggled(app);
    else
        // Qt reports the Mac's command key as the control modifier.
        emit rowTapped(app, event->modifiers().testFlag(Qt::ControlModifier));
}

void AppListView::mouseDoubleClickEvent(QMouseEvent *event)
{
    // The second click of a quick pair is one more tap, so a fast command-click pair
    // toggles twice.
    mousePressEvent(event);
}

void AppListView::contextMenuEvent(QContextMenuEvent *event)
{
    const QModelIndex index = indexAt(event->pos());
    if (!index.isValid())
        return;
    QMenu *menu = m_delegate->contextMenu(m_model->appAt(index.row()), this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}
