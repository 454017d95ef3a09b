#pragma once

#include <QString>

namespace ToolLookup {

// The first executable `name` in the system's tool folders (/usr/sbin, /usr/bin, /sbin,
// /bin), which an ordinary user's PATH may lack; empty when there is none.
[[nodiscard]] QString systemTool(const QString &name);

} // namespace ToolLookup
