#pragma once

#include <cstdint>
#include <cstdlib>
#include <plist/plist.h>
#include <string_view>

// The calls whose form depends on the libplist found by the build, which passes its version
// as KORVANTHELIX_PLIST_VERSION (major * 100 + minor): 2.3 replaced plist_to_xml_free and
// plist_to_bin_free with plist_mem_free, and 2.7 deprecated the dates counted from 2001 for
// dates counted from 1970.
namespace PlistCompat {

// Frees what libplist handed out: a serialisation, a string or key, data.
inline void freeMemory(void *memory)
{
#if KORVANTHELIX_PLIST_VERSION >= 203
    plist_mem_free(memory);
#else
    // Before 2.3 the caller frees these with free(), which is all plist_to_xml_free did.
    std::free(memory);
#endif
}

// The text of a string node, read in place with its length; empty for another node. The
// copying plist_get_string_val asserts that the text is a C string, and aborts on a NUL.
inline std::string_view stringOf(plist_t node)
{
    uint64_t length = 0;
    const char *text = plist_get_string_ptr(node, &length);
    return text ? std::string_view(text, std::size_t(length)) : std::string_view();
}

// Property-list dates count seconds from 2001-01-01 00:00:00 UTC.
inline constexpr std::int64_t referenceEpochOffset = 978307200;

// Whether every libplist the build takes gives back a date of these seconds without undefined
// behaviour: up to 2.6 it converts them to a 32-bit integer, which holds 1932-12-13 20:45:52 to
// 2069-01-19 03:14:07 UTC. The readers leave other dates out, the same with every version.
inline constexpr bool holdsDate(double sinceReference)
{
    return sinceReference > -2147483649.0 && sinceReference < 2147483648.0;
}

// A date node of the time `msecs` after 1970 (to the second from 2.7 on).
inline plist_t newDate(std::int64_t msecs)
{
#if KORVANTHELIX_PLIST_VERSION >= 207
    return plist_new_unix_date(msecs / 1000);
#else
    const std::int64_t seconds = msecs / 1000 - referenceEpochOffset;
    return plist_new_date(int32_t(seconds), int32_t((msecs % 1000) * 1000));
#endif
}

// Milliseconds after 1970 of a date node.
inline std::int64_t dateMsecs(plist_t node)
{
#if KORVANTHELIX_PLIST_VERSION >= 207
    int64_t seconds = 0;
    plist_get_unix_date_val(node, &seconds);
    return std::int64_t(seconds) * 1000;
#else
    int32_t seconds = 0;
    int32_t micros = 0;
    plist_get_date_val(node, &seconds, &micros);
    return (std::int64_t(seconds) + referenceEpochOffset) * 1000 + micros / 1000;
#endif
}

} // namespace PlistCompat
