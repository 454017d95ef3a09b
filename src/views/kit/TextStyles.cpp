#include "views/kit/TextStyles.h"

#include <QApplication>
#include <QFontDatabase>

namespace TextStyles {
namespace {

// The platform's body text is 13 points; every style keeps its distance from it. Desktop
// fonts here are smaller than that body text, so small styles stop two points below the
// desktop's own size to stay legible.
QFont sized(int delta, QFont::Weight weight = QFont::Normal)
{
    QFont font = QApplication::font();
    const int base = font.pointSize() > 0 ? font.pointSize() : 10;
    font.setPointSize(qMax(base - 2, base + delta));
    font.setWeight(weight);
    return font;
}

} // namespace

QFont scaled(int platformPoints, QFont::Weight weight)
{
    return sized(platformPoints - 13, weight);
}

QFont largeTitle()
{
    return sized(13);
}

QFont title()
{
    return sized(9);
}

QFont title2()
{
    return sized(4);
}

QFont title3()
{
    return sized(2);
}

QFont headline()
{
    return sized(0, QFont::DemiBold);
}

QFont body()
{
    return sized(0);
}

QFont callout()
{
    return sized(-1);
}

QFont subheadline()
{
    return sized(-2);
}

QFont footnote()
{
    return sized(-3);
}

QFont caption()
{
    return sized(-3);
}

QFont caption2()
{
    return sized(-4);
}

QFont monospaced(int pointSize)
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    if (pointSize > 0)
        font.setPointSize(pointSize);
    return font;
}

QLabel *label(const QString &text, const QFont &font, const QColor &color, QWidget *parent)
{
    auto *result = new QLabel(text, parent);
    result->setFont(font);
    if (color.isValid()) {
        QPalette p = result->palette();
        p.setColor(QPalette::WindowText, color);
        result->setPalette(p);
    }
    return result;
}

} // namespace TextStyles
