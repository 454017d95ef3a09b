#include "views/inspectors/InspectorStyle.h"

#include "views/kit/Palette.h"

namespace InspectorStyle {

QColor accent()
{
    return Palette::blue();
}

} // namespace InspectorStyle
