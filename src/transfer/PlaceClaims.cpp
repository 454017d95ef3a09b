#include "transfer/PlaceClaims.h"

#include "base/OperationError.h"
#include "base/PathUtils.h"
#include "model/TargetVolume.h"
#include "transfer/OffloadEngine.h"

#include <QHash>
#include <functional>

namespace {

OperationError placeRefusal(const QString &message)
{
    return OperationError(OffloadEngine::errorDomain, 206, message);
}

bool inForce(const MigrationRecord &record)
{
    return record.status == MigrationStatus::active() || record.status == MigrationStatus::copied();
}

// Each place on the drive that `record` names, with the source on the Mac it gives that place to.
void forEachPlace(const MigrationRecord &record,
                  const std::function<void(const QString &place, const QString &owner)> &visit)
{
    if (record.appTargetPath)
        visit(PathUtils::standardized(*record.appTargetPath),
              PathUtils::standardized(record.appOriginalPath));
    for (const SupportFolderRecord &folder : record.supportFolders)
        visit(PathUtils::standardized(folder.target), PathUtils::standardized(folder.source));
}

// Two items of one run with the same name, such as a support folder of that name in both
// Application Support folders: only one of them can have the place.
OperationError placeSharedInRun(const QString &location, const QString &first,
                                const QString &second)
{
    return placeRefusal(QStringLiteral("'") + first + QStringLiteral("' and '") + second +
                        QStringLiteral("' have the same name and would both be copied to '") +
                        location +
                        QStringLiteral("'. Select only one of them for transfer and try again."));
}

// A place on the drive that a record gives to another source: its offloaded copy or its
// backup, which a commit there would delete.
OperationError locationTaken(const QString &location, const MigrationRecord &record,
                             const QString &owner)
{
    const QString held = record.status == MigrationStatus::active()
                             ? QStringLiteral("' already holds the offloaded copy of '")
                             : QStringLiteral("' already holds the backup copy of '");
    return placeRefusal(QStringLiteral("Target location '") + location + held + owner +
                        QStringLiteral("'."));
}

QString whatLies(const PlaceClaims::Copy &copy, const QString &targetName)
{
    return QLatin1Char('\'') + PathUtils::lastComponent(copy.finalPath) + QStringLiteral("' on '") +
           targetName + QLatin1Char('\'');
}

// What stands there belongs to a record this home does not hold: another Mac's (which may have the
// very same paths), or one this Mac no longer keeps.
OperationError heldElsewhere(const PlaceClaims::Copy &copy, const QString &targetName,
                             const MigrationRecord &record)
{
    const bool offloaded = record.status == MigrationStatus::active();
    const QString kind = offloaded ? QStringLiteral("an offload")
                         : record.status == MigrationStatus::copied()
                             ? QStringLiteral("a backup")
                             : QStringLiteral("a transfer");
    return placeRefusal(
        whatLies(copy, targetName) + QStringLiteral(" holds ") +
        (copy.isBundle ? QStringLiteral("the application") : QStringLiteral("the support data")) +
        QStringLiteral(" of ") + kind + QStringLiteral(" of '") + record.appName +
        QStringLiteral("' recorded on ") + record.timestamp.left(10) +
        QStringLiteral(" by another Mac, or by this one before it stopped keeping the record. "
                       "Nothing was copied. ") +
        (offloaded ? QStringLiteral("Restore it on the Mac it was offloaded from, or choose "
                                    "another drive or folder.")
                   : QStringLiteral("Choose another drive or folder.")));
}

// Something stands there and a ledger that may name it cannot be read.
OperationError ownerUnknown(const PlaceClaims::Copy &copy, const QString &targetName,
                            const QStringList &unreadable)
{
    return placeRefusal(whatLies(copy, targetName) +
                        QStringLiteral(" is already taken, and whose copy it is cannot be told: "
                                       "the ledger ") +
                        unreadable.join(QStringLiteral(", ")) +
                        QStringLiteral(" cannot be read. Nothing was copied. Try again once it "
                                       "can be read, or choose another drive or folder."));
}

} // namespace

PlaceClaims::PlaceClaims(const LedgerService &ledger, const TargetVolume &target)
    : m_targetName(target.name)
{
    QStringList folders{target.url.toLocalFile()};
    // A folder chosen on a drive: the drive's own ledger names places in it too.
    if (target.fileSystem && !target.fileSystem->mountPoint.isEmpty())
        folders.append(target.fileSystem->mountPoint);
    m_ledgers = ledger.readApart(folders);
}

void PlaceClaims::require(const QList<Copy> &copies) const
{
    QHash<QString, Copy> planned;
    for (const Copy &copy : copies) {
        const QString place = PathUtils::standardized(copy.finalPath);
        if (const auto taken = planned.constFind(place); taken != planned.cend())
            throw placeSharedInRun(copy.finalPath, taken->source, copy.source);
        planned.insert(place, copy);
    }
    // A place given to another source: its copy would be deleted while its record goes on naming
    // it.
    for (const QList<MigrationRecord> *records : {&m_ledgers.home, &m_ledgers.drives}) {
        for (const MigrationRecord &record : *records) {
            if (!inForce(record))
                continue;
            forEachPlace(record, [&](const QString &place, const QString &owner) {
                const auto copy = planned.constFind(place);
                if (copy != planned.cend() && PathUtils::standardized(copy->source) != owner)
                    throw locationTaken(copy->finalPath, record, owner);
            });
        }
    }
    // What stands at a place goes only when it is provably this Mac's: a record of this home's
    // names it for the same source (checked above), or nothing that could name it does.
    for (const Copy &copy : copies) {
        if (!PathUtils::existsNoFollow(copy.finalPath))
            continue;
        if (!m_ledgers.unreadable.isEmpty())
            throw ownerUnknown(copy, m_targetName, m_ledgers.unreadable);
        const QString place = PathUtils::standardized(copy.finalPath);
        for (const MigrationRecord &record : m_ledgers.drives) {
            forEachPlace(record, [&](const QString &named, const QString &) {
                if (named == place)
                    throw heldElsewhere(copy, m_targetName, record);
            });
        }
    }
}

QList<MigrationRecord> PlaceClaims::backupsAt(const QString &source, const QString &place) const
{
    QList<MigrationRecord> backups;
    for (const MigrationRecord &record : m_ledgers.home) {
        if (record.status == MigrationStatus::copied() && record.appTargetPath &&
            PathUtils::standardized(*record.appTargetPath) == PathUtils::standardized(place) &&
            PathUtils::standardized(record.appOriginalPath) == PathUtils::standardized(source))
            backups.append(record);
    }
    return backups;
}
