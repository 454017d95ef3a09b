#include "views/kit/Pill.h"

#include <QPainter>

namespace {

constexpr int leadGap = 4;
const QString ellipsis = QStringLiteral("\u2026");

} // namespace

Pill::Pill(QWidget *parent)
    : QLabel(parent)
{
    // Whatever a caller hands in is shown as written.
    setTextFormat(Qt::PlainText);
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

void Pill::setLead(const QString &lead)
{
    if (lead == m_lead)
        return;
    m_lead = lead;
    updateGeometry();
    updateToolTip();
    update();
}

QString Pill::fullText() const
{
    return m_lead.isEmpty() ? text() : m_lead + QLatin1Char(' ') + text();
}

Pill::Style Pill::tinted(const QColor &color, qreal fillOpacity)
{
    QColor fill = color;
    fill.setAlphaF(float(fillOpacity));
    return Style{color, fill};
}

QFont Pill::leadFont() const
{
    QFont f = font();
    f.setBold(true);
    return f;
}

int Pill::leadWidth() const
{
    return m_lead.isEmpty() ? 0 : QFontMetrics(leadFont()).horizontalAdvance(m_lead) + leadGap;
}

QSize Pill::sizeHint() const
{
    if (!pixmap().isNull())
        return QLabel::sizeHint();
    const QMargins m = contentsMargins();
    const QFontMetrics metrics = fontMetrics();
    return {m.left() + leadWidth() + metrics.horizontalAdvance(text()) + m.right(),
            m.top() + std::max(metrics.height(), QFontMetrics(leadFont()).height()) + m.bottom()};
}

QSize Pill::minimumSizeHint() const
{
    if (!pixmap().isNull() || text().isEmpty())
        return sizeHint();
    // The lead and one letter of the text before the "…".
    QSize hint = sizeHint();
    const QMargins m = contentsMargins();
    hint.setWidth(std::min(hint.width(), m.left() + leadWidth() +
                                             fontMetrics().horizontalAdvance(text().left(1) +
                                                                             ellipsis) +
                                             m.right()));
    return hint;
}

void Pill::updateToolTip()
{
    const int room = contentsRect().width() - leadWidth();
    const bool shortened = !text().isEmpty() && fontMetrics().horizontalAdvance(text()) > room;
    if (shortened)
        setToolTip(fullText());
    else if (m_shortened)
        setToolTip(QString());
    m_shortened = shortened;
}

void Pill::paintEvent(QPaintEvent *event)
{
    if (!pixmap().isNull()) {
        QLabel::paintEvent(event);
        return;
    }
    // Here, so the tooltip follows every change of text, font or size.
    updateToolTip();
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(m_style.fillColor);
    painter.drawRoundedRect(QRectF(rect()), m_style.cornerRadius, m_style.cornerRadius);
    // The text in the style's colour, not through the palette: inside the offloaded list's
    // rows the palette's colour did not reach the text, which came out black.
    painter.setPen(m_style.textColor.isValid() ? m_style.textColor
                                               : palette().color(QPalette::WindowText));
    QRect area = contentsRect();
    const QString shown =
        fontMetrics().elidedText(text(), Qt::ElideRight, area.width() - leadWidth());
    // Centred as a whole, lead and text together.
    const int used = leadWidth() + fontMetrics().horizontalAdvance(shown);
    if (alignment().testFlag(Qt::AlignHCenter) && used < area.width())
        area.setLeft(area.left() + (area.width() - used) / 2);
    if (!m_lead.isEmpty()) {
        painter.setFont(leadFont());
        painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter, m_lead);
        area.setLeft(area.left() + leadWidth());
    }
    painter.setFont(font());
    painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter, shown);
}
