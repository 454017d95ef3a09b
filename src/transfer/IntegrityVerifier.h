#pragma once

#include "base/Verdict.h"

#include <QString>
#include <QUrl>
#include <functional>
#include <optional>

// Decides whether a copied folder tree is faithful to its source: root permissions, the set
// of relative paths, item kinds, link texts and their safety, permission bits, sizes and the
// SHA-256 of every regular file. Holds no state and writes nothing. Names are compared as the
// bytes the file system stores, whatever their encoding; memory follows the widest folder, not
// the number of files.
class IntegrityVerifier
{
public:
    // Answers true when the work must stop. Listing and hashing run on several pool threads,
    // so a probe is called from those threads too and must be cheap and thread-safe. It is
    // never called once verifyDirectoryIntegrity has returned.
    using CancelProbe = std::function<bool()>;

    IntegrityVerifier() = delete;

    // Bytes read per step; the probe is asked before each one.
    static constexpr qint64 chunkSize = 1'048'576;

    // The lower-case hexadecimal SHA-256 of a regular file's content. Nothing when it cannot
    // be opened, is not a regular file, a read fails part-way, or the probe answered true.
    [[nodiscard]] static std::optional<QString> computeSHA256(const QUrl &file,
                                                              const CancelProbe &shouldCancel = {});

    // Where the destination's content comes from. A copy on a drive, flushed first, is read from
    // the drive itself: its pages still cached from the copy would prove only that memory holds
    // it. The source side may always come from memory.
    enum class DestinationRead { mayBeCached, fromDevice };

    // Compares `destination` (the copy) with `source`. Never throws: every problem, a
    // cancellation included, is a failed verdict whose reason names what was found first.
    [[nodiscard]] static Verdict
    verifyDirectoryIntegrity(const QUrl &source, const QUrl &destination,
                             const CancelProbe &shouldCancel = {},
                             DestinationRead destinationRead = DestinationRead::mayBeCached);
};
