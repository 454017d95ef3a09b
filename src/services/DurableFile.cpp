#include "services/DurableFile.h"

#include "base/OperationError.h"
#include "base/PathUtils.h"
#include "base/UniqueFd.h"
#include "base/Uuid.h"
#include "platform/System.h"
#include "services/AppLogger.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void fail(int err, const QString &what)
{
    throw OperationError::fileSystem(
        err > 0 ? err : EIO, what + QString::fromLocal8Bit(std::strerror(err > 0 ? err : EIO)));
}

// A name of ours that goes unless it is released.
class Leftover
{
public:
    explicit Leftover(QByteArray path = {})
        : m_path(std::move(path))
    {}
    ~Leftover()
    {
        if (!m_path.isEmpty())
            ::unlink(m_path.constData());
    }
    Leftover(const Leftover &) = delete;
    Leftover &operator=(const Leftover &) = delete;
    void hold(QByteArray path) { m_path = std::move(path); }
    void release() { m_path.clear(); }

private:
    QByteArray m_path;
};

// 0, or the errno of the failed write.
int writeAll(int fd, const QByteArray &content)
{
    qsizetype done = 0;
    while (done < content.size()) {
        const ssize_t written =
            ::write(fd, content.constData() + done, std::size_t(content.size() - done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return written < 0 ? errno : EIO;
        done += written;
    }
    return 0;
}

// A new copy that no replacement under way owns: its owner holds a lock on it until the copy
// has taken the file's place, and the system lets go of it when the owner ends. Where the file
// system has no locks, only a copy untouched for an hour counts as left over.
bool isLeftOver(int folder, const char *name)
{
    const UniqueFd fd(::openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat opened
    {
    }, named{};
    if (!fd.valid() || ::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode))
        return false;
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK || errno == EINTR)
            return false;
        if (::time(nullptr) - opened.st_mtime < 3600)
            return false;
    }
    // Still the file that was judged, not one renamed into its name since.
    return ::fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
}

// Removes the new copies that earlier replacements of `path` left when they were cut short:
// each a whole ledger, which would pile up with every crash.
void removeLeftovers(const QString &path)
{
    const QString prefix = QFileInfo(path).fileName() + QStringLiteral(".saving-");
    DIR *const folder = ::opendir(QFile::encodeName(PathUtils::parentPath(path)).constData());
    if (!folder)
        return;
    QList<QByteArray> names;
    while (const dirent *entry = ::readdir(folder)) {
        const QString name = QFile::decodeName(entry->d_name);
        if (name.startsWith(prefix) && isUuidText(name.mid(prefix.size())))
            names.append(QByteArray(entry->d_name));
    }
    for (const QByteArray &name : std::as_const(names)) {
        if (isLeftOver(::dirfd(folder), name.constData()))
            (void)::unlinkat(::dirfd(folder), name.constData(), 0);
    }
    ::closedir(folder);
}

// 0 when `copy` is made a copy of the regular file `original`, else the errno of the failed
// step.
int copyFile(const QByteArray &original, const QByteArray &copy)
{
    const UniqueFd source(
        ::open(original.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info
    {};
    if (!source.valid() || ::fstat(source.get(), &info) != 0)
        return errno;
    if (!S_ISREG(info.st_mode))
        return EINVAL;
    const UniqueFd target(
        ::open(copy.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, info.st_mode & 07777));
    if (!target.valid())
        return errno;
    QByteArray chunk(64 * 1024, Qt::Uninitialized);
    for (;;) {
        const ssize_t got = ::read(source.get(), chunk.data(), std::size_t(chunk.size()));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return errno;
        if (got == 0)
            return 0;
        if (const int err = writeAll(target.get(), QByteArray::fromRawData(chunk.constData(), got)))
            return err;
    }
}

// Pushes what was written; what the disk did in a lesser way than asked goes to the log.
int flush(Storage::Watch &watch, const QStringList &items)
{
    const int err = watch.flush({{}, items});
    for (const QString &notice : watch.takeNotices())
        AppLogger::shared().log(AppLogLevel::warning, QStringLiteral("Ledger"), notice);
    return err;
}

// 0 when the flushed file reads back from its disk as `content`; -1 when it reads back
// otherwise; else the errno of the failed read, or of the step that kept it in memory.
int readBack(Storage &storage, int fd, const QByteArray &content)
{
    // Read from memory, it would prove only that memory holds it.
    if (const int err = storage.readPastCache(fd))
        return err;
    // One byte more than expected, so that a longer file shows.
    QByteArray read(content.size() + 1, Qt::Uninitialized);
    qsizetype done = 0;
    while (done < read.size()) {
        const ssize_t got =
            ::pread(fd, read.data() + done, std::size_t(read.size() - done), off_t(done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return errno;
        if (got == 0)
            break;
        done += got;
    }
    read.truncate(done);
    return read == content ? 0 : -1;
}

} // namespace

void DurableFile::replace(const QString &path, const QByteArray &content,
                          const std::optional<Original> &original, bool everyUserReads)
{
    Storage &storage = System::current().storage();
    // Taken before the first write, so that its flushes report every write-back error since.
    const std::unique_ptr<Storage::Watch> watch = storage.watch(PathUtils::parentPath(path));
    removeLeftovers(path);
    const QString fresh = path + QStringLiteral(".saving-") + newUuidText();
    const QByteArray freshName = QFile::encodeName(fresh);
    const QByteArray target = QFile::encodeName(path);
    struct stat previous
    {};
    const bool hadPrevious = ::lstat(target.constData(), &previous) == 0;

    const UniqueFd file(::open(freshName.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (file.get() < 0)
        fail(errno, QStringLiteral("its new copy could not be created: "));
    Leftover leftover(freshName);
    // Marks the copy as this replacement's own while it lasts (see isLeftOver).
    (void)::flock(file.get(), LOCK_EX | LOCK_NB);
    if (everyUserReads)
        (void)::fchmod(file.get(), 0644);
    else if (hadPrevious && S_ISREG(previous.st_mode))
        (void)::fchmod(file.get(), previous.st_mode & 07777);
    if (const int err = writeAll(file.get(), content))
        fail(err, QStringLiteral("its new copy could not be written: "));

    // The previous file keeps a second name until the new one's place in the folder is on the
    // disk, so that a failure there can put it back. Where no hard link can be made, a copy
    // stands in, pushed with the new content so that the disk holds it before it is needed.
    const QString keptPath = path + QStringLiteral(".previous");
    const QByteArray keptName = QFile::encodeName(keptPath);
    Leftover kept;
    QStringList pushed{fresh};
    if (hadPrevious) {
        ::unlink(keptName.constData());
        kept.hold(keptName);
        if (::linkat(AT_FDCWD, target.constData(), AT_FDCWD, keptName.constData(), 0) != 0) {
            if (const int err = copyFile(target, keptName))
                fail(err, QStringLiteral("its previous copy could not be kept: "));
            pushed.append(keptPath);
        }
    }
    if (const int err = flush(*watch, pushed))
        fail(err, QStringLiteral("its disk could not store the new copy: "));
    if (const int result = readBack(storage, file.get(), content); result > 0)
        fail(result, QStringLiteral("its new copy could not be read back from its disk: "));
    else if (result < 0)
        throw OperationError::fileSystem(
            EIO, QStringLiteral("its new copy read back from its disk differs from what was "
                                "written"));

    if (original) {
        // Another writer's replacement since the file was read would be lost with it.
        struct stat now
        {};
        const bool exists = ::lstat(target.constData(), &now) == 0;
        if (exists != original->exists || (exists && (quint64(now.st_dev) != original->device ||
                                                      quint64(now.st_ino) != original->inode)))
            throw OperationError::fileSystem(
                ESTALE, QStringLiteral("it was replaced by another writer since it was read"));
    }
    if (::rename(freshName.constData(), target.constData()) != 0)
        fail(errno, QStringLiteral("it could not be replaced by its new copy: "));
    leftover.release();
    if (const int err = flush(*watch, {path})) {
        if (hadPrevious) {
            // Should even this fail, the previous file stays under its second name.
            ::rename(keptName.constData(), target.constData());
            kept.release();
        } else {
            ::unlink(target.constData());
        }
        fail(err, QStringLiteral("its disk could not store the replacement in its folder: "));
    }
}
