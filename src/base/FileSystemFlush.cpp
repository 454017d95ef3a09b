#include "base/FileSystemFlush.h"

#include <QFile>
#include <QThreadPool>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace {

// -1 with errno set when it cannot be opened.
int openFolder(const QString &folder)
{
    const QByteArray path = QFile::encodeName(folder);
    if (path.isEmpty()) {
        errno = ENOENT;
        return -1;
    }
    return ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

} // namespace

FileSystemFlush::FileSystemFlush(const QString &folder)
    : m_fd(openFolder(folder))
{
    if (m_fd < 0)
        m_openError = errno;
}

FileSystemFlush::~FileSystemFlush()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

int FileSystemFlush::flush()
{
    if (m_fd < 0)
        return m_openError;
#ifdef __APPLE__
    // sync() schedules every file system's dirty data; F_FULLFSYNC then waits for the drive to
    // move what it holds in its own cache onto the medium (fcntl(2)), which fsync() does not.
    ::sync();
    if (::fcntl(m_fd, F_FULLFSYNC) == 0)
        return 0;
    // A file system that cannot take the full flush gets the plain one.
    const int err = errno;
    if (err != ENOTSUP && err != ENOTTY && err != EINVAL)
        return err;
    return ::fsync(m_fd) == 0 ? 0 : errno;
#else
    // syncfs() reports the write-back errors of the whole file system since this descriptor was
    // opened (or last flushed), whichever file they hit.
    return ::syncfs(m_fd) == 0 ? 0 : errno;
#endif
}

int FileSystemFlush::flushFolder(const QString &folder)
{
    FileSystemFlush watch(folder);
    return watch.flush();
}

void FileSystemFlush::readPastCache(int fd)
{
#if defined(POSIX_FADV_DONTNEED)
    // Clean pages only, which every page of a flushed file is.
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
#elif defined(F_NOCACHE)
    // The Mac has no posix_fadvise; "F_NOCACHE: Turns data caching off/on" on the descriptor
    // (Apple's fcntl(2) manual page), so its reads bypass the unified buffer cache.
    ::fcntl(fd, F_NOCACHE, 1);
#else
    (void)fd;
#endif
}

bool FileSystemFlush::refetchFromDevice(int fd)
{
#if defined(POSIX_FADV_DONTNEED) && defined(POSIX_FADV_WILLNEED)
    return ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0 &&
           ::posix_fadvise(fd, 0, 0, POSIX_FADV_WILLNEED) == 0;
#else
    (void)fd;
    return false;
#endif
}

struct FileSystemFlush::WriteBehind::State
{
    std::mutex mutex;
    std::condition_variable wake;
    bool stop = false;
    bool running = true;
};

FileSystemFlush::WriteBehind::WriteBehind(const QString &folder)
{
#ifdef __linux__
    // A short copy ends before the first write-out, and costs nothing.
    constexpr auto pause = std::chrono::milliseconds(100);
    // A descriptor of its own: its flushes take no error from the watch's.
    const int fd = openFolder(folder);
    if (fd < 0)
        return;
    auto state = std::make_shared<State>();
    const bool started = QThreadPool::globalInstance()->tryStart([state, fd, pause] {
        std::unique_lock lock(state->mutex);
        while (!state->wake.wait_for(lock, pause, [&] { return state->stop; })) {
            lock.unlock();
            (void)::syncfs(fd);
            lock.lock();
        }
        ::close(fd);
        state->running = false;
        state->wake.notify_all();
    });
    if (!started) {
        ::close(fd);
        return;
    }
    m_state = std::move(state);
#else
    (void)folder;
#endif
}

void FileSystemFlush::WriteBehind::finish()
{
    if (!m_state)
        return;
    std::unique_lock lock(m_state->mutex);
    m_state->stop = true;
    m_state->wake.notify_all();
    m_state->wake.wait(lock, [&] { return !m_state->running; });
}

FileSystemFlush::WriteBehind::~WriteBehind()
{
    if (!m_state)
        return;
    const std::lock_guard lock(m_state->mutex);
    m_state->stop = true;
    m_state->wake.notify_all();
}
