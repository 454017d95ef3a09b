#include "support/Sandbox.h"

#include "platform/FileSystemIdentity.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <filesystem>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

Sandbox::Sandbox(const QString &driveName)
{
    if (!m_dir.isValid())
        throw std::runtime_error("cannot create a temporary sandbox");
    // Resolve the temp root so that paths compare equal to their resolved forms.
    const QString root = QFileInfo(m_dir.path()).canonicalFilePath();
    m_paths.applications = root + QStringLiteral("/Applications");
    m_paths.usersRoot = root + QStringLiteral("/Users");
    m_paths.home = m_paths.usersRoot + QStringLiteral("/tester");
    m_paths.userApplications = m_paths.home + QStringLiteral("/Applications");
    m_paths.userSupport = m_paths.home + QStringLiteral("/Library/Application Support");
    m_paths.systemSupport = root + QStringLiteral("/Library/Application Support");
    m_paths.volumesRoot = root + QStringLiteral("/Volumes");
    m_paths.trash = m_paths.home + QStringLiteral("/.Trash");
    m_paths.temp = root + QStringLiteral("/tmp");
    for (const QString &folder :
         {m_paths.applications, m_paths.userApplications, m_paths.userSupport,
          m_paths.systemSupport, m_paths.volumesRoot, m_paths.trash, m_paths.temp})
        makeFolder(folder);
    m_drive = addDrive(driveName);
    m_system = std::make_shared<FakeSystem>(m_paths);
    // The program's own stand-in proxy launcher, so that every test can make proxy bundles.
    const QString program = makeFolder(root + QStringLiteral("/Program"));
    m_system->fakeBundleServices().setProgramBundlePath(program);
    m_system->fakeBundleServices().setProgramResource(
        QStringLiteral("ProxyLauncher"),
        writeFile(program + QStringLiteral("/ProxyLauncher"), "#!/bin/sh\nexit 0\n", 0755));
    m_override = std::make_unique<ScopedSystemOverride>(m_system);
}

Sandbox::~Sandbox()
{
    m_override.reset();
    // Tests may leave read-only folders behind; make the tree removable again.
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path top(m_dir.path().toStdString());
    for (auto it = fs::recursive_directory_iterator(top, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (it->is_directory(error) && !it->is_symlink(error))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
    }
}

QString Sandbox::root() const
{
    return QFileInfo(m_dir.path()).canonicalFilePath();
}

QString Sandbox::addDrive(const QString &name)
{
    return makeFolder(m_paths.volumesRoot + QLatin1Char('/') + name);
}

void Sandbox::mountDrive(const QString &drive)
{
    FakeVolumeService::Volume volume;
    volume.values.volumeName = QFileInfo(drive).fileName();
    volume.values.isVolume = true;
    volume.values.isInternal = false;
    volume.values.isReadOnly = false;
    volume.values.volumePath = drive;
    m_system->fakeVolumes().setVolume(drive, volume);
}

TargetVolume Sandbox::mountedTarget()
{
    mountDrive(m_drive);
    TargetVolume target{.url = QUrl::fromLocalFile(m_drive),
                        .name = QFileInfo(m_drive).fileName(),
                        .totalBytes = qint64(1) << 40,
                        .freeBytes = qint64(1) << 40,
                        .isWritable = true,
                        .fileSystemType = QStringLiteral("APFS"),
                        .supportsSymlinks = true};
    target.fileSystem = FileSystemIdentity::of(m_drive);
    return target;
}

QString Sandbox::path(const QString &relative) const
{
    return root() + QLatin1Char('/') + relative;
}

QString Sandbox::writeFile(const QString &path, const QByteArray &content, int mode)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw std::runtime_error("cannot write " + path.toStdString());
    file.write(content);
    file.close();
    ::chmod(path.toLocal8Bit().constData(), mode_t(mode));
    return path;
}

QString Sandbox::makeFolder(const QString &path)
{
    QDir().mkpath(path);
    return path;
}

QString Sandbox::makeSymlink(const QString &linkPath, const QString &linkText)
{
    QDir().mkpath(QFileInfo(linkPath).absolutePath());
    if (::symlink(linkText.toLocal8Bit().constData(), linkPath.toLocal8Bit().constData()) != 0)
        throw std::runtime_error("cannot link " + linkPath.toStdString());
    return linkPath;
}

std::optional<QList<MigrationRecord>> ledgerFileRecords(const QString &path)
{
    QFile file(path);
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(
        file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray(), &error);
    if (error.error != QJsonParseError::NoError)
        return std::nullopt;
    return MigrationRecord::listFromJson(document.array());
}
