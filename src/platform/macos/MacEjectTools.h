#pragma once

#include "platform/EjectTools.h"
#include "platform/macos/DarwinCalls.h"

// lsof, diskutil and sync at the system's own paths; processes and their files from libproc.
class MacEjectTools : public EjectTools
{
public:
    explicit MacEjectTools(std::shared_ptr<DarwinCalls> darwin);

    ToolRun listOpenFiles(const QStringList &arguments, std::chrono::milliseconds limit) override;
    ToolRun unmount(const QString &mountPath, bool force, std::chrono::milliseconds limit) override;
    ToolRun eject(const QString &mountPath) override;
    void flushFileSystemBuffers() override;
    [[nodiscard]] QString executablePath(qint32 pid) override;
    bool sendSignal(qint32 pid, int signal) override;
    // From libproc.
    [[nodiscard]] std::optional<FileUsers> usersOf(const TreeItems &items) override;

private:
    std::shared_ptr<DarwinCalls> m_darwin;
};
