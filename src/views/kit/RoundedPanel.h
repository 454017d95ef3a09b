#pragma once

#include <QColor>
#include <QFrame>

class QVBoxLayout;

// A box or notice: content padded on all sides on a rounded background (radius 8, padding
// 12 unless told otherwise). Notices pass a tint of their meaning at low opacity.
class RoundedPanel : public QFrame
{
    Q_OBJECT
public:
    explicit RoundedPanel(const QColor &background, QWidget *parent = nullptr, int radius = 8,
                          int padding = 12);

    [[nodiscard]] QVBoxLayout *contentLayout() const { return m_layout; }
    void setBackground(const QColor &background);
    void setBorder(const QColor &border);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QVBoxLayout *m_layout;
    QColor m_background;
    QColor m_border;
    int m_radius;
};
