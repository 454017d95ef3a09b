#pragma once

#include <QHashFunctions>
#include <QString>
#include <QUrl>
#include <QtGlobal>

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

    OrphanedStagingItem() = default;
    // id and displayName come from url.
    OrphanedStagingItem(QUrl url, qint64 size, bool isRecoveryCopy, bool hasMissingOriginal);

    [[nodiscard]] QString formattedSize() const;

    friend bool operator==(const OrphanedStagingItem &, const OrphanedStagingItem &) = default;
};

[[nodiscard]] size_t qHash(const OrphanedStagingItem &item, size_t seed = 0) noexcept;
