#pragma once

#include "platform/VolumeService.h"
#include "platform/linux/MountTable.h"

#include <QHash>
#include <QSocketNotifier>
#include <QTimer>
#include <mutex>

// Volumes from /proc/self/mountinfo, space from statvfs, attachment from sysfs.
class LinuxVolumeService : public VolumeService
{
public:
    [[nodiscard]] std::optional<QStringList> mountedVolumePaths() override;
    [[nodiscard]] std::optional<QStringList> allMountPoints() override;
    [[nodiscard]] std::optional<VolumeResourceValues> resourceValues(const QString &path) override;
    [[nodiscard]] std::optional<FileSystemSpace> fileSystemSpace(const QString &path) override;
    [[nodiscard]] std::optional<QString> fileSystemTypeName(const QString &path) override;
    [[nodiscard]] std::unique_ptr<MountWatcher> watchMounts() override;

    // Whether the Linux file system type keeps symbolic links; nothing for types not known.
    [[nodiscard]] static std::optional<bool> supportsSymlinks(const QString &fileSystemType);

private:
    std::optional<QString> labelOf(const MountEntry &entry);

    // Labels read once per mount: blkid is a process start, and every refresh asks.
    std::mutex m_labelMutex;
    QHash<QString, std::optional<QString>> m_labels;
};

// The kernel flags /proc/self/mountinfo with POLLPRI after each mount or unmount in this
// mount namespace. Where it cannot be watched, the table is compared every two seconds.
class LinuxMountWatcher : public MountWatcher
{
    Q_OBJECT
public:
    explicit LinuxMountWatcher(QObject *parent = nullptr);
    ~LinuxMountWatcher() override;

private:
    void compareTable();

    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
    QTimer *m_pollTimer = nullptr;
    QByteArray m_lastTable;
};
