#include "platform/macos/MacEjectTools.h"

#include "base/Subprocess.h"
#include "platform/macos/MacEjectCommands.h"
#include "platform/macos/MacProcessFiles.h"

#include <csignal>
#include <unistd.h>

namespace {

ToolRun runTool(const QStringList &command, const SubprocessOptions &options, bool withErrorOutput)
{
    return runEjectTool(command.first(), command.mid(1), options, withErrorOutput);
}

} // namespace

MacEjectTools::MacEjectTools(std::shared_ptr<DarwinCalls> darwin)
    : m_darwin(std::move(darwin))
{}

ToolRun MacEjectTools::listOpenFiles(const QStringList &arguments, std::chrono::milliseconds limit)
{
    SubprocessOptions options;
    options.workingDirectory = QStringLiteral("/");
    options.timeLimit = limit;
    return runTool(MacEjectCommands::listOpenFiles(arguments), options, false);
}

ToolRun MacEjectTools::unmount(const QString &mountPath, bool force,
                               std::chrono::milliseconds limit)
{
    SubprocessOptions options;
    options.timeLimit = limit;
    return runTool(MacEjectCommands::unmount(mountPath, force), options, true);
}

ToolRun MacEjectTools::eject(const QString &mountPath)
{
    return runTool(MacEjectCommands::eject(mountPath), {}, true);
}

void MacEjectTools::flushFileSystemBuffers()
{
    (void)runTool(MacEjectCommands::flushFileSystemBuffers(), {}, false);
}

QString MacEjectTools::executablePath(qint32 pid)
{
    return pid > 0 ? m_darwin->processPath(pid) : QString();
}

bool MacEjectTools::sendSignal(qint32 pid, int signal)
{
    return ::kill(pid_t(pid), signal) == 0;
}

std::optional<FileUsers> MacEjectTools::usersOf(const TreeItems &items)
{
    return MacProcessFiles::usersOf(*m_darwin, items, qint32(::getpid()));
}
