#include "services/FileLock.h"

#include "base/OperationError.h"
#include "base/Uuid.h"
#include "services/AppLogger.h"

#include <QFile>
#include <QSet>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

const QString kCategory = QStringLiteral("Ledger");

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

// A regular file takes the place of the link at `path` in one step, whatever the link leads to.
bool replaceLink(const QByteArray &path)
{
    const QByteArray fresh = path + ".new-" + QFile::encodeName(newUuidText());
    const int fd = ::open(fresh.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
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

FileLock::FileLock(const QString &path, Clock::time_point deadline)
{
    const QByteArray name = QFile::encodeName(path);
    const QString where = QStringLiteral("the lock file '") + path + QLatin1Char('\'');
    bool linkReplaced = false;
    for (int attempt = 0;; ++attempt) {
        // Each new look follows a change that a writer elsewhere made in the meantime.
        if (attempt > 0) {
            if (Clock::now() >= deadline)
                throwBusy(where);
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
            const QString message =
                QStringLiteral("The migration history cannot be saved: '") + path +
                (S_ISDIR(info.st_mode) ? QStringLiteral("' is a folder")
                                       : QStringLiteral("' is not a file")) +
                QStringLiteral(" where its lock file belongs. Remove it, then try again.");
            AppLogger::shared().log(AppLogLevel::error, kCategory, message);
            throw OperationError::fileSystem(EEXIST, message);
        }
        // Read-only is enough for flock(2), and lets another user of the drive take it too.
        m_fd = ::open(name.constData(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                      0644);
        if (m_fd < 0) {
            const int err = errno;
            if (err == EINTR || err == ELOOP)
                continue;
            holdMarker(path,
                       QStringLiteral("cannot be opened (") + errorText(err) + QLatin1Char(')'),
                       deadline);
            return;
        }
        if (::fstat(m_fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            ::close(std::exchange(m_fd, -1));
            continue; // changed since it was looked at: looked at again
        }
        for (;;) {
            if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0)
                break;
            const int err = errno;
            if (err == EINTR)
                continue;
            if (err != EWOULDBLOCK) {
                ::close(std::exchange(m_fd, -1));
                holdMarker(path,
                           QStringLiteral("cannot be locked on its file system (") +
                               errorText(err) + QLatin1Char(')'),
                           deadline);
                return;
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
        if (::lstat(name.constData(), &now) == 0 && sameFile(info, now))
            return;
        ::close(std::exchange(m_fd, -1));
    }
}

void FileLock::holdMarker(const QString &path, const QString &why, Clock::time_point deadline)
{
    // A file made only where none is marks the holder. A holder that ended without removing it
    // held it far longer than any write lasts: its mark is taken for left over.
    constexpr int staleSeconds = 120;
    const QByteArray marker = QFile::encodeName(path) + ".held";
    const auto tellInUse = [&] {
        logOnce(AppLogLevel::warning, path,
                QStringLiteral("The lock file '") + path + QLatin1Char(' ') + why +
                    QStringLiteral("; the file '") + QFile::decodeName(marker) +
                    QStringLiteral("' marks the writer instead, and one older than two minutes "
                                   "counts as left over."));
    };
    for (;;) {
        const int fd =
            ::open(marker.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::close(fd);
            m_marker = marker;
            tellInUse();
            return;
        }
        const int err = errno;
        if (err == EINTR)
            continue;
        if (err != EEXIST) {
            logOnce(AppLogLevel::warning, path,
                    QStringLiteral("The lock file '") + path + QLatin1Char(' ') + why +
                        QStringLiteral(", nor can '") + QFile::decodeName(marker) +
                        QStringLiteral("' be made (") + errorText(err) +
                        QStringLiteral("); the ledgers beside it are written without a lock, "
                                       "each only over the file that was read."));
            return;
        }
        tellInUse();
        struct stat info
        {};
        if (::lstat(marker.constData(), &info) == 0 &&
            ::time(nullptr) - info.st_mtime > staleSeconds) {
            AppLogger::shared().log(AppLogLevel::warning, kCategory,
                                    QStringLiteral("The lock mark '") + QFile::decodeName(marker) +
                                        QStringLiteral("' was left over; it was removed."));
            ::unlink(marker.constData());
            continue;
        }
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
