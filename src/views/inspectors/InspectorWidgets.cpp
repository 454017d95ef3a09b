#include "views/inspectors/InspectorWidgets.h"

#include "views/inspectors/InspectorStyle.h"
#include "views/kit/Palette.h"
#include "views/kit/Symbols.h"

#include <QApplication>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>

namespace InspectorWidgets {
namespace {

struct Metrics
{
    int verticalPadding;
    int horizontalPadding;
    int pixelSize;
    int iconSize;
};

Metrics metricsOf(ControlSize size)
{
    switch (size) {
    case ControlSize::small:
        return {2, 8, 11, 12};
    case ControlSize::regular:
        return {4, 10, 13, 14};
    case ControlSize::large:
        return {7, 14, 13, 16};
    }
    return {4, 10, 13, 14};
}

QString styleSheet(ButtonStyle style, const QColor &tint, const Metrics &m)
{
    const QString box = QStringLiteral("padding: %1px %2px; border-radius: 6px; font-size: %3px;")
                            .arg(m.verticalPadding)
                            .arg(m.horizontalPadding)
                            .arg(m.pixelSize);
    if (style == ButtonStyle::prominent) {
        const QColor fill = tint.isValid() ? tint : InspectorStyle::accent();
        return QStringLiteral("QPushButton { %1 color: white; background: %2; border: none; }"
                              "QPushButton:pressed { background: %3; }"
                              "QPushButton:disabled { color: %4; background: %5; }")
            .arg(box, Palette::css(fill), Palette::css(fill.darker(120)),
                 Palette::css(Palette::withOpacity(Qt::white, 0.85)),
                 Palette::css(Palette::withOpacity(Palette::secondaryText(), 0.45)));
    }
    const QColor textColor =
        tint.isValid() ? tint : QApplication::palette().color(QPalette::ButtonText);
    const QColor fill = tint.isValid() ? Palette::withOpacity(tint, 0.12)
                                       : QApplication::palette().color(QPalette::Button);
    return QStringLiteral("QPushButton { %1 color: %2; background: %3; border: 1px solid %4; }"
                          "QPushButton:pressed { background: %5; }"
                          "QPushButton:disabled { color: %6; }")
        .arg(box, Palette::css(textColor), Palette::css(fill),
             Palette::css(Palette::withOpacity(Palette::separator(), 0.6)),
             Palette::css(fill.darker(110)), Palette::css(Palette::secondaryText()));
}

} // namespace

QPushButton *button(const QString &text, const QString &symbolName, ButtonStyle style,
                    const QColor &tint, ControlSize size, QWidget *parent)
{
    auto *result = new QPushButton(parent);
    result->setCursor(Qt::PointingHandCursor);
    restyle(result, text, symbolName, style, tint, size);
    return result;
}

void restyle(QPushButton *button, const QString &text, const QString &symbolName, ButtonStyle style,
             const QColor &tint, ControlSize size)
{
    const Metrics m = metricsOf(size);
    button->setText(text);
    const QColor iconColor =
        style == ButtonStyle::prominent
            ? QColor(Qt::white)
            : (tint.isValid() ? tint : QApplication::palette().color(QPalette::ButtonText));
    button->setIcon(symbolName.isEmpty() ? QIcon() : Symbols::icon(symbolName, iconColor));
    button->setIconSize(QSize(m.iconSize, m.iconSize));
    button->setStyleSheet(styleSheet(style, tint, m));
}

QLabel *symbol(const QString &name, int size, const QColor &tint, QWidget *parent)
{
    auto *label = new QLabel(parent);
    setSymbol(label, name, size, tint);
    return label;
}

void setSymbol(QLabel *label, const QString &name, int size, const QColor &tint)
{
    label->setPixmap(Symbols::pixmap(name, size, tint));
    label->setFixedSize(size, size);
}

QLabel *text(const QString &content, const QFont &font, const QColor &color, QWidget *parent)
{
    auto *label = new QLabel(content, parent);
    label->setFont(font);
    label->setWordWrap(true);
    setColor(label, color);
    return label;
}

void setColor(QWidget *widget, const QColor &color)
{
    QPalette p = widget->palette();
    p.setColor(QPalette::WindowText,
               color.isValid() ? color : QApplication::palette().color(QPalette::WindowText));
    p.setColor(QPalette::Text,
               color.isValid() ? color : QApplication::palette().color(QPalette::Text));
    widget->setPalette(p);
}

QFont pixelFont(int pixelSize, QFont::Weight weight)
{
    QFont f = QApplication::font();
    f.setPixelSize(pixelSize);
    f.setWeight(weight);
    return f;
}

QFont monospaced(int pixelSize)
{
    QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    f.setPixelSize(pixelSize);
    return f;
}

QFont withWeight(QFont font, QFont::Weight weight)
{
    font.setWeight(weight);
    return font;
}

QHBoxLayout *row(int spacing, QBoxLayout *into)
{
    auto *layout = new QHBoxLayout;
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    if (into)
        into->addLayout(layout);
    return layout;
}

QFrame *divider(QWidget *parent)
{
    auto *line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Plain);
    line->setFixedHeight(1);
    QPalette p = line->palette();
    p.setColor(QPalette::WindowText, Palette::separator());
    line->setPalette(p);
    return line;
}

QPixmap appIcon(const QString &path, int size, bool linked, int badgeSymbolSize, qreal badgePadding,
                int offset)
{
    const qreal ratio = qApp->devicePixelRatio();
    const int extra = linked ? offset : 0;
    QPixmap canvas(QSize(size + extra, size + extra) * ratio);
    canvas.setDevicePixelRatio(ratio);
    canvas.fill(Qt::transparent);
    QPainter painter(&canvas);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QFileIconProvider provider;
    QIcon icon = provider.icon(QFileInfo(path));
    // A dangling link has no icon of its own.
    if (icon.isNull())
        icon = provider.icon(QAbstractFileIconProvider::File);
    painter.drawPixmap(QRect(extra, 0, size, size), icon.pixmap(QSize(size, size), ratio));
    if (linked) {
        const qreal diameter = badgeSymbolSize + 2 * badgePadding;
        const QRectF badge(0, size + extra - diameter, diameter, diameter);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0, 0, 0, 77)); // the shadow, one pixel down
        painter.drawEllipse(badge.translated(0, 1));
        painter.setBrush(Qt::white);
        painter.drawEllipse(badge);
        const QPixmap arrow = Symbols::pixmap(QStringLiteral("arrow.turn.up.right"),
                                              badgeSymbolSize, QColor(Qt::black));
        painter.drawPixmap(QRectF(badge.x() + badgePadding, badge.y() + badgePadding,
                                  badgeSymbolSize, badgeSymbolSize),
                           arrow, QRectF(arrow.rect()));
    }
    return canvas;
}

} // namespace InspectorWidgets
