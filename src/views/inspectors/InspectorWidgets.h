#pragma once

#include <QIcon>
#include <QPixmap>
#include <QString>

// Pieces only the inspector views draw.
namespace InspectorWidgets {

// The one icon of an application wherever the window shows it: the list row, the detail
// header and the offloaded list.
[[nodiscard]] QIcon applicationIcon(const QString &path);

// The desktop's icon of the item at `path`, `size` pixels square. A linked entry gets the
// small link badge at its lower-left corner, pushed `offset` pixels out of the icon; the
// picture grows by `offset` on the left and at the bottom to hold it.
[[nodiscard]] QPixmap appIcon(const QString &path, int size, bool linked, int badgeSymbolSize,
                              qreal badgePadding, int offset);

} // namespace InspectorWidgets
