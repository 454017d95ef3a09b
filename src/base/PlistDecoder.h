#pragma once

#include <cstddef>
#include <memory>
#include <plist/plist.h>

// Reads a property list in every form an Info.plist takes on a Mac: XML in UTF-8 (with or
// without a byte-order mark) or in UTF-16 of either byte order with a byte-order mark,
// binary, and the old text form ({ Key = "value"; List = (a, b); Data = <0fbd>; } with
// comments). Plain C++ over libplist, so the proxy launcher reads its bundle the same way
// the program does.
namespace PlistDecoder {

struct NodeDeleter
{
    void operator()(void *node) const { plist_free(static_cast<plist_t>(node)); }
};
using Node = std::unique_ptr<void, NodeDeleter>;

// Deeper nesting than any real Info.plist; libplist recurses once per level and would run
// out of stack on a hostile file long before its own limits.
inline constexpr int maxDepth = 256;

// The root node, or null when the data is none of these forms, is malformed or truncated,
// or nests deeper than maxDepth.
[[nodiscard]] Node decode(const char *data, std::size_t size);

} // namespace PlistDecoder
