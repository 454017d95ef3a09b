#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

// One line of /proc/self/mountinfo.
struct MountEntry
{
    int id = 0;
    int parentId = 0;
    unsigned major = 0;
    unsigned minor = 0;
    QString root;       // the folder of the file system that is mounted
    QString mountPoint; // octal escapes decoded
    QStringList mountOptions;
    QString fileSystemType; // "ext4", "fuse.sshfs"
    QString source;         // "/dev/sdb1", "tmpfs"
    QStringList superOptions;

    [[nodiscard]] bool isReadOnly() const;
    // Pseudo file systems and the system's own mount points, which are no drives.
    [[nodiscard]] bool isHidden() const;
};

namespace MountTable {

// Lines that do not parse are left out.
[[nodiscard]] QList<MountEntry> parse(const QByteArray &mountInfo);
// "\040" and the other octal escapes the kernel writes for blanks, tabs, newlines and "\".
[[nodiscard]] QString decodeField(const QByteArray &field);
// The calling process's mount table; nothing when it cannot be read.
[[nodiscard]] std::optional<QList<MountEntry>> read();
// The mounts that can be seen: a later mount on a folder hides every earlier mount on that
// folder or below it. In table order.
[[nodiscard]] QList<MountEntry> visible(const QList<MountEntry> &entries);
// The visible mount that a (resolved) path lies on: the deepest mount point above it.
[[nodiscard]] std::optional<MountEntry> containing(const QList<MountEntry> &entries,
                                                   const QString &resolvedPath);
// The visible mount at `mountPoint`, if any.
[[nodiscard]] std::optional<MountEntry> at(const QList<MountEntry> &entries,
                                           const QString &mountPoint);

} // namespace MountTable
