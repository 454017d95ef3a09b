#include "views/main/MainWidgets.h"

#include "views/kit/Palette.h"
#include "views/kit/Symbols.h"

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QPushButton>

namespace MainWidgets {

QColor accent()
{
    return Palette::blue();
}

QFont pixelFont(int pixelSize, QFont::Weight weight)
{
    QFont font = QApplication::font();
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    return font;
}

QPushButton *button(const QString &text, const QString &objectName, ButtonLook look, int pixelSize,
                    const QColor &tint, QWidget *parent)
{
    auto *result = new QPushButton(text, parent);
    result->setObjectName(objectName);
    result->setAutoDefault(false);
    result->setFont(pixelFont(pixelSize));
    result->setCursor(Qt::PointingHandCursor);
    const int vertical = pixelSize <= 11 ? 2 : 4;
    const int horizontal = pixelSize <= 11 ? 8 : 12;
    const QString padding = QStringLiteral("padding: %1px %2px;").arg(vertical).arg(horizontal);
    switch (look) {
    case ButtonLook::prominent: {
        const QColor fill = tint.isValid() ? tint : accent();
        result->setStyleSheet(
            QStringLiteral("QPushButton { background: %1; color: white; border: none; "
                           "border-radius: 4px; %2 }"
                           "QPushButton:pressed { background: %3; }"
                           "QPushButton:disabled { background: %4; }")
                .arg(Palette::css(fill), padding, Palette::css(fill.darker(120)),
                     Palette::css(Palette::withOpacity(fill, 0.4))));
        break;
    }
    case ButtonLook::bordered:
        result->setStyleSheet(
            QStringLiteral("QPushButton { background: %1; border: 1px solid %2; "
                           "border-radius: 4px; %3 }"
                           "QPushButton:pressed { background: %2; }"
                           "QPushButton:disabled { color: %4; }")
                .arg(Palette::css(Palette::controlBackground()),
                     Palette::css(Palette::withOpacity(Palette::separator(), 0.7)), padding,
                     Palette::css(Palette::secondaryText())));
        break;
    case ButtonLook::borderless:
        result->setFlat(true);
        result->setStyleSheet(
            QStringLiteral("QPushButton { border: none; color: %1; padding: 0 2px; }")
                .arg(Palette::css(accent())));
        break;
    }
    return result;
}

void setSymbol(QLabel *label, const QString &symbolName, int size, const QColor &tint)
{
    label->setPixmap(Symbols::pixmap(symbolName, size, tint));
    label->setFixedSize(size, size);
}

QLabel *symbol(const QString &symbolName, int size, const QColor &tint, QWidget *parent)
{
    auto *label = new QLabel(parent);
    setSymbol(label, symbolName, size, tint);
    return label;
}

void setTextColor(QWidget *widget, const QColor &color)
{
    QPalette palette = widget->palette();
    const QColor resolved =
        color.isValid() ? color : QApplication::palette().color(QPalette::WindowText);
    palette.setColor(QPalette::WindowText, resolved);
    palette.setColor(QPalette::Text, resolved);
    widget->setPalette(palette);
}

QLabel *text(const QString &text, const QFont &font, const QColor &color, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setFont(font);
    label->setTextFormat(Qt::PlainText);
    if (color.isValid())
        setTextColor(label, color);
    return label;
}

QFrame *divider(QWidget *parent)
{
    auto *line = new QFrame(parent);
    line->setFrameShape(QFrame::NoFrame);
    line->setFixedHeight(1);
    line->setAutoFillBackground(true);
    QPalette palette = line->palette();
    palette.setColor(QPalette::Window, Palette::withOpacity(Palette::separator(), 0.6));
    line->setPalette(palette);
    return line;
}

} // namespace MainWidgets
