// In a Mac-shaped build on another system, this file takes the place of the Darwin calls
// (DarwinCalls_apple.cpp): the macOS backend is wired as on a Mac, its Darwin calls answered
// by the tests' fake of a Mac's disks.

#include "../platform/FakeDarwinCalls.h"

#include "base/PathUtils.h"
#include "platform/macos/MacCopyTool.h"
#include "platform/macos/MacEjectCommands.h"
#include "platform/macos/MacFileResources.h"
#include "platform/macos/MacSystem.h"
#include <unistd.h>

#include <QFile>

// A Mac's startup disk: the read-only system volume and its data volume.
std::shared_ptr<DarwinCalls> makeDarwinCalls()
{
    auto calls = std::make_shared<FakeDarwinCalls>();
    DarwinMount system;
    system.mountPoint = QStringLiteral("/");
    system.device = QStringLiteral("/dev/disk3s1s1");
    system.fileSystemType = QStringLiteral("apfs");
    system.isReadOnly = system.isLocal = system.isRootFileSystem = true;
    DarwinMount data = system;
    data.mountPoint = QStringLiteral("/System/Volumes/Data");
    data.device = QStringLiteral("/dev/disk3s5");
    data.isReadOnly = data.isRootFileSystem = data.isBrowsable = false;
    calls->table = QList<DarwinMount>{system, data};
    return calls;
}

std::shared_ptr<Storage> makePlatformStorage()
{
    return std::make_shared<MacStorage>(makeDarwinCalls());
}

std::shared_ptr<System> makePlatformSystem()
{
    return std::make_shared<MacSystem>(makeDarwinCalls());
}

// ditto exists on a Mac alone; GNU cp's -T copies onto the destination as ditto does, and what
// ditto would not have copied is taken out after it, so that the program's own evening out is
// what a Mac's copy goes through. A Mac's rm -x is GNU's --one-file-system.
QStringList platformCopyToolArguments(const QString &source, const QString &destination)
{
    return {QStringLiteral("/bin/sh"),
            QStringLiteral("-c"),
            QStringLiteral("cp -a -T -- \"$1\" \"$2\" && "
                           "find \"$2\" -mindepth 1 \\( -type s -o -type p -o -name '.nfs*' -o "
                           "-name '.afpDeleted*' \\) -prune -exec rm -rf -- {} +"),
            QStringLiteral("copy"),
            source,
            destination};
}

CopyToolHabits platformCopyToolHabits()
{
    return macCopyToolHabits();
}

QString platformTreeRemovalCommand()
{
    return QStringLiteral("/bin/rm -rf --one-file-system --");
}

// A Mac's lsof is not at its place here; this system's takes the same arguments and writes the
// same fields, so the Mac's reading of them looks at this machine's real processes.
std::optional<QList<FileUse>> platformUsersWithin(const QStringList &roots)
{
    return MacEjectCommands::fileUses(
        runEjectTool(QStringLiteral("/usr/bin/lsof"), MacEjectCommands::fileUseArguments(),
                     {.timeLimit = MacEjectCommands::fileUseTimeLimit}, false),
        roots, qint32(::getpid()), [](qint32 pid) {
            QString path =
                PathUtils::linkText(QStringLiteral("/proc/%1/exe").arg(pid)).value_or(QString());
            if (path.endsWith(QLatin1String(" (deleted)")))
                path.chop(10);
            return path;
        });
}

std::optional<QString> platformRemovalLock(const QString &path)
{
    return MacFileResources(makeDarwinCalls()).removalLock(path);
}

// A Mac names each start-up with a UUID; this system does the same.
QByteArray platformBootSession()
{
    QFile file(QStringLiteral("/proc/sys/kernel/random/boot_id"));
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
}
