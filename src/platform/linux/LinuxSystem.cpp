#include "platform/linux/LinuxSystem.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <unistd.h>

namespace {

QString userName()
{
    const QByteArray user = qgetenv("USER");
    if (!user.isEmpty())
        return QString::fromLocal8Bit(user);
    return QFileInfo(QDir::homePath()).fileName();
}

// External drives: a /Volumes folder when the machine has one (tests and the demo mount
// drives there), else where the desktop's automounter puts them.
QString volumesRoot()
{
    const QString candidates[] = {
        QStringLiteral("/Volumes"),
        QStringLiteral("/run/media/") + userName(),
        QStringLiteral("/media/") + userName(),
    };
    for (const QString &candidate : candidates) {
        if (QFileInfo(candidate).isDir())
            return candidate;
    }
    return candidates[0];
}

} // namespace

SystemPaths LinuxSystem::paths() const
{
    SystemPaths p;
    p.home = QDir::homePath();
    p.applications = QStringLiteral("/Applications");
    p.userApplications = p.home + QStringLiteral("/Applications");
    p.volumesRoot = volumesRoot();
    p.userSupport = p.home + QStringLiteral("/Library/Application Support");
    p.systemSupport = QStringLiteral("/Library/Application Support");
    p.usersRoot = QStringLiteral("/home");
    const QString dataHome = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    p.trash = (dataHome.isEmpty() ? p.home + QStringLiteral("/.local/share") : dataHome) +
              QStringLiteral("/Trash/files");
    p.temp = QDir::tempPath();
    return p;
}

QStringList LinuxSystem::copyToolArguments(const QString &source, const QString &destination) const
{
    return platformCopyToolArguments(source, destination);
}

QStringList platformCopyToolArguments(const QString &source, const QString &destination)
{
    // -T: copy onto the destination, never into it when it exists, like ditto.
    return {QStringLiteral("/bin/sh"),
            QStringLiteral("-c"),
            QStringLiteral("cp -a -T -- \"$1\" \"$2\""),
            QStringLiteral("copy"),
            source,
            destination};
}

CopyToolHabits LinuxSystem::copyToolHabits() const
{
    return platformCopyToolHabits();
}

// cp copies sockets and pipes as what they are, and every name.
CopyToolHabits platformCopyToolHabits()
{
    return {.keepsSocketsAndPipes = true, .skipsRemovedWhileOpenNames = false};
}

QString LinuxSystem::treeRemovalCommand() const
{
    return platformTreeRemovalCommand();
}

QString platformTreeRemovalCommand()
{
    return QStringLiteral("/bin/rm -rf --one-file-system --");
}

QByteArray platformBootSession()
{
    QFile file(QStringLiteral("/proc/sys/kernel/random/boot_id"));
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
}

bool LinuxSystem::isWritable(const QString &path) const
{
    return !path.isEmpty() && ::access(QFile::encodeName(path).constData(), W_OK) == 0;
}

std::shared_ptr<System> makePlatformSystem()
{
    return std::make_shared<LinuxSystem>();
}

std::shared_ptr<Storage> makePlatformStorage()
{
    return std::make_shared<LinuxStorage>();
}
