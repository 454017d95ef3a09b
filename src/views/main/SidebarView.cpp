#include "views/main/SidebarView.h"

#include "views/kit/Controls.h"
#include "views/kit/Palette.h"
#include "views/kit/Pill.h"
#include "views/kit/Symbols.h"
#include "views/kit/TextStyles.h"
#include "views/main/ContentModel.h"

#include <QHBoxLayout>
#include <QLabel>

using namespace Controls;

namespace {

// The list's own padding left and right of its rows (its style sheet).
constexpr int sidebarPadding = 4;

} // namespace

SidebarView::SidebarView(ContentModel &model, QWidget *parent)
    : QListWidget(parent)
    , m_model(model)
{
    setObjectName(QStringLiteral("sidebar"));
    setMinimumWidth(200);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSpacing(1);
    // The sidebar's own tone, a shade off the window's.
    QPalette tone = palette();
    tone.setColor(QPalette::Base, tone.color(QPalette::Window));
    setPalette(tone);
    setStyleSheet(QStringLiteral("QListWidget { padding: 8px %1px; }"
                                 "QListWidget::item { border-radius: 6px; }"
                                 "QListWidget::item:selected { background: %2; }")
                      .arg(sidebarPadding)
                      .arg(Palette::css(Palette::withOpacity(accent(), 0.18))));

    const QList<SidebarRow> rows = SidebarPresenter::rows([](NavigationSection) { return 0; });
    for (const SidebarRow &sectionRow : rows) {
        auto *item = new QListWidgetItem(this);
        item->setData(Qt::UserRole, int(sectionRow.section));
        item->setData(Qt::AccessibleTextRole, sectionRow.title);
        auto *widget = new QWidget(this);
        widget->setObjectName(QStringLiteral("sidebarRow:") + sectionRow.title);
        auto *layout = new QHBoxLayout(widget);
        // Compact, so the sidebar narrows to its minimum width in a small window.
        layout->setContentsMargins(4, 5, 4, 5);
        layout->setSpacing(5);
        layout->addWidget(symbol(sectionRow.symbol, 16, accent(), widget), 0, Qt::AlignVCenter);
        QLabel *title = text(sectionRow.title, TextStyles::body(), {}, false,
                             Qt::AlignLeft | Qt::AlignVCenter, widget);
        title->setObjectName(QStringLiteral("sectionTitle"));
        layout->addWidget(title, 0, Qt::AlignVCenter);
        layout->addStretch(1);
        auto *badge = new Pill(widget);
        badge->setObjectName(QStringLiteral("sectionBadge"));
        badge->setFont(systemFont(10, QFont::Bold));
        layout->addWidget(badge, 0, Qt::AlignVCenter);
        item->setSizeHint(widget->sizeHint());
        setItemWidget(item, widget);
        // Differs from every real badge, so the first refresh draws each one.
        m_rows.append({widget, badge, SectionBadge{SectionBadge::Look::plain, {}, {}, 0}});
    }

    connect(this, &QListWidget::currentRowChanged, this, [this](int row) {
        if (m_syncing || row < 0)
            return;
        m_model.setSelectedSection(allCases<NavigationSection>().at(row));
    });
    refresh();
}

void SidebarView::applyBadge(Row &row, const SectionBadge &badge)
{
    if (badge == row.shown)
        return;
    row.shown = badge;
    row.badge->setVisible(badge.look != SectionBadge::Look::hidden);
    row.badge->setText(badge.text);
    if (badge.look == SectionBadge::Look::pill)
        row.badge->setStyle(Pill::Style{
            badge.color, Palette::withOpacity(badge.color, badge.fillOpacity), 6, 1, 8, 0, true});
    else
        row.badge->setStyle(
            Pill::Style{Palette::secondaryText(), Qt::transparent, 6, 1, 8, 0, true});
}

void SidebarView::refresh()
{
    const QList<SidebarRow> rows =
        SidebarPresenter::rows([this](NavigationSection s) { return m_model.sectionCount(s); });
    for (int i = 0; i < rows.size(); ++i)
        applyBadge(m_rows[i], rows[i].badge);
    // Wide enough for every row with its count, so no pill is cut off at the edge.
    int widest = 0;
    for (const Row &row : std::as_const(m_rows))
        widest = std::max(widest, row.widget->sizeHint().width());
    const QMargins padding = contentsMargins();
    setMinimumWidth(std::max(200, widest + padding.left() + padding.right() + 2 * frameWidth() +
                                      2 * sidebarPadding));
    fitRows();
    selectCurrentSection();
}

void SidebarView::resizeEvent(QResizeEvent *event)
{
    QListWidget::resizeEvent(event);
    fitRows();
}

void SidebarView::fitRows()
{
    const int width = viewport()->width() - 2 * spacing();
    for (int i = 0; i < count() && i < m_rows.size(); ++i) {
        const QSize hint(width, m_rows.at(i).widget->sizeHint().height());
        if (item(i)->sizeHint() != hint)
            item(i)->setSizeHint(hint);
    }
}

void SidebarView::selectCurrentSection()
{
    const std::optional<NavigationSection> section = m_model.selectedSection();
    const int row = section ? int(allCases<NavigationSection>().indexOf(*section)) : -1;
    if (row == currentRow() && (row < 0 || item(row)->isSelected()))
        return;
    m_syncing = true;
    if (row < 0)
        clearSelection();
    setCurrentRow(row);
    m_syncing = false;
}

const SectionBadge &SidebarView::badge(NavigationSection section) const
{
    return m_rows.at(allCases<NavigationSection>().indexOf(section)).shown;
}
