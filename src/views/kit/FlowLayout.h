#pragma once

#include <QLayout>
#include <QList>

// Lays its items out left to right and wraps onto another line when the width runs out, so
// a row of chips or buttons never hides one past the column's edge.
class FlowLayout : public QLayout
{
public:
    FlowLayout(QWidget *parent, int horizontalSpacing, int verticalSpacing);
    ~FlowLayout() override;

    // Pushes the last item to the right edge of its line, as a trailing button in a bar.
    void setLastItemTrailing(bool trailing);
    // Lets the first item (text that wraps, say) take whatever its line leaves over. The items
    // after it stay on its line while it keeps `minimumWidth` (or its preferred width when
    // that is less); otherwise they move to the next line. 0 switches this off.
    void setFirstItemStretch(int minimumWidth);

    void addItem(QLayoutItem *item) override;
    [[nodiscard]] int count() const override;
    [[nodiscard]] QLayoutItem *itemAt(int index) const override;
    QLayoutItem *takeAt(int index) override;
    [[nodiscard]] Qt::Orientations expandingDirections() const override;
    [[nodiscard]] bool hasHeightForWidth() const override;
    [[nodiscard]] int heightForWidth(int width) const override;
    [[nodiscard]] QSize minimumSize() const override;
    [[nodiscard]] QSize sizeHint() const override;
    void setGeometry(const QRect &rect) override;

private:
    // Places the items within `rect` (when `apply`) and returns the height they need.
    int arrange(const QRect &rect, bool apply) const;

    QList<QLayoutItem *> m_items;
    int m_horizontalSpacing;
    int m_verticalSpacing;
    bool m_lastItemTrailing = false;
    int m_firstItemMinimum = 0;
};
