#include "views/sheets/OffloadedListView.h"

#include "services/AppScanner.h"
#include "transfer/AppProxyHelper.h"
#include "views/inspectors/InspectorWidgets.h"
#include "views/kit/Controls.h"
#include "views/kit/FlowLayout.h"
#include "views/kit/Palette.h"
#include "views/kit/Pill.h"
#include "views/kit/ProxyJobGuard.h"
#include "views/kit/RoundedPanel.h"
#include "views/kit/SelectableLabel.h"
#include "views/kit/Symbols.h"
#include "views/kit/TextStyles.h"
#include "views/sheets/SelectionBinding.h"
#include "volumes/VolumeManager.h"

#include <QApplication>
#include <QCoroFuture>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMouseEvent>
#include <QPushButton>
#include <QStackedWidget>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <QtConcurrent>

using namespace Controls;

namespace {

constexpr int pathRole = Qt::UserRole + 1;

Pill *badge(const QString &text, const QColor &color, qreal opacity, int pointSize)
{
    Pill::Style style = Pill::tinted(color, opacity);
    style.horizontalPadding = 4;
    style.verticalPadding = 1;
    style.cornerRadius = 3;
    style.pointSize = points(pointSize);
    style.bold = true;
    return new Pill(text, style);
}

// The text column: a plain click selects only its row; a click with a modifier goes on to
// the list, which extends or toggles the selection in the platform's way.
class TapArea : public QWidget
{
public:
    explicit TapArea(std::function<void()> onTap, QWidget *parent = nullptr)
        : QWidget(parent)
        , m_onTap(std::move(onTap))
    {}

protected:
    void mousePressEvent(QMouseEvent *event) override
    {
        if (event->button() == Qt::LeftButton && event->modifiers() == Qt::NoModifier) {
            event->accept();
            m_onTap();
            return;
        }
        event->ignore();
    }

private:
    std::function<void()> m_onTap;
};

QToolButton *checkBox(bool selected)
{
    auto *box = new QToolButton;
    box->setObjectName(QStringLiteral("checkBox"));
    box->setAutoRaise(true);
    box->setCheckable(false);
    box->setIconSize(QSize(18, 18));
    box->setStyleSheet(QStringLiteral("QToolButton { border: none; background: transparent; }"));
    box->setIcon(
        Symbols::icon(selected ? QStringLiteral("checkmark.circle.fill") : QStringLiteral("circle"),
                      selected ? accent() : Palette::secondaryText()));
    box->setProperty("selected", selected);
    return box;
}

} // namespace

OffloadedListView::OffloadedListView(AppScanner *appScanner, VolumeManager *volumeManager,
                                     SelectionBinding *selectedAppIds, RestoreHandler onRestore,
                                     BatchRestoreHandler onBatchRestore, QWidget *parent)
    : QWidget(parent)
    , m_scanner(appScanner)
    , m_volumeManager(volumeManager)
    , m_selection(selectedAppIds)
    , m_onRestore(std::move(onRestore))
    , m_onBatchRestore(std::move(onBatchRestore))
    , m_promote(&AppProxyHelper::promoteToRootApplications)
    , m_rebuildTimer(new QTimer(this))
{
    setObjectName(QStringLiteral("offloadedListView"));
    build();
    // A scan publishes many size updates in a row; one redraw per turn of the event loop.
    m_rebuildTimer->setSingleShot(true);
    m_rebuildTimer->setInterval(0);
    connect(m_rebuildTimer, &QTimer::timeout, this, &OffloadedListView::rebuildRows);
    if (appScanner)
        connect(appScanner, &AppScanner::appsChanged, this, &OffloadedListView::scheduleRebuild);
    // Observed only to redraw; nothing of it is read.
    if (volumeManager) {
        connect(volumeManager, &VolumeManager::availableVolumesChanged, this,
                &OffloadedListView::scheduleRebuild);
        connect(volumeManager, &VolumeManager::selectedVolumeChanged, this,
                &OffloadedListView::scheduleRebuild);
    }
    if (selectedAppIds)
        connect(selectedAppIds, &SelectionBinding::changed, this,
                &OffloadedListView::applySelection);
    rebuildRows();
    applyNotice();
}

OffloadedListView::~OffloadedListView() = default;

void OffloadedListView::setPromoteOperation(PromoteOperation promote)
{
    m_promote = std::move(promote);
}

void OffloadedListView::build()
{
    auto *root = new QVBoxLayout(this);
    root->setContentsMargins(20, 20, 20, 20);
    root->setSpacing(16);

    FlowLayout *header = pageHeader(QStringLiteral("Offloaded Applications"), m_countLabel);
    // In a narrow column the buttons wrap under one another instead of widening the column
    // past the window's edge.
    m_headerButtons = new QWidget(this);
    auto *buttons = new FlowLayout(m_headerButtons, 10, 8);
    buttons->setContentsMargins(0, 0, 0, 0);
    m_headerButtons->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    m_selectAll =
        button({}, QStringLiteral("selectAllButton"), ButtonLook::bordered, ControlSize::small);
    m_restoreSelected = button({}, QStringLiteral("restoreSelectedButton"), ButtonLook::prominent,
                               ControlSize::small);
    m_restoreSelected->setIcon(
        Symbols::icon(QStringLiteral("arrow.uturn.backward.circle.fill"), Qt::white));
    m_makeVisible = button({}, QStringLiteral("makeVisibleButton"), ButtonLook::bordered,
                           ControlSize::small, Palette::purple());
    m_makeVisible->setIcon(Symbols::icon(QStringLiteral("sparkles.tv"), Palette::purple()));
    buttons->addWidget(m_selectAll);
    buttons->addWidget(m_restoreSelected);
    buttons->addWidget(m_makeVisible);
    header->addWidget(m_headerButtons);
    root->addWidget(header->parentWidget());

    connect(m_selectAll, &QPushButton::clicked, this,
            [this] { setSelection(m_presenter.selectAllOrNone(selection())); });
    connect(m_restoreSelected, &QPushButton::clicked, this, [this] {
        if (m_onBatchRestore)
            m_onBatchRestore(m_presenter.selectedOffloadedApps(selection()));
    });
    connect(m_makeVisible, &QPushButton::clicked, this, &OffloadedListView::makeVisibleInApps);

    // Notice bar.
    m_noticeBar = new RoundedPanel(Palette::withOpacity(Palette::purple(), 0.12), this, 6, 0);
    m_noticeBar->contentLayout()->setContentsMargins(10, 6, 10, 6);
    auto *notice = new QHBoxLayout;
    notice->addWidget(
        symbol(QStringLiteral("checkmark.circle.fill"), 14, Palette::purple(), m_noticeBar));
    QFont captionBold = TextStyles::caption();
    captionBold.setBold(true);
    m_noticeText = text({}, captionBold, {}, true);
    m_noticeText->setObjectName(QStringLiteral("noticeLabel"));
    notice->addWidget(m_noticeText, 1);
    auto *dismiss = button(QStringLiteral("Dismiss"), QStringLiteral("dismissNoticeButton"),
                           ButtonLook::borderless, ControlSize::small);
    dismiss->setFont(TextStyles::caption());
    connect(dismiss, &QPushButton::clicked, this, [this] {
        m_proxyNotice.reset();
        applyNotice();
    });
    notice->addWidget(dismiss);
    m_noticeBar->contentLayout()->addLayout(notice);
    root->addWidget(m_noticeBar);

    // Selection bar.
    m_selectionBar = new RoundedPanel(Palette::withOpacity(accent(), 0.10), this, 6, 0);
    m_selectionBar->contentLayout()->setContentsMargins(10, 6, 10, 6);
    auto *selectionRow = new QHBoxLayout;
    m_selectionText = text({}, captionBold, accent());
    m_selectionText->setObjectName(QStringLiteral("selectionLabel"));
    selectionRow->addWidget(m_selectionText);
    selectionRow->addStretch();
    auto *clear = button(QStringLiteral("Clear Selection"), QStringLiteral("clearSelectionButton"),
                         ButtonLook::borderless, ControlSize::small);
    clear->setFont(TextStyles::caption());
    connect(clear, &QPushButton::clicked, this, [this] { setSelection({}); });
    selectionRow->addWidget(clear);
    m_selectionBar->contentLayout()->addLayout(selectionRow);
    root->addWidget(m_selectionBar);

    // Body: the empty state or the list.
    m_body = new QStackedWidget(this);
    m_emptyState = new QWidget(m_body);
    auto *empty = new QVBoxLayout(m_emptyState);
    empty->setSpacing(12);
    empty->addStretch();
    auto *drive = new QLabel(m_emptyState);
    drive->setPixmap(Symbols::pixmap(QStringLiteral("externaldrive.badge.checkmark"), 48,
                                     Palette::secondaryText())
                         .scaled(48, 40, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    drive->setAlignment(Qt::AlignCenter);
    empty->addWidget(drive);
    empty->addWidget(text(QStringLiteral("No Offloaded Applications"), TextStyles::headline(), {},
                          false, Qt::AlignCenter));
    addEmptyStateExplanation(
        empty, QStringLiteral("Apps that you offload to an external drive will be listed here with "
                              "their link status and restore controls."));
    empty->addStretch();
    m_body->addWidget(m_emptyState);

    m_list = new QListWidget(m_body);
    m_list->setObjectName(QStringLiteral("offloadedList"));
    m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_list->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    m_list->setSpacing(2);
    // The main list's light selection tint: on the platform's strong highlight the purple
    // kind badge and the blue check mark of a selected row could hardly be read.
    m_list->setStyleSheet(
        QStringLiteral("QListWidget::item { border-radius: 6px; }"
                       "QListWidget::item:selected { background: %1; }"
                       "QListWidget::item:hover:!selected { background: %2; }")
            .arg(Palette::css(Palette::withOpacity(accent(), 0.14)),
                 Palette::css(Palette::withOpacity(Palette::secondaryText(), 0.06))));
    connect(m_list, &QListWidget::itemSelectionChanged, this,
            &OffloadedListView::listSelectionChanged);
    m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_list->viewport()->installEventFilter(this);
    m_body->addWidget(m_list);
    root->addWidget(m_body, 1);
}

QSet<QString> OffloadedListView::selection() const
{
    return m_selection ? m_selection->value() : QSet<QString>();
}

void OffloadedListView::setSelection(const QSet<QString> &selection)
{
    if (m_selection)
        m_selection->setValue(selection); // changed() redraws
}

void OffloadedListView::scheduleRebuild()
{
    m_rebuildTimer->start();
}

void OffloadedListView::rebuildRows()
{
    m_presenter = OffloadedListPresenter(m_scanner ? m_scanner->apps() : QList<AppItem>{});
    const QSet<QString> selected = selection();
    m_syncingList = true;
    m_list->clear();
    for (const OffloadedRow &row : m_presenter.rows()) {
        auto *widget = new QWidget;
        widget->setObjectName(QStringLiteral("offloadedRow:") + row.path);
        auto *layout = new QHBoxLayout(widget);
        // A little tighter than the page, so that a row keeps its size and restore button in
        // the narrowest column.
        layout->setContentsMargins(4, 4, 4, 4);
        layout->setSpacing(10);

        auto *box = checkBox(selected.contains(row.path));
        connect(box, &QToolButton::clicked, this, [this, path = row.path] {
            setSelection(OffloadedListPresenter::toggled(selection(), path));
        });
        layout->addWidget(box);

        auto *icon = new QLabel;
        // The same icon and link badge as the application's row in the main list.
        icon->setPixmap(InspectorWidgets::appIcon(row.path, 32, true, 7, 2, 2));
        layout->addWidget(icon);

        auto *textColumn = new TapArea([this, path = row.path] { setSelection({path}); });
        textColumn->setObjectName(QStringLiteral("textColumn"));
        auto *lines = new QVBoxLayout(textColumn);
        lines->setContentsMargins(0, 0, 0, 0);
        lines->setSpacing(3);
        auto *titleRow = new QHBoxLayout;
        titleRow->setSpacing(6);
        // A long name gives way to the badges: it shortens with "…" while they stay whole, a
        // badge of a few letters saving nothing when shortened.
        auto *name = Pill::line(row.item.name, systemFont(13, QFont::Medium));
        name->setObjectName(QStringLiteral("nameLabel"));
        titleRow->addWidget(name);
        auto *kind = badge(row.kindText, row.kindColor, row.kindOpacity, 8);
        kind->setObjectName(QStringLiteral("kindBadge"));
        titleRow->addWidget(kind);
        if (!row.aliasCountText.isEmpty()) {
            auto *aliases = badge(row.aliasCountText, Palette::orange(), 0.18, 9);
            aliases->setObjectName(QStringLiteral("aliasCountBadge"));
            titleRow->addWidget(aliases);
        }
        titleRow->addStretch();
        lines->addLayout(titleRow);
        if (row.storedOn) {
            auto *stored = new QHBoxLayout;
            stored->setSpacing(4);
            stored->addWidget(symbol(QStringLiteral("externaldrive.fill"), 10, row.driveColor));
            // The caption stays whole; the path gives way.
            stored->addWidget(text(QStringLiteral("Stored on:"), systemFont(10, QFont::Medium),
                                   Palette::secondaryText()));
            auto *target = new SelectableLabel;
            target->setObjectName(QStringLiteral("storedOnLabel"));
            target->setFont(monospacedFont(10));
            setTextColor(target, Palette::secondaryText());
            // One line, shortened in the middle; clicks belong to the row.
            target->setTextInteractionFlags(Qt::NoTextInteraction);
            target->setElideMode(Qt::ElideMiddle);
            target->setFullText(*row.storedOn);
            target->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
            // In the narrowest column the path shortens to a few letters and the caption
            // beside it stays whole.
            target->setMinimumWidth(
                target->fontMetrics().horizontalAdvance(QStringLiteral("/V\u2026p")));
            stored->addWidget(target, 1);
            lines->addLayout(stored);
        }
        layout->addWidget(textColumn, 1);

        auto *trailing = new QVBoxLayout;
        trailing->setSpacing(3);
        auto *size = text(row.sizeText, TextStyles::caption(), {}, false, Qt::AlignRight);
        size->setObjectName(QStringLiteral("sizeLabel"));
        trailing->addWidget(size, 0, Qt::AlignRight);
        auto *restore = button(QStringLiteral("Restore"), QStringLiteral("restoreButton"),
                               ButtonLook::bordered, ControlSize::small);
        connect(restore, &QPushButton::clicked, this, [this, item = row.item] {
            if (m_onRestore)
                m_onRestore(item);
        });
        trailing->addWidget(restore, 0, Qt::AlignRight);
        layout->addLayout(trailing);

        auto *item = new QListWidgetItem(m_list);
        item->setData(pathRole, row.path);
        item->setSizeHint(widget->sizeHint());
        m_list->setItemWidget(item, widget);
    }
    m_syncingList = false;
    fitRows();
    applySelection();
}

bool OffloadedListView::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_list->viewport() && event->type() == QEvent::Resize)
        fitRows();
    return QWidget::eventFilter(watched, event);
}

void OffloadedListView::fitRows()
{
    const int width = m_list->viewport()->width() - 2 * m_list->spacing();
    for (int i = 0; i < m_list->count(); ++i) {
        QListWidgetItem *item = m_list->item(i);
        const QWidget *row = m_list->itemWidget(item);
        const QSize hint(width, row ? row->sizeHint().height() : item->sizeHint().height());
        if (item->sizeHint() != hint)
            item->setSizeHint(hint);
    }
}

void OffloadedListView::applySelection()
{
    const QSet<QString> selected = selection();
    const OffloadedHeader header = m_presenter.header(selected);
    m_countLabel->setText(header.countText);
    m_headerButtons->setVisible(header.showsButtons);
    setButtonText(m_selectAll, header.selectAllText);
    setButtonText(m_restoreSelected, header.restoreSelectedText);
    m_restoreSelected->setEnabled(header.restoreSelectedEnabled);
    setButtonText(m_makeVisible, header.makeVisibleText);
    m_makeVisible->setEnabled(!m_isProcessingProxies);
    m_selectionBar->setVisible(header.showsSelectionBar);
    m_selectionText->setText(header.selectionText);
    m_body->setCurrentWidget(header.showsEmptyState ? m_emptyState : m_list);

    m_syncingList = true;
    for (int i = 0; i < m_list->count(); ++i) {
        QListWidgetItem *item = m_list->item(i);
        const bool isSelected = selected.contains(item->data(pathRole).toString());
        item->setSelected(isSelected);
        if (auto *row = m_list->itemWidget(item)) {
            auto *box = row->findChild<QToolButton *>(QStringLiteral("checkBox"));
            if (box && box->property("selected").toBool() != isSelected) {
                box->setIcon(Symbols::icon(isSelected ? QStringLiteral("checkmark.circle.fill")
                                                      : QStringLiteral("circle"),
                                           isSelected ? accent() : Palette::secondaryText()));
                box->setProperty("selected", isSelected);
            }
        }
    }
    m_syncingList = false;
}

void OffloadedListView::listSelectionChanged()
{
    if (m_syncingList)
        return;
    QSet<QString> listed;
    QSet<QString> chosen;
    for (int i = 0; i < m_list->count(); ++i) {
        const QListWidgetItem *item = m_list->item(i);
        const QString path = item->data(pathRole).toString();
        listed.insert(path);
        if (item->isSelected())
            chosen.insert(path);
    }
    // A plain click chooses anew; with a modifier the paths chosen elsewhere stay.
    if (QApplication::keyboardModifiers() &
        (Qt::ControlModifier | Qt::ShiftModifier | Qt::MetaModifier)) {
        QSet<QString> kept = selection();
        kept.subtract(listed);
        chosen.unite(kept);
    }
    setSelection(chosen);
}

void OffloadedListView::applyNotice()
{
    m_noticeBar->setVisible(m_proxyNotice.has_value());
    m_noticeText->setText(m_proxyNotice.value_or(QString()));
    m_makeVisible->setEnabled(!m_isProcessingProxies);
}

void OffloadedListView::makeVisibleInApps()
{
    QList<AppItem> targets = m_presenter.makeVisibleTargets(selection());
    if (targets.isEmpty())
        return;
    runMakeVisible(std::move(targets));
}

QCoro::Task<> OffloadedListView::runMakeVisible(QList<AppItem> targets)
{
    // One App Proxy job at a time in the whole program; held until this run has finished.
    std::optional<ProxyJobGuard::Lease> lease = ProxyJobGuard::shared().tryAcquire();
    if (!lease) {
        m_proxyNotice = ProxyJobGuard::refusalNotice();
        applyNotice();
        co_return;
    }
    m_isProcessingProxies = true;
    m_proxyNotice.reset();
    applyNotice();

    const QPointer<OffloadedListView> self(this);
    const PromoteOperation promote = m_promote;
    // A named future: temporaries inside a co_await expression are not safe with every
    // compiler.
    const QFuture<ProxyRunOutcome> run = QtConcurrent::run([targets, promote] {
        return OffloadedListPresenter::promoteAll(targets,
                                                  [&promote](const AppItem &app) { promote(app); });
    });
    const ProxyRunOutcome outcome = co_await run;
    lease.reset();
    if (!self)
        co_return;
    m_isProcessingProxies = false;
    m_proxyNotice = OffloadedListPresenter::notice(outcome);
    applyNotice();
    emit proxyRunFinished();
    // The rescan runs on its own; the notice does not wait for it.
    if (m_scanner)
        m_scanner->scanAsync();
}
