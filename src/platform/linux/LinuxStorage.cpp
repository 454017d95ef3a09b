#include "platform/linux/LinuxStorage.h"

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

class FolderWatch : public Storage::Watch
{
public:
    explicit FolderWatch(const QString &folder)
        : m_fd(openFolder(folder))
        , m_openError(m_fd < 0 ? errno : 0)
    {}
    ~FolderWatch() override
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FolderWatch(const FolderWatch &) = delete;
    FolderWatch &operator=(const FolderWatch &) = delete;

    int flush(const StorageWrites &) override
    {
        if (m_fd < 0)
            return m_openError;
        // Reports the write-back errors of the whole file system since this descriptor was
        // opened (or last flushed), whichever file they hit.
        return ::syncfs(m_fd) == 0 ? 0 : errno;
    }

private:
    const int m_fd;
    const int m_openError;
};

class PeriodicWriteOut : public Storage::WriteBehind
{
public:
    explicit PeriodicWriteOut(const QString &folder)
    {
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
    }

    ~PeriodicWriteOut() override
    {
        if (!m_state)
            return;
        const std::lock_guard lock(m_state->mutex);
        m_state->stop = true;
        m_state->wake.notify_all();
    }
    PeriodicWriteOut(const PeriodicWriteOut &) = delete;
    PeriodicWriteOut &operator=(const PeriodicWriteOut &) = delete;

    void finish() override
    {
        if (!m_state)
            return;
        std::unique_lock lock(m_state->mutex);
        m_state->stop = true;
        m_state->wake.notify_all();
        m_state->wake.wait(lock, [&] { return !m_state->running; });
    }

private:
    struct State
    {
        std::mutex mutex;
        std::condition_variable wake;
        bool stop = false;
        bool running = true;
    };
    // Shared with the pool thread, which may outlive this object after a cancel.
    std::shared_ptr<State> m_state;
};

} // namespace

std::unique_ptr<Storage::Watch> LinuxStorage::watch(const QString &folder)
{
    return std::make_unique<FolderWatch>(folder);
}

std::unique_ptr<Storage::WriteBehind> LinuxStorage::writeBehind(const QString &folder)
{
    return std::make_unique<PeriodicWriteOut>(folder);
}

int LinuxStorage::readPastCache(int fd)
{
    // Clean pages only, which every page of a flushed file is.
    return ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
}

bool LinuxStorage::refetchFromDevice(int fd)
{
    return ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0 &&
           ::posix_fadvise(fd, 0, 0, POSIX_FADV_WILLNEED) == 0;
}

void LinuxStorage::readAhead(int fd, qint64 offset, qint64)
{
    // Linux reads ahead on its own, and further once told the whole file comes in order.
    if (offset == 0)
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
}
