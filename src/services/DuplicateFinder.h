#pragma once

#include "model/AppItem.h"
#include "model/DuplicateLocalInstance.h"

#include <QList>
#include <QString>

// Pairs each real local bundle that duplicates an offloaded application with that
// application, by name with bracketed tags ignored ("Tool [Drive]" groups with "Tool").
// Reads property lists and resolves paths; safe from any thread.
namespace DuplicateFinder {

// The name without " [tag]" parts, trimmed and lowercased.
[[nodiscard]] QString groupingKey(const QString &name);

// Over `items` in inventory order; the pairs come largest local copy first. The primary of
// a key is the last stand-in directly in /Applications, else the first one met. A pair is
// never made when the identifiers contradict each other, nor when the primary's target is
// the local bundle itself or lies inside it (removing the "copy" would remove the original).
[[nodiscard]] QList<DuplicateLocalInstance>
findDuplicateLocalInstances(const QList<AppItem> &items);

} // namespace DuplicateFinder
