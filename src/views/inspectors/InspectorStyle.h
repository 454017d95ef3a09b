#pragma once

#include <QColor>

// Colours the inspectors share beyond the kit's palette.
namespace InspectorStyle {

// The platform's accent colour (the default blue).
[[nodiscard]] QColor accent();

} // namespace InspectorStyle
