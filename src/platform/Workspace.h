#pragma once

#include "base/PathUtils.h"
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
    // Those of them that are one of `places` or lie inside one (a helper application within a
    // bundle), each place taken as written and with its links resolved.
    [[nodiscard]] QStringList runningWithin(const QStringList &places);

    // Moves the item at `path` to the user's Trash; the reason tells why it could not. By
    // default through Qt, which knows each desktop's Trash.
    [[nodiscard]] virtual Verdict moveToTrash(const QString &path);

    // What moveToTrash refuses, the administrator moves into the Trash folder with a plain
    // "mv". A desktop whose Trash keeps a record beside each item, to list it and put it
    // back, needs that record too; these keep it. By default the Trash keeps none.
    //
    // Whether `trashedPath`, a name in the Trash folder, is taken by an item or a record.
    [[nodiscard]] virtual bool isTrashNameTaken(const QString &trashedPath)
    {
        return PathUtils::existsNoFollow(trashedPath);
    }
    // Records that the item at `originalPath` is about to arrive as `trashedPath`, with the
    // program's own rights; the reason names what is missing when it cannot.
    [[nodiscard]] virtual Verdict recordTrashArrival(const QString &originalPath,
                                                     const QString &trashedPath)
    {
        Q_UNUSED(originalPath);
        Q_UNUSED(trashedPath);
        return Verdict::pass();
    }
    // Takes that record back when the item did not arrive.
    virtual void forgetTrashArrival(const QString &trashedPath) { Q_UNUSED(trashedPath); }

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
