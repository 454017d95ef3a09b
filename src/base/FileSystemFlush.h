#pragma once

#include <QString>
#include <memory>

// Makes what was written to a file system reach its device, and lets a later read come from
// the device rather than from memory. A copy read back from the page cache right after it was
// written proves only that memory holds it; a drive that drops or fails writes shows it only
// here.
//
// One watch is taken on a folder of the file system before the writes it is to vouch for: on
// Linux (5.8 and later) its flush reports every write-back error the file system met since the
// watch began, also one of a file that was closed long ago. Blocks; never on the GUI thread.
class FileSystemFlush
{
public:
    // Opens `folder`; a folder that cannot be opened is reported by the first flush().
    explicit FileSystemFlush(const QString &folder);
    ~FileSystemFlush();
    FileSystemFlush(const FileSystemFlush &) = delete;
    FileSystemFlush &operator=(const FileSystemFlush &) = delete;

    // Writes out everything the file system holds in memory and waits until the device has it
    // (on the Mac, out of the drive's own cache too). 0, or the errno of the first failure
    // since the watch began or since the previous flush.
    [[nodiscard]] int flush();

    // The one-off form for a file system watched only from now on.
    [[nodiscard]] static int flushFolder(const QString &folder);

    // Makes the reads of the open file `fd` that follow come from the device: its cached pages
    // (written out by a flush) are dropped. Best effort; a file whose pages stay cached is
    // still read correctly, from memory.
    static void readPastCache(int fd);
    // Where the system can: drops the cached pages of a flushed open file and starts reading it
    // again from the device, so that a later read finds it fresh from the device without
    // waiting for it; true when it did (readPastCache is then not needed).
    [[nodiscard]] static bool refetchFromDevice(int fd);

    // While it lives, the file system of `folder` is made to write out what it is given in the
    // background, so that writing it out and writing to it overlap: the flush after a long copy
    // then has little left to do. Errors are left to the watch's own flush. On the Linux kernel
    // only (elsewhere it does nothing); it takes a pool thread only where one is free at once,
    // and does nothing otherwise.
    class WriteBehind
    {
    public:
        explicit WriteBehind(const QString &folder);
        // Stops, once a write-out under way has ended: after a copy, before its flush.
        void finish();
        // Stops without waiting for a write-out under way, which ends on its own: a cancelled
        // or failed copy onto a slow drive does not wait for it.
        ~WriteBehind();
        WriteBehind(const WriteBehind &) = delete;
        WriteBehind &operator=(const WriteBehind &) = delete;

    private:
        struct State;
        std::shared_ptr<State> m_state;
    };

private:
    int m_fd = -1;
    int m_openError = 0;
};
