#include "platform/macos/MacStorage.h"

#include <QFile>
#include <QtConcurrent/QtConcurrentMap>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fts.h>
#include <limits>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

class ItemPusher
{
public:
    explicit ItemPusher(DarwinCalls &darwin)
        : m_darwin(darwin)
    {}

    // Every regular file and folder of the tree at `root`, links not followed, then the folder
    // holding it. An item that cannot be listed, looked at or opened is a failure: what it
    // holds would stay unpushed.
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
            else if (entry->fts_info == FTS_DNR || entry->fts_info == FTS_ERR ||
                     entry->fts_info == FTS_NS)
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
            fail(errno);
            return;
        }
        if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode))
            return;
        const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            fail(errno);
            return;
        }
        if (const int err = m_darwin.syncFile(fd))
            fail(err);
        else if (S_ISREG(info.st_mode) && m_darwin.isCompressed(fd))
            pushStoredPart(path);
        ::close(fd);
    }

    // A compressed file's bytes lie in its resource fork, which its own fsync does not reach;
    // a small one's lie in an extended attribute, which the drive's full flush covers.
    void pushStoredPart(const QByteArray &path)
    {
        const int fork = m_darwin.openResourceFork(path);
        if (fork < 0) {
            if (errno != ENOENT)
                fail(errno);
            return;
        }
        if (const int err = m_darwin.syncFile(fork))
            fail(err);
        ::close(fork);
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
        , m_folder(folder)
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
        // A file system that cannot take the full flush gets the plain one, which leaves what
        // the drive holds in its own cache to the drive: said once per watch.
        if (!m_fellBack) {
            m_fellBack = true;
            m_notices.append(QStringLiteral("The drive holding '") + m_folder +
                             QStringLiteral("' refused to empty its own cache (F_FULLFSYNC: ") +
                             QString::fromLocal8Bit(std::strerror(err)) +
                             QStringLiteral("); what was written to it was pushed with fsync "
                                            "alone, which leaves that cache to the drive."));
        }
        return m_darwin->syncFile(m_fd);
    }

    QStringList takeNotices() override { return std::exchange(m_notices, {}); }

private:
    std::shared_ptr<DarwinCalls> m_darwin;
    const QString m_folder;
    int m_fd = -1;
    int m_openError = 0;
    bool m_fellBack = false;
    QStringList m_notices;
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

int MacStorage::readPastCache(int fd)
{
    struct stat info
    {};
    if (::fstat(fd, &info) != 0)
        return errno;
    if (!S_ISREG(info.st_mode))
        return EINVAL;
    // Its bytes live apart, hidden from every process but the kernel's own (decmpfs), and
    // reads take the decompressed pages in memory first whatever F_NOCACHE says: nothing here
    // can make them come from the drive.
    if (m_darwin->isCompressed(fd))
        return ENOTSUP;
    // Pages still dirty would be dropped unwritten; a flushed file has none, and this makes sure.
    if (const int err = m_darwin->syncFile(fd))
        return err;
    for (qint64 offset = 0; offset < qint64(info.st_size); offset += discardChunk) {
        const qint64 length = std::min(discardChunk, qint64(info.st_size) - offset);
        if (const int err = m_darwin->discardCachedPages(fd, offset, length))
            return err;
    }
    return m_darwin->readUncached(fd);
}

bool MacStorage::refetchFromDevice(int)
{
    return false;
}

void MacStorage::readAhead(int fd, qint64 offset, qint64 length)
{
    // A range F_RDADVISE takes at once is counted in an int.
    const auto count = int(std::min<qint64>(length, std::numeric_limits<int>::max()));
    (void)m_darwin->adviseRead(fd, offset, count);
}
