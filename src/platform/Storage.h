#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <memory>

// What one flush is to vouch for: the items written since the watch began or since the previous
// flush. A system that cannot flush a file system as a whole pushes each of them on its own.
struct StorageWrites
{
    // Copies made: every file and folder in them, and their places in the folders holding them.
    QStringList copies;
    // Items only created, renamed or rewritten in place (a commit's rename, a ledger file): the
    // item itself and its place in the folder holding it.
    QStringList items;
    // Trees found in place and only read, pushed as copies are: what their own programs remove
    // from them meanwhile is no fault of the disk.
    QStringList kept = {};
};

// Makes what was written to a file system reach its device, and lets a later read come from the
// device rather than from memory. A copy read back from memory right after it was written
// proves only that memory holds it; a drive that drops or fails writes shows it only here.
// Every call blocks; never on the GUI thread. Callable from any thread.
class Storage
{
public:
    virtual ~Storage() = default;

    // The writes to one file system, watched from before the first of them to the end of the
    // operation.
    class Watch
    {
    public:
        virtual ~Watch() = default;
        // Pushes what was written to the device and waits until the device holds it, out of
        // the drive's own cache too. 0, or the errno of the first failure met since the watch
        // began or since the previous flush.
        [[nodiscard]] virtual int flush(const StorageWrites &written) = 0;
        // What the flushes so far did in a lesser way than asked without failing (a drive that
        // would not empty its own cache), one sentence each for the activity log. Each is
        // handed out once.
        [[nodiscard]] virtual QStringList takeNotices() { return {}; }
    };

    // While it lives, the file system is made to write out what it is given in the background,
    // so that writing it out and writing to it overlap and the flush after a long copy has
    // little left to do. Errors are left to the watch's own flush.
    class WriteBehind
    {
    public:
        // Stops without waiting for a write-out under way, which ends on its own: a cancelled
        // or failed copy onto a slow drive does not wait for it.
        virtual ~WriteBehind() = default;
        // Stops, once a write-out under way has ended: after a copy, before its flush.
        virtual void finish() = 0;
    };

    // Takes the watch on a folder of the file system; a folder that cannot be opened is
    // reported by the first flush.
    [[nodiscard]] virtual std::unique_ptr<Watch> watch(const QString &folder) = 0;
    // Starts writing out the file system of `folder` behind a copy onto it. Never null; where
    // the system cannot, it does nothing.
    [[nodiscard]] virtual std::unique_ptr<WriteBehind> writeBehind(const QString &folder) = 0;

    // Makes the reads of the open, flushed file `fd` that follow come from the device: its
    // cached pages are dropped. 0 when they were, else the errno of the step that failed: the
    // reads that follow may then come from memory, and prove nothing about the device.
    [[nodiscard]] virtual int readPastCache(int fd) = 0;
    // Where the system can: drops the cached pages of a flushed open file and starts reading it
    // again from the device, so that a later read finds it fresh from the device without
    // waiting for it; true when it did (readPastCache is then not needed).
    [[nodiscard]] virtual bool refetchFromDevice(int fd) = 0;

    // A hint that the open file `fd`, read from start to end, is about to be read at `length`
    // bytes from `offset`: given again as the reads go on, a window ahead of them, so that the
    // device reads on while the caller works on what came before. Best effort.
    virtual void readAhead(int fd, qint64 offset, qint64 length) = 0;

    // The one-off form for a file system watched only from now on; its notices are appended
    // to `notices`.
    [[nodiscard]] int flushFolder(const QString &folder, const StorageWrites &written,
                                  QStringList &notices)
    {
        const std::unique_ptr<Watch> once = watch(folder);
        const int err = once->flush(written);
        notices += once->takeNotices();
        return err;
    }
};
