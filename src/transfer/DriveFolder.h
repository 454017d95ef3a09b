#pragma once

#include "base/UniqueFd.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <functional>
#include <optional>

// Removing and renaming on a drive relative to a folder that was judged and is held open, not
// by a path: a drive is anyone's to write, and a folder on the way swapped for a link since
// would lead a path-based removal onto whatever the link names. The same for what a copy made
// in the folder it was made in. Any thread.
namespace DriveFolder {

// The folder at `path` (absolute, below `root`), entered one level at a time from `rootFd`, the
// open folder `root`, without following a link, each level on the root's file system
// (`rootStore`, see FileSystemIdentity::storeOf). `path` equal to `root` gives a second
// descriptor of it. Invalid when it cannot be entered so; `why` then says which folder stood in
// the way and how ("the folder '…' is now a link").
[[nodiscard]] UniqueFd openBelow(const QString &root, int rootFd, quint64 rootStore,
                                 const QString &path, QString *why);

// Removes the item `name` of the held folder `folder`, whose path is `folderPath`: as
// TreeRemoval::removeTree does, and where the program's rights are refused (EACCES, EPERM, or
// a folder it may not write) with the administrator's, once nothing mounted is found in it and
// `judged` gave the path that still leads to `folder` (see PrivilegeHelper::removeAfterRefusal).
// Whatever else keeps an item (another file system mounted in it, a busy item, an error of the
// disk) is thrown without asking anyone. Throws OperationError.
void removeItem(int folder, const QString &folderPath, const QString &name,
                const std::function<QString()> &judged);

// Device and inode of the item `name` of the open folder `folder`, not following a link.
struct Identity
{
    quint64 device = 0;
    quint64 inode = 0;
    bool isFolder = false;
    friend bool operator==(const Identity &, const Identity &) = default;
};
[[nodiscard]] std::optional<Identity> identityOf(int folder, const QByteArray &name);
[[nodiscard]] std::optional<Identity> identityOf(int fd);

} // namespace DriveFolder
