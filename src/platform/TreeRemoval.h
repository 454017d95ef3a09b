#pragma once

#include <QByteArray>
#include <QString>

// Removing a tree from the folder that holds it, never through a link and never into another
// file system or mount: "rm -rf" and its library kin follow a mount point into whatever is
// mounted there (a drive, a disk image, a bind mount of any folder) and empty it. Any thread.
namespace TreeRemoval {

// Removes the item `name` of the open folder `folder`: a file or link itself (never what a link
// leads to), or a folder with everything in it, each folder entered from the one holding it
// without following a link, and never one on another file system or mount (a drive, a disk
// image, or a bind mount of a folder of the same drive mounted there). 0, or the errno of the
// first item that stayed, EXDEV first when a mount kept one; `where` then names it below
// `folder` ("Foo.app/Contents").
[[nodiscard]] int removeTree(int folder, const QByteArray &name, QByteArray *where = nullptr);

// The same for the item at `path`, its folder opened by path. `where` as above, below that
// folder.
[[nodiscard]] int removeAt(const QString &path, QString *where = nullptr);

// Takes the sockets and pipes out of the item `name` of the open folder `folder`, walked as
// removeTree walks it: they hold no data, and a Mac's copy tool leaves them out. 0, or the errno
// of the first that stayed.
[[nodiscard]] int removeSocketsAndPipes(int folder, const QByteArray &name);

// EXDEV when another file system or mount lies in the item `name` of the open folder `folder`,
// `where` then naming it as removeTree does; 0 otherwise. For a removal that others make, which
// would not stop there.
[[nodiscard]] int findMount(int folder, const QByteArray &name, QByteArray *where);

} // namespace TreeRemoval
