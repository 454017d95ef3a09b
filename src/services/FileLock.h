#pragma once

#include <QByteArray>
#include <QString>
#include <chrono>

// One writer at a time, whichever program or user writes: an exclusive flock(2) on a lock file,
// which the system lets go of when its holder ends, however it ends. Waits up to a deadline,
// never longer, so a holder that is stopped or stuck on a drive that hangs makes the wait fail
// with busyMessage() rather than last. A link in the lock file's place is replaced by a file; a
// folder or any other item there is refused, never locked past.
//
// Where the lock file cannot be opened or its file system has no such locks, a second file
// beside it, made only where none stands, marks the holder instead (one older than two minutes
// was left by a holder that ended), and the log says so once per place. Where neither can be
// had, nothing is held: callers then rely on checking that what they replace is still what
// they read.
class FileLock
{
public:
    using Clock = std::chrono::steady_clock;

    // Throws a "FileSystem" OperationError: EWOULDBLOCK with busyMessage() when the deadline
    // passes; EEXIST when something other than a file stands at `path`.
    FileLock(const QString &path, Clock::time_point deadline);
    ~FileLock();
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

    [[nodiscard]] static QString busyMessage();
    // Thrown where another holds the lock: the text above, and the log told which lock (`what`
    // names it).
    [[noreturn]] static void throwBusy(const QString &what);

private:
    void holdMarker(const QString &path, const QString &why, Clock::time_point deadline);

    int m_fd = -1;
    QByteArray m_marker; // the marking file held instead, if any
};
