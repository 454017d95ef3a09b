#pragma once

#include <cstddef>
#include <memory>
#include <plist/plist.h>
#include <string>

// Reads a property list in every form an Info.plist takes on a Mac: XML in UTF-8 (with or
// without a byte-order mark), in UTF-16 of either byte order with a byte-order mark, or in
// the ISO-8859-1 or Windows-1252 its declaration names, with or without the declaration and
// the <plist> around its value; binary; and the old text form ({ Key = "value"; Alone;
// List = (a, b); Data = <0fbd>; } with comments, where a key alone is its own value, or the
// entries of a dictionary without its braces). Plain C++ over libplist, so the proxy launcher
// reads its bundle the same way the program does. libplist is given only binary lists, each
// checked as it is given, and of those only what it reads in linear time without aborting: a
// NUL in a string or a key, which it cannot hold, reads as U+FFFD, so the rest of the list
// still reads; a date libplist cannot give back without undefined behaviour
// (PlistCompat::holdsDate()) is left out, with its key, and so is a null, which libplist reads
// only from 2.3 on.
//
// Keys and strings read as the Mac's own reader reads them, so that the program, the launcher
// here and the launcher on a Mac see the same Info.plist: every key and string of the tree is
// UTF-8 and every dictionary holds each key once. In XML a key or string loses a leading
// U+FEFF and is refused unless it is UTF-8, and of a key given twice the last value counts;
// in the old text form U+FEFF is a character like any other, the last value counts, and the
// file is refused unless it is UTF-8; in both, as on the Mac, a byte 0xA9 where a character
// should begin (a "©" of MacRoman or Latin-1) reads as U+FFFD, unless a declaration names
// ISO-8859-1 or Windows-1252 and the bytes are read in that encoding. In a binary list a
// string of bytes is Latin-1 (so it cannot hold U+FEFF), UTF-16 keeps U+FEFF, and of a key
// given twice the first value counts.
namespace PlistDecoder {

struct NodeDeleter
{
    void operator()(void *node) const { plist_free(static_cast<plist_t>(node)); }
};
using Node = std::unique_ptr<void, NodeDeleter>;

// Bounds far beyond any real Info.plist, so that a hostile one costs little time and a few
// megabytes at most. libplist and the readers of its tree recurse once per level and would
// run out of stack long before its own limits; a binary list is bounded after libplist's
// expansion of shared objects into copies.
inline constexpr int maxDepth = 256;
// Values in the tree, dictionary keys included.
inline constexpr std::size_t maxValues = 100'000;
// Bytes of strings and data in the tree of a binary list.
inline constexpr std::size_t maxExpandedBytes = std::size_t(4) << 20;
// Larger data is not read at all.
inline constexpr std::size_t maxFileSize = std::size_t(4) << 20;

// The root node, or null when the data is none of these forms, is malformed or truncated,
// or goes past one of the bounds above.
[[nodiscard]] Node decode(const char *data, std::size_t size);
// The same for the file at `path`; null also when it is no regular file (a pipe or a device
// would block or never end) or larger than maxFileSize.
[[nodiscard]] Node decodeFile(const std::string &path);

} // namespace PlistDecoder
