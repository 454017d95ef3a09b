#pragma once

#include "base/Verdict.h"

#include <QString>
#include <QStringList>
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

    // The items of a tree as they stand: which folder (its device and inode) and which kind of
    // other item is at which path below the root, summed up, so that an item replaced, moved or
    // made a link since shows. What the comparison leaves out (sockets, pipes, ".DS_Store") is
    // left out.
    struct TreePrint
    {
        quint64 sum = 0;
        qint64 count = 0;
        friend bool operator==(const TreePrint &, const TreePrint &) = default;
    };

    // What a verification saw besides its verdict.
    struct Report
    {
        // What the source holds that copies leave out (sockets and pipes, which hold no data):
        // the first five by their path below the root, and how many there were.
        QStringList leftOut;
        qint64 leftOutCount = 0;
        // The destination as it was read; a passing verification found it so at its end.
        TreePrint destination;

        // The activity log's line for what a copy of `source` left out.
        [[nodiscard]] QString leftOutLine(const QString &source) const;
    };

    // The print of the tree at `root`, each folder entered from the one holding it without
    // following a link; nothing when a folder cannot be listed or lies on another file system.
    [[nodiscard]] static std::optional<TreePrint> treePrint(const QUrl &root);

    // Where the destination's content comes from. A copy on a drive, flushed first, is read from
    // the drive itself: its pages still cached from the copy would prove only that memory holds
    // it. The source side may always come from memory.
    enum class DestinationRead { mayBeCached, fromDevice };

    // Compares `destination` (the copy) with `source`. Never throws: every problem, a
    // cancellation included, is a failed verdict whose reason names what was found first. Each
    // folder is entered from the one holding it as that was listed, never through a link; one
    // that became a link, or lies on another file system than its root, fails it. Sockets
    // and pipes are left out on both sides. `report`, when given,
    // receives what else was seen.
    [[nodiscard]] static Verdict verifyDirectoryIntegrity(
        const QUrl &source, const QUrl &destination, const CancelProbe &shouldCancel = {},
        DestinationRead destinationRead = DestinationRead::mayBeCached, Report *report = nullptr);
};
