#pragma once

#include <QColor>
#include <QIcon>
#include <QString>

// The product names its symbols the way the Mac's symbol library does ("externaldrive.fill").
// Here each maps to an icon of the freedesktop theme, tinted; composite symbols get a small
// emblem drawn in code; a standard style icon is the last fallback.
namespace Symbols {

// A tinted icon for the symbol; an invalid colour keeps the theme's own colour.
[[nodiscard]] QIcon icon(const QString &symbolName, const QColor &tint = QColor());
[[nodiscard]] QPixmap pixmap(const QString &symbolName, int size, const QColor &tint = QColor());
// The theme icon name a symbol maps to (empty when only the fallback applies).
[[nodiscard]] QString themeName(const QString &symbolName);

} // namespace Symbols
