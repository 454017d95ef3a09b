#pragma once

#include "platform/EjectTools.h"
#include "platform/macos/DarwinCalls.h"

// What a Mac's libproc tells of the files that processes run from, hold open, map or work in.
// Any thread.
namespace MacProcessFiles {

// EjectTools::usersOf from the answers of `darwin`, leaving out `ownPid`. Every identity is the
// kernel's own vnode (device and inode), never a printed path:
// - runs: its executable (proc_pidpath) is an item;
// - worksIn: its working or root folder is one, or it holds a descriptor of a folder, from which
//   it can make and write files;
// - writes: it holds a descriptor of a file opened for writing (FWRITE);
// - maps: a region of its memory that another process or the file itself shares maps one,
//   whatever the region's present protection.
// A process libproc may not look into (EPERM: another user's) is uninspected; one that ended
// meanwhile (ESRCH) is passed over. Nothing when the processes cannot be listed.
[[nodiscard]] std::optional<FileUsers> usersOf(DarwinCalls &darwin, const TreeItems &items,
                                               qint32 ownPid);

} // namespace MacProcessFiles
