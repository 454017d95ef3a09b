#include "support/FileHolder.h"

#include <QFile>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <iterator>
#include <poll.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace {

// Closes what the child was given of the test's descriptors but `kept`: a folder the test's
// workers had open at the fork would be one it works in, as far as anyone can tell. The listing
// allocates, which the C library allows after a fork.
void closeInherited(int kept)
{
    DIR *const listing = ::opendir("/dev/fd");
    if (!listing)
        return;
    int open[1024];
    size_t count = 0;
    while (const dirent *entry = ::readdir(listing)) {
        const int fd = std::atoi(entry->d_name);
        if (fd > 2 && fd != kept && fd != ::dirfd(listing) && count < std::size(open))
            open[count++] = fd;
    }
    ::closedir(listing);
    for (size_t i = 0; i < count; ++i)
        ::close(open[i]);
}

// The child of a threaded process makes only plain system calls, and that listing, until it ends
// or execs.
[[noreturn]] void holdIn(const QByteArray &file, FileHolder::Hold how, int ready)
{
    closeInherited(ready);
    using Hold = FileHolder::Hold;
    if (how == Hold::worksIn) {
        if (::chdir(file.constData()) != 0)
            ::_exit(1);
    } else {
        const int flags = how == Hold::reads    ? O_RDONLY
                          : how == Hold::writes ? O_WRONLY | O_APPEND
                                                : O_RDWR;
        const int fd = ::open(file.constData(), flags);
        if (fd < 0)
            ::_exit(1);
        if (how == Hold::mapsForWriting || how == Hold::mapsReadOnly) {
            const int protection = how == Hold::mapsReadOnly ? PROT_READ : PROT_READ | PROT_WRITE;
            void *map = ::mmap(nullptr, 4, protection, MAP_SHARED, fd, 0);
            if (map == MAP_FAILED)
                ::_exit(1);
            // Only the mapping is left to write through.
            ::close(fd);
            if (how == Hold::mapsForWriting)
                static_cast<char *>(map)[0] = 'M';
        }
    }
    const char byte = 1;
    (void)::write(ready, &byte, 1);
    for (;;)
        ::pause();
}

// Whether the child wrote its byte (or, for one that execs, got as far as the exec: the pipe's
// end closes without a byte).
bool awaitReady(int fd, bool byExec)
{
    pollfd wait{fd, POLLIN, 0};
    if (::poll(&wait, 1, 10'000) != 1)
        return false;
    char byte = 0;
    const ssize_t got = ::read(fd, &byte, 1);
    return byExec ? got == 0 : got == 1;
}

} // namespace

FileHolder::FileHolder(const QString &file, Hold how)
{
    const QByteArray path = QFile::encodeName(file);
    int ready[2];
    if (::pipe(ready) != 0)
        return;
    m_pid = ::fork();
    if (m_pid == 0) {
        ::close(ready[0]);
        holdIn(path, how, ready[1]);
    }
    ::close(ready[1]);
    m_ready = m_pid > 0 && awaitReady(ready[0], false);
    ::close(ready[0]);
}

FileHolder FileHolder::running(const QString &executable)
{
    FileHolder holder;
    const QByteArray path = QFile::encodeName(executable);
    int ready[2];
    if (::pipe(ready) != 0)
        return holder;
    ::fcntl(ready[1], F_SETFD, FD_CLOEXEC);
    holder.m_pid = ::fork();
    if (holder.m_pid == 0) {
        ::close(ready[0]);
        char *const argv[] = {const_cast<char *>(path.constData()), const_cast<char *>("600"),
                              nullptr};
        ::execv(path.constData(), argv);
        const char byte = 0;
        (void)::write(ready[1], &byte, 1);
        ::_exit(127);
    }
    ::close(ready[1]);
    holder.m_ready = holder.m_pid > 0 && awaitReady(ready[0], true);
    ::close(ready[0]);
    return holder;
}

FileHolder::FileHolder(FileHolder &&other) noexcept
    : m_pid(std::exchange(other.m_pid, -1))
    , m_ready(other.m_ready)
{}

FileHolder::~FileHolder()
{
    if (m_pid <= 0)
        return;
    ::kill(m_pid, SIGKILL);
    int status = 0;
    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
}
