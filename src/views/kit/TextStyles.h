#pragma once

#include <QFont>
#include <QLabel>

// The text styles of the window, after the platform's: sizes in points relative to the
// application font so that the window follows the desktop's font size.
namespace TextStyles {

// A font of the platform's size `platformPoints` (body text 13), scaled as every style is.
[[nodiscard]] QFont scaled(int platformPoints, QFont::Weight weight = QFont::Normal);

[[nodiscard]] QFont largeTitle();
[[nodiscard]] QFont title();
[[nodiscard]] QFont title2();
[[nodiscard]] QFont title3();
[[nodiscard]] QFont headline();
[[nodiscard]] QFont body();
[[nodiscard]] QFont callout();
[[nodiscard]] QFont subheadline();
[[nodiscard]] QFont footnote();
[[nodiscard]] QFont caption();
[[nodiscard]] QFont caption2();
[[nodiscard]] QFont monospaced(int pointSize = 0);

// A label with a style and an optional colour in one call.
QLabel *label(const QString &text, const QFont &font, const QColor &color = QColor(),
              QWidget *parent = nullptr);

} // namespace TextStyles
