#pragma once

#include <QString>
#include <sys/types.h>

// A child process of the test that uses a file (or folder) as a helper, a sync agent or an indexer
// of an application would, until the holder is destroyed (then it is killed and reaped).
class FileHolder
{
public:
    enum class Hold {
        reads,          // an open descriptor, read-only
        writes,         // an open descriptor for appending, nothing written yet
        mapsForWriting, // mapped shared and writable, its first bytes written through the map
        mapsReadOnly,   // opened for writing, mapped shared read-only (mprotect can make the
                        // map writable later), the descriptor closed
        worksIn,        // a folder, made its working folder
    };

    FileHolder(const QString &file, Hold how);
    // Runs the program at `executable` (a copy of sleep), as a helper that runs from where it lies.
    static FileHolder running(const QString &executable);
    ~FileHolder();
    FileHolder(FileHolder &&other) noexcept;
    FileHolder(const FileHolder &) = delete;
    FileHolder &operator=(const FileHolder &) = delete;

    [[nodiscard]] pid_t pid() const { return m_pid; }
    // It holds the file as asked (or runs).
    [[nodiscard]] bool isReady() const { return m_ready; }

private:
    FileHolder() = default;

    pid_t m_pid = -1;
    bool m_ready = false;
};
