#pragma once

#include "platform/Storage.h"

// Linux (5.8 and later): a watch is a descriptor of a folder of the file system, taken before
// the writes; syncfs() on it reports every write-back error the file system met since it was
// opened or last flushed, also one of a file that was closed long ago, so the whole file system
// is flushed whatever the writes were. Reads past the cache drop a flushed file's clean pages.
class LinuxStorage : public Storage
{
public:
    [[nodiscard]] std::unique_ptr<Watch> watch(const QString &folder) override;
    [[nodiscard]] std::unique_ptr<WriteBehind> writeBehind(const QString &folder) override;
    [[nodiscard]] int readPastCache(int fd) override;
    [[nodiscard]] bool refetchFromDevice(int fd) override;
    void readAhead(int fd, qint64 offset, qint64 length) override;
};
