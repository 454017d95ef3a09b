#include "views/kit/Pill.h"

#include <QPainter>

#include <cmath>

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
    if (style.textColor.isValid()) {
        QPalette p = palette();
        p.setColor(QPalette::WindowText, style.textColor);
        setPalette(p);
    }
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

void Pill::setElidable(bool elidable)
{
    m_elidable = elidable;
    updateGeometry();
}

bool Pill::isShortened() const
{
    return pixmap().isNull() && shownText() != text();
}

Pill *Pill::line(const QString &text, const QFont &font, const QColor &color, QWidget *parent)
{
    auto *result = new Pill(text, Style{color, Qt::transparent, 0, 0, 0, 0, font.bold()}, parent);
    result->setFont(font);
    result->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    result->setElidable(true);
    result->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    return result;
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
    return m_lead.isEmpty()
               ? 0
               : int(std::ceil(QFontMetricsF(leadFont()).horizontalAdvance(m_lead))) + leadGap;
}

QSize Pill::sizeHint() const
{
    if (!pixmap().isNull())
        return QLabel::sizeHint();
    const QMargins m = contentsMargins();
    const QFontMetrics metrics = fontMetrics();
    // Rounded up: a hint a fraction short would shorten the text it was made for.
    const int textWidth = int(std::ceil(QFontMetricsF(font()).horizontalAdvance(text())));
    return {m.left() + leadWidth() + textWidth + m.right(),
            m.top() + std::max(metrics.height(), QFontMetrics(leadFont()).height()) + m.bottom()};
}

QSize Pill::minimumSizeHint() const
{
    if (!pixmap().isNull() || text().isEmpty() || !m_elidable)
        return sizeHint();
    // The lead and one letter of the text before the "…".
    QSize hint = sizeHint();
    const QMargins m = contentsMargins();
    hint.setWidth(std::min(
        hint.width(), m.left() + leadWidth() +
                          fontMetrics().horizontalAdvance(text().left(1) + ellipsis) + m.right()));
    return hint;
}

void Pill::updateToolTip()
{
    const bool shortened = shownText() != text();
    if (shortened)
        setToolTip(fullText());
    else if (m_shortened)
        setToolTip(QString());
    m_shortened = shortened;
}

QString Pill::shownText() const
{
    return fontMetrics().elidedText(text(), Qt::ElideRight, contentsRect().width() - leadWidth());
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
    const QString shown = shownText();
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
