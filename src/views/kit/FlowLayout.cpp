#include "views/kit/FlowLayout.h"

#include <QWidget>

#include <algorithm>

FlowLayout::FlowLayout(QWidget *parent, int horizontalSpacing, int verticalSpacing)
    : QLayout(parent)
    , m_horizontalSpacing(horizontalSpacing)
    , m_verticalSpacing(verticalSpacing)
{}

FlowLayout::~FlowLayout()
{
    while (QLayoutItem *item = takeAt(0))
        delete item;
}

void FlowLayout::setLastItemTrailing(bool trailing)
{
    m_lastItemTrailing = trailing;
    invalidate();
}

void FlowLayout::setFirstItemStretch(int minimumWidth)
{
    m_firstItemMinimum = minimumWidth;
    invalidate();
}

void FlowLayout::addItem(QLayoutItem *item)
{
    m_items.append(item);
}

int FlowLayout::count() const
{
    return int(m_items.size());
}

QLayoutItem *FlowLayout::itemAt(int index) const
{
    return m_items.value(index);
}

QLayoutItem *FlowLayout::takeAt(int index)
{
    if (index < 0 || index >= m_items.size())
        return nullptr;
    return m_items.takeAt(index);
}

Qt::Orientations FlowLayout::expandingDirections() const
{
    return {};
}

bool FlowLayout::hasHeightForWidth() const
{
    return true;
}

int FlowLayout::heightForWidth(int width) const
{
    return arrange(QRect(0, 0, width, 0), false);
}

QSize FlowLayout::minimumSize() const
{
    // The widest item alone on a line.
    QSize size;
    for (const QLayoutItem *item : m_items)
        size = size.expandedTo(item->minimumSize());
    const QMargins m = contentsMargins();
    return size + QSize(m.left() + m.right(), m.top() + m.bottom());
}

QSize FlowLayout::sizeHint() const
{
    // Everything on one line.
    int width = 0;
    int height = 0;
    for (const QLayoutItem *item : m_items) {
        if (item->isEmpty())
            continue;
        const QSize hint = item->sizeHint();
        width += (width > 0 ? m_horizontalSpacing : 0) + hint.width();
        height = std::max(height, hint.height());
    }
    const QMargins m = contentsMargins();
    return {width + m.left() + m.right(), height + m.top() + m.bottom()};
}

void FlowLayout::setGeometry(const QRect &rect)
{
    QLayout::setGeometry(rect);
    arrange(rect, true);
}

int FlowLayout::arrange(const QRect &rect, bool apply) const
{
    const QRect area = rect.marginsRemoved(contentsMargins());
    QLayoutItem *first = nullptr;
    QLayoutItem *last = nullptr;
    for (QLayoutItem *item : m_items) {
        if (item->isEmpty())
            continue;
        if (!first)
            first = item;
        last = item;
    }
    const bool stretchFirst = m_firstItemMinimum > 0;
    struct Placed
    {
        QLayoutItem *item;
        int width;
    };
    QList<Placed> line;
    int lineWidth = 0;
    int y = area.y();
    // The first item takes what its line leaves over, or else the last item moves to the
    // right edge; every item stands centred in the line's height.
    const auto finishLine = [&] {
        if (line.isEmpty())
            return;
        const int extra = std::max(0, area.width() - lineWidth);
        if (stretchFirst && line.first().item == first)
            line.first().width += extra;
        QList<int> heights;
        int lineHeight = 0;
        for (const Placed &placed : std::as_const(line)) {
            const int height = placed.item->hasHeightForWidth()
                                   ? placed.item->heightForWidth(placed.width)
                                   : placed.item->sizeHint().height();
            heights.append(height);
            lineHeight = std::max(lineHeight, height);
        }
        if (apply) {
            int x = area.x();
            for (qsizetype i = 0; i < line.size(); ++i) {
                const Placed &placed = line.at(i);
                if (placed.item == last && m_lastItemTrailing)
                    x = std::max(x, area.right() + 1 - placed.width);
                placed.item->setGeometry(
                    QRect(x, y + (lineHeight - heights.at(i)) / 2, placed.width, heights.at(i)));
                x += placed.width + m_horizontalSpacing;
            }
        }
        y += lineHeight + m_verticalSpacing;
        line.clear();
        lineWidth = 0;
    };
    for (QLayoutItem *item : m_items) {
        if (item->isEmpty())
            continue;
        int width = item->sizeHint().width();
        if (stretchFirst && item == first)
            width = std::min(width, m_firstItemMinimum);
        // An item wider than the whole line gets the line, as far as it can shrink.
        if (width > area.width())
            width = std::max(item->minimumSize().width(), area.width());
        if (!line.isEmpty() && lineWidth + m_horizontalSpacing + width > area.width())
            finishLine();
        lineWidth += (line.isEmpty() ? 0 : m_horizontalSpacing) + width;
        line.append({item, width});
    }
    finishLine();
    const int used = y > area.y() ? y - m_verticalSpacing : y;
    return used - rect.y() + contentsMargins().bottom();
}
