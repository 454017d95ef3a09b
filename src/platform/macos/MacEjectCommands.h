#pragma once

#include <QString>
#include <QStringList>

// The command lines of the safe eject on a Mac, program first.
namespace MacEjectCommands {

// lsof with the scan's own arguments.
[[nodiscard]] QStringList listOpenFiles(const QStringList &arguments);
[[nodiscard]] QStringList unmount(const QString &mountPath, bool force);
[[nodiscard]] QStringList eject(const QString &mountPath);
[[nodiscard]] QStringList flushFileSystemBuffers();

} // namespace MacEjectCommands
