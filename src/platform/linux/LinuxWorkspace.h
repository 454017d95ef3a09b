#pragma once

#include "platform/Workspace.h"

// Running applications from /proc (an executable inside an ".app" folder belongs to that
// bundle); the Trash folder of the freedesktop.org desktop standard.
class LinuxWorkspace : public Workspace
{
public:
    [[nodiscard]] QStringList runningApplicationBundles() override;
    // The Trash's "info" folder beside its "files" folder holds one "<name>.trashinfo" per
    // item, with the original path and the time of deletion.
    [[nodiscard]] bool isTrashNameTaken(const QString &trashedPath) override;
    [[nodiscard]] Verdict recordTrashArrival(const QString &originalPath,
                                             const QString &trashedPath) override;
    void forgetTrashArrival(const QString &trashedPath) override;
    // Opens each distinct containing folder with the desktop's opener (xdg-open, as the
    // desktop services do), detached: the desktop offers no call that selects items.
    void reveal(const QStringList &paths) override;
    // xdg-open, detached.
    void open(const QString &path) override;
    // SIGTERM to each of this user's processes whose executable lies inside the bundle.
    void requestQuit(const QString &bundlePath) override;
};
