#pragma once

#include "platform/System.h"

#include <QString>
#include <QStringList>

// The staged copy on a Mac: ditto copies `source` to `destination` with permissions,
// extended attributes and links, creating `destination`. Uncompressed: a compressed file's
// bytes would lie where no read-back can reach them past memory (see MacStorage).
[[nodiscard]] QStringList macCopyToolArguments(const QString &source, const QString &destination);
// ditto leaves sockets and pipes out of its copies, and passes over whatever is named .nfs… or
// .afpDeleted…
[[nodiscard]] CopyToolHabits macCopyToolHabits();
// The tree removal on a Mac: -x keeps rm from crossing into a volume mounted in the tree.
[[nodiscard]] QString macTreeRemovalCommand();
