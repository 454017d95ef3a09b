#include "platform/macos/MacStorage.h"

#include "base/FolderEntries.h"
#include "base/PathUtils.h"
#include "base/UniqueFd.h"

#include <QFile>
#include <QtConcurrent/QtConcurrentMap>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// A folder held open while entries of it wait to be pushed.
using HeldFolder = std::shared_ptr<const UniqueFd>;

class ItemPusher
{
public:
    explicit ItemPusher(DarwinCalls &darwin)
        : m_darwin(darwin)
    {}

    // Every regular file and folder of the tree at `root`, links not followed, then the folder
    // holding it. Each is opened from the folder holding it, so that no path grows past what
    // the system can name. An item that cannot be listed, looked at or opened is a failure:
    // what it holds would stay unpushed; in a tree only read (`onlyRead`), one gone meanwhile
    // (removed, or replaced by a file or a link) is passed over, its own program having
    // changed it.
    void pushTree(const QString &root, bool onlyRead)
    {
        m_onlyRead = onlyRead;
        const HeldFolder parent = openParent(root);
        if (!parent)
            return;
        const QByteArray name = QFile::encodeName(PathUtils::lastComponent(root));
        struct stat info
        {};
        if (::fstatat(parent->get(), name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            failUnlessGone(errno);
        } else if (S_ISDIR(info.st_mode)) {
            if (const HeldFolder folder = openFolder(*parent, name))
                walk(folder);
        } else if (S_ISREG(info.st_mode)) {
            queue({parent, name});
        }
        queue({parent, QByteArray()});
        pushBatch();
    }

    // The item (unless a link or special file) and the folder holding it.
    void pushItem(const QString &path)
    {
        m_onlyRead = false;
        const HeldFolder parent = openParent(path);
        if (!parent)
            return;
        queue({parent, QFile::encodeName(PathUtils::lastComponent(path))});
        queue({parent, QByteArray()});
        pushBatch();
    }

    [[nodiscard]] int firstError() const { return m_error.load(); }

private:
    static constexpr std::size_t batchSize = 256;
    // Folders held open by the entries waiting, well inside a Mac's default 256 descriptors.
    static constexpr std::size_t heldFolderLimit = 32;
    static constexpr int folderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

    // One entry to push: `name` in `folder`, or the folder itself when `name` is empty.
    struct Entry
    {
        HeldFolder folder;
        QByteArray name;
    };

    HeldFolder openParent(const QString &path)
    {
        const QByteArray bytes = QFile::encodeName(PathUtils::parentPath(path));
        const int fd =
            ::open(bytes.isEmpty() ? "/" : bytes.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            failUnlessGone(errno);
            return nullptr;
        }
        return std::make_shared<const UniqueFd>(fd);
    }

    HeldFolder openFolder(const UniqueFd &parent, const QByteArray &name)
    {
        const int fd = ::openat(parent.get(), name.constData(), folderFlags);
        if (fd < 0) {
            failUnlessGone(errno);
            return nullptr;
        }
        return std::make_shared<const UniqueFd>(fd);
    }

    // The folder's files, then its folders one after another, then the folder itself.
    void walk(const HeldFolder &folder)
    {
        if (firstError() != 0)
            return;
        const std::optional<std::vector<FolderEntry>> entries = entriesOf(folder->get());
        if (!entries) {
            fail(errno);
            return;
        }
        std::vector<QByteArray> files;
        std::vector<QByteArray> folders;
        for (const FolderEntry &entry : *entries) {
            struct stat info
            {};
            if (::fstatat(folder->get(), entry.name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
                failUnlessGone(errno);
                continue;
            }
            if (S_ISREG(info.st_mode))
                files.push_back(entry.name);
            else if (S_ISDIR(info.st_mode))
                folders.push_back(entry.name);
        }
        for (QByteArray &name : files)
            queue({folder, std::move(name)});
        for (const QByteArray &name : folders) {
            if (firstError() != 0)
                return;
            if (const HeldFolder inner = openFolder(*folder, name))
                walk(inner);
        }
        queue({folder, QByteArray()});
    }

    void queue(Entry entry)
    {
        if (m_batch.empty() || m_batch.back().folder != entry.folder)
            ++m_batchFolders;
        m_batch.push_back(std::move(entry));
        if (m_batch.size() >= batchSize || m_batchFolders >= heldFolderLimit)
            pushBatch();
    }

    // Many at once: each fsync waits for its own writes, so one at a time would leave the drive
    // idle between them.
    void pushBatch()
    {
        std::vector<Entry> batch = std::exchange(m_batch, {});
        m_batchFolders = 0;
        if (firstError() != 0 || batch.empty())
            return;
        QtConcurrent::blockingMap(batch, [this](const Entry &entry) { push(entry); });
    }

    void push(const Entry &entry)
    {
        if (firstError() != 0)
            return;
        if (entry.name.isEmpty()) {
            if (const int err = m_darwin.syncFile(entry.folder->get()))
                fail(err);
            return;
        }
        const int fd = ::openat(entry.folder->get(), entry.name.constData(),
                                O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            // A link or a special file named as a written item has nothing to push.
            if (errno != ELOOP && errno != ENXIO && errno != EOPNOTSUPP)
                failUnlessGone(errno);
            return;
        }
        struct stat info
        {};
        if (::fstat(fd, &info) != 0) {
            fail(errno);
        } else if (S_ISREG(info.st_mode) || S_ISDIR(info.st_mode)) {
            if (const int err = m_darwin.syncFile(fd))
                fail(err);
            else if (S_ISREG(info.st_mode) && m_darwin.isCompressed(fd))
                pushStoredPart(entry);
        }
        ::close(fd);
    }

    // A compressed file's bytes lie in its resource fork, which its own fsync does not reach;
    // a small one's lie in an extended attribute, which the drive's full flush covers.
    void pushStoredPart(const Entry &entry)
    {
        const int fork = m_darwin.openResourceFork(entry.folder->get(), entry.name);
        if (fork < 0) {
            if (errno != ENOENT)
                fail(errno);
            return;
        }
        if (const int err = m_darwin.syncFile(fork))
            fail(err);
        ::close(fork);
    }

    // A folder of a tree only read that its program replaced by a file (ENOTDIR) or a link
    // (ELOOP, O_NOFOLLOW) since the listing is gone as a folder just as a removed one is.
    void failUnlessGone(int err)
    {
        if (!(m_onlyRead && (err == ENOENT || err == ENOTDIR || err == ELOOP)))
            fail(err);
    }

    void fail(int err)
    {
        int none = 0;
        m_error.compare_exchange_strong(none, err == 0 ? EIO : err);
    }

    DarwinCalls &m_darwin;
    std::atomic<int> m_error{0};
    bool m_onlyRead = false;
    std::vector<Entry> m_batch;
    std::size_t m_batchFolders = 0;
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
            pusher.pushTree(copy, false);
        for (const QString &kept : written.kept)
            pusher.pushTree(kept, true);
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
