#include "services/FileLock.h"

#include "base/OperationError.h"
#include "base/Uuid.h"
#include "platform/System.h"
#include "services/AppLogger.h"

#include <QFile>
#include <QHash>
#include <QSet>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace {

const QString kCategory = QStringLiteral("Ledger");
// Whatever the umask of the user who makes it, every user of the drive must open it.
constexpr mode_t kSharedMode = 0666;
std::atomic<qint64> foreignMarkLimitMs{120000};

QString errorText(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

// Tells the log once per place and problem in the life of the program.
void logOnce(AppLogLevel level, const QString &path, const QString &text)
{
    static std::mutex mutex;
    static QSet<QString> told;
    {
        const std::lock_guard lock(mutex);
        const QString key = path + QLatin1Char('\n') + text;
        if (told.contains(key))
            return;
        told.insert(key);
    }
    AppLogger::shared().log(level, kCategory, text);
}

[[noreturn]] void fail(int err, const QString &message)
{
    AppLogger::shared().log(AppLogLevel::error, kCategory, message);
    throw OperationError::fileSystem(err, message);
}

// A regular file takes the place of the link at `path` in one step, whatever the link leads to.
bool replaceLink(const QByteArray &path)
{
    const QByteArray fresh = path + ".new-" + QFile::encodeName(newUuidText());
    const int fd = ::open(fresh.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kSharedMode);
    if (fd < 0)
        return false;
    (void)::fchmod(fd, kSharedMode);
    ::close(fd);
    if (std::rename(fresh.constData(), path.constData()) == 0)
        return true;
    ::unlink(fresh.constData());
    return false;
}

bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The file system has no flock(2) at all, as opposed to one that refuses this lock.
bool locksUnsupported(int err)
{
    return err == ENOLCK || err == EOPNOTSUPP || err == ENOTSUP || err == ENOSYS;
}

// --- Marks ---

QByteArray thisHost()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return {};
    return QByteArray(name);
}

QByteArray thisBoot()
{
    static const QByteArray boot = platformBootSession();
    return boot;
}

// Who holds a mark: "host=…", "pid=…" and "boot=…" lines.
QByteArray markText()
{
    return "host=" + thisHost() + "\npid=" + QByteArray::number(qint64(::getpid())) +
           "\nboot=" + thisBoot() + '\n';
}

struct MarkHolder
{
    QByteArray host;
    QByteArray boot;
    qint64 pid = 0;
};

MarkHolder holderOf(const QByteArray &text)
{
    MarkHolder holder;
    for (const QByteArray &line : text.split('\n')) {
        if (line.startsWith("host="))
            holder.host = line.mid(5);
        else if (line.startsWith("boot="))
            holder.boot = line.mid(5);
        else if (line.startsWith("pid="))
            holder.pid = line.mid(4).toLongLong();
    }
    return holder;
}

// A mark as read: what makes it this very mark, and what it says.
struct MarkSeen
{
    quint64 device = 0;
    quint64 inode = 0;
    qint64 modified = 0;
    QByteArray text;

    friend bool operator==(const MarkSeen &, const MarkSeen &) = default;
};

enum class MarkState { none, live, leftOver };

// Marks whose holder cannot be asked, with the moment this program first saw each as it is.
struct Sightings
{
    std::mutex mutex;
    QHash<QByteArray, std::pair<MarkSeen, FileLock::Clock::time_point>> firstSeen;
};

Sightings &sightings()
{
    static Sightings instance;
    return instance;
}

// Whether the holder of `mark` still holds it. A holder on this machine in this start-up is
// asked through its process; one of an earlier start-up has ended; any other is judged by how
// long this program has seen the mark unchanged, never by the time the mark carries.
MarkState judge(const QByteArray &path, MarkSeen &seen)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? MarkState::none : MarkState::live;
    struct stat info
    {};
    QByteArray text(4096, Qt::Uninitialized);
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    const ssize_t got = regular ? ::read(fd, text.data(), std::size_t(text.size())) : -1;
    ::close(fd);
    // A folder or a device in its place holds nothing of ours: it is waited for, never removed.
    if (!regular)
        return MarkState::live;
    text.truncate(got > 0 ? got : 0);
    seen = {quint64(info.st_dev), quint64(info.st_ino), qint64(info.st_mtime), text};
    const MarkHolder holder = holderOf(text);
    const QByteArray boot = thisBoot();
    if (!holder.host.isEmpty() && holder.host == thisHost() && !boot.isEmpty() &&
        !holder.boot.isEmpty()) {
        if (holder.boot != boot)
            return MarkState::leftOver;
        const bool running =
            holder.pid > 0 && (::kill(pid_t(holder.pid), 0) == 0 || errno == EPERM);
        return running ? MarkState::live : MarkState::leftOver;
    }
    const auto now = FileLock::Clock::now();
    Sightings &all = sightings();
    const std::lock_guard lock(all.mutex);
    auto sighting = all.firstSeen.find(path);
    if (sighting == all.firstSeen.end() || sighting->first != seen)
        sighting = all.firstSeen.insert(path, {seen, now});
    return now - sighting->second >= std::chrono::milliseconds(foreignMarkLimitMs.load())
               ? MarkState::leftOver
               : MarkState::live;
}

// Removes the mark judged left over, and no mark made in its place since.
void removeLeftOver(const QByteArray &path, const MarkSeen &seen)
{
    const QByteArray aside = path + ".gone-" + QFile::encodeName(newUuidText());
    if (std::rename(path.constData(), aside.constData()) != 0)
        return;
    struct stat info
    {};
    if (::lstat(aside.constData(), &info) == 0 && quint64(info.st_dev) == seen.device &&
        quint64(info.st_ino) == seen.inode) {
        ::unlink(aside.constData());
        AppLogger::shared().log(AppLogLevel::warning, kCategory,
                                QStringLiteral("The lock mark '") + QFile::decodeName(path) +
                                    QStringLiteral("' was left by a writer that ended (") +
                                    QString::fromUtf8(seen.text.simplified()) +
                                    QStringLiteral("); it was removed."));
        return;
    }
    // Another writer's new mark: it goes back where it was, unless yet another stands there.
    if (::link(aside.constData(), path.constData()) == 0 || errno == EEXIST)
        ::unlink(aside.constData());
    else
        (void)std::rename(aside.constData(), path.constData());
}

} // namespace

QString FileLock::busyMessage()
{
    return QStringLiteral("Another Korvanthelix window is saving the migration history. Try again "
                          "in a moment.");
}

void FileLock::throwBusy(const QString &what)
{
    AppLogger::shared().log(AppLogLevel::warning, kCategory,
                            QStringLiteral("Gave up waiting for ") + what +
                                QStringLiteral(" to be let go by another writer of the migration "
                                               "history."));
    throw OperationError::fileSystem(EWOULDBLOCK, busyMessage());
}

QString FileLock::reasonOf(const OperationError &failure)
{
    if (failure.code() == EWOULDBLOCK)
        return QStringLiteral("another Korvanthelix window is saving the migration history");
    QString reason = failure.message();
    while (reason.endsWith(QLatin1Char('.')))
        reason.chop(1);
    return reason;
}

void FileLock::setForeignMarkLimit(std::chrono::milliseconds limit)
{
    foreignMarkLimitMs = limit.count();
}

FileLock::FileLock(const QString &path, Clock::time_point deadline)
{
    const QByteArray name = QFile::encodeName(path);
    const QString where = QStringLiteral("the lock file '") + path + QLatin1Char('\'');
    const QString cannotSave = QStringLiteral("The migration history cannot be saved: the lock "
                                              "file '") +
                               path + QLatin1Char('\'');
    const auto cannotOpen = [&](int err) {
        // Never a write without the lock: another user's writes would be lost to this one.
        fail(err, cannotSave + QStringLiteral(" cannot be opened (") + errorText(err) +
                      (err == EACCES ? QStringLiteral("). It was made by a user of this drive "
                                                      "who left no access to others; remove it, "
                                                      "then try again.")
                                     : QStringLiteral("). Check that its folder can be written, "
                                                      "then try again.")));
    };
    bool linkReplaced = false;
    bool denied = false;
    for (int attempt = 0;; ++attempt) {
        // Each new look follows a change that a writer elsewhere made in the meantime.
        if (attempt > 0) {
            if (Clock::now() >= deadline) {
                if (denied)
                    cannotOpen(EACCES);
                throwBusy(where);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        struct stat info
        {};
        if (::lstat(name.constData(), &info) == 0 && !S_ISREG(info.st_mode)) {
            // A link would lead the lock elsewhere, or nowhere: it makes way for a file, once.
            if (S_ISLNK(info.st_mode) && !linkReplaced && replaceLink(name)) {
                linkReplaced = true;
                AppLogger::shared().log(AppLogLevel::warning, kCategory,
                                        QStringLiteral("The lock file '") + path +
                                            QStringLiteral("' was a link; a file took its place."));
                continue;
            }
            fail(EEXIST, QStringLiteral("The migration history cannot be saved: '") + path +
                             (S_ISDIR(info.st_mode) ? QStringLiteral("' is a folder")
                                                    : QStringLiteral("' is not a file")) +
                             QStringLiteral(" where its lock file belongs. Remove it, then try "
                                            "again."));
        }
        // Read-only is enough for flock(2), so any user may take it.
        m_fd = ::open(name.constData(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                      kSharedMode);
        if (m_fd < 0) {
            const int err = errno;
            if (err == EINTR || err == ELOOP)
                continue;
            // Another user's program may just have made it, not yet opened to all.
            if (err == EACCES) {
                denied = true;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            cannotOpen(err);
        }
        if (::fstat(m_fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            ::close(std::exchange(m_fd, -1));
            continue; // changed since it was looked at: looked at again
        }
        if ((info.st_mode & 0777) != kSharedMode && info.st_uid == ::geteuid())
            (void)::fchmod(m_fd, kSharedMode);
        for (;;) {
            if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0)
                break;
            const int err = errno;
            if (err == EINTR)
                continue;
            if (locksUnsupported(err)) {
                ::close(std::exchange(m_fd, -1));
                holdMarker(path,
                           QStringLiteral("cannot be locked on its file system (") +
                               errorText(err) + QLatin1Char(')'),
                           deadline);
                return;
            }
            if (err != EWOULDBLOCK) {
                ::close(std::exchange(m_fd, -1));
                fail(err, cannotSave + QStringLiteral(" cannot be locked (") + errorText(err) +
                              QStringLiteral("). Try again in a moment."));
            }
            if (Clock::now() >= deadline) {
                ::close(std::exchange(m_fd, -1));
                throwBusy(where);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        // Held, unless the file was replaced or removed meanwhile: then it locks nothing.
        struct stat now
        {};
        if (::lstat(name.constData(), &now) != 0 || !sameFile(info, now)) {
            ::close(std::exchange(m_fd, -1));
            continue;
        }
        try {
            awaitMarks(path, deadline);
        } catch (...) {
            ::close(std::exchange(m_fd, -1));
            throw;
        }
        return;
    }
}

void FileLock::awaitMarks(const QString &path, Clock::time_point deadline) const
{
    const QByteArray marker = QFile::encodeName(path) + ".held";
    for (;;) {
        MarkSeen seen;
        const MarkState state = judge(marker, seen);
        if (state == MarkState::none)
            return;
        if (state == MarkState::leftOver) {
            removeLeftOver(marker, seen);
            continue;
        }
        if (Clock::now() >= deadline)
            throwBusy(QStringLiteral("the lock mark '") + QFile::decodeName(marker) +
                      QLatin1Char('\''));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void FileLock::holdMarker(const QString &path, const QString &why, Clock::time_point deadline)
{
    const QByteArray marker = QFile::encodeName(path) + ".held";
    logOnce(AppLogLevel::warning, path,
            QStringLiteral("The lock file '") + path + QLatin1Char(' ') + why +
                QStringLiteral("; the file '") + QFile::decodeName(marker) +
                QStringLiteral("' marks the writer instead, naming its machine and process."));
    for (;;) {
        const int fd = ::open(marker.constData(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kSharedMode);
        if (fd >= 0) {
            m_marker = marker;
            const QByteArray text = markText();
            const bool written =
                ::write(fd, text.constData(), std::size_t(text.size())) == ssize_t(text.size());
            ::close(fd);
            if (written)
                return;
            ::unlink(std::exchange(m_marker, QByteArray()).constData());
            fail(EIO, QStringLiteral("The migration history cannot be saved: the lock mark '") +
                          QFile::decodeName(marker) +
                          QStringLiteral("' could not be written. Try again once the drive is "
                                         "writable."));
        }
        const int err = errno;
        if (err == EINTR)
            continue;
        if (err != EEXIST)
            fail(err, QStringLiteral("The migration history cannot be saved: its file system "
                                     "has no file locks, and the mark '") +
                          QFile::decodeName(marker) +
                          QStringLiteral("' that stands in for one cannot be made (") +
                          errorText(err) + QStringLiteral(")."));
        MarkSeen seen;
        const MarkState state = judge(marker, seen);
        if (state == MarkState::leftOver) {
            removeLeftOver(marker, seen);
            continue;
        }
        if (state == MarkState::none)
            continue;
        if (Clock::now() >= deadline)
            throwBusy(QStringLiteral("the lock mark '") + QFile::decodeName(marker) +
                      QLatin1Char('\''));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

FileLock::~FileLock()
{
    // Closing the descriptor lets go of the lock.
    if (m_fd >= 0)
        ::close(m_fd);
    if (!m_marker.isEmpty())
        ::unlink(m_marker.constData());
}
