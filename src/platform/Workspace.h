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

    // Shows the items in the file manager, all of one request at once; returns at once and
    // reports nothing (a missing item is the file manager's to show).
    virtual void reveal(const QStringList &paths) = 0;

    // Opens the item with the desktop (launches an application); returns at once and
    // reports nothing.
    virtual void open(const QString &path) = 0;

    // Sends the ordinary quit request to every process of this user that runs from inside
    // the bundle at `bundlePath`; never forces and waits for nothing. Whether they went is
    // what runningApplicationBundles() says afterwards.
    virtual void requestQuit(const QString &bundlePath) = 0;
};
