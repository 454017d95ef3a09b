#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

// What the platform tells about the file system that holds a path (URL resource values on a
// Mac). Every value may be missing; a missing value is not the same as false.
struct VolumeResourceValues
{
    std::optional<QString> volumeName;
    std::optional<bool> isRemovable;
    std::optional<bool> isReadOnly;
    std::optional<bool> isInternal;
    std::optional<bool> isVolume; // the path is the root of a mounted file system
    std::optional<bool> isRootFileSystem;
    std::optional<qint64> totalCapacity;
    std::optional<qint64> availableCapacity;
    std::optional<QString> volumeTypeName;
    std::optional<bool> supportsSymlinks;
    std::optional<QString> volumePath; // the mount point of the file system holding the path
};

// Size and free space of a file system, in bytes (statfs on a Mac, statvfs here).
struct FileSystemSpace
{
    qint64 total = 0;
    qint64 free = 0;
};

// Reports mounts, unmounts and renames of volumes, on the thread it lives on. Ends its
// subscription when destroyed.
class MountWatcher : public QObject
{
    Q_OBJECT
public:
    explicit MountWatcher(QObject *parent = nullptr);
    ~MountWatcher() override;

signals:
    void mountsChanged();
};

// Mounted volumes and the facts about them. Callable from any thread, except watchMounts(),
// whose watcher belongs to the calling thread.
class VolumeService
{
public:
    virtual ~VolumeService() = default;

    // Mount points of the mounted file systems the user may see (pseudo file systems and
    // the system's own mount points left out), in the mount table's order; nothing when
    // the table cannot be read.
    [[nodiscard]] virtual std::optional<QStringList> mountedVolumePaths() = 0;
    // The mount point of every mounted file system, hidden and system ones too (getfsstat on a
    // Mac, the mount table here): what a removal that compares devices alone would enter.
    // Nothing when the table cannot be read.
    [[nodiscard]] virtual std::optional<QStringList> allMountPoints() = 0;
    // Nothing when `path` does not exist or its file system cannot be found.
    [[nodiscard]] virtual std::optional<VolumeResourceValues>
    resourceValues(const QString &path) = 0;
    // Nothing when the file system cannot be asked.
    [[nodiscard]] virtual std::optional<FileSystemSpace> fileSystemSpace(const QString &path) = 0;
    // The type name of the file system holding `path` as the mount table spells it ("ext4",
    // "apfs"); nothing when it cannot be asked.
    [[nodiscard]] virtual std::optional<QString> fileSystemTypeName(const QString &path) = 0;
    [[nodiscard]] virtual std::unique_ptr<MountWatcher> watchMounts() = 0;
};
