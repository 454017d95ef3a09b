#include "platform/macos/MacStorage.h"

#include <QFile>
#include <QtConcurrent/QtConcurrentMap>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <fts.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Errors that say the drive itself failed or went away, rather than that one item could not be
// opened (a file the user may not read is reported by the verification that follows).
bool isDriveError(int err)
{
    return err == EIO || err == ENXIO || err == ENODEV || err == ENOSPC || err == EROFS ||
           err == EDQUOT;
}

class ItemPusher
{
public:
    explicit ItemPusher(DarwinCalls &darwin)
        : m_darwin(darwin)
    {}

    // Every regular file and folder of the tree at `root`, links not followed, then the folder
    // holding it.
    void pushTree(const QString &root)
    {
        const QByteArray rootPath = QFile::encodeName(root);
        char *roots[] = {const_cast<char *>(rootPath.constData()), nullptr};
        FTS *walk = ::fts_open(roots, FTS_PHYSICAL | FTS_NOCHDIR, nullptr);
        if (!walk) {
            fail(errno);
            return;
        }
        std::vector<QByteArray> batch;
        while (const FTSENT *entry = firstError() == 0 ? ::fts_read(walk) : nullptr) {
            if (entry->fts_info == FTS_F || entry->fts_info == FTS_DP)
                batch.emplace_back(entry->fts_path);
            else if (entry->fts_info == FTS_DNR || entry->fts_info == FTS_ERR)
                fail(entry->fts_errno);
            if (batch.size() == batchSize) {
                pushBatch(batch);
                batch.clear();
            }
        }
        if (firstError() == 0 && errno != 0)
            fail(errno);
        ::fts_close(walk);
        pushBatch(batch);
        pushParent(root);
    }

    // The item (unless a link or special file) and the folder holding it.
    void pushItem(const QString &path)
    {
        push(QFile::encodeName(path));
        pushParent(path);
    }

    [[nodiscard]] int firstError() const { return m_error.load(); }

private:
    static constexpr std::size_t batchSize = 256;

    void pushParent(const QString &path)
    {
        const QByteArray bytes = QFile::encodeName(path);
        const qsizetype slash = bytes.lastIndexOf('/');
        if (slash >= 0)
            push(slash == 0 ? QByteArray("/") : bytes.left(slash));
    }

    // Many at once: each fsync waits for its own writes, so one at a time would leave the drive
    // idle between them.
    void pushBatch(const std::vector<QByteArray> &batch)
    {
        if (firstError() != 0 || batch.empty())
            return;
        QtConcurrent::blockingMap(batch, [this](const QByteArray &path) { push(path); });
    }

    void push(const QByteArray &path)
    {
        if (firstError() != 0)
            return;
        struct stat info
        {};
        if (::lstat(path.constData(), &info) != 0) {
            if (isDriveError(errno))
                fail(errno);
            return;
        }
        if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode))
            return;
        const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            if (isDriveError(errno))
                fail(errno);
            return;
        }
        if (const int err = m_darwin.syncFile(fd))
            fail(err);
        ::close(fd);
    }

    void fail(int err)
    {
        int none = 0;
        m_error.compare_exchange_strong(none, err == 0 ? EIO : err);
    }

    DarwinCalls &m_darwin;
    std::atomic<int> m_error{0};
};

class PushingWatch : public Storage::Watch
{
public:
    PushingWatch(std::shared_ptr<DarwinCalls> darwin, const QString &folder)
        : m_darwin(std::move(darwin))
    {
        const QByteArray path = QFile::encodeName(folder);
        m_fd = path.isEmpty() ? -1 : ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        m_openError = m_fd < 0 ? (path.isEmpty() ? ENOENT : errno) : 0;
    }
    ~PushingWatch() override
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    PushingWatch(const PushingWatch &) = delete;
    PushingWatch &operator=(const PushingWatch &) = delete;

    int flush(const StorageWrites &written) override
    {
        if (m_fd < 0)
            return m_openError;
        ItemPusher pusher(*m_darwin);
        for (const QString &copy : written.copies)
            pusher.pushTree(copy);
        for (const QString &item : written.items)
            pusher.pushItem(item);
        if (const int err = pusher.firstError())
            return err;
        // Once, after every item is on its way: the drive empties its own cache.
        const int err = m_darwin->syncDriveCache(m_fd);
        if (err != ENOTSUP && err != ENOTTY && err != EINVAL)
            return err;
        // A file system that cannot take the full flush gets the plain one.
        return m_darwin->syncFile(m_fd);
    }

private:
    std::shared_ptr<DarwinCalls> m_darwin;
    int m_fd = -1;
    int m_openError = 0;
};

class NoWriteBehind : public Storage::WriteBehind
{
public:
    void finish() override {}
};

} // namespace

int invalidateCachedRange(int fd, qint64 offset, qint64 length)
{
    if (length <= 0)
        return 0;
    // No access is needed: the mapping only names the pages to drop.
    void *pages = ::mmap(nullptr, std::size_t(length), PROT_NONE, MAP_SHARED, fd, off_t(offset));
    if (pages == MAP_FAILED)
        return errno;
    const int err = ::msync(pages, std::size_t(length), MS_INVALIDATE) == 0 ? 0 : errno;
    ::munmap(pages, std::size_t(length));
    return err;
}

MacStorage::MacStorage(std::shared_ptr<DarwinCalls> darwin)
    : m_darwin(std::move(darwin))
{}

std::unique_ptr<Storage::Watch> MacStorage::watch(const QString &folder)
{
    return std::make_unique<PushingWatch>(m_darwin, folder);
}

std::unique_ptr<Storage::WriteBehind> MacStorage::writeBehind(const QString &)
{
    return std::make_unique<NoWriteBehind>();
}

void MacStorage::readPastCache(int fd)
{
    struct stat info
    {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return;
    // Pages still dirty would be dropped unwritten; a flushed file has none, and this makes sure.
    if (m_darwin->syncFile(fd) != 0)
        return;
    for (qint64 offset = 0; offset < qint64(info.st_size); offset += discardChunk) {
        if (m_darwin->discardCachedPages(fd, offset,
                                         std::min(discardChunk, qint64(info.st_size) - offset)))
            break;
    }
    (void)m_darwin->readUncached(fd);
}

bool MacStorage::refetchFromDevice(int)
{
    return false;
}

void MacStorage::readAhead(int)
{}
