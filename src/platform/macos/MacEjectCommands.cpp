#include "platform/macos/MacEjectCommands.h"

namespace {

const QString diskutil = QStringLiteral("/usr/sbin/diskutil");

} // namespace

namespace MacEjectCommands {

QStringList listOpenFiles(const QStringList &arguments)
{
    return QStringList{QStringLiteral("/usr/sbin/lsof")} + arguments;
}

QStringList unmount(const QString &mountPath, bool force)
{
    if (force)
        return {diskutil, QStringLiteral("unmount"), QStringLiteral("force"), mountPath};
    return {diskutil, QStringLiteral("unmount"), mountPath};
}

QStringList eject(const QString &mountPath)
{
    return {diskutil, QStringLiteral("eject"), mountPath};
}

QStringList flushFileSystemBuffers()
{
    return {QStringLiteral("/bin/sync")};
}

} // namespace MacEjectCommands
