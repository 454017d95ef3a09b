#include "transfer/RestoreLookup.h"

#include "base/Iso8601.h"
#include "base/PathUtils.h"
#include "services/RecordRule.h"
#include "transfer/AppProxyHelper.h"
#include "transfer/DriveLayout.h"
#include "transfer/RecordRestore.h"
#include "transfer/RestoreEngine.h"
#include "transfer/RestorePaths.h"

#include <functional>
#include <optional>

namespace RestoreLookup {

namespace {

OperationError noTargetError(const AppItem &app)
{
    return RecordRestore::error(400, QStringLiteral("No valid external destination target known "
                                                    "for '") +
                                         app.name + QStringLiteral("'."));
}

// A real application stands at `place`, by the disk: no link, proxy or alias.
bool realApplicationAt(const QString &place)
{
    const QUrl url = QUrl::fromLocalFile(place);
    return !AppProxyHelper::isSymbolicLink(place) && PathUtils::existsFollowingLinks(place) &&
           !AppProxyHelper::isBuiltProxy(place) && !AppProxyHelper::isAliasFile(url);
}

bool markedCopyLeft(const QString &driveCopy)
{
    return PathUtils::existsNoFollow(
        DriveLayout::stagedLocation(QUrl::fromLocalFile(driveCopy)).toLocalFile());
}

// The application came back to its place and nothing of it is still in force on a drive: a
// restore that finished (or whose removal of the drive copies was cut short) is not run again.
std::optional<OperationError> alreadyRestored(const AppItem &app,
                                              const QList<MigrationRecord> &records)
{
    const QString place = app.id();
    const MigrationRecord *restored = nullptr;
    for (const MigrationRecord &record : records) {
        if (record.appOriginalPath != place)
            continue;
        if (record.status == MigrationStatus::active() ||
            record.status == MigrationStatus::copied())
            return std::nullopt;
        if (!restored && record.status == MigrationStatus::restored())
            restored = &record;
    }
    if (!restored || !realApplicationAt(place))
        return std::nullopt;
    bool leftovers = restored->appTargetPath && markedCopyLeft(*restored->appTargetPath);
    for (const SupportFolderRecord &folder : restored->supportFolders)
        leftovers = leftovers || markedCopyLeft(folder.target);
    return RecordRestore::error(
        400, QStringLiteral("'") + app.name +
                 QStringLiteral("' is already restored: it is back on your Mac at '") + place +
                 QStringLiteral("'.") +
                 (leftovers ? QStringLiteral(" What an interrupted restore left on the drive is "
                                             "listed among the leftover items; Clean Up removes "
                                             "it.")
                            : QString()));
}

// A link, alias or proxy stands at the item's place, by the inventory or by the disk.
bool standInAtPlace(const AppItem &app)
{
    const QString path = app.id();
    return app.isSymlink || app.isAlias || AppProxyHelper::isSymbolicLink(path) ||
           AppProxyHelper::isProxyBundle(app.url) || AppProxyHelper::isAliasFile(app.url);
}

using Match = std::function<bool(const MigrationRecord &)>;

// The first candidate of each group in turn that passes the first match, then the second...
const MigrationRecord *firstMatch(const QList<QList<MigrationRecord>> &groups,
                                  const QList<Match> &matches)
{
    for (const QList<MigrationRecord> &group : groups) {
        for (const Match &match : matches) {
            for (const MigrationRecord &record : group) {
                if (match(record))
                    return &record;
            }
        }
    }
    return nullptr;
}

// The record the lookup's matches pick among `records`; nothing when none matches.
std::optional<MigrationRecord> matchingRecord(const AppItem &app,
                                              const QList<MigrationRecord> &records)
{
    QList<MigrationRecord> active;
    QList<MigrationRecord> candidates;
    for (const MigrationRecord &record : records) {
        if (record.status == MigrationStatus::active())
            active.append(record);
        if (record.status == MigrationStatus::active() ||
            record.status == MigrationStatus::copied())
            candidates.append(record);
    }
    // An "active" record describes the move that left the stand-in; a "copied" one of the
    // same place is only a backup.
    QList<QList<MigrationRecord>> groups{candidates};
    if (standInAtPlace(app)) {
        QList<MigrationRecord> copied;
        for (const MigrationRecord &record : std::as_const(candidates)) {
            if (record.status == MigrationStatus::copied())
                copied.append(record);
        }
        groups = {active, copied};
    }

    const QString place = app.id();
    const MigrationRecord *found = nullptr;
    if (!app.symlinkTarget) {
        found = firstMatch(groups,
                           {[&](const MigrationRecord &r) { return r.appOriginalPath == place; }});
    } else {
        const QString target = RestorePaths::absoluteLinkTarget(place, *app.symlinkTarget);
        found = firstMatch(groups,
                           {[&](const MigrationRecord &r) {
                                return r.appOriginalPath == place && r.appTargetPath == target;
                            },
                            [&](const MigrationRecord &r) { return r.appTargetPath == target; }});
    }
    if (!found)
        return std::nullopt;
    return *found;
}

} // namespace

MigrationRecord recordFor(const AppItem &app, const QList<MigrationRecord> &records)
{
    // A record that breaks the record rule is never picked; when only such a record matches,
    // the restore is refused with its reason rather than guessed from the inventory.
    QList<MigrationRecord> trusted;
    for (const MigrationRecord &record : records) {
        if (RecordRule::check(record).ok)
            trusted.append(record);
    }
    if (std::optional<MigrationRecord> found = matchingRecord(app, trusted))
        return *found;
    if (const std::optional<MigrationRecord> refused = matchingRecord(app, records))
        RecordRule::enforce(RestoreEngine::errorDomain, *refused);

    if (const std::optional<OperationError> restored = alreadyRestored(app, trusted))
        throw *restored;
    const QString place = app.id();
    if (!app.symlinkTarget || RestorePaths::absoluteLinkTarget(place, *app.symlinkTarget) == place)
        throw noTargetError(app);
    return recordFromInventory(app);
}

MigrationRecord recordFromInventory(const AppItem &app)
{
    const QString place = app.id();
    if (!app.symlinkTarget)
        throw noTargetError(app);
    const QString target = RestorePaths::absoluteLinkTarget(place, *app.symlinkTarget);
    if (target == place || !RestorePaths::liesOnDrive(target))
        throw noTargetError(app);

    QList<SupportFolderRecord> folders;
    for (const SupportFolder &folder : app.supportFolders) {
        if (!(folder.isSymlink || folder.isAlias) || !folder.symlinkTarget)
            continue;
        const QString source = folder.id();
        const QString copy = RestorePaths::absoluteLinkTarget(source, *folder.symlinkTarget);
        if (copy == source || !PathUtils::existsFollowingLinks(copy) ||
            !RestorePaths::liesInDriveSupportFolder(copy))
            continue;
        folders.append(
            SupportFolderRecord(source, PathUtils::resolved(copy), folder.displayName, true));
    }
    return MigrationRecord(iso8601SecondsNow(), app.name, app.bundleIdentifier, app.version, place,
                           PathUtils::resolved(target), true, MigrationStatus::active(), folders);
}

} // namespace RestoreLookup
