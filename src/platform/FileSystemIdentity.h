#pragma once

#include <QString>
#include <QtGlobal>
#include <optional>

// Which mounted file system holds a place: where it is mounted and its device id. Taken when a
// drive is listed or a folder is chosen and compared again before every write to it: an
// unplugged drive leaves its empty mount-point folder on the Mac's own disk, and a copy must
// never land there. The mount point comes from the platform's volume service, the device id
// from stat(2), which a Mac and Linux answer alike. Safe from any thread.
struct FileSystemIdentity
{
    QString mountPoint;
    quint64 device = 0;

    // The file system holding `path` now; nothing when `path` does not exist or the platform
    // cannot name its mount point.
    [[nodiscard]] static std::optional<FileSystemIdentity> of(const QString &path);
    // `path` exists and lies on this very file system, still mounted where it was.
    [[nodiscard]] bool holds(const QString &path) const;
    // The device id of the file system holding `path` (the link itself when `followLink` is
    // false); nothing when it does not exist.
    [[nodiscard]] static std::optional<quint64> deviceOf(const QString &path,
                                                         bool followLink = true);
    // What one flush of the file system holding `path` reaches, as a number shared by every
    // place that flush covers: on Linux the whole file system, its btrfs subvolumes and bind
    // mounts included (whose device ids differ); on a Mac the volume. The link itself when
    // `followLink` is false. Nothing when it does not exist.
    [[nodiscard]] static std::optional<quint64> storeOf(const QString &path,
                                                        bool followLink = true);
    // The same for the open file or folder `fd`.
    [[nodiscard]] static std::optional<quint64> storeOf(int fd);
    // Which mount holds the open file or folder `fd`, as a number that differs from one mount
    // to the next: a bind mount of a folder of the same file system too, which storeOf cannot
    // tell from the rest of it, one flush reaching both. Nothing when it cannot be looked at.
    [[nodiscard]] static std::optional<quint64> mountOf(int fd);

    friend bool operator==(const FileSystemIdentity &, const FileSystemIdentity &) = default;
};
