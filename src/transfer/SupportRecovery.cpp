#include "transfer/SupportRecovery.h"

#include "base/Iso8601.h"
#include "base/OperationError.h"
#include "base/PathUtils.h"
#include "base/Uuid.h"
#include "platform/System.h"
#include "services/AppLogger.h"
#include "services/FileLock.h"
#include "services/LedgerService.h"
#include "services/PrivilegeHelper.h"
#include "services/RecordRule.h"
#include "transfer/DriveLayout.h"
#include "transfer/RecordRestore.h"
#include "transfer/RestorePaths.h"

#include <QDateTime>
#include <QDir>
#include <QMap>
#include <QSet>

namespace SupportRecovery {

namespace {

const QLatin1String marker(".offload-rollback-");

// The place `name` (".<name>.offload-rollback-<UUID>") was moved away from, in `root`; empty
// for any other name.
QString placeOf(const QString &root, const QString &name)
{
    const qsizetype at = name.lastIndexOf(marker);
    if (!name.startsWith(QLatin1Char('.')) || at <= 1 || !isUuidText(name.mid(at + marker.size())))
        return {};
    return PathUtils::join(root, name.mid(1, at - 1));
}

// The offload's copy on the drive of the folder that stood at `place`: in the Application
// Support folder of the target, else of a folder holding the record's drive copy.
std::optional<QString> driveCopyOf(const QString &place, const MigrationRecord &record,
                                   const std::optional<QUrl> &targetVolumeURL)
{
    QStringList supportRoots;
    if (targetVolumeURL)
        supportRoots.append(DriveLayout::supportRoot(*targetVolumeURL).toLocalFile());
    if (record.appTargetPath) {
        for (const QUrl &folder : RestorePaths::driveLedgerFolders(*record.appTargetPath))
            supportRoots.append(DriveLayout::supportRoot(folder).toLocalFile());
    }
    for (const QString &root : std::as_const(supportRoots)) {
        const QString copy = PathUtils::join(root, PathUtils::lastComponent(place));
        if (PathUtils::existsNoFollow(copy) && RestorePaths::liesInDriveSupportFolder(copy))
            return copy;
    }
    return std::nullopt;
}

// Records the drive's copy of a folder that stayed aside, in force as a restore that brought
// the application alone back records what stayed on the drive. Returns what the error adds.
QString recordDriveCopy(LedgerService &ledger, const MigrationRecord &record, const QString &place,
                        const std::optional<QUrl> &targetVolumeURL)
{
    const std::optional<QString> copy = driveCopyOf(place, record, targetVolumeURL);
    if (!copy)
        return {};
    // Records merge by place and time: it must not share the second of the record it follows.
    const QString now = iso8601SecondsNow();
    const QDateTime then = QDateTime::fromString(record.timestamp, Qt::ISODate);
    const QString stamp =
        then.isValid() && now <= record.timestamp ? iso8601Seconds(then.addSecs(1)) : now;
    const QString name = PathUtils::lastComponent(place);
    const MigrationRecord pending(stamp, record.appName, record.bundleId, record.version,
                                  record.appOriginalPath, std::nullopt, true,
                                  MigrationStatus::active(),
                                  {SupportFolderRecord(place, *copy, name, false)});
    if (!RecordRule::check(pending).ok)
        return {};
    try {
        (void)ledger.recordMigration(pending, targetVolumeURL);
    } catch (const OperationError &failure) {
        return QStringLiteral(" Its copy on the drive, '") + *copy +
               QStringLiteral("', could not be recorded: ") + FileLock::reasonOf(failure) +
               QLatin1Char('.');
    }
    return QStringLiteral(" Its copy on the drive, '") + *copy +
           QStringLiteral("', stays recorded: restore '") + record.appName +
           QStringLiteral("' again to bring that back in its place.");
}

} // namespace

QList<SetAside> find(const MigrationRecord &record)
{
    QSet<QString> names = {record.appName.toLower(),
                           QString(record.appName).remove(QLatin1Char(' ')).toLower()};
    if (record.bundleId && !record.bundleId->trimmed().isEmpty())
        names.insert(record.bundleId->trimmed().toLower());
    QSet<QString> recorded;
    for (const SupportFolderRecord &folder : record.supportFolders)
        recorded.insert(PathUtils::standardized(folder.source));
    const SystemPaths &paths = System::current().paths();
    QList<SetAside> found;
    for (const QString &root : {paths.userSupport, paths.systemSupport}) {
        const QStringList entries = QDir(root).entryList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
        for (const QString &entry : entries) {
            const QString place = placeOf(root, entry);
            if (place.isEmpty() || recorded.contains(PathUtils::standardized(place)) ||
                !names.contains(PathUtils::lastComponent(place).toLower()))
                continue;
            found.append({place, PathUtils::join(root, entry)});
        }
    }
    return found;
}

QStringList putBack(LedgerService &ledger, const MigrationRecord &record,
                    const std::optional<QUrl> &targetVolumeURL, const QStringList &notes)
{
    const QList<SetAside> found = find(record);
    QMap<QString, QStringList> copiesOf;
    for (const SetAside &item : found)
        copiesOf[item.place].append(item.copy);
    QStringList back, stayed;
    for (auto it = copiesOf.cbegin(); it != copiesOf.cend(); ++it) {
        const QString &place = it.key();
        const QString name = PathUtils::lastComponent(place);
        const QString copy = it.value().first();
        QString why;
        if (it.value().size() > 1) {
            why = QStringLiteral("more than one copy of it was set aside there (") +
                  it.value().join(QStringLiteral(", ")) +
                  QStringLiteral("), and which is the "
                                 "latest is not known");
        } else if (PathUtils::existsNoFollow(place)) {
            why = QStringLiteral("'") + place + QStringLiteral("' holds another folder now");
        } else {
            try {
                PrivilegeHelper::safeMove(copy, place);
                back.append(QStringLiteral("Its support folder '") + name +
                            QStringLiteral("' was put back from '") + copy +
                            QStringLiteral("', where an interrupted offload had set it aside."));
                AppLogger::shared().log(AppLogLevel::info, QStringLiteral("Restore"),
                                        QStringLiteral("Put the support folder '") + place +
                                            QStringLiteral("' of '") + record.appName +
                                            QStringLiteral("' back from '") + copy +
                                            QStringLiteral("'."));
                continue;
            } catch (const OperationError &failure) {
                why = failure.message();
                while (why.endsWith(QLatin1Char('.')))
                    why.chop(1);
            }
        }
        stayed.append(QStringLiteral("'") + name + QStringLiteral("' is still at '") + copy +
                      QStringLiteral("', where an interrupted offload set it aside: ") + why +
                      QLatin1Char('.') + recordDriveCopy(ledger, record, place, targetVolumeURL));
    }
    if (stayed.isEmpty())
        return back;
    const QString message =
        QStringLiteral("'") + record.appName +
        QStringLiteral("' was restored to your Mac, but not all of its support data: ") +
        stayed.join(QLatin1Char(' ')) +
        ((notes + back).isEmpty() ? QString()
                                  : QLatin1Char(' ') + (notes + back).join(QLatin1Char(' ')));
    AppLogger::shared().log(AppLogLevel::warning, QStringLiteral("Restore"), message);
    throw RecordRestore::error(413, message);
}

} // namespace SupportRecovery
