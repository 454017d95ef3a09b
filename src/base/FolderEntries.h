#pragma once

#include <QByteArray>
#include <optional>
#include <sys/types.h>
#include <vector>

// The entries of an open folder, read whole before anything is done with them, so that no
// listing stays open while the caller opens, removes or descends into what it names.
struct FolderEntry
{
    QByteArray name;
    // The kind as the listing gives it (S_IFREG, S_IFDIR, S_IFLNK …); 0 where the file system
    // does not say, and the caller asks fstatat.
    mode_t type = 0;
};

// The entries of the open folder `folder`, "." and ".." left out, in listing order. Nothing
// when it cannot be listed whole; errno then says why. `folder` stays open and the caller's.
[[nodiscard]] std::optional<std::vector<FolderEntry>> entriesOf(int folder);

// Named as a file server names a file removed while still open (".nfs…", ".afpDeleted…"). A Mac's
// copy tool passes over whatever bears such a name; on a Mac's own disks it is the user's, so the
// program copies it itself.
[[nodiscard]] bool isNamedAsRemovedWhileOpen(const QByteArray &name);

// What every copy leaves out of a tree, as a Mac's copy tool does, and so what no comparison or
// note of a tree counts: sockets and pipes, which hold no data (`type` as FolderEntry::type,
// known). Everything else is copied and compared, whatever its name.
[[nodiscard]] bool isLeftOutOfCopies(mode_t type);
