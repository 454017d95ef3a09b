#pragma once

#include "model/AppOffloadStatus.h"

#include <QColor>

// The product's colours. Status colours mark an application's state the same way in the
// list row, the detail pane and the inspectors.
namespace Palette {

[[nodiscard]] QColor blue();
[[nodiscard]] QColor green();
[[nodiscard]] QColor purple();
[[nodiscard]] QColor teal();
[[nodiscard]] QColor orange();
[[nodiscard]] QColor red();
[[nodiscard]] QColor secondaryText();
[[nodiscard]] QColor controlBackground();
[[nodiscard]] QColor separator();

// `color` with its alpha set to `opacity` (0..1).
[[nodiscard]] QColor withOpacity(const QColor &color, qreal opacity);

[[nodiscard]] QColor statusColor(AppOffloadStatus status);
// The fill behind a status text: 15 % for the states that ask for attention, 12 % else.
[[nodiscard]] qreal statusFillOpacity(AppOffloadStatus status);

// "#RRGGBB" or "rgba(r,g,b,a)" for style sheets.
[[nodiscard]] QString css(const QColor &color);

} // namespace Palette
