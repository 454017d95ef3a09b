#pragma once

#include "base/Verdict.h"

#include <QString>
#include <QStringList>

// The desktop's view of applications and the Trash (the workspace services on a Mac).
// Callable from any thread.
class Workspace
{
public:
    virtual ~Workspace() = default;

    // The bundle folder of every running application of this user that has one, as a
    // standardized path; applications without a bundle are left out. No particular order.
    [[nodiscard]] virtual QStringList runningApplicationBundles() = 0;

    // Moves the item at `path` to the user's Trash; the reason tells why it could not.
    [[nodiscard]] virtual Verdict moveToTrash(const QString &path) = 0;
};
