#include "views/kit/Pill.h"

#include <QPainter>

Pill::Pill(QWidget *parent)
    : QLabel(parent)
{
    setAlignment(Qt::AlignCenter);
}

Pill::Pill(const QString &text, const Style &style, QWidget *parent)
    : Pill(parent)
{
    setText(text);
    setStyle(style);
}

void Pill::setStyle(const Style &style)
{
    m_style = style;
    QFont f = font();
    if (style.pointSize > 0)
        f.setPointSize(style.pointSize);
    f.setBold(style.bold);
    setFont(f);
    setContentsMargins(style.horizontalPadding, style.verticalPadding, style.horizontalPadding,
                       style.verticalPadding);
    QPalette p = palette();
    p.setColor(QPalette::WindowText, style.textColor);
    setPalette(p);
    setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
    update();
}

Pill::Style Pill::tinted(const QColor &color, qreal fillOpacity)
{
    QColor fill = color;
    fill.setAlphaF(float(fillOpacity));
    return Style{color, fill};
}

void Pill::paintEvent(QPaintEvent *event)
{
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(m_style.fillColor);
        painter.drawRoundedRect(QRectF(rect()), m_style.cornerRadius, m_style.cornerRadius);
        // The text in the style's colour, not through the palette: inside the offloaded
        // list's rows the palette's colour did not reach the text, which came out black.
        if (pixmap().isNull() && m_style.textColor.isValid()) {
            painter.setPen(m_style.textColor);
            painter.setFont(font());
            painter.drawText(contentsRect(), int(alignment()), text());
            return;
        }
    }
    QLabel::paintEvent(event);
}
