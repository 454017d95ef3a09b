#pragma once

#include "platform/EjectTools.h"

#include <QHash>
#include <mutex>

// lsof as on a Mac; udisksctl where the machine has it, else umount. Process facts from /proc.
class LinuxEjectTools : public EjectTools
{
public:
    ToolRun listOpenFiles(const QStringList &arguments, std::chrono::milliseconds limit) override;
    ToolRun unmount(const QString &mountPath, bool force, std::chrono::milliseconds limit) override;
    ToolRun eject(const QString &mountPath) override;
    void flushFileSystemBuffers() override;
    [[nodiscard]] QString executablePath(qint32 pid) override;
    bool sendSignal(qint32 pid, int signal) override;
    // From /proc.
    [[nodiscard]] std::optional<FileUsers> usersOf(const TreeItems &items) override;

private:
    // The device that was mounted at a path, kept from the unmount for the eject that
    // follows it, when the mount table no longer names it.
    std::mutex m_mutex;
    QHash<QString, QString> m_devices;
};
