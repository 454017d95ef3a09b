#pragma once

#include "platform/VolumeService.h"
#include "platform/macos/DarwinCalls.h"

#include <QHash>
#include <QTimer>
#include <mutex>

// What diskutil tells of the disk behind a mount, beyond what statfs knows.
struct DiskFacts
{
    std::optional<QString> volumeName;
    std::optional<bool> isInternal;
    std::optional<bool> isRemovable;

    friend bool operator==(const DiskFacts &, const DiskFacts &) = default;
};

// Volumes on a Mac: the mount table and space from statfs, the disk's attachment and name
// from "diskutil info -plist", read once per mount.
class MacVolumeService : public VolumeService
{
public:
    // `diskutil` is the tool run for disk facts; tests put a stand-in there.
    explicit MacVolumeService(std::shared_ptr<DarwinCalls> darwin, QString diskutil = {});

    [[nodiscard]] std::optional<QStringList> mountedVolumePaths() override;
    [[nodiscard]] std::optional<QStringList> allMountPoints() override;
    [[nodiscard]] std::optional<VolumeResourceValues> resourceValues(const QString &path) override;
    [[nodiscard]] std::optional<FileSystemSpace> fileSystemSpace(const QString &path) override;
    [[nodiscard]] std::optional<QString> fileSystemTypeName(const QString &path) override;
    [[nodiscard]] std::unique_ptr<MountWatcher> watchMounts() override;

    // The facts in diskutil's property list; nothing when it is no dictionary.
    [[nodiscard]] static std::optional<DiskFacts> parseDiskInfo(const QByteArray &plist);
    // The resource values of the volume `mount`, with the disk facts when there are any.
    [[nodiscard]] static VolumeResourceValues valuesOf(const DarwinMount &mount,
                                                       const std::optional<DiskFacts> &disk);
    // Whether the Mac file system type keeps symbolic links; nothing for types not known.
    [[nodiscard]] static std::optional<bool> supportsSymlinks(const QString &fileSystemType);

private:
    std::optional<DiskFacts> diskFacts(const DarwinMount &mount);

    std::shared_ptr<DarwinCalls> m_darwin;
    QString m_diskutil;
    std::mutex m_mutex;
    QHash<QString, DiskFacts> m_disks; // by device and mount point
};

// Compares the mount table every two seconds: a mount, an unmount and a rename (which moves
// the mount point) each change it.
class MacMountWatcher : public MountWatcher
{
    Q_OBJECT
public:
    explicit MacMountWatcher(std::shared_ptr<DarwinCalls> darwin, QObject *parent = nullptr);

    // Reads the table now and reports it when it changed; the timer calls this.
    void poll();

private:
    std::shared_ptr<DarwinCalls> m_darwin;
    QStringList m_last; // what identifies each mount, free space left out
    QTimer m_timer;
};
