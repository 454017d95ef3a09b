#include "transfer/OffloadFileOps.h"

#include "base/OperationError.h"
#include "base/PathUtils.h"
#include "model/AppItem.h"
#include "model/MigrationRecord.h"
#include "services/LedgerService.h"
#include "services/PrivilegeHelper.h"
#include "transfer/AppProxyHelper.h"
#include "transfer/OffloadEngine.h"

#include <QDir>
#include <QFile>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

OffloadFileOps::~OffloadFileOps() = default;

void OffloadFileOps::makeFolder(const QString &path, const QString &root)
{
    const QString base = PathUtils::standardized(root);
    const QString folder = PathUtils::standardized(path);
    if (!PathUtils::isDirectory(base))
        throw OperationError::fileSystem(ENOENT, QStringLiteral("Could not create the folder '") +
                                                     path + QStringLiteral("': its target '") +
                                                     root + QStringLiteral("' is missing."));
    if (!PathUtils::isSameOrInside(folder, base))
        throw OperationError::fileSystem(EINVAL, QStringLiteral("Could not create the folder '") +
                                                     path + QStringLiteral("': it lies outside '") +
                                                     root + QStringLiteral("'."));
    QString current = base;
    const QStringList parts =
        QStringView(folder).mid(base.size()).toString().split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString &part : parts) {
        current = PathUtils::join(current, part);
        if (::mkdir(QFile::encodeName(current).constData(), 0755) == 0)
            continue;
        const int err = errno;
        if (err == EEXIST && PathUtils::isDirectory(current))
            continue;
        throw OperationError::fileSystem(err, QStringLiteral("Could not create the folder '") +
                                                  current + QStringLiteral("': ") +
                                                  QString::fromLocal8Bit(std::strerror(err)));
    }
}

void OffloadFileOps::removePlain(const QString &path)
{
    if (PathUtils::isDirectoryNoFollow(path))
        QDir(path).removeRecursively();
    else
        QFile::remove(path);
}

void OffloadFileOps::copy(OffloadEngine &engine, const QString &source, const QString &destination)
{
    engine.runDittoCopy(source, destination);
}

void OffloadFileOps::move(const QString &source, const QString &destination)
{
    PrivilegeHelper::safeMove(source, destination);
}

void OffloadFileOps::remove(const QString &path)
{
    PrivilegeHelper::safeRemove(path);
}

void OffloadFileOps::removeLink(const QString &path)
{
    if (!PathUtils::isSymlink(path))
        return;
    if (PrivilegeHelper::isWritable(PathUtils::parentPath(path)) &&
        ::unlink(QFile::encodeName(path).constData()) == 0)
        return;
    const auto result = PrivilegeHelper::runPrivilegedCommand(QStringLiteral("/bin/rm -f -- ") +
                                                              PrivilegeHelper::shellQuote(path));
    if (!result.success)
        throw OperationError(PrivilegeHelper::errorDomain, 1,
                             QStringLiteral("Failed to remove '") + path +
                                 QStringLiteral("' with admin privileges: ") + result.output);
}

void OffloadFileOps::createSymbolicLink(const QString &linkPath, const QString &target)
{
    PrivilegeHelper::createSymbolicLink(linkPath, target);
}

void OffloadFileOps::createProxy(const AppItem &app, const QUrl &driveBundle)
{
    AppProxyHelper::createProxyBundle(app.name, driveBundle, app.url, app.bundleIdentifier,
                                      app.version);
}

void OffloadFileOps::createFinderAlias(const QString &targetPath, const QString &aliasPath)
{
    PrivilegeHelper::createFinderAlias(targetPath, aliasPath);
}

void OffloadFileOps::recordMigration(LedgerService &ledger, const MigrationRecord &record,
                                     const QUrl &targetVolumeURL)
{
    ledger.recordMigration(record, targetVolumeURL);
}

bool OffloadFileOps::withdrawMigration(LedgerService &ledger, const MigrationRecord &record,
                                       const QUrl &targetVolumeURL, bool driveConnected)
{
    return ledger.withdrawMigration(record, targetVolumeURL, driveConnected);
}
