#include "platform/macos/MacSystem.h"

#include "platform/macos/MacCopyTool.h"

#include <QDir>
#include <QFile>
#include <unistd.h>

MacSystem::MacSystem(std::shared_ptr<DarwinCalls> darwin)
    : m_systemLog(darwin)
    , m_finder({}, darwin)
    , m_workspace(darwin)
    , m_fileResources(darwin)
    , m_volumes(darwin)
    , m_ejectTools(darwin)
    , m_storage(darwin)
{}

SystemPaths MacSystem::paths() const
{
    SystemPaths p;
    p.home = QDir::homePath();
    p.applications = QStringLiteral("/Applications");
    p.userApplications = p.home + QStringLiteral("/Applications");
    p.volumesRoot = QStringLiteral("/Volumes");
    p.userSupport = p.home + QStringLiteral("/Library/Application Support");
    p.systemSupport = QStringLiteral("/Library/Application Support");
    p.usersRoot = QStringLiteral("/Users");
    p.trash = p.home + QStringLiteral("/.Trash");
    p.temp = QDir::tempPath();
    return p;
}

QStringList MacSystem::copyToolArguments(const QString &source, const QString &destination) const
{
    return macCopyToolArguments(source, destination);
}

CopyToolHabits MacSystem::copyToolHabits() const
{
    return macCopyToolHabits();
}

QString MacSystem::treeRemovalCommand() const
{
    return macTreeRemovalCommand();
}

bool MacSystem::isWritable(const QString &path) const
{
    return !path.isEmpty() && ::access(QFile::encodeName(path).constData(), W_OK) == 0;
}
