// Read before every source of the Mac-shaped build: the calls of this system that a Mac does not
// have. Using one fails this build, as it would fail on a Mac. The headers that declare them
// come first, so that only a use is refused. (What the libplist Homebrew ships lacks is in
// WhatAMacsLibplistLacks.h.)
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
// Linux's own calls.
#pragma GCC poison malloc_trim malloc_usable_size mallinfo mallinfo2 mallopt
#pragma GCC poison syncfs sync_file_range posix_fadvise posix_fallocate fallocate readahead
#pragma GCC poison pipe2 dup3 accept4 memfd_create copy_file_range vmsplice statx
#pragma GCC poison unshare setns umount2 pivot_root gettid
