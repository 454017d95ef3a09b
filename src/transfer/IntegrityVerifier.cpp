#include "transfer/IntegrityVerifier.h"

#include "base/FolderEntries.h"
#include "base/Sha256.h"
#include "base/UniqueFd.h"
#include "platform/FileSystemIdentity.h"
#include "platform/System.h"

#include <QFile>
#include <QStringList>
#include <QThreadPool>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <string_view>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

const QString cancelledReason = QStringLiteral("Verification cancelled by user.");
constexpr int permissionMask = 0777;
// File sides queued for hashing beyond which no further folder is listed: plenty to keep every
// pool thread busy, and what keeps memory independent of the number of files.
constexpr size_t hashQueueLimit = 512;
// Folders held open for queued files and for the folders below them, well inside a Mac's
// default limit of 256 open files; past it, a folder's files are hashed by the worker that listed
// it, and the folders in it are entered one level at a time from the nearest folder held above.
constexpr int heldFolderLimit = 64;
// Up to this many bytes of a folder's files are hashed by the worker that listed it.
constexpr qint64 inlineHashBytes = 256 * 1024;
// Destination files to be read from the device are asked for when they are queued, so that many
// reads are in flight at once rather than one per thread; up to this many bytes at a time, which
// bounds the memory the pages asked for ahead take. A file larger than the read-ahead window is
// read ahead as it is hashed instead, so that no one file takes all of it while it waits.
constexpr qint64 refetchBudget = 64 * 1024 * 1024;
// A file is asked to be read in this far ahead of its reads, so that the device reads on while a
// chunk is hashed: where reads bypass the cache, nothing else reads ahead.
constexpr qint64 readAheadWindow = 8 * IntegrityVerifier::chunkSize;

enum Side : int { sourceSide = 0, destinationSide = 1 };

// Names stay bytes as the file system stores them; text is made only for messages, so two
// names that differ only in bytes that are not UTF-8 are never taken for one.
QString shown(const QByteArray &bytes)
{
    return QFile::decodeName(bytes);
}

QString octal(int bits)
{
    return QString::number(bits & permissionMask, 8);
}

// Each pool thread keeps one read buffer rather than faulting in a fresh mebibyte per file.
char *chunkBuffer()
{
    // Left uninitialised, as every read overwrites it.
    thread_local const std::unique_ptr<char[]> buffer(
        new char[size_t(IntegrityVerifier::chunkSize)]);
    return buffer.get();
}

// Fills up to `capacity` bytes; 0 at the end of the file, -1 on a read error.
qint64 readChunk(int fd, char *buffer, qint64 capacity)
{
    qint64 filled = 0;
    while (filled < capacity) {
        const ssize_t got = ::read(fd, buffer + filled, size_t(capacity - filled));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (got == 0)
            break;
        filled += got;
    }
    return filled;
}

enum class Digest { done, unreadable, stopped };

// Opens a regular file for hashing; O_NONBLOCK keeps the open itself from waiting on a FIFO.
int openForDigest(int dirFd, const char *path, bool followLinks)
{
    const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (followLinks ? 0 : O_NOFOLLOW);
    return ::openat(dirFd, path, flags);
}

// Whether an item takes part in the comparison. Sockets and pipes hold no data, and every copy
// leaves them out; everything else is compared, whatever its name.
bool isCompared(mode_t type)
{
    return !isLeftOutOfCopies(type);
}

quint64 mixBits(quint64 x)
{
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// One item of a tree's print: a folder by its device and inode, any other item by its kind.
quint64 printOf(const QByteArray &relative, mode_t type, quint64 device, quint64 inode)
{
    const quint64 name = std::hash<std::string_view>{}(
        std::string_view(relative.constData(), size_t(relative.size())));
    return mixBits(name ^ mixBits(quint64(type) ^ mixBits(device ^ mixBits(inode))));
}

// The folder or file `relative` (below the root, with a leading "/") entered one level at a
// time from `rootFd` without following a link, each folder on the root's own file system (device
// `rootDevice`, or the same `rootStore`); the last component opened with `flags`. -1 with errno
// set (EXDEV: a folder on the way lies on another file system).
int openBelow(int rootFd, const QByteArray &relative, int flags, dev_t rootDevice,
              std::optional<quint64> rootStore)
{
    const QList<QByteArray> parts = relative.mid(1).split('/');
    UniqueFd current;
    int at = rootFd;
    for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
        UniqueFd next(
            ::openat(at, parts.at(i).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.valid())
            return -1;
        struct stat info
        {};
        if (::fstat(next.get(), &info) != 0)
            return -1;
        if (info.st_dev != rootDevice && FileSystemIdentity::storeOf(next.get()) != rootStore) {
            errno = EXDEV;
            return -1;
        }
        current = std::move(next);
        at = current.get();
    }
    return ::openat(at, parts.last().constData(), flags);
}

// Streams the file through SHA-256, asking `stop` before every read. A read error or a stop
// yields no digest, never that of what was read so far. With `endAtShortRead`, a chunk that came
// back short already met the end of the file, which saves a read per small file.
template<typename Stop>
Digest digestOpenFile(Storage &storage, const UniqueFd &fd, const Stop &stop, bool endAtShortRead,
                      QByteArray &hex)
{
    if (!fd.valid())
        return Digest::unreadable;
    struct stat info
    {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return Digest::unreadable;
    const qint64 size = qint64(info.st_size);
    // One read gains nothing from reading ahead.
    const bool readsAhead = size > IntegrityVerifier::chunkSize;
    qint64 position = 0;
    qint64 askedTo = 0;

    Sha256 hasher;
    char *buffer = chunkBuffer();
    for (;;) {
        if (stop())
            return Digest::stopped;
        // The next window is asked for once the reads are half-way through the last one.
        if (readsAhead && askedTo < size && position + readAheadWindow / 2 >= askedTo) {
            const qint64 length = std::min(readAheadWindow, size - askedTo);
            storage.readAhead(fd.get(), askedTo, length);
            askedTo += length;
        }
        const qint64 got = readChunk(fd.get(), buffer, IntegrityVerifier::chunkSize);
        if (got < 0)
            return Digest::unreadable;
        if (got == 0)
            break;
        position += got;
        hasher.add(buffer, got);
        if (endAtShortRead && got < IntegrityVerifier::chunkSize)
            break;
    }
    hex = hasher.finish().toHex();
    return Digest::done;
}

// Removes repeated "/", "." and ".." without asking the disk; ".." at the root stays there.
QByteArray lexicallyNormal(const QByteArray &path)
{
    const bool absolute = path.startsWith('/');
    std::vector<QByteArray> parts;
    qsizetype start = 0;
    while (start <= path.size()) {
        qsizetype end = path.indexOf('/', start);
        if (end < 0)
            end = path.size();
        const QByteArray component = path.mid(start, end - start);
        start = end + 1;
        if (component.isEmpty() || component == ".")
            continue;
        if (component == "..") {
            if (!parts.empty() && parts.back() != "..")
                parts.pop_back();
            else if (!absolute)
                parts.push_back(component);
            continue;
        }
        parts.push_back(component);
    }
    QByteArray joined;
    for (const QByteArray &part : parts) {
        if (!joined.isEmpty() || absolute)
            joined += '/';
        joined += part;
    }
    if (joined.isEmpty())
        return absolute ? QByteArray("/") : QByteArray(".");
    return joined;
}

// Both normalized: `path` is `root` or lies below it, component-wise ("/a/bc" is not in "/a/b").
bool isSameOrInside(const QByteArray &path, const QByteArray &root)
{
    if (!path.startsWith(root))
        return false;
    return path.size() == root.size() || root.endsWith('/') || path.at(root.size()) == '/';
}

// A UTF-8 path with its names in composed form, so that the two spellings of a name with an
// accent compare alike, as a Mac's file systems take either for the other. Other bytes stay
// as they are.
QByteArray composedSpelling(const QByteArray &path)
{
    const QString text = QString::fromUtf8(path);
    if (text.toUtf8() != path)
        return path;
    return text.normalized(QString::NormalizationForm_C).toUtf8();
}

bool existsFollowingLinks(const QByteArray &path)
{
    struct stat info
    {};
    return !path.isEmpty() && ::stat(path.constData(), &info) == 0;
}

// One item of a folder listing.
struct FileMeta
{
    bool isDir = false;
    bool isLink = false;
    qint64 size = 0;
    std::optional<QByteArray> symlinkDest;
    std::optional<int> posixPermissions;
    // The file-type bits, so that a FIFO, socket or device is told apart from a regular file
    // and never opened.
    mode_t type = 0;
    QByteArray name;
};

// A listed folder kept open so that its files and the folders below it are opened relative to
// it, which spares a lookup of every component of their paths and follows no link put on the way
// since; `held` counts the folders kept. One it does not count (null) serves only the thread that
// listed it, for as long as that thread works on it.
struct OpenFolder
{
    UniqueFd fd;
    std::atomic<int> *const held;
    const QByteArray relative; // below the root, as FolderTask::relative

    OpenFolder(int descriptor, std::atomic<int> *counter, QByteArray path)
        : fd(descriptor)
        , held(counter)
        , relative(std::move(path))
    {}
    ~OpenFolder()
    {
        if (held)
            held->fetch_sub(1);
    }
    OpenFolder(const OpenFolder &) = delete;
    OpenFolder &operator=(const OpenFolder &) = delete;
};

// A folder present in one or both trees, by its path below the roots ("" for the roots,
// else with a leading "/").
struct FolderTask
{
    QByteArray relative;
    bool present[2] = {true, true};
    // The nearest folder above it held on each side, as it was listed (null: the root).
    std::shared_ptr<const OpenFolder> parents[2];
};

// The folder `relative` entered from `above`, the nearest folder held above it (null: the root
// `rootFd`), one level at a time without following a link, as openBelow does.
int openFrom(const OpenFolder *above, int rootFd, const QByteArray &relative, int flags,
             dev_t rootDevice, const std::optional<quint64> &rootStore)
{
    if (!above)
        return openBelow(rootFd, relative, flags, rootDevice, rootStore);
    const QByteArray below = relative.mid(above->relative.size());
    if (below.lastIndexOf('/') == 0)
        return ::openat(above->fd.get(), below.constData() + 1, flags);
    return openBelow(above->fd.get(), below, flags, rootDevice, rootStore);
}

// A regular file present on both sides with equal sizes, waiting for its two digests.
struct HashPair
{
    QByteArray relative;
    QByteArray name;
    std::shared_ptr<const OpenFolder> folders[2];
    std::atomic<int> finished{0};
    QByteArray digests[2];
    bool destinationRefetched = false; // read again from the device when it was queued
};

struct HashJob
{
    std::shared_ptr<HashPair> pair;
    Side side = sourceSide;
    qint64 size = 0;
};

// The finding with the smallest (side, path) of one kind, so that of several faults the same
// one is reported every time, whatever the threads' timing.
struct Finding
{
    bool found = false;
    int side = 0;
    QByteArray key;
    QString message;

    void offer(int otherSide, const QByteArray &otherKey, QString otherMessage)
    {
        if (found && std::tie(side, key) <= std::tie(otherSide, otherKey))
            return;
        found = true;
        side = otherSide;
        key = otherKey;
        message = std::move(otherMessage);
    }
};

// The print of the open folder `fd` (at `relative`, on the file system of the root's device or
// store) and of its items, added to `print`, but for the folders in it: their names go to
// `folders`. False when it cannot be listed or lies on another file system: then it is no longer
// what it was.
bool addFolderPrint(int fd, const QByteArray &relative, dev_t rootDevice,
                    const std::optional<quint64> &rootStore, IntegrityVerifier::TreePrint &print,
                    std::vector<QByteArray> &folders)
{
    struct stat self
    {};
    if (::fstat(fd, &self) != 0 ||
        (self.st_dev != rootDevice && FileSystemIdentity::storeOf(fd) != rootStore))
        return false;
    print.sum += printOf(relative, S_IFDIR, quint64(self.st_dev), quint64(self.st_ino));
    ++print.count;
    const std::optional<std::vector<FolderEntry>> entries = entriesOf(fd);
    if (!entries)
        return false;
    for (const FolderEntry &entry : *entries) {
        const QByteArray &name = entry.name;
        if (name == ".DS_Store")
            continue;
        mode_t type = entry.type;
        if (type == 0) {
            struct stat info
            {};
            if (::fstatat(fd, name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0)
                return false;
            type = info.st_mode & S_IFMT;
        }
        if (!isCompared(type))
            continue;
        if (type == S_IFDIR)
            folders.emplace_back(name);
        else
            print.sum += printOf(relative + '/' + name, type, 0, 0);
        print.count += type == S_IFDIR ? 0 : 1;
    }
    return true;
}

// Work the calling thread shares with whichever pool threads are free at once, so that it cannot
// starve when the pool is busy: each runs the job's work() until nothing is left for it. A helper
// that starts once the caller finished does nothing, and finish() returns only once every helper
// has left.
template<typename Job>
class SharedWork : public std::enable_shared_from_this<Job>
{
protected:
    // Offers the work to one pool thread fewer than the pool has, while `more()` still holds.
    template<typename More>
    void startHelpers(const More &more)
    {
        QThreadPool *pool = QThreadPool::globalInstance();
        for (int i = 1; i < pool->maxThreadCount() && more(); ++i) {
            if (!pool->tryStart([self = this->shared_from_this()] { self->help(); }))
                break;
        }
    }

    // Ends the work for every helper; returns, `lock` held on m_mutex, once none is left.
    void finish(std::unique_lock<std::mutex> &lock)
    {
        m_finished = true;
        m_wake.notify_all();
        m_wake.wait(lock, [this] { return m_helpers == 0; });
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_finished = false; // guarded by m_mutex

private:
    void help()
    {
        {
            const std::lock_guard lock(m_mutex);
            if (m_finished)
                return;
            ++m_helpers;
        }
        static_cast<Job *>(this)->work();
        const std::lock_guard lock(m_mutex);
        --m_helpers;
        m_wake.notify_all();
    }

    int m_helpers = 0; // guarded by m_mutex
};

// The print of a tree, its folders listed on the pool's threads, each entered from the folder that
// listed it without following a link (past the limit of folders held open, one level at a time
// from the nearest held above): a second walk of a large copy costs a fraction of its
// verification.
class TreePrintWalk : public SharedWork<TreePrintWalk>
{
    friend class SharedWork<TreePrintWalk>;

public:
    TreePrintWalk(int rootFd, dev_t rootDevice, std::optional<quint64> rootStore)
        : m_root(rootFd)
        , m_rootDevice(rootDevice)
        , m_rootStore(std::move(rootStore))
    {}

    std::optional<IntegrityVerifier::TreePrint> run()
    {
        std::vector<Folder> below;
        if (!visit(UniqueFd(::fcntl(m_root.get(), F_DUPFD_CLOEXEC, 0)), Folder(), m_print, below))
            return std::nullopt;
        m_pending = std::move(below);
        startHelpers([this] { return !m_pending.empty(); });
        work();
        std::unique_lock lock(m_mutex);
        finish(lock);
        if (m_failed)
            return std::nullopt;
        return m_print;
    }

private:
    // A folder to be listed, by its path below the root, and the nearest folder held above it
    // (null: the root).
    struct Folder
    {
        std::shared_ptr<const OpenFolder> parent;
        QByteArray relative;
    };

    void work()
    {
        std::vector<Folder> below;
        std::unique_lock lock(m_mutex);
        for (;;) {
            ++m_waiting;
            m_wake.wait(lock, [this] { return m_failed || !m_pending.empty() || m_running == 0; });
            --m_waiting;
            if (m_failed || m_pending.empty())
                break;
            // One at a time, as the verification takes them.
            Folder folder = std::move(m_pending.back());
            m_pending.pop_back();
            ++m_running;
            lock.unlock();
            IntegrityVerifier::TreePrint print;
            below.clear();
            const bool listed = visit(open(folder), folder, print, below);
            folder = {};
            lock.lock();
            --m_running;
            m_print.sum += print.sum;
            m_print.count += print.count;
            if (!listed) {
                m_failed = true;
                m_pending.clear();
                m_wake.notify_all();
                continue;
            }
            // Reversed, so that the first folder is taken first.
            std::move(below.rbegin(), below.rend(), std::back_inserter(m_pending));
            if (m_running == 0 && m_pending.empty())
                m_wake.notify_all();
            for (size_t i = 1; i < below.size() && int(i) <= m_waiting; ++i)
                m_wake.notify_one();
        }
    }

    [[nodiscard]] UniqueFd open(const Folder &folder) const
    {
        return UniqueFd(openFrom(folder.parent.get(), m_root.get(), folder.relative,
                                 O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, m_rootDevice,
                                 m_rootStore));
    }

    // Prints the open folder `fd` of `folder` and its items; the folders in it go to `below`,
    // entered from it while it can be held for them.
    bool visit(UniqueFd fd, const Folder &folder, IntegrityVerifier::TreePrint &print,
               std::vector<Folder> &below)
    {
        const QByteArray &relative = folder.relative;
        std::vector<QByteArray> folders;
        if (!fd.valid() ||
            !addFolderPrint(fd.get(), relative, m_rootDevice, m_rootStore, print, folders))
            return false;
        std::shared_ptr<const OpenFolder> above = folder.parent;
        if (!folders.empty() && m_held.fetch_add(1) < heldFolderLimit)
            above = std::make_shared<const OpenFolder>(fd.release(), &m_held, relative);
        else if (!folders.empty())
            m_held.fetch_sub(1);
        for (const QByteArray &name : folders)
            below.push_back({above, relative + '/' + name});
        return true;
    }

    const UniqueFd m_root;
    const dev_t m_rootDevice;
    const std::optional<quint64> m_rootStore;
    std::atomic<int> m_held{0};
    // Guarded by m_mutex.
    std::vector<Folder> m_pending; // taken from the back, so the walk stays depth-first
    IntegrityVerifier::TreePrint m_print;
    int m_running = 0;
    int m_waiting = 0;
    bool m_failed = false;
};

std::optional<IntegrityVerifier::TreePrint> treePrintAt(const QByteArray &root)
{
    UniqueFd fd(root.isEmpty() ? -1 : ::open(root.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat info
    {};
    if (!fd.valid() || ::fstat(fd.get(), &info) != 0)
        return std::nullopt;
    const std::optional<quint64> store = FileSystemIdentity::storeOf(fd.get());
    return std::make_shared<TreePrintWalk>(fd.release(), info.st_dev, store)->run();
}

// The first five names in ascending order of all offered, whatever order they come in. Byte
// order is code-point order for UTF-8.
class FirstNames
{
public:
    static constexpr size_t kept = 5;

    void offer(const QByteArray &name)
    {
        if (m_names.size() == kept && !(name < m_names.back()))
            return;
        m_names.insert(std::upper_bound(m_names.begin(), m_names.end(), name), name);
        if (m_names.size() > kept)
            m_names.pop_back();
    }
    [[nodiscard]] bool isEmpty() const { return m_names.empty(); }
    [[nodiscard]] QStringList list() const
    {
        QStringList list;
        for (const QByteArray &name : m_names)
            list.append(shown(name));
        return list;
    }
    [[nodiscard]] QString text() const { return list().join(QStringLiteral(", ")); }

private:
    std::vector<QByteArray> m_names;
};

// What one folder task found, handed to the shared state under one lock.
struct FolderOutcome
{
    std::vector<FolderTask> folders;
    std::vector<HashJob> hashes;
    std::vector<QByteArray> names[2]; // in this side only: missing, extra
    std::vector<QByteArray> leftOut;  // what the source holds that copies leave out
    qint64 counts[2] = {0, 0};
    std::optional<std::pair<QByteArray, QString>> failure; // the folder's first entry failure
    // A folder listed is not held for later: its files are hashed before it closes.
    bool hashHere = false;
};

// One verification. Both trees are walked folder by folder in step on the global pool: each
// folder's two listings are compared, file pairs go to a bounded hashing queue, and only
// counts, the first five extra and missing names and the first findings are kept. So memory
// follows the widest folder and the queue, not the number of files.
class Verification : public SharedWork<Verification>
{
    friend class SharedWork<Verification>;

public:
    Verification(const QString &source, const QString &destination,
                 IntegrityVerifier::CancelProbe probe, IntegrityVerifier::DestinationRead read,
                 IntegrityVerifier::Report *report)
        : m_probe(std::move(probe))
        , m_report(report)
        , m_destinationFromDevice(read == IntegrityVerifier::DestinationRead::fromDevice)
        , m_system(System::installed())
    {
        m_rootText[sourceSide] = source;
        m_rootText[destinationSide] = destination;
        m_normalSourceRoot = lexicallyNormal(QFile::encodeName(source));
        m_composedSourceRoot = composedSpelling(m_normalSourceRoot);
        m_rootBytes[sourceSide] = QFile::encodeName(source);
        m_rootBytes[destinationSide] = QFile::encodeName(destination);
    }

    Verdict run()
    {
        if (auto failure = compareRootPermissions())
            return Verdict::fail(*failure);
        for (const Side side : {sourceSide, destinationSide}) {
            const QByteArray root = QFile::encodeName(m_rootText[side]);
            m_rootFd[side] = std::make_unique<UniqueFd>(
                root.isEmpty() ? -1 : ::open(root.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            struct stat info
            {};
            if (!m_rootFd[side]->valid() || ::fstat(m_rootFd[side]->get(), &info) != 0)
                return Verdict::fail(cannotEnumerate(side, m_rootText[side]));
            m_rootDevice[side] = info.st_dev;
            m_rootStore[side] = FileSystemIdentity::storeOf(m_rootFd[side]->get());
        }
        m_folders.push_back({});

        startHelpers([] { return true; });
        work();

        std::unique_lock lock(m_mutex);
        // No helper may call the probe once the caller has its answer.
        finish(lock);
        const IntegrityVerifier::TreePrint read{m_printSum.load(), m_printCount.load()};
        if (m_report) {
            m_report->leftOut = m_leftOutNames.list();
            m_report->leftOutCount = m_leftOutCount;
            m_report->destination = read;
        }
        Verdict result = verdict();
        // A folder swapped for a link (or moved, or replaced) after it was read leaves the copy
        // unlike what was compared: the tree must still be what was read.
        if (result.ok && treePrintAt(QFile::encodeName(m_rootText[destinationSide])) != read)
            result = Verdict::fail(QStringLiteral("Destination changed while it was verified: an "
                                                  "item of '") +
                                   m_rootText[destinationSide] +
                                   QStringLiteral("' was replaced, moved or made a link."));
        return result;
    }

private:
    std::optional<QString> compareRootPermissions() const
    {
        int bits[2] = {0, 0};
        for (const Side side : {sourceSide, destinationSide}) {
            struct stat info
            {};
            const QByteArray path = QFile::encodeName(m_rootText[side]);
            if (path.isEmpty() || ::lstat(path.constData(), &info) != 0)
                return QStringLiteral("Could not read POSIX permissions for ") + label(side) +
                       QStringLiteral(" root: ") + m_rootText[side];
            bits[side] = int(info.st_mode & permissionMask);
        }
        if (bits[sourceSide] != bits[destinationSide])
            return QStringLiteral("Root directory permission mismatch: source is ") +
                   octal(bits[sourceSide]) + QStringLiteral(" but destination is ") +
                   octal(bits[destinationSide]) + QStringLiteral(".");
        return std::nullopt;
    }

    Verdict verdict() const
    {
        if (m_cancelled.load())
            return Verdict::fail(cancelledReason);
        if (m_listingFailure.found)
            return Verdict::fail(m_listingFailure.message);
        if (m_counts[sourceSide] != m_counts[destinationSide]) {
            QString message =
                QStringLiteral("Item count mismatch: source has ") +
                QString::number(m_counts[sourceSide]) + QStringLiteral(" items, destination has ") +
                QString::number(m_counts[destinationSide]) + QStringLiteral(" items.");
            if (!m_names[destinationSide].isEmpty())
                message += QStringLiteral(" Extra: ") + m_names[destinationSide].text();
            if (!m_names[sourceSide].isEmpty())
                message += QStringLiteral(" Missing: ") + m_names[sourceSide].text();
            return Verdict::fail(message);
        }
        if (m_entryFailure.found)
            return Verdict::fail(m_entryFailure.message);
        if (m_contentFailure.found)
            return Verdict::fail(m_contentFailure.message);
        return Verdict::pass();
    }

    static QString label(Side side)
    {
        return side == sourceSide ? QStringLiteral("source") : QStringLiteral("destination");
    }

    [[nodiscard]] QString fullPath(Side side, const QByteArray &relative) const
    {
        return m_rootText[side] + shown(relative);
    }

    static QString cannotEnumerate(Side side, const QString &folder)
    {
        return QStringLiteral("Could not enumerate ") + label(side) +
               QStringLiteral(" directory: ") + folder;
    }

    // Asks the caller's probe, and remembers a yes so that every thread stops.
    bool cancelRequested()
    {
        if (m_cancelled.load(std::memory_order_relaxed))
            return true;
        if (!m_probe || !m_probe())
            return false;
        m_cancelled.store(true);
        const std::lock_guard lock(m_mutex);
        m_folders.clear();
        m_hashes.clear();
        m_wake.notify_all();
        return true;
    }

    // Once the verdict cannot pass on content, reading more content is wasted.
    void stopHashingLocked()
    {
        m_stopHashing.store(true);
        m_hashes.clear();
    }

    // Takes folders while the hashing queue has room and hashes otherwise, until nothing is
    // queued or running.
    void work()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            // No further folder is listed while the queue is full; while, until hashing stops,
            // the pages asked for ahead leave no room for more, so that they are read before they
            // are dropped again; nor, while files are queued, near the limit of held folders,
            // which their hashing frees. With nothing running, the queue is empty, so the limits
            // cannot stall the walk.
            const auto folderAllowed = [this] {
                return !m_folders.empty() &&
                       ((m_hashes.size() < hashQueueLimit &&
                         (m_refetched.load() + readAheadWindow <= refetchBudget ||
                          m_stopHashing.load()) &&
                         (m_heldFolders.load() < heldFolderLimit * 3 / 4 || m_hashes.empty())) ||
                        m_running == 0);
            };
            // Only a worker that found both queues empty waits, so new work or the end of all
            // work is what wakes it.
            ++m_waiting;
            m_wake.wait(lock, [&] {
                return m_finished || m_cancelled.load() || folderAllowed() || !m_hashes.empty() ||
                       m_running == 0;
            });
            --m_waiting;
            if (m_finished || m_cancelled.load())
                break;
            const bool takeFolder = folderAllowed();
            if (!takeFolder && m_hashes.empty())
                break;
            ++m_running;
            size_t added = 0;
            if (takeFolder) {
                // One at a time: folders taken together would each start a walk of their own,
                // and the folders those hold would soon pass the limit.
                FolderTask task = std::move(m_folders.back());
                m_folders.pop_back();
                lock.unlock();
                FolderOutcome outcome;
                compareFolder(task, outcome);
                hashSmallFilesAtOnce(outcome);
                task = {};
                lock.lock();
                added = merge(outcome);
            } else {
                const HashJob job = std::move(m_hashes.front());
                m_hashes.pop_front();
                lock.unlock();
                hash(job);
                lock.lock();
            }
            --m_running;
            if (m_running == 0 && m_folders.empty() && m_hashes.empty())
                m_wake.notify_all();
            else if (added > 1 && m_waiting > 0)
                m_wake.notify_all();
            else if (added == 1 && m_waiting > 0)
                m_wake.notify_one();
        }
        m_wake.notify_all();
    }

    // A folder of a few small files is hashed by the worker that listed it: queueing each of
    // them would cost more than reading it. So is one whose folder is not held for later.
    void hashSmallFilesAtOnce(FolderOutcome &outcome)
    {
        qint64 bytes = 0;
        for (const HashJob &job : outcome.hashes)
            bytes += job.size;
        if (bytes > inlineHashBytes && !outcome.hashHere)
            return;
        for (const HashJob &job : outcome.hashes)
            hash(job);
        outcome.hashes.clear();
    }

    // Returns how many tasks were queued.
    size_t merge(FolderOutcome &outcome)
    {
        for (const Side side : {sourceSide, destinationSide}) {
            m_counts[side] += outcome.counts[side];
            for (const QByteArray &name : outcome.names[side])
                m_names[side].offer(name);
            if (!outcome.names[side].empty())
                stopHashingLocked();
        }
        for (const QByteArray &name : outcome.leftOut)
            m_leftOutNames.offer(name);
        m_leftOutCount += qint64(outcome.leftOut.size());
        if (outcome.failure) {
            m_entryFailure.offer(0, outcome.failure->first, std::move(outcome.failure->second));
            stopHashingLocked();
        }
        if (m_cancelled.load())
            return 0;
        size_t added = outcome.folders.size();
        // Reversed, so that the folder's first child is taken first.
        std::move(outcome.folders.rbegin(), outcome.folders.rend(), std::back_inserter(m_folders));
        if (!m_stopHashing.load()) {
            added += outcome.hashes.size();
            std::move(outcome.hashes.begin(), outcome.hashes.end(), std::back_inserter(m_hashes));
        }
        return added;
    }

    void offerListingFailure(Side side, const QByteArray &relative, QString message)
    {
        const std::lock_guard lock(m_mutex);
        m_listingFailure.offer(side, relative, std::move(message));
        stopHashingLocked();
    }

    // The folder of `task` on `side`, entered from the folder that held it as that was listed,
    // without following a link (else one level at a time from the nearest folder held above);
    // -1 with errno set.
    [[nodiscard]] int openFolder(Side side, const FolderTask &task) const
    {
        if (task.relative.isEmpty())
            return ::fcntl(m_rootFd[side]->get(), F_DUPFD_CLOEXEC, 0);
        return openFrom(task.parents[side].get(), m_rootFd[side]->get(), task.relative,
                        O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, m_rootDevice[side],
                        m_rootStore[side]);
    }

    // The file of `pair` on `side`, from its folder as that was listed, never through a link.
    [[nodiscard]] static UniqueFd openFile(Side side, const HashPair &pair)
    {
        return UniqueFd(openForDigest(pair.folders[side]->fd.get(), pair.name.constData(), false));
    }

    void addToPrint(const QByteArray &relative, mode_t type, quint64 device, quint64 inode)
    {
        m_printSum.fetch_add(printOf(relative, type, device, inode), std::memory_order_relaxed);
        m_printCount.fetch_add(1, std::memory_order_relaxed);
    }

    // The folder's items sorted by name, or nothing when it cannot be listed (the failure is
    // recorded) or the probe said stop. `folder` keeps the folder open for its files and, when
    // held within the limit, for the folders in it. What copies leave out of the source goes to
    // `leftOut`.
    std::optional<std::vector<FileMeta>> listFolder(Side side, const FolderTask &task,
                                                    std::shared_ptr<const OpenFolder> &folder,
                                                    std::vector<QByteArray> &leftOut)
    {
        const QByteArray &relative = task.relative;
        UniqueFd opened(openFolder(side, task));
        struct stat self
        {};
        if (!opened.valid() || ::fstat(opened.get(), &self) != 0) {
            offerListingFailure(side, relative, cannotEnumerate(side, fullPath(side, relative)));
            return std::nullopt;
        }
        // A drive mounted on a folder of the tree: its files are not the copy's.
        if (self.st_dev != m_rootDevice[side] &&
            FileSystemIdentity::storeOf(opened.get()) != m_rootStore[side]) {
            offerListingFailure(side, relative,
                                QStringLiteral("Folder on another file system than its root at ") +
                                    label(side) + QStringLiteral(": ") + fullPath(side, relative));
            return std::nullopt;
        }
        if (side == destinationSide)
            addToPrint(relative, S_IFDIR, quint64(self.st_dev), quint64(self.st_ino));
        const std::optional<std::vector<FolderEntry>> entries = entriesOf(opened.get());
        if (!entries) {
            offerListingFailure(side, relative, cannotEnumerate(side, fullPath(side, relative)));
            return std::nullopt;
        }
        const int dirFd = opened.get();
        bool hasFiles = false;
        bool hasFolders = false;

        std::vector<FileMeta> items;
        for (const FolderEntry &entry : *entries) {
            const char *rawName = entry.name.constData();
            if (cancelRequested())
                return std::nullopt;
            if (entry.name == ".DS_Store")
                continue;

            FileMeta meta;
            meta.name = entry.name;
            struct stat info
            {};
            if (::fstatat(dirFd, rawName, &info, AT_SYMLINK_NOFOLLOW) != 0) {
                const QByteArray itemRelative = relative + '/' + meta.name;
                offerListingFailure(side, itemRelative,
                                    QStringLiteral("Unreadable file metadata at ") + label(side) +
                                        QStringLiteral(": ") + fullPath(side, itemRelative));
                return std::nullopt;
            }
            meta.isDir = S_ISDIR(info.st_mode);
            meta.isLink = S_ISLNK(info.st_mode);
            meta.size = qint64(info.st_size);
            meta.type = info.st_mode & S_IFMT;
            if (!isCompared(meta.type)) {
                if (side == sourceSide)
                    leftOut.push_back(relative + '/' + meta.name);
                continue;
            }
            if (side == destinationSide && !meta.isDir)
                addToPrint(relative + '/' + meta.name, meta.type, 0, 0);
            if (meta.isLink) {
                meta.symlinkDest = readLinkAt(dirFd, rawName, info.st_size);
                if (!meta.symlinkDest) {
                    const QByteArray itemRelative = relative + '/' + meta.name;
                    offerListingFailure(side, itemRelative,
                                        QStringLiteral("Unresolvable ") + label(side) +
                                            QStringLiteral(" symlink at: ") +
                                            fullPath(side, itemRelative));
                    return std::nullopt;
                }
            } else {
                meta.posixPermissions = int(info.st_mode & 07777);
            }
            hasFiles = hasFiles || meta.type == S_IFREG;
            hasFolders = hasFolders || meta.isDir;
            items.push_back(std::move(meta));
        }
        std::sort(items.begin(), items.end(),
                  [](const FileMeta &a, const FileMeta &b) { return a.name < b.name; });
        // Folders waiting to be listed are held first: the files alone can always be hashed by
        // this worker now instead, so they take no more than a quarter of the limit.
        if (hasFiles || hasFolders) {
            const int limit = hasFolders ? heldFolderLimit : heldFolderLimit / 4;
            const bool held = m_heldFolders.fetch_add(1) < limit;
            if (!held)
                m_heldFolders.fetch_sub(1);
            folder = std::make_shared<const OpenFolder>(opened.release(),
                                                        held ? &m_heldFolders : nullptr, relative);
        }
        return items;
    }

    static std::optional<QByteArray> readLinkAt(int dirFd, const char *name, off_t sizeHint)
    {
        QByteArray buffer(qsizetype(sizeHint > 0 ? sizeHint + 1 : 4096), '\0');
        for (;;) {
            const ssize_t length = ::readlinkat(dirFd, name, buffer.data(), size_t(buffer.size()));
            if (length < 0)
                return std::nullopt;
            if (length < buffer.size()) {
                buffer.truncate(qsizetype(length));
                return buffer;
            }
            buffer.resize(buffer.size() * 2);
        }
    }

    // Lists the folder on each side that has it and compares the two listings name by name.
    void compareFolder(const FolderTask &task, FolderOutcome &outcome)
    {
        std::vector<FileMeta> items[2];
        std::shared_ptr<const OpenFolder> folders[2];
        for (const Side side : {sourceSide, destinationSide}) {
            if (!task.present[side])
                continue;
            auto listed = listFolder(side, task, folders[side], outcome.leftOut);
            if (!listed)
                return;
            items[side] = std::move(*listed);
            outcome.counts[side] = qint64(items[side].size());
        }
        // The folders in one not held are entered from the nearest held above it, and its files
        // are hashed here before it closes.
        std::shared_ptr<const OpenFolder> parents[2];
        for (const Side side : {sourceSide, destinationSide}) {
            if (folders[side] && folders[side]->held) {
                parents[side] = folders[side];
            } else {
                parents[side] = task.parents[side];
                outcome.hashHere = outcome.hashHere || folders[side];
            }
        }

        const auto onlyIn = [&](Side side, const FileMeta &meta) {
            const QByteArray key = task.relative + '/' + meta.name;
            if (side == sourceSide && !outcome.failure)
                outcome.failure.emplace(
                    key, QStringLiteral("Missing relative path in destination: ") + shown(key));
            if (meta.isDir) {
                FolderTask child{key, {false, false}, {}};
                child.present[side] = true;
                child.parents[side] = parents[side];
                outcome.folders.push_back(std::move(child));
            }
            outcome.names[side].push_back(key);
        };

        const std::vector<FileMeta> &source = items[sourceSide];
        const std::vector<FileMeta> &destination = items[destinationSide];
        size_t s = 0;
        size_t d = 0;
        while (s < source.size() || d < destination.size()) {
            if (d == destination.size() ||
                (s < source.size() && source[s].name < destination[d].name)) {
                onlyIn(sourceSide, source[s++]);
            } else if (s == source.size() || destination[d].name < source[s].name) {
                onlyIn(destinationSide, destination[d++]);
            } else {
                comparePair(task.relative, source[s], destination[d], folders, parents, outcome);
                ++s;
                ++d;
            }
        }
        // Largest first, so that a big file does not start last and run alone.
        std::stable_sort(outcome.hashes.begin(), outcome.hashes.end(),
                         [](const HashJob &a, const HashJob &b) { return a.size > b.size; });
    }

    // `folders` are the two listed folders, `parents` the nearest held for the folders in them.
    void comparePair(const QByteArray &folder, const FileMeta &s, const FileMeta &d,
                     const std::shared_ptr<const OpenFolder> (&folders)[2],
                     const std::shared_ptr<const OpenFolder> (&parents)[2], FolderOutcome &outcome)
    {
        const QByteArray key = folder + '/' + s.name;
        // The contents of a folder on one side only are extra or missing items.
        if (s.isDir || d.isDir)
            outcome.folders.push_back({key,
                                       {s.isDir, d.isDir},
                                       {s.isDir ? parents[sourceSide] : nullptr,
                                        d.isDir ? parents[destinationSide] : nullptr}});
        // Names arrive in ascending order, so the folder's first failure is its smallest.
        if (outcome.failure)
            return;
        if (auto failure = compareEntry(key, s, d)) {
            outcome.failure.emplace(key, std::move(*failure));
            return;
        }
        if (s.isDir || s.isLink || s.type != S_IFREG)
            return;
        auto pair = std::make_shared<HashPair>();
        pair->relative = key;
        pair->name = s.name;
        pair->folders[sourceSide] = folders[sourceSide];
        pair->folders[destinationSide] = folders[destinationSide];
        if (m_destinationFromDevice && s.size > 0 && s.size <= readAheadWindow)
            pair->destinationRefetched = refetch(*pair, s.size);
        outcome.hashes.push_back({pair, sourceSide, s.size});
        outcome.hashes.push_back({std::move(pair), destinationSide, s.size});
    }

    [[nodiscard]] bool refetch(const HashPair &pair, qint64 size)
    {
        if (m_refetched.fetch_add(size) + size > refetchBudget) {
            m_refetched.fetch_sub(size);
            return false;
        }
        const UniqueFd fd = openFile(destinationSide, pair);
        if (fd.valid() && m_system->storage().refetchFromDevice(fd.get()))
            return true;
        m_refetched.fetch_sub(size);
        return false;
    }

    // Every test of an entry that reads no content.
    std::optional<QString> compareEntry(const QByteArray &key, const FileMeta &s,
                                        const FileMeta &d) const
    {
        if (s.isDir != d.isDir)
            return QStringLiteral("Directory type mismatch for: ") + shown(key);
        if (s.isLink != d.isLink)
            return QStringLiteral("Symlink type mismatch for: ") + shown(key);
        if (s.isLink)
            return checkLink(key, s, d);
        const int sBits = s.posixPermissions.value_or(0) & permissionMask;
        const int dBits = d.posixPermissions.value_or(0) & permissionMask;
        if (sBits != dBits)
            return QStringLiteral("POSIX permission mismatch for '") + shown(key) +
                   QStringLiteral("': source is ") + octal(sBits) +
                   QStringLiteral(" but destination is ") + octal(dBits) + QStringLiteral(".");
        if (s.isDir)
            return std::nullopt;
        if (s.type != d.type)
            return QStringLiteral("File type mismatch for: ") + shown(key);
        // Devices are compared by kind and permissions only: opening one could block or never
        // end.
        if (s.type != S_IFREG)
            return std::nullopt;
        if (s.size != d.size)
            return QStringLiteral("File size mismatch for ") + shown(key) +
                   QStringLiteral(": source=") + QString::number(s.size) +
                   QStringLiteral(" vs dest=") + QString::number(d.size);
        return std::nullopt;
    }

    // The link rules; nothing when the link passes.
    std::optional<QString> checkLink(const QByteArray &key, const FileMeta &source,
                                     const FileMeta &destination) const
    {
        const QByteArray sourceText = source.symlinkDest.value_or(QByteArray());
        const QByteArray target = destination.symlinkDest.value_or(QByteArray());
        if (sourceText != target)
            return QStringLiteral("Symlink target mismatch for ") + shown(key) +
                   QStringLiteral(": '") + shown(sourceText) + QStringLiteral("' vs '") +
                   shown(target) + QStringLiteral("'");
        if (target.startsWith('/')) {
            // However it is spelled ("//", "/./", "x/..", an accent composed or not: a Mac's
            // own names are decomposed), a target inside the source points into what the
            // offload replaces.
            const QByteArray normal = lexicallyNormal(target);
            if (isSameOrInside(normal, m_normalSourceRoot) ||
                isSameOrInside(composedSpelling(normal), m_composedSourceRoot))
                return QStringLiteral("Unsafe absolute internal symlink at '") + shown(key) +
                       QStringLiteral("': points to source path '") + shown(target) +
                       QStringLiteral("', which will break when source '") +
                       m_rootText[sourceSide] + QStringLiteral("' is removed.");
            if (!existsFollowingLinks(target) && !danglesOnBothSides(key, target))
                return QStringLiteral("Dangling absolute symlink at '") + shown(key) +
                       QStringLiteral("': target '") + shown(target) +
                       QStringLiteral("' does not exist on disk.");
            return std::nullopt;
        }
        const QByteArray resolved = spelledOut(destinationSide, key, target);
        if (!existsFollowingLinks(resolved) && !danglesOnBothSides(key, target))
            return QStringLiteral("Broken internal relative symlink at destination '") +
                   shown(key) + QStringLiteral("': target '") + shown(target) +
                   QStringLiteral("' does not resolve to an existing item at '") + shown(resolved) +
                   QStringLiteral("'.");
        return std::nullopt;
    }

    // The link `key` with the relative text `target` read from the folder that holds it on
    // `side`, without asking the disk.
    [[nodiscard]] QByteArray spelledOut(Side side, const QByteArray &key,
                                        const QByteArray &target) const
    {
        return lexicallyNormal(m_rootBytes[side] + key.left(key.lastIndexOf('/')) + '/' + target);
    }

    // A link that leads nowhere in the source either (a lock link, a link to a file since
    // removed) behaves in the copy as it did there, and its text, compared already, is all it
    // holds. Nowhere as the system follows it and, for a relative text, as the text reads: the
    // two differ where ".." comes after a link to a folder at another depth.
    [[nodiscard]] bool danglesOnBothSides(const QByteArray &key, const QByteArray &target) const
    {
        for (const Side side : {sourceSide, destinationSide}) {
            if (existsFollowingLinks(m_rootBytes[side] + key) ||
                (!target.startsWith('/') && existsFollowingLinks(spelledOut(side, key, target))))
                return false;
        }
        return true;
    }

    void hash(const HashJob &job)
    {
        if (m_stopHashing.load())
            return;
        HashPair &pair = *job.pair;
        const UniqueFd fd = openFile(job.side, pair);
        if (m_destinationFromDevice && job.side == destinationSide && fd.valid() &&
            !pair.destinationRefetched) {
            // Read from memory, it would prove only that memory holds it.
            if (const int err = m_system->storage().readPastCache(fd.get())) {
                if (!cancelRequested())
                    offerContentFailure(
                        pair.relative,
                        QStringLiteral("Unreadable content for destination file: ") +
                            fullPath(job.side, pair.relative) +
                            QStringLiteral(" (dropping its cached pages to read it from the "
                                           "drive failed: ") +
                            QString::fromLocal8Bit(std::strerror(err)) + QStringLiteral(")"));
                return;
            }
        }
        const auto stop = [this] { return m_stopHashing.load() || cancelRequested(); };
        QByteArray hex;
        const Digest digest = digestOpenFile(m_system->storage(), fd, stop, true, hex);
        if (job.side == destinationSide && pair.destinationRefetched)
            m_refetched.fetch_sub(job.size);
        if (digest == Digest::stopped)
            return;
        if (digest == Digest::unreadable) {
            if (cancelRequested())
                return;
            offerContentFailure(
                pair.relative, (job.side == sourceSide
                                    ? QStringLiteral("Unreadable content for source file: ")
                                    : QStringLiteral("Unreadable content for destination file: ")) +
                                   fullPath(job.side, pair.relative));
            return;
        }
        pair.digests[job.side] = std::move(hex);
        // The second of the two to finish compares them.
        if (pair.finished.fetch_add(1, std::memory_order_acq_rel) == 1 &&
            pair.digests[sourceSide] != pair.digests[destinationSide]) {
            offerContentFailure(pair.relative,
                                QStringLiteral("SHA-256 checksum mismatch for '") +
                                    shown(pair.relative) +
                                    QStringLiteral("': byte corruption detected during transfer."));
        }
    }

    void offerContentFailure(const QByteArray &relative, QString message)
    {
        const std::lock_guard lock(m_mutex);
        m_contentFailure.offer(0, relative, std::move(message));
        stopHashingLocked();
    }

    const IntegrityVerifier::CancelProbe m_probe;
    IntegrityVerifier::Report *const m_report;
    const bool m_destinationFromDevice;
    // Held for the whole run: the pool threads ask its storage for every file.
    const std::shared_ptr<System> m_system;
    QString m_rootText[2];
    QByteArray m_normalSourceRoot;
    QByteArray m_composedSourceRoot;
    QByteArray m_rootBytes[2];
    std::unique_ptr<UniqueFd> m_rootFd[2];
    dev_t m_rootDevice[2] = {0, 0};
    std::optional<quint64> m_rootStore[2];
    // The destination as it was read: its folders and items (see IntegrityVerifier::TreePrint).
    std::atomic<quint64> m_printSum{0};
    std::atomic<qint64> m_printCount{0};

    std::atomic<bool> m_cancelled{false};
    std::atomic<bool> m_stopHashing{false};
    std::atomic<int> m_heldFolders{0};
    std::atomic<qint64> m_refetched{0}; // bytes asked for ahead and not read yet

    // Guarded by m_mutex from here on.
    std::vector<FolderTask> m_folders; // taken from the back, so the walk stays depth-first
    std::deque<HashJob> m_hashes;
    int m_running = 0;
    int m_waiting = 0;
    qint64 m_counts[2] = {0, 0};
    FirstNames m_names[2]; // missing, extra
    FirstNames m_leftOutNames;
    qint64 m_leftOutCount = 0;
    Finding m_listingFailure;
    Finding m_entryFailure;
    Finding m_contentFailure;
};

} // namespace

std::optional<QString> IntegrityVerifier::computeSHA256(const QUrl &file,
                                                        const CancelProbe &shouldCancel)
{
    const QByteArray path = QFile::encodeName(file.toLocalFile());
    const UniqueFd fd(path.isEmpty() ? -1 : openForDigest(AT_FDCWD, path.constData(), true));
    QByteArray hex;
    const auto stop = [&] { return shouldCancel && shouldCancel(); };
    if (digestOpenFile(System::current().storage(), fd, stop, false, hex) != Digest::done)
        return std::nullopt;
    return QString::fromLatin1(hex);
}

Verdict IntegrityVerifier::verifyDirectoryIntegrity(const QUrl &source, const QUrl &destination,
                                                    const CancelProbe &shouldCancel,
                                                    DestinationRead destinationRead, Report *report)
{
    const auto verification = std::make_shared<Verification>(
        source.toLocalFile(), destination.toLocalFile(), shouldCancel, destinationRead, report);
    return verification->run();
}

QString IntegrityVerifier::Report::leftOutLine(const QString &source) const
{
    return QStringLiteral("Left out of the copy of '") + source + QStringLiteral("': ") +
           QString::number(leftOutCount) +
           (leftOutCount == 1 ? QStringLiteral(" socket or pipe")
                              : QStringLiteral(" sockets and pipes")) +
           QStringLiteral(", which hold no data (") + leftOut.join(QStringLiteral(", ")) +
           (leftOutCount > leftOut.size() ? QStringLiteral(", …") : QString()) +
           QStringLiteral(").");
}

std::optional<IntegrityVerifier::TreePrint> IntegrityVerifier::treePrint(const QUrl &root)
{
    return treePrintAt(QFile::encodeName(root.toLocalFile()));
}
