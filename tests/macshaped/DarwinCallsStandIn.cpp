// In a Mac-shaped build on another system, this file takes the place of the Darwin calls
// (DarwinCalls_apple.cpp): the macOS backend is wired as on a Mac, its Darwin calls answered
// by the tests' fake of a Mac's disks.

#include "../platform/FakeDarwinCalls.h"
#include "platform/macos/MacSystem.h"

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

// ditto exists on a Mac alone; GNU cp's -T copies onto the destination as ditto does, and
// what it keeps of what ditto leaves out is taken out after it. A Mac's rm -x is GNU's
// --one-file-system.
QStringList platformCopyToolArguments(const QString &source, const QString &destination)
{
    return {QStringLiteral("/bin/sh"),
            QStringLiteral("-c"),
            QStringLiteral("cp -a -T -- \"$1\" \"$2\""),
            QStringLiteral("copy"),
            source,
            destination};
}

bool platformCopyToolKeepsWhatCopiesLeaveOut()
{
    return true;
}

QString platformTreeRemovalCommand()
{
    return QStringLiteral("/bin/rm -rf --one-file-system --");
}

// A Mac names each start-up with a UUID; this system does the same.
QByteArray platformBootSession()
{
    QFile file(QStringLiteral("/proc/sys/kernel/random/boot_id"));
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
}
