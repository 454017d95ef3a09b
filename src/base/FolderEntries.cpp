#include "base/FolderEntries.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::optional<std::vector<FolderEntry>> entriesOf(int folder)
{
    // A listing of its own: closedir closes the descriptor it was given.
    const int listing = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
    DIR *const dir = listing >= 0 ? ::fdopendir(listing) : nullptr;
    if (!dir) {
        const int err = errno;
        if (listing >= 0)
            ::close(listing);
        errno = err;
        return std::nullopt;
    }
    std::vector<FolderEntry> entries;
    for (;;) {
        errno = 0;
        const dirent *entry = ::readdir(dir);
        if (!entry)
            break;
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        // DTTOIF gives an int, which a Mac's 16-bit mode_t takes only when told.
        const mode_t type = entry->d_type == DT_UNKNOWN ? 0 : mode_t(DTTOIF(entry->d_type));
        entries.push_back({QByteArray(entry->d_name), type});
    }
    const int err = errno;
    ::closedir(dir);
    if (err != 0) {
        errno = err;
        return std::nullopt;
    }
    return entries;
}

bool isNamedAsRemovedWhileOpen(const QByteArray &name)
{
    return name.startsWith(".nfs") || name.startsWith(".afpDeleted");
}

bool isLeftOutOfCopies(mode_t type)
{
    return type == S_IFSOCK || type == S_IFIFO;
}
