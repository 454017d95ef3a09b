#pragma once

#include <QString>
#include <QUrl>
#include <QtGlobal>
#include <optional>

// One place applications can be moved to: a drive's root or a folder picked on it. Judges
// only from its own fields and never touches the disk.
struct TargetVolume
{
    QUrl url; // where "Applications" and "Application Support" are created
    QString name;
    qint64 totalBytes = 0;
    qint64 freeBytes = 0;
    bool isRemovable = false;
    bool isWritable = false;
    QString fileSystemType; // as the volume discovery reports it, e.g. "APFS"
    bool supportsSymlinks = false;

    [[nodiscard]] QString id() const { return url.toLocalFile(); }
    // Can hold applications: a Mac format (or a Linux one with POSIX permissions and
    // links, standing in for it), link support and write access.
    [[nodiscard]] bool isCompatible() const;
    // Why the place cannot hold applications, for the cases worth explaining; nothing
    // otherwise, even for some incompatible formats (callers supply a generic text).
    [[nodiscard]] std::optional<QString> incompatibilityReason() const;
    [[nodiscard]] QString fileSystemDisplay() const;
    [[nodiscard]] QString freeBytesFormatted() const;
    [[nodiscard]] QString totalBytesFormatted() const;
    // Used fraction of the capacity, 0.0 to 1.0.
    [[nodiscard]] double usagePercentage() const;

    // Every stored property counts, so two readings of one drive with different free
    // space differ; only id() stays the same.
    friend bool operator==(const TargetVolume &, const TargetVolume &) = default;
};

[[nodiscard]] size_t qHash(const TargetVolume &volume, size_t seed = 0) noexcept;
