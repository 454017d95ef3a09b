#pragma once

#include <QByteArray>
#include <QString>
#include <chrono>

class OperationError;

// One writer at a time, whichever program or user writes: an exclusive flock(2) on a lock file,
// which the system lets go of when its holder ends, however it ends. Waits up to a deadline,
// never longer, so a holder that is stopped or stuck on a drive that hangs makes the wait fail
// with busyMessage() rather than last. A link in the lock file's place is replaced by a file; a
// folder or any other item there is refused, never locked past. The lock file is readable and
// writable by every user, whatever the umask of the one who made it, so that every user of a
// shared drive takes the same lock; one that cannot be opened or locked all the same is a
// failure with a message, never a write without the lock.
//
// Only where the lock file's file system has no such locks does a second file beside it, made
// only where none stands, mark the holder instead. It names the holder's machine, process and
// start-up of its system, so a mark of a holder on this machine that ended is taken for left
// over at once; a mark made elsewhere, whose holder cannot be asked, counts as left over once
// this program has seen it unchanged for two minutes by its own clock (another machine's clock
// is never trusted). A holder of the flock waits for a mark as well, so the two never write at
// once.
class FileLock
{
public:
    using Clock = std::chrono::steady_clock;

    // Throws a "FileSystem" OperationError: EWOULDBLOCK with busyMessage() when the deadline
    // passes; EEXIST when something other than a file stands at `path`; the errno and a message
    // naming the lock file when it can be neither opened nor locked.
    FileLock(const QString &path, Clock::time_point deadline);
    ~FileLock();
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

    [[nodiscard]] static QString busyMessage();
    // Thrown where another holds the lock: the text above, and the log told which lock (`what`
    // names it).
    [[noreturn]] static void throwBusy(const QString &what);

    // Why a change did not land, to go inside a sentence: for a busy writer elsewhere, that
    // and no advice to try again; otherwise the message without its closing full stop.
    [[nodiscard]] static QString reasonOf(const OperationError &failure);

    // How long a mark whose holder cannot be asked must stay unchanged before it counts as left
    // over; two minutes unless set (tests shorten it).
    static void setForeignMarkLimit(std::chrono::milliseconds limit);

private:
    void holdMarker(const QString &path, const QString &why, Clock::time_point deadline);
    // Waits, up to the deadline, until no live mark stands beside the lock held.
    void awaitMarks(const QString &path, Clock::time_point deadline) const;

    int m_fd = -1;
    QByteArray m_marker; // the marking file held instead, if any
};
