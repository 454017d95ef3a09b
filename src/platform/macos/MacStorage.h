#pragma once

#include "platform/Storage.h"
#include "platform/macos/DarwinCalls.h"

// A Mac's flush and read-back. sync(2) there only schedules the writing ("is not necessarily
// complete upon return") and F_FULLFSYNC on one descriptor flushes that descriptor's file and
// the drive's cache, not the other files still in flight, nor reports their write errors. So a
// flush pushes each item written with its own fsync and checks each result, then has the drive
// empty its cache once. F_NOCACHE stops new caching but evicts nothing, so a read past the
// cache first invalidates the file's pages through a shared mapping, as fio's discard_pages
// does on macOS (helpers.c), and only then turns caching off; read-ahead, which that turns off
// too, is asked for instead. A compressed file keeps its bytes in a stored part that only the
// kernel may read (xnu's decmpfs_hides_rsrc), and its reads are served from the decompressed
// pages in memory first (decmpfs_read_compressed): such a file cannot be read from the drive,
// so copies are made uncompressed (macCopyToolArguments), and the flush pushes a stored part
// found anyway.
class MacStorage : public Storage
{
public:
    explicit MacStorage(std::shared_ptr<DarwinCalls> darwin);

    [[nodiscard]] std::unique_ptr<Watch> watch(const QString &folder) override;
    // Does nothing: each file is pushed on its own at the flush.
    [[nodiscard]] std::unique_ptr<WriteBehind> writeBehind(const QString &folder) override;
    // Every step checked; a compressed file is refused (ENOTSUP), its stored part being out of
    // reach.
    [[nodiscard]] int readPastCache(int fd) override;
    // Never: the Mac reads a file past the cache only through readPastCache.
    [[nodiscard]] bool refetchFromDevice(int fd) override;
    // F_RDADVISE: with caching off, the Mac reads nothing ahead unless asked.
    void readAhead(int fd, qint64 offset, qint64 length) override;

    // Bytes mapped at once to invalidate a file's pages: a bounded share of the address space.
    static constexpr qint64 discardChunk = qint64(1) << 30;

private:
    std::shared_ptr<DarwinCalls> m_darwin;
};
