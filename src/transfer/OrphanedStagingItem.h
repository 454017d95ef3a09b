#pragma once

#include <QHashFunctions>
#include <QString>
#include <QUrl>
#include <QtGlobal>
#include <optional>

// One item an interrupted operation left beside the applications or support folders: a
// staging copy, or a recovery copy (a rollback item, kept until the user decides).
struct OrphanedStagingItem
{
    QString id; // the path of url
    QUrl url;   // as listed in its folder, not standardized
    QString displayName;
    qint64 size = 0;
    bool isRecoveryCopy = false;
    // A recovery copy whose home location no longer holds anything usable.
    bool hasMissingOriginal = false;

    // What the scan found there, so that the cleanup removes that item and no other: the entry's
    // own device, inode and kind (S_IFMT bits), a link not followed. Not part of the item's
    // equality, which is that of the listing.
    struct Seen
    {
        quint64 device = 0;
        quint64 inode = 0;
        quint32 type = 0;
        friend bool operator==(const Seen &, const Seen &) = default;
    };
    std::optional<Seen> seen;

    OrphanedStagingItem() = default;
    // id and displayName come from url.
    OrphanedStagingItem(QUrl url, qint64 size, bool isRecoveryCopy, bool hasMissingOriginal,
                        std::optional<Seen> seen = std::nullopt);

    [[nodiscard]] QString formattedSize() const;

    friend bool operator==(const OrphanedStagingItem &a, const OrphanedStagingItem &b)
    {
        return a.id == b.id && a.url == b.url && a.displayName == b.displayName &&
               a.size == b.size && a.isRecoveryCopy == b.isRecoveryCopy &&
               a.hasMissingOriginal == b.hasMissingOriginal;
    }
};

[[nodiscard]] size_t qHash(const OrphanedStagingItem &item, size_t seed = 0) noexcept;
