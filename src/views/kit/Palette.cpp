#include "views/kit/Palette.h"

#include <QApplication>
#include <QPalette>

namespace Palette {

QColor blue()
{
    return QColor(0x00, 0x7A, 0xFF);
}

QColor green()
{
    return QColor(0x28, 0xCD, 0x41);
}

QColor purple()
{
    return QColor(0xAF, 0x52, 0xDE);
}

QColor teal()
{
    return QColor(0x59, 0xAD, 0xC4);
}

QColor orange()
{
    return QColor(0xFF, 0x95, 0x00);
}

QColor red()
{
    return QColor(0xFF, 0x3B, 0x30);
}

QColor secondaryText()
{
    return QApplication::palette().color(QPalette::PlaceholderText);
}

QColor controlBackground()
{
    return QApplication::palette().color(QPalette::Base);
}

QColor separator()
{
    return QApplication::palette().color(QPalette::Mid);
}

QColor withOpacity(const QColor &color, qreal opacity)
{
    QColor result = color;
    result.setAlphaF(float(opacity));
    return result;
}

QColor statusColor(AppOffloadStatus status)
{
    switch (status) {
    case AppOffloadStatus::local:
        return blue();
    case AppOffloadStatus::offloaded:
        return green();
    case AppOffloadStatus::proxy:
        return purple();
    case AppOffloadStatus::copied:
        return teal();
    case AppOffloadStatus::backupOutOfSync:
        return orange();
    case AppOffloadStatus::needsReoffload:
    case AppOffloadStatus::dangling:
        return red();
    case AppOffloadStatus::protected_:
        return secondaryText();
    }
    return secondaryText();
}

qreal statusFillOpacity(AppOffloadStatus status)
{
    switch (status) {
    case AppOffloadStatus::proxy:
    case AppOffloadStatus::backupOutOfSync:
    case AppOffloadStatus::needsReoffload:
        return 0.15;
    default:
        return 0.12;
    }
}

QString css(const QColor &color)
{
    if (color.alpha() == 255)
        return color.name(QColor::HexRgb);
    return QStringLiteral("rgba(%1,%2,%3,%4)")
        .arg(color.red())
        .arg(color.green())
        .arg(color.blue())
        .arg(color.alpha());
}

} // namespace Palette
