// Read before every source of the Mac-shaped build that uses libplist, after its header: the
// calls of this system's libplist that the one Homebrew ships does not have.
#pragma once

#include <plist/plist.h>

// libplist 2.3 replaced these with plist_mem_free.
#pragma GCC poison plist_to_xml_free plist_to_bin_free
