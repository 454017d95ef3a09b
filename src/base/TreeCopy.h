#pragma once

#include <QByteArray>
#include <functional>
#include <sys/types.h>

// Copying, with the program's own rights, the items of a tree that a copy of it lacks. Any
// thread.
namespace TreeCopy {

// Which items a completion takes: by name and kind (S_IFMT bits).
using Wanted = std::function<bool(const QByteArray &name, mode_t type)>;

// Walks the item `name` of the open folder `source` and its copy `copyName` in the open folder
// `copy` together, folder by folder, never through a link, and copies each `wanted` item of the
// source that the copy lacks: a file's bytes, permissions and times, a link's text, a folder with
// all it holds (sockets and pipes excepted, which hold no data). Folders of the source that the
// copy also has are entered; nothing the copy already has is touched. 0, or the errno of the first
// item that could not be copied, `where` then naming it below `source`.
[[nodiscard]] int copyMissing(int source, const QByteArray &name, int copy,
                              const QByteArray &copyName, const Wanted &wanted,
                              QByteArray *where = nullptr);

} // namespace TreeCopy
