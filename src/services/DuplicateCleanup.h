#pragma once

#include "model/AppItem.h"
#include "model/DuplicateLocalInstance.h"

#include <QList>
#include <QString>
#include <QStringList>

// The outcome of moving redundant local copies to the Trash.
struct TrashResult
{
    int trashedCount = 0;
    QStringList errors; // in the order they arose

    friend bool operator==(const TrashResult &, const TrashResult &) = default;
};

// The file work behind the cleanup of duplicate aliases and redundant local copies, run
// synchronously off the main thread. Failures of single items are swallowed or reported in
// the result; nothing throws.
namespace DuplicateCleanup {

// Whether `path` still holds a stand-in that may be removed: a symbolic link, an alias file
// or a proxy bundle this system built (BundleProbe::isBuiltProxy). A real application is not
// one, even with a proxy's keys in its Info.plist or in the place of an alias folded since the
// scan.
[[nodiscard]] bool isRemovableStandIn(const QString &path);

// Removes each path that is still a stand-in; others are skipped silently.
void removeStandIns(const QStringList &paths);

// Puts back the stand-in of each offloaded item whose own path is gone while its target is
// there.
void restoreMissingStandIns(const QList<AppItem> &items);

// Moves each local copy to the Trash, refusing running ones and those whose offloaded copy
// cannot be reached now; what the plain move refuses goes into one administrator command.
[[nodiscard]] TrashResult trashLocalCopies(const QList<DuplicateLocalInstance> &instances);

} // namespace DuplicateCleanup
