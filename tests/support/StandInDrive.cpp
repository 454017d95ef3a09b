#include "support/StandInDrive.h"

#include "support/Sandbox.h"
#include "support/Wait.h"

#include <QFile>
#include <sys/stat.h>

namespace {

bool isMountedOn(const QString &mountPoint, const QString &parent)
{
    struct stat inside
    {
    }, outside{};
    return ::stat(QFile::encodeName(mountPoint).constData(), &inside) == 0 &&
           ::stat(QFile::encodeName(parent).constData(), &outside) == 0 &&
           inside.st_dev != outside.st_dev;
}

} // namespace

StandInDrive::StandInDrive(const QString &tool, const QString &source, const QString &mountPoint,
                           Kind kind)
    : m_mountPoint(mountPoint)
    , m_hangFlag(source + QStringLiteral(".hang"))
{
    Sandbox::makeFolder(source);
    Sandbox::makeFolder(mountPoint);
    QStringList arguments{source, mountPoint};
    if (kind == Kind::noLocks)
        arguments << QStringLiteral("--no-locks");
    else
        arguments << QStringLiteral("--hang-while") << m_hangFlag;
    m_server = std::make_unique<Subprocess>(tool, arguments);
    const QString parent = mountPoint + QStringLiteral("/..");
    m_ready = m_server->start() &&
              waitUntil([&] { return isMountedOn(mountPoint, parent) || !m_server->isRunning(); },
                        10000) &&
              isMountedOn(mountPoint, parent);
}

StandInDrive::~StandInDrive()
{
    answer();
    if (m_ready)
        (void)Subprocess::run(QStringLiteral("fusermount3"),
                              {QStringLiteral("-u"), QStringLiteral("-z"), m_mountPoint});
    m_server->terminate();
    (void)m_server->waitForFinished();
}

void StandInDrive::hang()
{
    Sandbox::writeFile(m_hangFlag, "");
}

void StandInDrive::answer()
{
    QFile::remove(m_hangFlag);
}
