#pragma once

#include "platform/EjectTools.h"

// What Linux's /proc tells of the files that processes run from, hold open, map or work in. Any
// thread.
namespace ProcessFiles {

// EjectTools::usersOf from the process folders of `proc` (the machine's /proc), leaving out
// `ownPid`. Every identity is the kernel's own, taken through the process's links (exe, cwd,
// root, each descriptor) and the device and inode columns of its maps, so a name that reads like
// something else, one opened through a hard link elsewhere or one removed since changes nothing:
// - runs: its executable is an item;
// - worksIn: its working or root folder is one, or it holds a descriptor of a folder (O_PATH
//   too), from which it can make and write files;
// - writes: it holds a descriptor of a file opened for writing;
// - maps: it maps one shared, whatever the mapping's present protection.
// A process whose folder cannot be read (another user's, or one that may not be inspected) is
// uninspected; kernel threads, which hold no one's files, and processes that ended meanwhile are
// passed over. Nothing when `proc` cannot be listed.
[[nodiscard]] std::optional<FileUsers> usersOf(const TreeItems &items, qint32 ownPid,
                                               const QString &proc = QStringLiteral("/proc"));

} // namespace ProcessFiles
