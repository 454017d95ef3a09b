#include "platform/linux/LinuxEjectTools.h"

#include "base/PathUtils.h"
#include "base/Subprocess.h"
#include "platform/linux/MountTable.h"
#include "platform/linux/ProcessFiles.h"
#include "platform/linux/ToolLookup.h"

#include <csignal>
#include <unistd.h>

namespace {

QString mountedDevice(const QString &mountPath)
{
    const std::optional<QList<MountEntry>> table = MountTable::read();
    if (!table)
        return {};
    const std::optional<MountEntry> mount = MountTable::at(*table, PathUtils::resolved(mountPath));
    return mount && mount->source.startsWith(QLatin1String("/dev/")) ? mount->source : QString();
}

} // namespace

ToolRun LinuxEjectTools::listOpenFiles(const QStringList &arguments,
                                       std::chrono::milliseconds limit)
{
    SubprocessOptions options;
    options.workingDirectory = QStringLiteral("/");
    options.timeLimit = limit;
    return runEjectTool(ToolLookup::systemTool(QStringLiteral("lsof")), arguments, options, false);
}

ToolRun LinuxEjectTools::unmount(const QString &mountPath, bool force,
                                 std::chrono::milliseconds limit)
{
    const QString device = mountedDevice(mountPath);
    if (!device.isEmpty()) {
        const std::lock_guard lock(m_mutex);
        m_devices.insert(mountPath, device);
    }
    SubprocessOptions options;
    options.timeLimit = limit;
    // udisks lets an ordinary user unmount what the desktop mounted; it needs the device.
    // Its --force is a lazy unmount, which would report success while files are still open,
    // so a forced unmount is umount's MNT_FORCE instead.
    const QString udisksctl = ToolLookup::systemTool(QStringLiteral("udisksctl"));
    if (!force && !udisksctl.isEmpty() && !device.isEmpty()) {
        return runEjectTool(udisksctl,
                            {QStringLiteral("unmount"), QStringLiteral("--no-user-interaction"),
                             QStringLiteral("--block-device"), device},
                            options, true);
    }
    QStringList arguments;
    if (force)
        arguments.append(QStringLiteral("-f"));
    arguments << QStringLiteral("--") << mountPath;
    return runEjectTool(ToolLookup::systemTool(QStringLiteral("umount")), arguments, options, true);
}

ToolRun LinuxEjectTools::eject(const QString &mountPath)
{
    QString device;
    {
        const std::lock_guard lock(m_mutex);
        device = m_devices.take(mountPath);
    }
    if (device.isEmpty())
        device = mountedDevice(mountPath);
    const QString udisksctl = ToolLookup::systemTool(QStringLiteral("udisksctl"));
    if (udisksctl.isEmpty() || device.isEmpty()) {
        ToolRun run;
        run.startError = QStringLiteral("nothing to power off");
        return run;
    }
    return runEjectTool(udisksctl,
                        {QStringLiteral("power-off"), QStringLiteral("--no-user-interaction"),
                         QStringLiteral("--block-device"), device},
                        {}, true);
}

void LinuxEjectTools::flushFileSystemBuffers()
{
    ::sync();
}

QString LinuxEjectTools::executablePath(qint32 pid)
{
    if (pid <= 0)
        return {};
    std::optional<QString> path = PathUtils::linkText(QStringLiteral("/proc/%1/exe").arg(pid));
    if (!path)
        return {};
    // The kernel marks an executable replaced since the start; the path is still its name.
    if (path->endsWith(QLatin1String(" (deleted)")))
        path->chop(10);
    return *path;
}

bool LinuxEjectTools::sendSignal(qint32 pid, int signal)
{
    return ::kill(pid_t(pid), signal) == 0;
}

std::optional<FileUsers> LinuxEjectTools::usersOf(const TreeItems &items)
{
    return platformUsersOf(items);
}

std::optional<FileUsers> platformUsersOf(const TreeItems &items)
{
    return ProcessFiles::usersOf(items, qint32(::getpid()));
}
