#pragma once

#include "platform/EjectTools.h"

#include <QString>
#include <QStringList>
#include <functional>

// The command lines of the safe eject on a Mac, program first.
namespace MacEjectCommands {

// lsof with the scan's own arguments.
[[nodiscard]] QStringList listOpenFiles(const QStringList &arguments);
[[nodiscard]] QStringList unmount(const QString &mountPath, bool force);
[[nodiscard]] QStringList eject(const QString &mountPath);
[[nodiscard]] QStringList flushFileSystemBuffers();

// How long the look at every process's files may take.
inline constexpr std::chrono::milliseconds fileUseTimeLimit{10'000};
// lsof's arguments for every open file of every process: machine-readable PID, command, descriptor,
// access and name fields, no name look-ups, no warnings.
[[nodiscard]] QStringList fileUseArguments();
// EjectTools::usersWithin from the output of lsof with those arguments. A descriptor opened for
// writing ("w" or "u") writes; a mapped file ("txt", "mem") that is not the process's executable
// maps, since lsof does not say whether a mapping is shared and writable; the executable runs.
// `ownPid` is left out.
[[nodiscard]] QList<FileUse> parseFileUses(const QByteArray &output, const QStringList &roots,
                                           qint32 ownPid,
                                           const std::function<QString(qint32)> &executablePath);
// The same from a run of the tool: nothing when it did not run to its end.
[[nodiscard]] std::optional<QList<FileUse>>
fileUses(const ToolRun &run, const QStringList &roots, qint32 ownPid,
         const std::function<QString(qint32)> &executablePath);

} // namespace MacEjectCommands
