#pragma once

#include "platform/FileSystemIdentity.h"

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
    // The file system that held `url` when the drive was listed or the folder chosen; every
    // write to the target first proves it is still there. Nothing: it cannot be proven, so
    // nothing is written. Not part of the equality: two readings of one place compare by what
    // they show.
    std::optional<FileSystemIdentity> fileSystem = std::nullopt;

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

    // Every shown property counts, so two readings of one drive with different free
    // space differ; only id() stays the same.
    friend bool operator==(const TargetVolume &a, const TargetVolume &b)
    {
        return a.url == b.url && a.name == b.name && a.totalBytes == b.totalBytes &&
               a.freeBytes == b.freeBytes && a.isRemovable == b.isRemovable &&
               a.isWritable == b.isWritable && a.fileSystemType == b.fileSystemType &&
               a.supportsSymlinks == b.supportsSymlinks;
    }
};

[[nodiscard]] size_t qHash(const TargetVolume &volume, size_t seed = 0) noexcept;
