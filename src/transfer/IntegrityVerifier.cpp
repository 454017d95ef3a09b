#include "transfer/IntegrityVerifier.h"

#include "base/PathUtils.h"
#include "base/Sha256.h"

#include <QFile>
#include <QMap>
#include <QStringList>
#include <QtConcurrent/QtConcurrentMap>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const QString cancelledReason = QStringLiteral("Verification cancelled by user.");
const QString dsStore = QStringLiteral(".DS_Store");
constexpr int permissionMask = 0777;

// One item of a tree listing.
struct FileMeta
{
    bool isDir = false;
    bool isLink = false;
    qint64 size = 0;
    std::optional<QString> symlinkDest;
    std::optional<int> posixPermissions;
    // The file-type bits, so that a FIFO, socket or device is told apart from a regular file
    // and never opened.
    mode_t type = 0;
};

// Keyed by relative path with its leading "/" ("/Contents/Info.plist"). Sorted, so that of
// several faults the same one is reported every time.
using Listing = QMap<QString, FileMeta>;

QString octal(int bits)
{
    return QString::number(bits & permissionMask, 8);
}

class Fd
{
public:
    explicit Fd(int fd)
        : m_fd(fd)
    {}
    ~Fd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    [[nodiscard]] int get() const { return m_fd; }
    [[nodiscard]] bool valid() const { return m_fd >= 0; }

private:
    int m_fd;
};

struct DirCloser
{
    void operator()(DIR *dir) const { ::closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

// Each pool thread keeps one read buffer rather than faulting in a fresh mebibyte per file.
char *chunkBuffer()
{
    thread_local const auto buffer =
        std::make_unique_for_overwrite<char[]>(size_t(IntegrityVerifier::chunkSize));
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

// A read error or a cancellation yields nothing, never the digest of what was read so far.
// Only regular files are read; O_NONBLOCK keeps the open itself from waiting on a FIFO.
std::optional<QString> digestFile(const QString &path, const IntegrityVerifier::CancelProbe &probe,
                                  bool followLinks)
{
    const QByteArray native = QFile::encodeName(path);
    const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (followLinks ? 0 : O_NOFOLLOW);
    const Fd fd(::open(native.constData(), flags));
    if (!fd.valid())
        return std::nullopt;
    struct stat info
    {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
#ifdef POSIX_FADV_SEQUENTIAL // a read-ahead hint; macOS has no posix_fadvise
    ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
#endif

    Sha256 hasher;
    char *buffer = chunkBuffer();
    for (;;) {
        if (probe && probe())
            return std::nullopt;
        const qint64 got = readChunk(fd.get(), buffer, IntegrityVerifier::chunkSize);
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            break;
        hasher.add(buffer, got);
    }
    return QString::fromLatin1(hasher.finish().toHex());
}

// Unicode code-point order; QString's own operator< orders UTF-16 units, which puts
// characters beyond the basic plane before U+E000..U+FFFF.
bool codePointLess(const QString &a, const QString &b)
{
    const qsizetype length = std::min(a.size(), b.size());
    for (qsizetype i = 0; i < length; ++i) {
        char16_t x = a.at(i).unicode();
        char16_t y = b.at(i).unicode();
        if (x == y)
            continue;
        const auto rank = [](char16_t c) -> int {
            if (c < 0xD800)
                return c;
            return c >= 0xE000 ? c - 0x800 : c + 0x2000;
        };
        return rank(x) < rank(y);
    }
    return a.size() < b.size();
}

QString firstFive(QStringList names)
{
    std::sort(names.begin(), names.end(), codePointLess);
    return names.mid(0, 5).join(QStringLiteral(", "));
}

// Builds the listing of one tree. `label` is "source" or "destination".
class TreeLister
{
public:
    TreeLister(QString root, QString label, const IntegrityVerifier::CancelProbe &probe)
        : m_root(std::move(root))
        , m_label(std::move(label))
        , m_probe(probe)
    {}

    // Opens the root; false when it cannot be listed.
    bool open()
    {
        DIR *dir = ::opendir(QFile::encodeName(m_root).constData());
        m_rootDir.reset(dir);
        return dir != nullptr;
    }

    // The failure reason, or nothing when the listing is complete.
    std::optional<QString> build(Listing &out)
    {
        struct Pending
        {
            DirHandle dir;
            QString relative;
            QString full;
        };
        std::vector<Pending> stack;
        stack.push_back({std::move(m_rootDir), QString(), m_root});
        while (!stack.empty()) {
            Pending current = std::move(stack.back());
            stack.pop_back();
            if (auto failure = listFolder(
                    current.dir.get(), current.relative, current.full, out,
                    [&](DirHandle dir, QString rel, QString full) {
                        stack.push_back({std::move(dir), std::move(rel), std::move(full)});
                    })) {
                return failure;
            }
        }
        return std::nullopt;
    }

    [[nodiscard]] QString cannotEnumerate(const QString &folder) const
    {
        return QStringLiteral("Could not enumerate ") + m_label + QStringLiteral(" directory: ") +
               folder;
    }

private:
    template<typename Push>
    std::optional<QString> listFolder(DIR *dir, const QString &relative, const QString &full,
                                      Listing &out, Push push)
    {
        const int dirFd = ::dirfd(dir);
        for (;;) {
            errno = 0;
            const dirent *entry = ::readdir(dir);
            if (!entry) {
                if (errno != 0)
                    return cannotEnumerate(full);
                return std::nullopt;
            }
            const char *rawName = entry->d_name;
            if (std::strcmp(rawName, ".") == 0 || std::strcmp(rawName, "..") == 0)
                continue;
            if (m_probe && m_probe())
                return cancelledReason;
            const QString name = QFile::decodeName(rawName);
            if (name == dsStore)
                continue;
            const QString itemRelative = relative + QLatin1Char('/') + name;
            const QString itemFull = full + QLatin1Char('/') + name;

            struct stat info
            {};
            if (::fstatat(dirFd, rawName, &info, AT_SYMLINK_NOFOLLOW) != 0)
                return QStringLiteral("Unreadable file metadata at ") + m_label +
                       QStringLiteral(": ") + itemFull;
            FileMeta meta;
            meta.isDir = S_ISDIR(info.st_mode);
            meta.isLink = S_ISLNK(info.st_mode);
            meta.size = qint64(info.st_size);
            meta.type = info.st_mode & S_IFMT;
            if (meta.isLink) {
                auto text = readLinkAt(dirFd, rawName, info.st_size);
                if (!text)
                    return QStringLiteral("Unresolvable ") + m_label +
                           QStringLiteral(" symlink at: ") + itemFull;
                meta.symlinkDest = std::move(text);
            } else {
                meta.posixPermissions = int(info.st_mode & 07777);
            }
            if (meta.isDir) {
                const int childFd =
                    ::openat(dirFd, rawName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                DIR *child = childFd >= 0 ? ::fdopendir(childFd) : nullptr;
                if (!child) {
                    if (childFd >= 0)
                        ::close(childFd);
                    return cannotEnumerate(itemFull);
                }
                push(DirHandle(child), itemRelative, itemFull);
            }
            out.insert(itemRelative, std::move(meta));
        }
    }

    static std::optional<QString> readLinkAt(int dirFd, const char *name, off_t sizeHint)
    {
        QByteArray buffer(qsizetype(sizeHint > 0 ? sizeHint + 1 : 4096), '\0');
        for (;;) {
            const ssize_t length = ::readlinkat(dirFd, name, buffer.data(), size_t(buffer.size()));
            if (length < 0)
                return std::nullopt;
            if (length < buffer.size()) {
                buffer.truncate(qsizetype(length));
                return QFile::decodeName(buffer);
            }
            buffer.resize(buffer.size() * 2);
        }
    }

    QString m_root;
    QString m_label;
    const IntegrityVerifier::CancelProbe &m_probe;
    DirHandle m_rootDir;
};

std::optional<int> rootPermissions(const QString &path)
{
    struct stat info
    {};
    if (path.isEmpty() || ::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return std::nullopt;
    return int(info.st_mode & 07777);
}

QString countMismatch(const Listing &source, const Listing &destination)
{
    QStringList extra;
    for (auto it = destination.cbegin(); it != destination.cend(); ++it) {
        if (!source.contains(it.key()))
            extra.append(it.key());
    }
    QStringList missing;
    for (auto it = source.cbegin(); it != source.cend(); ++it) {
        if (!destination.contains(it.key()))
            missing.append(it.key());
    }
    QString message = QStringLiteral("Item count mismatch: source has ") +
                      QString::number(source.size()) + QStringLiteral(" items, destination has ") +
                      QString::number(destination.size()) + QStringLiteral(" items.");
    if (!extra.isEmpty())
        message += QStringLiteral(" Extra: ") + firstFive(extra);
    if (!missing.isEmpty())
        message += QStringLiteral(" Missing: ") + firstFive(missing);
    return message;
}

// The link rules; nothing when the link passes.
std::optional<QString> checkLink(const QString &relative, const FileMeta &source,
                                 const FileMeta &destination, const QString &sourceRoot,
                                 const QString &destinationRoot)
{
    const QString sourceText = source.symlinkDest.value_or(QString());
    const QString target = destination.symlinkDest.value_or(QString());
    if (sourceText != target)
        return QStringLiteral("Symlink target mismatch for ") + relative + QStringLiteral(": '") +
               sourceText + QStringLiteral("' vs '") + target + QStringLiteral("'");
    if (target.startsWith(sourceRoot))
        return QStringLiteral("Unsafe absolute internal symlink at '") + relative +
               QStringLiteral("': points to source path '") + target +
               QStringLiteral("', which will break when source '") + sourceRoot +
               QStringLiteral("' is removed.");
    if (target.startsWith(QLatin1Char('/'))) {
        if (!PathUtils::existsFollowingLinks(target))
            return QStringLiteral("Dangling absolute symlink at '") + relative +
                   QStringLiteral("': target '") + target +
                   QStringLiteral("' does not exist on disk.");
        return std::nullopt;
    }
    const QString linkFolder = PathUtils::parentPath(destinationRoot + relative);
    const QString resolved = PathUtils::standardized(linkFolder + QLatin1Char('/') + target);
    if (!PathUtils::existsFollowingLinks(resolved))
        return QStringLiteral("Broken internal relative symlink at destination '") + relative +
               QStringLiteral("': target '") + target +
               QStringLiteral("' does not resolve to an existing item at '") + resolved +
               QStringLiteral("'.");
    return std::nullopt;
}

// A regular file present on both sides with equal sizes, waiting for its two digests.
struct HashPair
{
    QString relative;
    qint64 size = 0;
    QString files[2]; // source, destination
    std::optional<QString> digests[2];
};

struct HashJob
{
    qsizetype pair;
    int side;
    qint64 size;
};

// The first failure of the parallel hashing wins; it also tells the other jobs to stop.
class SharedOutcome
{
public:
    void fail(QString reason)
    {
        const std::lock_guard lock(m_mutex);
        if (!m_reason)
            m_reason = std::move(reason);
        m_stop.store(true, std::memory_order_release);
    }
    [[nodiscard]] bool stopped() const { return m_stop.load(std::memory_order_acquire); }
    [[nodiscard]] std::optional<QString> reason() const
    {
        const std::lock_guard lock(m_mutex);
        return m_reason;
    }

private:
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    std::optional<QString> m_reason;
};

// Hashes every pair, each file exactly once, spread over the global pool (the calling thread
// takes part, so this cannot starve when the pool is busy). Largest files go first so that a
// big file does not start last and run alone.
std::optional<QString> hashPairs(std::vector<HashPair> &pairs,
                                 const IntegrityVerifier::CancelProbe &shouldCancel)
{
    if (pairs.empty())
        return std::nullopt;
    std::vector<HashJob> jobs;
    jobs.reserve(pairs.size() * 2);
    for (qsizetype i = 0; i < qsizetype(pairs.size()); ++i) {
        jobs.push_back({i, 0, pairs[size_t(i)].size});
        jobs.push_back({i, 1, pairs[size_t(i)].size});
    }
    std::stable_sort(jobs.begin(), jobs.end(),
                     [](const HashJob &a, const HashJob &b) { return a.size > b.size; });
    const std::unique_ptr<std::atomic<int>[]> finished(new std::atomic<int>[pairs.size()]);
    for (size_t i = 0; i < pairs.size(); ++i)
        finished[i].store(0, std::memory_order_relaxed);

    SharedOutcome outcome;
    const auto probe = [&] { return outcome.stopped() || (shouldCancel && shouldCancel()); };
    QtConcurrent::blockingMap(jobs, [&](const HashJob &job) {
        if (outcome.stopped())
            return;
        HashPair &pair = pairs[size_t(job.pair)];
        auto digest = digestFile(pair.files[job.side], probe, false);
        if (!digest) {
            if (outcome.stopped())
                return;
            if (shouldCancel && shouldCancel()) {
                outcome.fail(cancelledReason);
                return;
            }
            outcome.fail((job.side == 0
                              ? QStringLiteral("Unreadable content for source file: ")
                              : QStringLiteral("Unreadable content for destination file: ")) +
                         pair.files[job.side]);
            return;
        }
        pair.digests[job.side] = std::move(digest);
        // The second of the two to finish compares them.
        if (finished[size_t(job.pair)].fetch_add(1, std::memory_order_acq_rel) == 1 &&
            pair.digests[0] != pair.digests[1]) {
            outcome.fail(QStringLiteral("SHA-256 checksum mismatch for '") + pair.relative +
                         QStringLiteral("': byte corruption detected during transfer."));
        }
    });
    return outcome.reason();
}

} // namespace

std::optional<QString> IntegrityVerifier::computeSHA256(const QUrl &file,
                                                        const CancelProbe &shouldCancel)
{
    return digestFile(file.toLocalFile(), shouldCancel, true);
}

Verdict IntegrityVerifier::verifyDirectoryIntegrity(const QUrl &source, const QUrl &destination,
                                                    const CancelProbe &shouldCancel)
{
    const QString sourceRoot = source.toLocalFile();
    const QString destinationRoot = destination.toLocalFile();

    const auto sourceBits = rootPermissions(sourceRoot);
    if (!sourceBits)
        return Verdict::fail(QStringLiteral("Could not read POSIX permissions for source root: ") +
                             sourceRoot);
    const auto destinationBits = rootPermissions(destinationRoot);
    if (!destinationBits)
        return Verdict::fail(
            QStringLiteral("Could not read POSIX permissions for destination root: ") +
            destinationRoot);
    if ((*sourceBits & permissionMask) != (*destinationBits & permissionMask))
        return Verdict::fail(QStringLiteral("Root directory permission mismatch: source is ") +
                             octal(*sourceBits) + QStringLiteral(" but destination is ") +
                             octal(*destinationBits) + QStringLiteral("."));

    TreeLister sourceLister(sourceRoot, QStringLiteral("source"), shouldCancel);
    if (!sourceLister.open())
        return Verdict::fail(sourceLister.cannotEnumerate(sourceRoot));
    TreeLister destinationLister(destinationRoot, QStringLiteral("destination"), shouldCancel);
    if (!destinationLister.open())
        return Verdict::fail(destinationLister.cannotEnumerate(destinationRoot));

    Listing sourceListing;
    if (auto failure = sourceLister.build(sourceListing))
        return Verdict::fail(*failure);
    Listing destinationListing;
    if (auto failure = destinationLister.build(destinationListing))
        return Verdict::fail(*failure);

    if (sourceListing.size() != destinationListing.size())
        return Verdict::fail(countMismatch(sourceListing, destinationListing));

    // Every cheap test of every entry runs before any content is read.
    std::vector<HashPair> pairs;
    for (auto it = sourceListing.cbegin(); it != sourceListing.cend(); ++it) {
        if (shouldCancel && shouldCancel())
            return Verdict::fail(cancelledReason);
        const QString &relative = it.key();
        const FileMeta &s = it.value();
        const auto found = destinationListing.constFind(relative);
        if (found == destinationListing.cend())
            return Verdict::fail(QStringLiteral("Missing relative path in destination: ") +
                                 relative);
        const FileMeta &d = found.value();
        if (s.isDir != d.isDir)
            return Verdict::fail(QStringLiteral("Directory type mismatch for: ") + relative);
        if (s.isLink != d.isLink)
            return Verdict::fail(QStringLiteral("Symlink type mismatch for: ") + relative);
        if (s.isLink) {
            if (auto failure = checkLink(relative, s, d, sourceRoot, destinationRoot))
                return Verdict::fail(*failure);
            continue;
        }
        const int sBits = s.posixPermissions.value_or(0) & permissionMask;
        const int dBits = d.posixPermissions.value_or(0) & permissionMask;
        if (sBits != dBits)
            return Verdict::fail(QStringLiteral("POSIX permission mismatch for '") + relative +
                                 QStringLiteral("': source is ") + octal(sBits) +
                                 QStringLiteral(" but destination is ") + octal(dBits) +
                                 QStringLiteral("."));
        if (s.isDir)
            continue;
        if (s.type != d.type)
            return Verdict::fail(QStringLiteral("File type mismatch for: ") + relative);
        // FIFOs, sockets and devices are compared by kind and permissions only: opening one
        // could block or never end.
        if (s.type != S_IFREG)
            continue;
        if (s.size != d.size)
            return Verdict::fail(QStringLiteral("File size mismatch for ") + relative +
                                 QStringLiteral(": source=") + QString::number(s.size) +
                                 QStringLiteral(" vs dest=") + QString::number(d.size));
        pairs.push_back(
            {relative, s.size, {sourceRoot + relative, destinationRoot + relative}, {}});
    }

    if (auto failure = hashPairs(pairs, shouldCancel))
        return Verdict::fail(*failure);
    return Verdict::pass();
}
