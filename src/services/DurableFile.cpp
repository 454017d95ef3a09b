#include "services/DurableFile.h"

#include "base/OperationError.h"
#include "base/PathUtils.h"
#include "base/UniqueFd.h"
#include "base/Uuid.h"
#include "platform/System.h"
#include "services/AppLogger.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void fail(int err, const QString &what)
{
    throw OperationError::fileSystem(
        err > 0 ? err : EIO, what + QString::fromLocal8Bit(std::strerror(err > 0 ? err : EIO)));
}

// The new copy goes unless it became the file.
class Leftover
{
public:
    explicit Leftover(QByteArray path)
        : m_path(std::move(path))
    {}
    ~Leftover()
    {
        if (!m_path.isEmpty())
            ::unlink(m_path.constData());
    }
    Leftover(const Leftover &) = delete;
    Leftover &operator=(const Leftover &) = delete;
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

// Pushes what was written; what the disk did in a lesser way than asked goes to the log.
int flush(Storage::Watch &watch, const QString &item)
{
    const int err = watch.flush({{}, {item}});
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

void DurableFile::replace(const QString &path, const QByteArray &content)
{
    Storage &storage = System::current().storage();
    // Taken before the first write, so that its flushes report every write-back error since.
    const std::unique_ptr<Storage::Watch> watch = storage.watch(PathUtils::parentPath(path));
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
    if (hadPrevious && S_ISREG(previous.st_mode))
        (void)::fchmod(file.get(), previous.st_mode & 07777);
    if (const int err = writeAll(file.get(), content))
        fail(err, QStringLiteral("its new copy could not be written: "));
    if (const int err = flush(*watch, fresh))
        fail(err, QStringLiteral("its disk could not store the new copy: "));
    if (const int result = readBack(storage, file.get(), content); result > 0)
        fail(result, QStringLiteral("its new copy could not be read back from its disk: "));
    else if (result < 0)
        throw OperationError::fileSystem(
            EIO, QStringLiteral("its new copy read back from its disk differs from what was "
                                "written"));

    // The previous file keeps a second name until the new one's place in the folder is on the
    // disk, so that a failure there can put it back.
    const QByteArray keptName = QFile::encodeName(path + QStringLiteral(".previous"));
    bool kept = false;
    if (hadPrevious) {
        ::unlink(keptName.constData());
        kept = ::link(target.constData(), keptName.constData()) == 0;
    }
    if (::rename(freshName.constData(), target.constData()) != 0) {
        const int err = errno;
        if (kept)
            ::unlink(keptName.constData());
        fail(err, QStringLiteral("it could not be replaced by its new copy: "));
    }
    leftover.release();
    if (const int err = flush(*watch, path)) {
        if (kept)
            ::rename(keptName.constData(), target.constData());
        else if (!hadPrevious)
            ::unlink(target.constData());
        fail(err, QStringLiteral("its disk could not store the replacement in its folder: "));
    }
    if (kept)
        ::unlink(keptName.constData());
}
