#include "views/sheets/SheetWidgets.h"

#include "views/kit/Palette.h"
#include "views/kit/Symbols.h"
#include "views/kit/TextStyles.h"

#include <QApplication>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QTimer>

namespace SheetWidgets {

QColor accent()
{
    return QApplication::palette().color(QPalette::Highlight);
}

int points(int platformPoints)
{
    const int base = QApplication::font().pointSize() > 0 ? QApplication::font().pointSize() : 10;
    return qMax(6, base + platformPoints - 13);
}

QFont systemFont(int platformPoints, QFont::Weight weight)
{
    QFont font = QApplication::font();
    font.setPointSize(points(platformPoints));
    font.setWeight(weight);
    return font;
}

QFont monospacedFont(int platformPoints, QFont::Weight weight)
{
    QFont font = TextStyles::monospaced(points(platformPoints));
    font.setWeight(weight);
    return font;
}

QPushButton *button(const QString &text, const QString &objectName, ButtonLook look,
                    ControlSize size, const QColor &tint, QWidget *parent)
{
    auto *result = new QPushButton(text, parent);
    result->setObjectName(objectName);
    result->setAutoDefault(false);
    result->setDefault(false);
    QFont font = result->font();
    if (size == ControlSize::small)
        font.setPointSize(qMax(7, font.pointSize() - 1));
    result->setFont(font);
    const int vertical = size == ControlSize::small ? 2 : size == ControlSize::large ? 7 : 4;
    const int horizontal = size == ControlSize::small ? 8 : size == ControlSize::large ? 18 : 12;
    const QString padding = QStringLiteral("padding: %1px %2px;").arg(vertical).arg(horizontal);
    switch (look) {
    case ButtonLook::prominent: {
        const QColor fill = tint.isValid() ? tint : accent();
        result->setStyleSheet(
            QStringLiteral("QPushButton { background: %1; color: white; border: none; "
                           "border-radius: 5px; %2 }"
                           "QPushButton:pressed { background: %3; }"
                           "QPushButton:disabled { background: %4; color: %5; }")
                .arg(Palette::css(fill), padding, Palette::css(fill.darker(120)),
                     Palette::css(Palette::withOpacity(fill, 0.35)),
                     Palette::css(Palette::withOpacity(Qt::white, 0.8))));
        break;
    }
    case ButtonLook::borderless: {
        result->setFlat(true);
        const QColor color = tint.isValid() ? tint : accent();
        result->setStyleSheet(
            QStringLiteral("QPushButton { border: none; color: %1; padding: "
                           "0px 2px; background: transparent; }"
                           "QPushButton:disabled { color: %2; }")
                .arg(Palette::css(color), Palette::css(Palette::secondaryText())));
        break;
    }
    case ButtonLook::bordered:
        if (tint.isValid())
            result->setStyleSheet(
                QStringLiteral("QPushButton { color: %1; background: %2; border: 1px solid %3; "
                               "border-radius: 5px; %4 }"
                               "QPushButton:pressed { background: %3; }"
                               "QPushButton:disabled { color: %5; }")
                    .arg(Palette::css(tint), Palette::css(Palette::withOpacity(tint, 0.12)),
                         Palette::css(Palette::withOpacity(tint, 0.35)), padding,
                         Palette::css(Palette::secondaryText())));
        break;
    }
    result->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
    return result;
}

QLabel *symbol(const QString &symbolName, int size, const QColor &tint, QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setPixmap(Symbols::pixmap(symbolName, size, tint));
    label->setFixedSize(size, size);
    return label;
}

void setTextColor(QWidget *widget, const QColor &color)
{
    if (!color.isValid())
        return;
    QPalette p = widget->palette();
    p.setColor(QPalette::WindowText, color);
    p.setColor(QPalette::Text, color);
    widget->setPalette(p);
}

QLabel *text(const QString &text, const QFont &font, const QColor &color, bool wrap,
             Qt::Alignment alignment, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    label->setWordWrap(wrap);
    label->setAlignment(alignment);
    setTextColor(label, color);
    return label;
}

} // namespace SheetWidgets

ActivitySpinner::ActivitySpinner(int diameter, QWidget *parent)
    : QWidget(parent)
    , m_timer(new QTimer(this))
    , m_diameter(diameter)
{
    setFixedSize(diameter, diameter);
    m_timer->setInterval(80);
    connect(m_timer, &QTimer::timeout, this, [this] {
        m_angle = (m_angle + 30) % 360;
        update();
    });
}

QSize ActivitySpinner::sizeHint() const
{
    return {m_diameter, m_diameter};
}

void ActivitySpinner::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal inset = m_diameter / 8.0;
    const QRectF circle = QRectF(rect()).adjusted(inset, inset, -inset, -inset);
    QPen track(Palette::withOpacity(Palette::secondaryText(), 0.25), m_diameter / 8.0);
    painter.setPen(track);
    painter.drawEllipse(circle);
    QPen arc(Palette::secondaryText(), m_diameter / 8.0, Qt::SolidLine, Qt::RoundCap);
    painter.setPen(arc);
    painter.drawArc(circle, -m_angle * 16, 100 * 16);
}

void ActivitySpinner::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    m_timer->start();
}

void ActivitySpinner::hideEvent(QHideEvent *event)
{
    m_timer->stop();
    QWidget::hideEvent(event);
}
