#include "views/kit/RoundedPanel.h"

#include <QPainter>
#include <QVBoxLayout>

RoundedPanel::RoundedPanel(const QColor &background, QWidget *parent, int radius, int padding)
    : QFrame(parent)
    , m_layout(new QVBoxLayout(this))
    , m_background(background)
    , m_radius(radius)
{
    m_layout->setContentsMargins(padding, padding, padding, padding);
    m_layout->setSpacing(8);
}

void RoundedPanel::setBackground(const QColor &background)
{
    m_background = background;
    update();
}

void RoundedPanel::setBorder(const QColor &border)
{
    m_border = border;
    update();
}

void RoundedPanel::paintEvent(QPaintEvent *event)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(m_border.isValid() ? QPen(m_border, 1) : Qt::NoPen);
    painter.setBrush(m_background);
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), m_radius, m_radius);
    QFrame::paintEvent(event);
}
