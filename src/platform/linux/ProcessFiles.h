#pragma once

#include "platform/EjectTools.h"

// What Linux's /proc tells of the files that processes have open or mapped. Any thread.
namespace ProcessFiles {

// EjectTools::usersWithin from the process folders of `proc` (the machine's /proc), leaving out
// `ownPid`: a process runs from a file of `roots` when its executable is one, writes when a
// descriptor of it was opened for writing (fdinfo's flags), and maps when a mapping of it is shared
// and writable. Processes that cannot be looked into (another user's, one that ended meanwhile)
// are passed over; nothing when `proc` cannot be listed.
[[nodiscard]] std::optional<QList<FileUse>>
usersWithin(const QStringList &roots, qint32 ownPid, const QString &proc = QStringLiteral("/proc"));

} // namespace ProcessFiles
