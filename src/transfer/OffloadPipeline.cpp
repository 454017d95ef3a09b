// The offload engine's operations: offload and backup copy, backup update, re-offload.

#include "base/Iso8601.h"
#include "base/MainThread.h"
#include "base/PathUtils.h"
#include "model/AppItem.h"
#include "model/MigrationRecord.h"
#include "model/SupportFolder.h"
#include "model/TargetVolume.h"
#include "platform/FileSystemIdentity.h"
#include "platform/System.h"
#include "services/AppLogger.h"
#include "services/FileLock.h"
#include "services/LedgerService.h"
#include "services/LinkResolver.h"
#include "services/RecordRule.h"
#include "transfer/AppProxyHelper.h"
#include "transfer/DriveLayout.h"
#include "transfer/DriveProof.h"
#include "transfer/LocalRollback.h"
#include "transfer/OffloadEngine.h"
#include "transfer/OffloadFileOps.h"
#include "transfer/PlaceClaims.h"
#include "transfer/TreeUsers.h"

#include <QHash>
#include <QSet>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>
#include <cstring>

struct OffloadEngine::OffloadPlan
{
    struct FolderCopy
    {
        SupportFolder folder;
        QString source;
        QString finalPath;
    };

    QList<FolderCopy> folders; // selected, neither link nor alias, in the app's order
    QString applicationsFolder;
    QString supportRoot;
    QString bundleSource;
    QString bundleFinal;
    double totalSteps = 3;

    [[nodiscard]] QStringList finalPaths() const
    {
        QStringList paths;
        for (const FolderCopy &copy : folders)
            paths.append(copy.finalPath);
        paths.append(bundleFinal);
        return paths;
    }
};

struct OffloadEngine::Refusal
{
    OperationError error;
    QString reason; // what the error says of the item, for a note that keeps it
};

struct OffloadEngine::BundleSteps
{
    QString copyStep;
    double copyFraction;
    QString verifyStep;
    double verifyFraction;
    OperationError failure;
};

// The drive of one operation, held open from before its first write to the operation's end, so
// that each flush reports every write-back error the drive met meanwhile, whichever file it hit.
struct OffloadEngine::DriveWatch
{
    DriveWatch(OffloadEngine &owner, const TargetVolume &target)
        : engine(owner)
        , name(target.name)
        , drive(System::current().storage().watch(target.id()))
    {
        engine.m_driveWatch = this;
        engine.m_verifiedPrints.clear();
        engine.m_sourcePrints.clear();
        engine.m_occupantPrints.clear();
        engine.m_committed.clear();
        engine.m_standInLeft = false;
        engine.m_recordInForce = false;
        engine.fileOps().setTarget(target);
    }
    ~DriveWatch()
    {
        engine.fileOps().setTarget(std::nullopt);
        engine.m_driveWatch = nullptr;
    }
    DriveWatch(const DriveWatch &) = delete;
    DriveWatch &operator=(const DriveWatch &) = delete;

    OffloadEngine &engine;
    const QString name;
    const std::unique_ptr<Storage::Watch> drive;
    // Created, renamed or rewritten on the drive since the last flush.
    QStringList items;
};

namespace {

OperationError offloadError(int code, const QString &message)
{
    return OperationError(OffloadEngine::errorDomain, code, message);
}

// One form for every path the engine compares or records.
QString pathOf(const QUrl &url)
{
    return PathUtils::standardized(url.toLocalFile());
}

QString movedAsideLocation(const QString &path)
{
    return PathUtils::join(PathUtils::parentPath(path),
                           DriveLayout::offloadRollbackName(PathUtils::lastComponent(path)));
}

MigrationRecord newRecord(const AppItem &app, const QString &targetPath, bool movedApp,
                          const QString &status, QList<SupportFolderRecord> supportFolders)
{
    return MigrationRecord(iso8601SecondsNow(), app.name, app.bundleIdentifier, app.version,
                           pathOf(app.url), targetPath, movedApp, status,
                           std::move(supportFolders));
}

// Rethrows the failure being handled; an OperationError with `outcome` in place of what its
// message said about the Mac.
[[noreturn]] void rethrowSaying(const QString &outcome)
{
    try {
        throw;
    } catch (const OperationError &failure) {
        QString message = failure.message();
        if (message.endsWith(OffloadEngine::nothingChangedOnMac()))
            message.chop(OffloadEngine::nothingChangedOnMac().size());
        throw OperationError(failure.domain(), failure.code(), message + outcome);
    }
}

// An undo that left an original aside, where something took its place meanwhile.
QString notFullyPutBack(const QString &appName)
{
    return QStringLiteral(" '") + appName +
           QStringLiteral("' could not be fully put back on your Mac: what stayed aside keeps its "
                          "\".offload-rollback-\" name beside its place");
}

} // namespace

// --- Running an operation ---

QFuture<void> OffloadEngine::startOperation(std::function<void()> steps)
{
    resetCancellationState();
    m_ledgerNotice.clear();
    m_discardNotice.clear();
    m_operations.removeIf([](const QFuture<void> &operation) { return operation.isFinished(); });
    QFuture<void> operation = QtConcurrent::run([this, steps = std::move(steps)] {
        // Whatever ends the run, of whatever type, is published and leaves the engine idle.
        try {
            steps();
        } catch (...) {
            publishFailure(OperationError::messageOf(std::current_exception()));
            throw;
        }
    });
    m_operations.append(operation);
    return operation;
}

QFuture<void> OffloadEngine::executeOffload(const AppItem &app, const TargetVolume &target,
                                            bool copyOnly)
{
    return startOperation([this, app, target, copyOnly] { offload(app, target, copyOnly); });
}

QFuture<void> OffloadEngine::updateBackup(const AppItem &app, const TargetVolume &target)
{
    return startOperation([this, app, target] { updateBackupSteps(app, target); });
}

QFuture<void> OffloadEngine::reoffloadAppBundle(const AppItem &app, const TargetVolume &target)
{
    return startOperation([this, app, target] { reoffloadSteps(app, target); });
}

// --- Offload and backup copy ---

void OffloadEngine::offload(const AppItem &app, const TargetVolume &target, bool copyOnly)
{
    AppLogger::shared().log(
        AppLogLevel::info, QStringLiteral("Offload"),
        QStringLiteral("Starting ") +
            (copyOnly ? QStringLiteral("backup copy") : QStringLiteral("offload")) +
            QStringLiteral(" for '") + app.name + QStringLiteral("' -> '") +
            target.url.toLocalFile() + QStringLiteral("'"));
    beginOffloadProgress(app.name,
                         QStringLiteral("Preflight validation for ") +
                             (copyOnly ? QStringLiteral("copying (backup)")
                                       : QStringLiteral("offloading (move & link)")) +
                             QStringLiteral("..."),
                         0.05);
    validateOffloadPreflight(app, target);
    const OffloadPlan plan = planOffload(app, target);
    QList<PlaceClaims::Copy> copies;
    for (const OffloadPlan::FolderCopy &copy : plan.folders)
        copies.append({copy.source, copy.finalPath, false});
    copies.append({plan.bundleSource, plan.bundleFinal, true});
    const PlaceClaims claims(ledger(), target);
    claims.require(copies);
    m_supersededBackups =
        copyOnly ? QList<MigrationRecord>() : claims.backupsAt(plan.bundleSource, plan.bundleFinal);

    proveTarget(target);
    DriveWatch watch(*this, target);
    try {
        createTargetFolders(plan, target);
        copySupportFolders(plan, target);
        copyAppBundle(app, plan, target);
        // The commits' renames reach the drive before the ledger or the Mac relies on them.
        flushDrive(plan.bundleFinal);
        if (copyOnly)
            recordBackupCopy(app, target, plan);
        else
            moveToDrive(app, target, plan);
    } catch (const OperationError &failure) {
        undoCommits(failure);
        throw;
    }
}

OffloadEngine::OffloadPlan OffloadEngine::planOffload(const AppItem &app,
                                                      const TargetVolume &target) const
{
    OffloadPlan plan;
    for (const SupportFolder &folder : app.supportFolders) {
        if (folder.isSelected && !folder.isSymlink && !folder.isAlias)
            plan.folders.append(
                {folder, pathOf(folder.url),
                 DriveLayout::finalSupportLocation(target.url, folder).toLocalFile()});
    }
    plan.applicationsFolder = DriveLayout::applicationsFolder(target.url, app).toLocalFile();
    plan.supportRoot = DriveLayout::supportRoot(target.url).toLocalFile();
    plan.bundleSource = pathOf(app.url);
    plan.bundleFinal = DriveLayout::finalBundleLocation(target.url, app).toLocalFile();
    plan.totalSteps = 2.0 * double(plan.folders.size()) + 3.0;
    return plan;
}

void OffloadEngine::createTargetFolders(const OffloadPlan &plan, const TargetVolume &target)
{
    fileOps().makeFolder(plan.applicationsFolder, target);
    noteDriveItem(plan.applicationsFolder);
    fileOps().makeFolder(plan.supportRoot, target);
    noteDriveItem(plan.supportRoot);
}

void OffloadEngine::noteDriveItem(const QString &path)
{
    if (m_driveWatch && !m_driveWatch->items.contains(path))
        m_driveWatch->items.append(path);
}

void OffloadEngine::flushDrive(const QString &written, const QStringList &copies)
{
    QString drive;
    int err = 0;
    QStringList notices;
    if (m_driveWatch) {
        drive = m_driveWatch->name;
        err = m_driveWatch->drive->flush({copies, m_driveWatch->items});
        notices = m_driveWatch->drive->takeNotices();
        if (err == 0)
            m_driveWatch->items.clear();
    } else {
        drive = PathUtils::parentPath(written);
        err = System::current().storage().flushFolder(drive, {copies, {written}}, notices);
    }
    for (const QString &notice : std::as_const(notices))
        AppLogger::shared().log(AppLogLevel::warning, QStringLiteral("Offload"), notice);
    if (err == 0)
        return;
    AppLogger::shared().log(
        AppLogLevel::error, QStringLiteral("Offload"),
        QStringLiteral("Flushing the drive '") + drive + QStringLiteral("' after writing '") +
            written + QStringLiteral("' failed: ") + QString::fromLocal8Bit(std::strerror(err)));
    throw driveFlushError(drive, err);
}

void OffloadEngine::proveTarget(const TargetVolume &target) const
{
    DriveProof::require(target, errorDomain, DriveProof::offloadCode);
}

void OffloadEngine::proveCopies(const TargetVolume &target, const QStringList &copies) const
{
    proveTarget(target);
    const quint64 store =
        FileSystemIdentity::storeOf(target.id()).value_or(target.fileSystem->device);
    for (const QString &copy : copies) {
        // A link put in the way after the check can take a copy off the drive it proved.
        const Verdict place = RecordRule::checkOnTargetFileSystem(QStringLiteral("copy"), copy,
                                                                  target.id(), store, false);
        if (!place.ok)
            throw targetRefusal(target.name, place.reason.value_or(QString()),
                                nothingChangedOnMac());
        // A folder in it swapped for a link since it was verified takes what it held elsewhere.
        const auto verified = m_verifiedPrints.constFind(PathUtils::standardized(copy));
        if (verified != m_verifiedPrints.cend() &&
            IntegrityVerifier::treePrint(QUrl::fromLocalFile(copy)) != *verified)
            throw targetRefusal(target.name,
                                QStringLiteral("the copy '") + copy +
                                    QStringLiteral("' changed after it was verified: an item of "
                                                   "it was replaced, moved or made a link"),
                                nothingChangedOnMac());
    }
}

void OffloadEngine::stageCopy(const QString &source, const QUrl &finalLocation,
                              const TargetVolume &target)
{
    const QString path = DriveLayout::stagedLocation(finalLocation).toLocalFile();
    // As they are before the copy reads them: what may go once the copy is verified.
    m_sourcePrints.insert(PathUtils::standardized(source), TreeFingerprint::of(source));
    m_occupantPrints.insert(PathUtils::standardized(finalLocation.toLocalFile()),
                            TreeFingerprint::of(finalLocation.toLocalFile()));
    fileOps().removePlain(path);
    fileOps().copy(*this, source, path);
    try {
        proveCopies(target, {path});
    } catch (const OperationError &) {
        // Wherever it landed, the staged name is ours.
        fileOps().removePlain(path);
        throw;
    }
}

void OffloadEngine::copySupportFolders(const OffloadPlan &plan, const TargetVolume &target)
{
    for (qsizetype i = 0; i < plan.folders.size(); ++i) {
        const OffloadPlan::FolderCopy &copy = plan.folders.at(i);
        const QString name = PathUtils::lastComponent(copy.source);
        const double step = 1.0 + 2.0 * double(i);
        publishProgress(QStringLiteral("Copying support data: ") + name + QStringLiteral("..."),
                        step / plan.totalSteps);
        const QUrl finalLocation = QUrl::fromLocalFile(copy.finalPath);
        const QUrl staged = DriveLayout::stagedLocation(finalLocation);
        stageCopy(copy.source, finalLocation, target);
        publishStep(QStringLiteral("Verifying support copy: ") + name + QStringLiteral("..."));
        verifySupportFolderCopy(copy.folder, staged, finalLocation);
    }
}

void OffloadEngine::copyAppBundle(const AppItem &app, const OffloadPlan &plan,
                                  const TargetVolume &target)
{
    const double step = 1.0 + 2.0 * double(plan.folders.size());
    publishProgress(QStringLiteral("Copying app bundle: ") + app.name + QStringLiteral("..."),
                    step / plan.totalSteps);
    const QUrl finalLocation = QUrl::fromLocalFile(plan.bundleFinal);
    const QUrl staged = DriveLayout::stagedLocation(finalLocation);
    stageCopy(plan.bundleSource, finalLocation, target);
    publishProgress(QStringLiteral("Verifying application bundle integrity..."),
                    (step + 0.5) / plan.totalSteps);
    verifyBundleCopy(QUrl::fromLocalFile(plan.bundleSource), staged, finalLocation,
                     bundleVerificationError(app.name));
}

void OffloadEngine::recordBackupCopy(const AppItem &app, const TargetVolume &target,
                                     const OffloadPlan &plan)
{
    QList<SupportFolderRecord> folders;
    for (const OffloadPlan::FolderCopy &copy : plan.folders)
        folders.append({copy.source, copy.finalPath, copy.folder.displayName, false});
    publishProgress(QStringLiteral("Saving migration ledger..."), 0.95);
    proveCopies(target, plan.finalPaths());
    recordMigration(newRecord(app, plan.bundleFinal, false, MigrationStatus::copied(), folders),
                    target);
    flushDrive(plan.bundleFinal);
    discardDisplaced();
    publishCompletion(QStringLiteral("Copy backup complete!"));
}

void OffloadEngine::moveToDrive(const AppItem &app, const TargetVolume &target,
                                const OffloadPlan &plan)
{
    publishStep(QStringLiteral("Creating native macOS App Proxy in Applications..."));
    // The copies were verified on the drive; it must still be that drive, and they must still be
    // on it, before the Mac's own items make way for stand-ins that point at them.
    proveCopies(target, plan.finalPaths());
    LocalRollback rollback(fileOps());
    if (const std::optional<QUrl> aside =
            replaceLocalAppWithProxy(app, QUrl::fromLocalFile(plan.bundleFinal))) {
        rollback.movedAside(plan.bundleSource, aside->toLocalFile());
        rollback.standInPlaced();
    }
    recordMove(app.name, target, rollback, [&] {
        const QList<SupportFolderRecord> links = linkSupportFolders(app, plan, rollback);
        publishProgress(QStringLiteral("Saving migration ledger..."), 0.95);
        return newRecord(app, plan.bundleFinal, true, MigrationStatus::active(), links);
    });
    discardDisplaced();
    withdrawSupersededBackups(target);
    publishCompletion(QStringLiteral("Migration complete!"));
}

void OffloadEngine::recordMove(const QString &appName, const TargetVolume &target,
                               LocalRollback &rollback,
                               const std::function<MigrationRecord()> &linked)
{
    std::optional<MigrationRecord> recorded;
    try {
        const MigrationRecord record = linked();
        recordMigration(record, target);
        recorded = record;
        // Durable before destructive: the ledger's own save may fail silently on the drive.
        flushDrive(record.appTargetPath.value_or(QString()));
        const QString unseen = requireOriginalsDeletable(rollback);
        // Only now that the ledger knows where everything went may the originals go.
        discardOriginals(rollback);
        if (!unseen.isEmpty())
            m_discardNotice +=
                (m_discardNotice.isEmpty() ? QString() : QStringLiteral(" ")) + unseen;
    } catch (...) {
        if (recorded)
            rethrowSaying(undoRecordedMove(appName, *recorded, target, rollback));
        undoUnrecordedMove(appName, rollback);
    }
}

QList<SupportFolderRecord> OffloadEngine::linkSupportFolders(const AppItem &app,
                                                             const OffloadPlan &plan,
                                                             LocalRollback &rollback)
{
    QList<SupportFolderRecord> records;
    // One look for every folder about to move: none moves while a process may still write one.
    QStringList present;
    for (const OffloadPlan::FolderCopy &copy : plan.folders) {
        if (PathUtils::existsNoFollow(copy.source))
            present.append(copy.source);
    }
    requireUnused(app, present);
    for (const OffloadPlan::FolderCopy &copy : plan.folders) {
        // A folder gone since the scan simply gets its link.
        if (present.contains(copy.source)) {
            const QString aside = movedAsideLocation(copy.source);
            fileOps().move(copy.source, aside);
            rollback.movedAside(copy.source, aside);
            // A folder changed since its copy began, or put in its place (a link too), goes back.
            requireAsCopied(copy.source, aside);
        }
        fileOps().createSymbolicLink(copy.source, copy.finalPath);
        if (present.contains(copy.source))
            rollback.standInPlaced();
        records.append({copy.source, copy.finalPath, copy.folder.displayName, true});
    }
    return records;
}

// --- The application's stand-in ---

std::optional<QUrl> OffloadEngine::replaceLocalAppWithProxy(const AppItem &app,
                                                            const QUrl &driveBundle)
{
    const QString appPath = pathOf(app.url);
    const QString drivePath = pathOf(driveBundle);
    // Launched since the scan, it is still never moved.
    requireNotRunning(app);
    std::optional<QString> aside;
    if (PathUtils::existsNoFollow(appPath)) {
        const QString location = movedAsideLocation(appPath);
        fileOps().move(appPath, location);
        aside = location;
        // A new version an updater renamed into place is not the one on the drive.
        if (const std::optional<QString> change = changeSinceCopied(appPath, location)) {
            QString outcome = nothingChangedOnMac();
            try {
                LocalRollback::moveBack(fileOps(), location, appPath);
            } catch (const OperationError &) {
                outcome = QStringLiteral(" It was left at '") + location +
                          QStringLiteral("', beside its place.");
            }
            throw changedSinceCopied(appPath, *change, outcome);
        }
    }
    try {
        fileOps().createProxy(app, QUrl::fromLocalFile(drivePath));
    } catch (const OperationError &) {
        fallBackToAlias(appPath, drivePath, aside);
    }
    reregisterWithLaunchServices(drivePath);
    reregisterWithLaunchServices(appPath);
    if (!aside)
        return std::nullopt;
    return QUrl::fromLocalFile(*aside);
}

void OffloadEngine::fallBackToAlias(const QString &appPath, const QString &driveBundle,
                                    const std::optional<QString> &aside)
{
    try {
        // Only a stand-in makes way: an application put there since is never replaced.
        LocalRollback::removeStandIn(fileOps(), appPath);
        fileOps().createFinderAlias(driveBundle, appPath);
    } catch (const OperationError &aliasError) {
        if (!aside || !PathUtils::existsNoFollow(*aside))
            throw;
        try {
            putApplicationBack(appPath, *aside);
        } catch (const OperationError &rollbackError) {
            throw offloadError(
                302, QStringLiteral("Proxy creation failed (") + aliasError.message() +
                         QStringLiteral(") and rollback to '") + appPath +
                         QStringLiteral("' failed (") + rollbackError.message() +
                         QStringLiteral("). Backup remains at '") + *aside + QStringLiteral("'."));
        }
        throw;
    }
}

void OffloadEngine::putApplicationBack(const QString &appPath, const QString &aside)
{
    LocalRollback::removeStandIn(fileOps(), appPath);
    LocalRollback::moveBack(fileOps(), aside, appPath);
    if (!PathUtils::existsNoFollow(appPath))
        throw offloadError(302, QStringLiteral("Proxy creation failed and rollback verification "
                                               "failed; original app may still be at '") +
                                    aside + QStringLiteral("'."));
}

void OffloadEngine::requireNotRunning(const AppItem &app) const
{
    const QString bundle = pathOf(app.url);
    if (!System::current().workspace().runningWithin({bundle}).isEmpty())
        throw runningError(app.name);
    // A helper that runs from the support folders is the application running, as far as what it
    // writes there is concerned; what only writes there is looked at as each folder moves.
    QStringList trees{bundle};
    for (const SupportFolder &folder : app.supportFolders)
        trees.append(pathOf(folder.url));
    const TreeUsers users = TreeUsers::of(trees);
    if (users.anyRuns())
        throw OperationError(errorDomain, 202,
                             runningError(app.name).message() + QLatin1Char(' ') + users.told() +
                                 QLatin1Char('.'));
    if (const TreeUsers writers = users.within(bundle); !writers.isEmpty())
        throw inUse(writers, nothingChangedOnMac());
}

void OffloadEngine::requireUnused(const AppItem &app, const QStringList &paths) const
{
    if (paths.isEmpty())
        return;
    const TreeUsers users = TreeUsers::of(paths);
    if (users.isEmpty())
        return;
    if (users.anyRuns())
        throw OperationError(errorDomain, 202,
                             runningError(app.name).message() + QLatin1Char(' ') + users.told() +
                                 QLatin1Char('.'));
    throw inUse(users, nothingChangedOnMac());
}

std::optional<QString> OffloadEngine::changeSinceCopied(const QString &original,
                                                        const QString &aside) const
{
    const auto noted = m_sourcePrints.constFind(PathUtils::standardized(original));
    if (noted == m_sourcePrints.cend())
        return QStringLiteral("this operation did not copy it");
    return noted->changeAt(aside);
}

void OffloadEngine::requireAsCopied(const QString &original, const QString &aside) const
{
    if (const std::optional<QString> change = changeSinceCopied(original, aside))
        throw changedSinceCopied(original, *change, nothingChangedOnMac());
}

std::optional<OffloadEngine::Refusal> OffloadEngine::lastLook(const QString &original,
                                                              const QString &aside) const
{
    // Who writes is told first: it is what the user can act on.
    if (const TreeUsers users = TreeUsers::of({aside}, {original}); !users.isEmpty())
        return Refusal{inUse(users, nothingChangedOnMac()), users.told()};
    if (const std::optional<QString> change = changeSinceCopied(original, aside))
        return Refusal{changedSinceCopied(original, *change, nothingChangedOnMac()),
                       QStringLiteral("it changed after its copy to the drive began (") + *change +
                           QLatin1Char(')')};
    return std::nullopt;
}

QString OffloadEngine::requireOriginalsDeletable(const LocalRollback &rollback) const
{
    // What a writer added since, or may still add, stays on the Mac: all of them are looked at
    // before the first goes, the processes in one look.
    QStringList asides;
    QStringList originals;
    for (const auto &[original, aside] : rollback.movedAsideItems()) {
        asides.append(aside);
        originals.append(original);
    }
    if (asides.isEmpty())
        return {};
    const TreeUsers users = TreeUsers::of(asides, originals);
    if (!users.isEmpty())
        throw inUse(users, nothingChangedOnMac());
    for (qsizetype i = 0; i < asides.size(); ++i)
        requireAsCopied(originals.at(i), asides.at(i));
    return users.uninspectedNote();
}

void OffloadEngine::discardOriginals(const LocalRollback &rollback)
{
    // The support folders, which helpers write to, before the bundle, which takes longest to
    // delete. requireOriginalsDeletable() looked at all of them just before, while a refusal could
    // still put everything back; each later one is looked at again right before it goes.
    QList<std::pair<QString, QString>> items = rollback.movedAsideItems();
    std::reverse(items.begin(), items.end());
    bool anyGone = false;
    QStringList told;
    for (const auto &[original, aside] : std::as_const(items)) {
        if (!PathUtils::existsNoFollow(aside))
            continue;
        // The first was looked at with all of them, just before.
        const std::optional<Refusal> refusal =
            anyGone ? lastLook(original, aside) : std::optional<Refusal>();
        if (refusal) {
            told.append(QStringLiteral("'") + original + QStringLiteral("' was kept at '") + aside +
                        QStringLiteral("': ") + refusal->reason +
                        QStringLiteral(". Its copy on the drive, which now stands in its place, "
                                       "does not have what changed since."));
            continue;
        }
        anyGone = true;
        // Its copy is recorded and on the drive: renamed first, whatever of it a failure or an
        // ending program leaves is a leftover the cleanup lists and removes, no recovery copy.
        QString doomed = aside;
        const QString leftover =
            PathUtils::join(PathUtils::parentPath(aside),
                            DriveLayout::offloadedOriginalName(PathUtils::lastComponent(original)));
        try {
            fileOps().move(aside, leftover);
            doomed = leftover;
        } catch (const OperationError &) {
        }
        try {
            fileOps().remove(doomed);
        } catch (const OperationError &failure) {
            QString why = failure.message();
            if (why.endsWith(QLatin1Char('.')))
                why.chop(1);
            told.append(QStringLiteral("Its original could not be removed from '") + doomed +
                        QStringLiteral("': ") + why +
                        QStringLiteral(". It is listed with the leftovers to clean up."));
        }
    }
    m_discardNotice = told.join(QLatin1Char(' '));
}

void OffloadEngine::undoCommits(const OperationError &failure)
{
    // A record of this run still in force, or a stand-in left on the Mac, leads to the copies.
    if (m_standInLeft || m_recordInForce)
        return;
    const bool refused =
        failure.domain() == errorDomain && (failure.code() == 209 || failure.code() == 210);
    QSet<QString> named;
    for (const MigrationRecord &record : ledger().records()) {
        if (record.status != MigrationStatus::active() &&
            record.status != MigrationStatus::copied())
            continue;
        if (record.appTargetPath)
            named.insert(PathUtils::standardized(*record.appTargetPath));
        for (const SupportFolderRecord &folder : record.supportFolders)
            named.insert(PathUtils::standardized(folder.target));
    }
    for (auto commit = m_committed.crbegin(); commit != m_committed.crend(); ++commit) {
        const QString &copy = commit->finalPath;
        const bool putBack = commit->displaced && PathUtils::existsNoFollow(*commit->displaced);
        if (!putBack && (!refused || named.contains(PathUtils::standardized(copy))))
            continue;
        const QString staged = DriveLayout::stagedLocation(QUrl::fromLocalFile(copy)).toLocalFile();
        if (PathUtils::existsNoFollow(copy)) {
            try {
                fileOps().removePlain(staged);
                fileOps().move(copy, staged);
            } catch (const OperationError &) {
                continue; // both stay where they are: nothing of either is lost
            }
        }
        if (putBack) {
            try {
                LocalRollback::moveBack(fileOps(), *commit->displaced, copy);
            } catch (const OperationError &) {
                // The earlier item stays under its rollback name, which the leftover cleanup
                // lists; the new copy keeps the place.
                try {
                    LocalRollback::moveBack(fileOps(), staged, copy);
                } catch (const OperationError &) {
                }
                continue;
            }
        }
        fileOps().discard(staged);
    }
    m_committed.clear();
}

void OffloadEngine::withdrawSupersededBackups(const TargetVolume &target)
{
    QStringList owed;
    for (const MigrationRecord &record : std::as_const(m_supersededBackups)) {
        try {
            // Remembered first and without a lock: it is out of force whatever happens next.
            ledger().rememberWithdrawal(record, target.url);
            (void)fileOps().withdrawMigration(ledger(), record, target.url, target.fileSystem);
        } catch (const OperationError &failure) {
            owed.append(FileLock::reasonOf(failure));
        }
    }
    m_supersededBackups.clear();
    if (owed.isEmpty())
        return;
    const QString notice =
        QStringLiteral("The record of its earlier backup on the drive, which the offloaded copy "
                       "replaced, could not be taken out of the ledgers yet (") +
        owed.join(QStringLiteral("; ")) + QStringLiteral("); the next scan finishes it.");
    m_ledgerNotice = m_ledgerNotice.isEmpty() ? notice : m_ledgerNotice + QLatin1Char(' ') + notice;
}

void OffloadEngine::reregisterWithLaunchServices(const QString &path)
{
    AppProxyHelper::registerWithLaunchServices(QUrl::fromLocalFile(path));
}

// --- Backup update and re-offload ---

void OffloadEngine::updateBackupSteps(const AppItem &app, const TargetVolume &target)
{
    beginOffloadProgress(app.name, QStringLiteral("Preflight check for backup update..."), 0.1);
    validateOffloadPreflight(app, target);
    // The record that made this a backup to update: one a drive's ledger broke is refused.
    if (const std::optional<MigrationRecord> record =
            LinkResolver::ledgerRecord(pathOf(app.url), ledger().records()))
        RecordRule::enforce(errorDomain, *record);
    // Opened before the first write; transferBundle proves the drive before writing.
    DriveWatch watch(*this, target);
    try {
        const QString finalPath = transferBundle(
            app, target,
            {QStringLiteral("Copying updated ") + app.name + QStringLiteral(" to '") + target.name +
                 QStringLiteral("'..."),
             0.3, QStringLiteral("Verifying updated app backup integrity..."), 0.7,
             offloadError(103, QStringLiteral("Verification failed for updated backup of '") +
                                   app.name +
                                   QStringLiteral("'. Existing backup was left untouched."))});
        proveCopies(target, {finalPath});
        recordMigration(newRecord(app, finalPath, false, MigrationStatus::copied(), {}), target);
        flushDrive(finalPath);
    } catch (const OperationError &failure) {
        undoCommits(failure);
        throw;
    }
    discardDisplaced();
    publishCompletion(QStringLiteral("Backup updated successfully!"));
}

void OffloadEngine::reoffloadSteps(const AppItem &app, const TargetVolume &target)
{
    beginOffloadProgress(app.name,
                         QStringLiteral("Preflight check for re-offloading updated app..."), 0.1);
    validateOffloadPreflight(app, target);
    // Looked up before anything is copied, so that a broken record refuses the run untouched.
    const QList<SupportFolderRecord> carriedOver = carriedOverSupportFolders(pathOf(app.url));
    // Opened before the first write; transferBundle proves the drive before writing.
    DriveWatch watch(*this, target);
    try {
        const QString finalPath = transferBundle(
            app, target,
            {QStringLiteral("Transferring updated application binary to '") + target.name +
                 QStringLiteral("'..."),
             0.35, QStringLiteral("Verifying application binary integrity..."), 0.7,
             offloadError(104, QStringLiteral("Verification failed for updated app bundle '") +
                                   app.name + QStringLiteral("'. Local files left untouched."))});
        publishProgress(QStringLiteral("Replacing local binary with App Proxy in /Applications..."),
                        0.85);
        proveCopies(target, {finalPath});
        LocalRollback rollback(fileOps());
        if (const std::optional<QUrl> aside =
                replaceLocalAppWithProxy(app, QUrl::fromLocalFile(finalPath))) {
            rollback.movedAside(pathOf(app.url), aside->toLocalFile());
            rollback.standInPlaced();
        }
        recordMove(app.name, target, rollback, [&] {
            return newRecord(app, finalPath, true, MigrationStatus::active(), carriedOver);
        });
    } catch (const OperationError &failure) {
        undoCommits(failure);
        throw;
    }
    discardDisplaced();
    publishCompletion(
        QStringLiteral("Re-offload complete! Settings retained & space freed on Mac."));
}

QString OffloadEngine::transferBundle(const AppItem &app, const TargetVolume &target,
                                      const BundleSteps &steps)
{
    const QString source = pathOf(app.url);
    const QString finalPath = DriveLayout::finalBundleLocation(target.url, app).toLocalFile();
    PlaceClaims(ledger(), target).require({{source, finalPath, true}});
    proveTarget(target);
    const QString applicationsFolder =
        DriveLayout::applicationsFolder(target.url, app).toLocalFile();
    fileOps().makeFolder(applicationsFolder, target);
    noteDriveItem(applicationsFolder);

    publishProgress(steps.copyStep, steps.copyFraction);
    const QUrl finalLocation = QUrl::fromLocalFile(finalPath);
    const QUrl staged = DriveLayout::stagedLocation(finalLocation);
    stageCopy(source, finalLocation, target);

    publishProgress(steps.verifyStep, steps.verifyFraction);
    verifyBundleCopy(QUrl::fromLocalFile(source), staged, finalLocation, steps.failure);
    flushDrive(finalPath);
    return finalPath;
}

// The earliest record of the path that is still in force, else its earliest of any status.
// Its folders go into a record of our own, so a record that breaks the rule is refused.
QList<SupportFolderRecord> OffloadEngine::carriedOverSupportFolders(const QString &appPath) const
{
    const QList<MigrationRecord> records = ledger().records();
    const auto isApp = [&](const MigrationRecord &record) {
        return PathUtils::standardized(record.appOriginalPath) == appPath;
    };
    const auto carried = [](const MigrationRecord &record) {
        RecordRule::enforce(errorDomain, record);
        return record.supportFolders;
    };
    for (const MigrationRecord &record : records) {
        if (isApp(record) && (record.status == MigrationStatus::active() ||
                              record.status == MigrationStatus::copied()))
            return carried(record);
    }
    for (const MigrationRecord &record : records) {
        if (isApp(record))
            return carried(record);
    }
    return {};
}

void OffloadEngine::undoUnrecordedMove(const QString &appName, LocalRollback &rollback)
{
    rollback.undo();
    m_standInLeft = m_standInLeft || rollback.standInRemains();
    // What the failure said of the Mac no longer holds where something stayed aside.
    if (!rollback.isUndone())
        rethrowSaying(notFullyPutBack(appName) + QLatin1Char('.'));
    throw;
}

QString OffloadEngine::undoRecordedMove(const QString &appName, const MigrationRecord &record,
                                        const TargetVolume &target, LocalRollback &rollback)
{
    const QString name = QLatin1Char('\'') + appName + QLatin1Char('\'');
    // Withdrawn before the Mac is put back: a program ending in between leaves the record out,
    // not in force over an original back in its place.
    bool remembered = true;
    try {
        ledger().rememberWithdrawal(record, target.url);
    } catch (const OperationError &) {
        remembered = false; // tried again by the withdrawal below
    }
    rollback.undo();
    m_standInLeft = m_standInLeft || rollback.standInRemains();
    m_recordInForce = !remembered || !rollback.isUndone();
    // Whatever still stands in for an original that stayed aside leads to the drive copies
    // through this record alone.
    if (!rollback.isUndone()) {
        const QString keptAside =
            notFullyPutBack(appName) + QStringLiteral(", and the record of the move ");
        try {
            if (remembered)
                ledger().forgetWithdrawal(record);
        } catch (const OperationError &failure) {
            return keptAside +
                   QStringLiteral("that leads to its copies on the drive could not "
                                  "be kept in force: ") +
                   failure.message();
        }
        return keptAside + QStringLiteral("was kept so that its copies on the drive stay found.");
    }
    // The ledger proves the drive itself, as it reads it: a drive that is gone leaves its
    // mount-point folder on the Mac, where nothing is written and no missing ledger is proof.
    bool driveClear = false;
    try {
        driveClear = fileOps().withdrawMigration(ledger(), record, target.url, target.fileSystem);
        m_recordInForce = false;
    } catch (const OperationError &failure) {
        if (remembered)
            return QLatin1Char(' ') + name +
                   QStringLiteral(" was put back on your Mac as it was, and the record of the "
                                  "move was withdrawn, but your Mac's ledger could not be "
                                  "rewritten without it yet (") +
                   FileLock::reasonOf(failure) + QStringLiteral("). The next scan finishes it.");
        return QLatin1Char(' ') + name +
               QStringLiteral(" was put back on your Mac as it was, but the record of the move "
                              "could not be withdrawn: ") +
               failure.message();
    }
    // Gone or failing, the drive takes the withdrawal when it is next connected and writable.
    if (!driveClear)
        return QLatin1Char(' ') + name +
               QStringLiteral(" was put back on your Mac as it was, and the record of the move "
                              "was withdrawn from your Mac's ledger; the drive '") +
               target.name +
               QStringLiteral("' may still list it, and will be updated when it is next connected "
                              "and free.");
    return QLatin1Char(' ') + name +
           QStringLiteral(" was put back on your Mac as it was, and the record of the move was "
                          "withdrawn.");
}

void OffloadEngine::recordMigration(const MigrationRecord &record, const TargetVolume &target)
{
    // The ledger goes to the Mac and onto the drive; neither may name a drive that is gone.
    proveTarget(target);
    const std::optional<QString> problem = fileOps().recordMigration(ledger(), record, target.url);
    m_recordInForce = true;
    if (problem) {
        // What it means and what to do: nothing is wrong with the offload itself.
        m_ledgerNotice =
            QStringLiteral("Your Mac's ledger holds the record, but the drive's own ledger could "
                           "not be updated yet (") +
            *problem +
            QStringLiteral("). The offload itself is complete. Other Macs read the drive's "
                           "ledger: Korvanthelix adds the record there at the next scan with "
                           "this drive connected, so keep it connected or scan again later.");
        return; // the drive holds no new ledger to push, maybe none at all
    }
    noteDriveItem(PathUtils::join(target.url.toLocalFile(), LedgerService::driveLedgerFileName()));
}

// --- Publication ---

void OffloadEngine::beginOffloadProgress(const QString &item, const QString &step, double fraction)
{
    onMainThread(this, [this, progress = OffloadProgress{item, step, fraction, false, {}}] {
        setIsOffloading(true);
        setProgress(progress);
    });
}

void OffloadEngine::publishProgress(const QString &step, double fraction)
{
    onMainThread(this, [this, step, fraction] {
        OffloadProgress next = m_progress;
        next.currentStep = step;
        next.percent = fraction;
        setProgress(next);
    });
}

void OffloadEngine::publishStep(const QString &step)
{
    onMainThread(this, [this, step] {
        OffloadProgress next = m_progress;
        next.currentStep = step;
        setProgress(next);
    });
}

void OffloadEngine::publishCompletion(const QString &step)
{
    QStringList notices{std::exchange(m_ledgerNotice, QString()),
                        std::exchange(m_discardNotice, QString())};
    notices.removeAll(QString());
    onMainThread(this, [this, step, notice = notices.join(QLatin1Char(' '))] {
        OffloadProgress next = m_progress;
        next.currentStep = step;
        next.notice = notice;
        next.percent = 1.0;
        next.isComplete = true;
        setProgress(next);
        setIsOffloading(false);
    });
}

void OffloadEngine::publishFailure(const QString &message)
{
    onMainThread(this, [this, message] {
        OffloadProgress next = m_progress;
        next.error = message;
        setProgress(next);
        setIsOffloading(false);
    });
}
