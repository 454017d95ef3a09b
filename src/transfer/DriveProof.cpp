#include "transfer/DriveProof.h"

#include "model/TargetVolume.h"
#include "services/AppLogger.h"

namespace DriveProof {

OperationError disconnectedError(const QString &driveName, const QString &domain, int code)
{
    return OperationError(domain, code,
                          QStringLiteral("The drive \"") + driveName +
                              QStringLiteral("\" is no longer connected. Connect the drive, "
                                             "choose it again and retry."));
}

void require(const std::optional<FileSystemIdentity> &fileSystem, const QString &path,
             const QString &driveName, const QString &domain, int code)
{
    if (fileSystem && fileSystem->holds(path))
        return;
    AppLogger::shared().log(
        AppLogLevel::error, QStringLiteral("Volume"),
        QStringLiteral("Target '") + path + QStringLiteral("' is no longer on the file system ") +
            (fileSystem
                 ? QStringLiteral("mounted at '") + fileSystem->mountPoint + QLatin1Char('\'')
                 : QStringLiteral("(never identified)")) +
            QStringLiteral("; nothing is written there."));
    throw disconnectedError(driveName, domain, code);
}

void require(const TargetVolume &target, const QString &domain, int code)
{
    require(target.fileSystem, target.id(), target.name, domain, code);
}

} // namespace DriveProof
