#include "transfer/RecordRestore.h"

#include "base/Iso8601.h"
#include "base/PathUtils.h"
#include "base/Uuid.h"
#include "platform/System.h"
#include "services/AppLogger.h"
#include "services/AppScanner.h"
#include "services/LedgerService.h"
#include "services/PrivilegeHelper.h"
#include "services/RecordRule.h"
#include "transfer/AppProxyHelper.h"
#include "transfer/CopyRunner.h"
#include "transfer/DriveFolder.h"
#include "transfer/DriveLayout.h"
#include "transfer/DriveProof.h"
#include "transfer/RestoreContext.h"
#include "transfer/RestoreEngine.h"
#include "transfer/RestorePaths.h"
#include "transfer/TreeUsers.h"

#include <QDir>
#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

constexpr auto bundleSettle = 200ms;
constexpr auto bundleRetry = 600ms;
constexpr auto folderSettle = 100ms;
constexpr auto folderRetry = 300ms;

const QString category = QStringLiteral("Restore");

QString restoringPath(const QString &path)
{
    return path + QStringLiteral(".restoring-") + newUuidText();
}

void removeQuietly(const QString &path)
{
    try {
        PrivilegeHelper::safeRemove(path);
    } catch (...) {
    }
}

// safeRemove leaves a dangling link alone (links followed, nothing is there), yet it blocks
// the move into its place, so it goes here: plainly, else as administrator.
void removeDanglingLink(const QString &path)
{
    if (PrivilegeHelper::isWritable(PathUtils::parentPath(path)) &&
        ::unlink(QFile::encodeName(path).constData()) == 0)
        return;
    const PrivilegeHelper::CommandResult result = PrivilegeHelper::runPrivilegedCommand(
        QStringLiteral("/bin/rm -f -- ") + PrivilegeHelper::shellQuote(path));
    if (!result.success)
        throw OperationError(PrivilegeHelper::errorDomain, 1,
                             QStringLiteral("Failed to remove '") + path +
                                 QStringLiteral("' with admin privileges: ") + result.output);
}

// What stands in the way of a restored item: a link (dangling or not), proxy or alias.
void removeInTheWay(const QString &path)
{
    if (PathUtils::isSymlink(path) && !PathUtils::existsFollowingLinks(path)) {
        removeDanglingLink(path);
        return;
    }
    PrivilegeHelper::safeRemove(path);
}

const CopyRunner::Errors &copyErrors()
{
    static const CopyRunner::Errors errors{
        RecordRestore::cancellationError(),
        [](const std::optional<QString> &toolError, const QString &adminMessage) {
            return RecordRestore::error(
                402, QStringLiteral("ditto restore failed: ") +
                         toolError.value_or(QStringLiteral("Unknown ditto error")) +
                         QStringLiteral(" (Admin attempt: ") + adminMessage + QStringLiteral(")"));
        }};
    return errors;
}

QString shortVersion(const QString &bundle)
{
    return AppScanner::extractVersionInfo(QUrl::fromLocalFile(bundle))
        .shortVersion.value_or(QStringLiteral("unknown"));
}

} // namespace

RecordRestore::RecordRestore(RestoreContext &context, MigrationRecord record,
                             std::optional<QUrl> targetVolumeURL)
    : m_context(context)
    , m_record(std::move(record))
    , m_targetVolumeURL(std::move(targetVolumeURL))
{}

OperationError RecordRestore::error(int code, const QString &message)
{
    return OperationError(RestoreEngine::errorDomain, code, message);
}

OperationError RecordRestore::cancellationError()
{
    return error(3072, QStringLiteral("Restoration cancelled by user."));
}

void RecordRestore::run()
{
    validatePaths();
    identifyDrive();
    checkDriveCopiesOnDrive();
    checkRecord();
    precheckSupportFolders();
    watchMacFolders();
    if (handlesBundle())
        restoreBundle();
    restoreSupportFolders();
    // The record may say "restored" only once the Mac's disk holds what came back: until then
    // the drive copies are the only sure ones, and the record is what still names them.
    makeRestoredItemsDurable();
    updateLedger();
    removeEarlierStagingCopies();
    removeDriveCopies();
}

bool RecordRestore::handlesBundle() const
{
    return m_record.movedApp && m_record.appTargetPath.has_value();
}

RecordRestore::LocalItem RecordRestore::localApplication() const
{
    const QString &path = m_record.appOriginalPath;
    const QUrl url = QUrl::fromLocalFile(path);
    if (AppProxyHelper::isSymbolicLink(path))
        return LocalItem::standIn;
    if (!PathUtils::existsFollowingLinks(path))
        return LocalItem::absent;
    // Only what this system built is replaced unasked; anything else is compared first.
    if (AppProxyHelper::isBuiltProxy(path) || AppProxyHelper::isAliasFile(url))
        return LocalItem::standIn;
    return LocalItem::application;
}

OperationError RecordRestore::differingApplicationError() const
{
    return error(409, QStringLiteral("A real application already exists at '") +
                          m_record.appOriginalPath + QStringLiteral("' (v") +
                          shortVersion(m_record.appOriginalPath) +
                          QStringLiteral(") that is not an Korvanthelix proxy. External version "
                                         "is v") +
                          shortVersion(*m_record.appTargetPath) +
                          QStringLiteral(". To prevent overwriting a newer or separate local "
                                         "installation, restore was cancelled. Please rename or "
                                         "remove the local app first."));
}

void RecordRestore::validatePaths() const
{
    RecordRule::enforce(RestoreEngine::errorDomain, m_record);
}

void RecordRestore::checkRecord()
{
    if (!handlesBundle())
        return;
    const QString &local = m_record.appOriginalPath;
    const QString &drive = *m_record.appTargetPath;
    if (local == drive)
        throw error(407, QStringLiteral("Invalid migration record for '") + m_record.appName +
                             QStringLiteral("': source and target application paths are "
                                            "identical ('") +
                             drive + QStringLiteral("')."));
    // Copying one into the other, or deleting the drive copy afterwards, would destroy both.
    if (RestorePaths::overlaps(local, drive))
        throw error(407, QStringLiteral("Invalid migration record for '") + m_record.appName +
                             QStringLiteral("': source and target application paths overlap ('") +
                             local + QStringLiteral("' and '") + drive + QStringLiteral("')."));
    if (!PathUtils::existsFollowingLinks(drive))
        throw error(401, QStringLiteral("External application bundle not found at '") + drive +
                             QStringLiteral("'. Is the external drive connected?"));
    if (localApplication() == LocalItem::application && !m_context.verifyCopiedItem(drive, local))
        throw differingApplicationError();
}

void RecordRestore::precheckSupportFolders() const
{
    for (const SupportFolderRecord &folder : m_record.supportFolders) {
        if (folder.source == folder.target || RestorePaths::overlaps(folder.source, folder.target))
            continue;
        if ((folder.symlinkCreated || AppProxyHelper::isSymbolicLink(folder.source)) &&
            !PathUtils::existsFollowingLinks(folder.target))
            throw error(408, QStringLiteral("External support data for '") + folder.displayName +
                                 QStringLiteral("' is missing at '") + folder.target +
                                 QStringLiteral("'. Cannot complete restore while local symlink "
                                                "remains broken. Please connect the drive "
                                                "containing the support data."));
    }
}

void RecordRestore::keepApplicationInPlace()
{
    const QString &local = m_record.appOriginalPath;
    const QString &drive = *m_record.appTargetPath;
    noteRead(drive);
    if (!m_context.verifyCopiedItem(drive, local))
        throw differingApplicationError();
    noteForRemoval(drive);
    m_keptLocalPaths.append(local);
    m_foundInPlace.append(local);
    m_bundleOnMac = true;
}

void RecordRestore::restoreBundle()
{
    const QString &local = m_record.appOriginalPath;
    const QString &drive = *m_record.appTargetPath;
    if (!PathUtils::existsFollowingLinks(drive))
        return;
    if (localApplication() == LocalItem::application) {
        // A real application is never replaced: identical, it stays and is not copied again.
        keepApplicationInPlace();
        return;
    }

    publishStep(QStringLiteral("Restoring application bundle: ") + m_record.appName +
                QStringLiteral("..."));
    const QString staging = restoringPath(local);
    stageVerifiedCopy(drive, staging, bundleSettle, bundleRetry,
                      error(404, QStringLiteral("Verification failed for restored application "
                                                "bundle '") +
                                     m_record.appName +
                                     QStringLiteral("'. External application was left "
                                                    "untouched.")));
    if (!swapBundle(staging))
        return;

    AppProxyHelper::registerWithLaunchServices(QUrl::fromLocalFile(local));
    m_keptLocalPaths.append(local);
    if (!m_context.verifyCopiedItem(drive, local))
        throw error(406, QStringLiteral("Final destination integrity verification failed for "
                                        "restored application bundle '") +
                             m_record.appName + QStringLiteral("' at '") + local +
                             QStringLiteral("'. External application bundle at '") + drive +
                             QStringLiteral("' was preserved."));
    noteForRemoval(drive);
    m_bundleOnMac = true;
}

bool RecordRestore::swapBundle(const QString &staging)
{
    const QString &local = m_record.appOriginalPath;
    // The staged copy may have been read from a drive pulled out halfway.
    try {
        proveDrive();
    } catch (...) {
        removeQuietly(staging);
        throw;
    }
    // Looked at again: an application installed during the copy is never replaced either.
    const LocalItem item = localApplication();
    if (item == LocalItem::application) {
        removeQuietly(staging);
        keepApplicationInPlace();
        return false;
    }
    // Nor is the launcher of an application running from the drive, whose copy would go too.
    if (!System::current().workspace().runningWithin({*m_record.appTargetPath, local}).isEmpty()) {
        removeQuietly(staging);
        throw error(412, QStringLiteral("Application '") + m_record.appName +
                             QStringLiteral("' is currently running from the drive. Please quit "
                                            "it before restoring."));
    }
    if (item == LocalItem::standIn)
        removeInTheWay(local);
    try {
        PrivilegeHelper::safeMove(staging, local);
    } catch (...) {
        removeQuietly(staging);
        throw;
    }
    return true;
}

void RecordRestore::restoreSupportFolders()
{
    const QList<SupportFolderRecord> &folders = m_record.supportFolders;
    for (qsizetype i = 0; i < folders.size(); ++i) {
        try {
            restoreSupportFolder(folders.at(i));
        } catch (const OperationError &failure) {
            // Before the application came back the record stays as it was and a retry starts
            // over; after, the ledger must not go on saying the application is on the drive.
            if (!m_bundleOnMac)
                throw;
            QList<SupportFolderRecord> pending;
            for (qsizetype j = i; j < folders.size(); ++j) {
                if (folders.at(j).source != folders.at(j).target)
                    pending.append(folders.at(j));
            }
            makeRestoredItemsDurable();
            throw recordApplicationOnly(pending, driveStillThere() ? &failure : nullptr);
        }
    }
}

OperationError RecordRestore::recordApplicationOnly(const QList<SupportFolderRecord> &pending,
                                                    const OperationError *failure)
{
    QStringList names;
    for (const SupportFolderRecord &folder : pending)
        names.append(QLatin1Char('\'') + folder.displayName + QLatin1Char('\''));
    bool recorded = true;
    QStringList owed; // what a ledger could not take yet, a sentence each
    try {
        const QString now = iso8601SecondsNow();
        LedgerService &ledger = m_context.ledger();
        // The drive's ledgers too while it is there; a drive that is gone takes it later.
        const std::optional<QString> base = driveCopyPath();
        const QList<QUrl> folders =
            failure && base ? RestorePaths::driveLedgerFolders(*base) : QList<QUrl>();
        const std::optional<QUrl> target = failure ? m_targetVolumeURL : std::nullopt;
        if (const std::optional<QString> notYet = ledger.updateRecordStatus(
                m_record.appOriginalPath, MigrationStatus::restored(), now, target, folders))
            owed.append(*notYet);
        // The folders still on the drive keep a record in force (no drive copy of the
        // application in it), so the next scan and a retry find them. Records merge by place
        // and time: it must not share the second of the record it follows.
        const QDateTime then = QDateTime::fromString(m_record.timestamp, Qt::ISODate);
        const QString stamp =
            then.isValid() && now <= m_record.timestamp ? iso8601Seconds(then.addSecs(1)) : now;
        if (const std::optional<QString> notYet = ledger.recordMigration(
                MigrationRecord(stamp, m_record.appName, m_record.bundleId, m_record.version,
                                m_record.appOriginalPath, std::nullopt, true,
                                MigrationStatus::active(), pending),
                target))
            owed.append(QStringLiteral("The drive's own ledger could not take the record of what "
                                       "stayed on it yet (") +
                        *notYet +
                        QStringLiteral("); it is added there at the next scan with the drive "
                                       "connected."));
    } catch (const OperationError &notRecorded) {
        recorded = false;
        AppLogger::shared().log(AppLogLevel::error, category,
                                QStringLiteral("Could not record the partial restore of '") +
                                    m_record.appName + QStringLiteral("': ") +
                                    notRecorded.message());
    }
    const QString back = QStringLiteral("'") + m_record.appName +
                         QStringLiteral("' was restored to your Mac") +
                         (recorded ? QStringLiteral(" (ledger updated)") : QString()) +
                         QStringLiteral(", but not its support data: ") +
                         names.join(QStringLiteral(", ")) + QStringLiteral(" stayed on the drive");
    const QString notYet =
        owed.isEmpty() ? QString() : QLatin1Char(' ') + owed.join(QLatin1Char(' '));
    if (failure)
        return OperationError(failure->domain(), failure->code(),
                              back + QStringLiteral(". ") + failure->message() + notYet);
    return error(DriveProof::restoreCode,
                 QStringLiteral("The drive \"") + m_driveName +
                     QStringLiteral("\" is no longer connected. ") + back +
                     QStringLiteral(". Connect the drive, choose it again and retry to bring ") +
                     (pending.size() > 1 ? QStringLiteral("them") : QStringLiteral("it")) +
                     QStringLiteral(" back.") + notYet);
}

void RecordRestore::restoreSupportFolder(const SupportFolderRecord &folder)
{
    if (folder.source == folder.target)
        return;
    if (RestorePaths::overlaps(folder.source, folder.target)) {
        AppLogger::shared().log(AppLogLevel::warning, category,
                                QStringLiteral("Skipped support folder '") + folder.displayName +
                                    QStringLiteral("': its place on the Mac and its copy at '") +
                                    folder.target + QStringLiteral("' overlap."));
        return;
    }
    const bool localExists = PathUtils::existsFollowingLinks(folder.source);
    const bool localIsLink = AppProxyHelper::isSymbolicLink(folder.source);
    const bool driveExists = PathUtils::existsFollowingLinks(folder.target);

    if (!driveExists) {
        if (localIsLink || folder.symlinkCreated)
            throw error(408, QStringLiteral("External support data for '") + folder.displayName +
                                 QStringLiteral("' is missing at '") + folder.target +
                                 QStringLiteral("'. Cannot complete restore while support data "
                                                "is missing."));
        return;
    }
    const bool realLocal = localExists && !localIsLink;
    noteRead(folder.target);
    if (realLocal && m_context.verifyCopiedItem(folder.target, folder.source)) {
        noteForRemoval(folder.target);
        m_keptLocalPaths.append(folder.source);
        m_foundInPlace.append(folder.source);
        return;
    }

    publishStep(QStringLiteral("Restoring support folder: ") + folder.displayName +
                QStringLiteral("..."));
    const QString staging = restoringPath(folder.source);
    stageVerifiedCopy(folder.target, staging, folderSettle, folderRetry,
                      error(403, QStringLiteral("Verification failed for restored support "
                                                "folder '") +
                                     folder.displayName +
                                     QStringLiteral("'. External copy was left untouched.")));
    swapSupportFolder(folder, staging, localIsLink, realLocal);

    m_keptLocalPaths.append(folder.source);
    if (!m_context.verifyCopiedItem(folder.target, folder.source))
        throw error(405, QStringLiteral("Final destination integrity verification failed for "
                                        "restored support folder '") +
                             folder.displayName + QStringLiteral("' at '") + folder.source +
                             QStringLiteral("'. External copy at '") + folder.target +
                             QStringLiteral("' was preserved."));
    noteForRemoval(folder.target);
}

void RecordRestore::swapSupportFolder(const SupportFolderRecord &folder, const QString &staging,
                                      bool localIsLink, bool preserveLocal)
{
    try {
        proveDrive();
    } catch (...) {
        removeQuietly(staging);
        throw;
    }
    std::optional<QString> preserved;
    if (localIsLink) {
        removeInTheWay(folder.source);
    } else if (preserveLocal) {
        // The user's own folder differs from the drive copy: kept aside, never deleted.
        const QString aside = folder.source + QStringLiteral(".preserved-local-") + newUuidText();
        PrivilegeHelper::safeMove(folder.source, aside);
        preserved = aside;
        m_context.publish([aside](RestoreEngine &engine) {
            QStringList paths = engine.preservedBackupPaths();
            paths.append(aside);
            engine.setPreservedBackupPaths(paths);
        });
    }
    try {
        PrivilegeHelper::safeMove(staging, folder.source);
    } catch (...) {
        if (preserved && PathUtils::existsNoFollow(*preserved)) {
            try {
                PrivilegeHelper::safeMove(*preserved, folder.source);
                m_context.publish([aside = *preserved](RestoreEngine &engine) {
                    QStringList paths = engine.preservedBackupPaths();
                    paths.removeAll(aside);
                    engine.setPreservedBackupPaths(paths);
                });
            } catch (...) {
            }
        }
        removeQuietly(staging);
        throw;
    }
}

std::optional<QString> RecordRestore::driveCopyPath() const
{
    std::optional<QString> base = m_record.appTargetPath;
    if (!base && !m_record.supportFolders.isEmpty())
        base = m_record.supportFolders.first().target;
    return base;
}

void RecordRestore::identifyDrive()
{
    const std::optional<QString> copy = driveCopyPath();
    if (!copy)
        return;
    const QList<QUrl> folders = RestorePaths::driveLedgerFolders(*copy);
    if (!folders.isEmpty()) {
        // A copy in the volumes folder: that drive's folder must be its mount point, or the
        // drive is gone and only the folder it leaves on the Mac is there.
        m_drivePath = folders.last().toLocalFile();
        m_driveName = PathUtils::lastComponent(m_drivePath);
        m_drive = FileSystemIdentity::of(m_drivePath);
        m_driveStore = FileSystemIdentity::storeOf(m_drivePath);
        m_provesDrive = true;
        if (!m_drive ||
            PathUtils::resolved(m_drive->mountPoint) != PathUtils::resolved(m_drivePath))
            throw DriveProof::disconnectedError(m_driveName, RestoreEngine::errorDomain,
                                                DriveProof::restoreCode);
        return;
    }
    // A copy elsewhere (a folder chosen on a drive mounted outside the volumes folder): the
    // file system that holds it now must hold it to the end.
    m_drive = FileSystemIdentity::of(*copy);
    if (!m_drive)
        return;
    m_drivePath = *copy;
    m_driveName = PathUtils::lastComponent(m_drive->mountPoint);
    m_driveStore = FileSystemIdentity::storeOf(m_drivePath);
    m_provesDrive = true;
}

void RecordRestore::proveDrive() const
{
    if (m_provesDrive)
        DriveProof::require(m_drive, m_drivePath, m_driveName, RestoreEngine::errorDomain,
                            DriveProof::restoreCode);
}

bool RecordRestore::driveStillThere() const
{
    return !m_provesDrive || (m_drive && m_drive->holds(m_drivePath));
}

void RecordRestore::updateLedger()
{
    // The Mac now holds the application; the drive's ledgers are written only while it is
    // still the drive the copies came from.
    const bool driveThere = driveStillThere();
    const std::optional<QString> base = driveCopyPath();
    const QList<QUrl> folders =
        base && driveThere ? RestorePaths::driveLedgerFolders(*base) : QList<QUrl>();
    // A ledger that cannot take the status now is owed it; the restore stands.
    if (const std::optional<QString> owed = m_context.ledger().updateRecordStatus(
            m_record.appOriginalPath, MigrationStatus::restored(), iso8601SecondsNow(),
            driveThere ? m_targetVolumeURL : std::optional<QUrl>(), folders))
        m_notes.append(*owed);
}

void RecordRestore::removeEarlierStagingCopies() const
{
    for (const QString &place : std::as_const(m_keptLocalPaths)) {
        const QString folder = PathUtils::parentPath(place);
        const QString prefix = PathUtils::lastComponent(place) + QStringLiteral(".restoring-");
        const QStringList names = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden |
                                                         QDir::System | QDir::NoDotAndDotDot);
        for (const QString &name : names) {
            if (name.startsWith(prefix) && isUuidText(name.mid(prefix.size())))
                removeQuietly(PathUtils::join(folder, name));
        }
    }
}

void RecordRestore::checkDriveCopiesOnDrive() const
{
    if (handlesBundle() && PathUtils::existsFollowingLinks(*m_record.appTargetPath))
        requireOnDrive(*m_record.appTargetPath);
    for (const SupportFolderRecord &folder : m_record.supportFolders) {
        if (folder.source != folder.target &&
            !RestorePaths::overlaps(folder.source, folder.target) &&
            PathUtils::existsFollowingLinks(folder.target))
            requireOnDrive(folder.target);
    }
}

void RecordRestore::requireOnDrive(const QString &copy) const
{
    if (!m_provesDrive || !m_driveStore)
        return;
    // A copy a link leads onto another drive may be another Mac's only one; one on the Mac's own
    // disk is no copy of this drive.
    const bool application = m_record.appTargetPath == copy;
    const Verdict place = RecordRule::checkOnTargetFileSystem(
        application ? QStringLiteral("drive copy") : QStringLiteral("support folder copy"), copy,
        m_drivePath, *m_driveStore);
    if (!place.ok)
        throw RecordRule::refusal(RestoreEngine::errorDomain, m_record,
                                  place.reason.value_or(QString()));
}

void RecordRestore::noteRead(const QString &path)
{
    m_readPrints.insert_or_assign(path, TreeFingerprint::of(PathUtils::resolved(path)));
}

void RecordRestore::noteForRemoval(const QString &path)
{
    // Where the copy that was read really lies, and which item it is: the removal acts there
    // and on it alone, whatever the record's path leads to by then.
    const QString real = PathUtils::resolved(path);
    const auto read = m_readPrints.find(path);
    m_removalList.append({path, real, DriveFolder::identityOf(AT_FDCWD, QFile::encodeName(real)),
                          read == m_readPrints.end() ? TreeFingerprint() : read->second});
}

// Each copy is renamed to its staged-copy name before anything of it is deleted: a removal cut
// short at any moment (power loss, a killed program) leaves only items that the leftover scan
// lists and its cleanup removes, never a partly deleted copy under the name of a real one.
// Both steps act relative to the folder holding the copy, entered from the drive's root one
// level at a time without following a link: a folder swapped for a link since leaves the copy
// where it is, and the outcome says so.
void RecordRestore::removeDriveCopies()
{
    // A backup's drive copies are the backup itself; restoring from it never deletes them.
    if (!m_record.movedApp)
        return;
    if (!driveStillThere())
        throw error(406, QStringLiteral("'") + m_record.appName +
                             QStringLiteral("' was restored and verified on your Mac (ledger "
                                            "updated), but its copies were not removed from the "
                                            "drive \"") +
                             m_driveName + QStringLiteral("\": it is no longer connected."));
    QStringList failures;
    std::vector<MarkedCopy> marked;
    for (const JudgedCopy &copy : std::as_const(m_removalList)) {
        const auto kept = std::find_if(m_keptLocalPaths.cbegin(), m_keptLocalPaths.cend(),
                                       [&](const QString &local) {
                                           return RestorePaths::overlaps(copy.path, local) ||
                                                  RestorePaths::overlaps(copy.real, local);
                                       });
        if (kept != m_keptLocalPaths.cend()) {
            failures.append(copy.path +
                            QStringLiteral(": not removed, it overlaps the restored item "
                                           "at '") +
                            *kept + QStringLiteral("'"));
            continue;
        }
        MarkOutcome outcome = markForRemoval(copy);
        if (outcome.marked)
            marked.push_back(std::move(*outcome.marked));
        else if (!outcome.failure.isEmpty())
            failures.append(copy.path + QStringLiteral(": ") + outcome.failure);
        else if (!outcome.kept.isEmpty())
            keepOnDrive(copy.path, outcome.kept, outcome.keptAs);
    }
    QList<TreeUsers> looks;
    for (const MarkedCopy &copy : marked) {
        // Looked at again right before its own removal, however long the ones before took.
        if (const TreeUsers users =
                TreeUsers::of({PathUtils::join(copy.folderPath, copy.markedName)}, {copy.path});
            !users.isEmpty()) {
            const QString name = copy.markedName.chopped(DriveLayout::partialSuffix.size());
            const std::optional<QString> kept =
                renameKept(*copy.folder, copy.folderPath, copy.markedName, name);
            keepOnDrive(copy.path, users.told(),
                        PathUtils::join(copy.folderPath, kept.value_or(copy.markedName)));
            continue;
        } else {
            looks.append(users);
        }
        if (const std::optional<QString> failure = removeMarked(copy))
            failures.append(copy.path + QStringLiteral(": ") + *failure);
    }
    if (const QString unseen = TreeUsers::uninspectedNote(looks); !unseen.isEmpty())
        m_notes.append(unseen);
    if (failures.isEmpty())
        return;
    const QString joined = failures.join(QLatin1Char('\n'));
    AppLogger::shared().log(AppLogLevel::error, category,
                            QStringLiteral("External cleanup failed after restoring '") +
                                m_record.appName + QStringLiteral("': ") + joined);
    throw error(406, QStringLiteral("'") + m_record.appName +
                         QStringLiteral("' was restored and verified on your Mac (ledger "
                                        "updated), but removing leftover external copy "
                                        "failed:\n") +
                         joined);
}

std::optional<QString> RecordRestore::renameKept(const UniqueFd &folder, const QString &folderPath,
                                                 const QString &current, const QString &name) const
{
    const QString kept = DriveLayout::keptCopyName(name);
    const QByteArray from = QFile::encodeName(current), to = QFile::encodeName(kept);
    try {
        if (!PrivilegeHelper::isWritable(folderPath) ||
            ::renameat(folder.get(), from.constData(), folder.get(), to.constData()) != 0) {
            requireJudged(folder, folderPath);
            PrivilegeHelper::renameInJudgedFolder(folderPath, current, kept);
        }
    } catch (const OperationError &failure) {
        AppLogger::shared().log(AppLogLevel::warning, category,
                                QStringLiteral("The drive copy '") +
                                    PathUtils::join(folderPath, current) +
                                    QStringLiteral("' could not be renamed: ") + failure.message());
        return std::nullopt;
    }
    return kept;
}

void RecordRestore::keepOnDrive(const QString &path, const QString &why,
                                const std::optional<QString> &keptAs)
{
    const QString note =
        QStringLiteral("Its copy '") + path + QStringLiteral("' was left on the drive") +
        (keptAs ? QStringLiteral(" as '") + *keptAs + QLatin1Char('\'') : QString()) +
        QStringLiteral(": ") + why + QLatin1Char('.');
    AppLogger::shared().log(AppLogLevel::warning, category,
                            QStringLiteral("Restored '") + m_record.appName +
                                QStringLiteral("'. ") + note);
    m_notes.append(note);
}

UniqueFd RecordRestore::judgedFolder(const QString &folder, QString &why) const
{
    if (!m_drive || !m_driveStore) {
        why = QStringLiteral("its drive could not be identified");
        return UniqueFd();
    }
    const QString root = PathUtils::resolved(m_drive->mountPoint);
    const UniqueFd rootFd(
        ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat info
    {};
    if (!rootFd.valid() || ::fstat(rootFd.get(), &info) != 0 ||
        quint64(info.st_dev) != m_drive->device) {
        why = QStringLiteral("the drive \"") + m_driveName +
              QStringLiteral("\" is no longer the one it was restored from");
        return UniqueFd();
    }
    return DriveFolder::openBelow(root, rootFd.get(), *m_driveStore, folder, &why);
}

RecordRestore::MarkOutcome RecordRestore::markForRemoval(const JudgedCopy &copy) const
{
    MarkOutcome outcome;
    // Only a copy in the drive's own folders of ours is ever removed.
    const Verdict place = RecordRule::checkDrivePlace(copy.real);
    if (!place.ok) {
        outcome.kept = place.reason.value_or(QString());
        return outcome;
    }
    const QString folderPath = PathUtils::parentPath(copy.real);
    UniqueFd folder = judgedFolder(folderPath, outcome.kept);
    if (!folder.valid())
        return outcome;
    const QString name = PathUtils::lastComponent(copy.real);
    const QByteArray native = QFile::encodeName(name);
    const std::optional<DriveFolder::Identity> now = DriveFolder::identityOf(folder.get(), native);
    if (!now)
        return outcome; // gone already: nothing to remove
    if (now != copy.identity) {
        outcome.kept = QStringLiteral("it is no longer the copy the application was restored "
                                      "from");
        return outcome;
    }
    // Written to since it was read (through a link of the Mac, by what ran from it): what the
    // Mac got does not hold that.
    if (const std::optional<QString> change = copy.read.changeAt(folder.get(), native)) {
        // What changed is kept, under a name no record names, so no action replaces it.
        if (const std::optional<QString> kept = renameKept(folder, folderPath, name, name))
            outcome.keptAs = PathUtils::join(folderPath, *kept);
        outcome.kept =
            QStringLiteral("it changed after the restore read it (") + *change + QLatin1Char(')');
        return outcome;
    }
    // Still written to, or mapped writable, by what runs from it or uses it: what it writes next
    // would be lost with it, and it is kept as a changed copy is.
    if (const TreeUsers users = TreeUsers::of({copy.real}, {copy.path}); !users.isEmpty()) {
        if (const std::optional<QString> kept = renameKept(folder, folderPath, name, name))
            outcome.keptAs = PathUtils::join(folderPath, *kept);
        outcome.kept = users.told();
        return outcome;
    }
    const QString markedName =
        DriveLayout::stagedLocation(QUrl::fromLocalFile(copy.real)).fileName();
    const QByteArray markedNative = QFile::encodeName(markedName);
    const bool writable = PrivilegeHelper::isWritable(folderPath);
    try {
        // An item of that name is itself a leftover: an offload or a removal cut short.
        if (DriveFolder::identityOf(folder.get(), markedNative))
            removeInFolder(folder, folderPath, markedName);
        if (!writable || ::renameat(folder.get(), native.constData(), folder.get(),
                                    markedNative.constData()) != 0) {
            if (const int disk = PrivilegeHelper::incurable(folderPath, writable ? errno : 0))
                throw OperationError::fileSystem(
                    disk, QStringLiteral("Could not move '") + copy.real + QStringLiteral("': ") +
                              QString::fromLocal8Bit(std::strerror(disk)));
            requireJudged(folder, folderPath);
            PrivilegeHelper::renameInJudgedFolder(folderPath, name, markedName);
        }
    } catch (const OperationError &failure) {
        outcome.failure = failure.message();
        return outcome;
    }
    outcome.marked = MarkedCopy{copy.path, std::make_shared<UniqueFd>(std::move(folder)),
                                folderPath, markedName};
    return outcome;
}

std::optional<QString> RecordRestore::removeMarked(const MarkedCopy &copy) const
{
    try {
        removeInFolder(*copy.folder, copy.folderPath, copy.markedName);
    } catch (const OperationError &failure) {
        return failure.message();
    }
    return std::nullopt;
}

// The administrator's shell is given the folder's path only while that path still leads, with
// no link on the way, to the folder held open.
void RecordRestore::requireJudged(const UniqueFd &folder, const QString &folderPath) const
{
    QString why;
    const UniqueFd again = judgedFolder(folderPath, why);
    if (!again.valid() ||
        DriveFolder::identityOf(again.get()) != DriveFolder::identityOf(folder.get()))
        throw OperationError(PrivilegeHelper::errorDomain, 1,
                             QStringLiteral("'") + folderPath +
                                 QStringLiteral("' changed since it was looked at") +
                                 (why.isEmpty() ? QString() : QStringLiteral(": ") + why));
}

void RecordRestore::removeInFolder(const UniqueFd &folder, const QString &folderPath,
                                   const QString &name) const
{
    DriveFolder::removeItem(folder.get(), folderPath, name, [&] {
        requireJudged(folder, folderPath);
        return folderPath;
    });
}

void RecordRestore::stageVerifiedCopy(const QString &from, const QString &staging,
                                      std::chrono::nanoseconds settle,
                                      std::chrono::nanoseconds retry, const OperationError &failure)
{
    proveDrive();
    requireOnDrive(from);
    removeQuietly(staging);
    noteRead(from);
    CopyRunner::run(m_context.cancel(), from, staging, copyErrors());
    // The copy tool's writes may still sit in buffers; let them settle before reading back.
    ::sync();
    m_context.pause(settle);
    // What was read must have come from the drive: a link put in the way meanwhile is refused
    // as it would have been before.
    const auto fromTheDrive = [&] {
        try {
            requireOnDrive(from);
        } catch (...) {
            removeQuietly(staging);
            throw;
        }
        return true;
    };
    if (m_context.verifyCopiedItem(from, staging) && fromTheDrive())
        return;
    m_context.pause(retry);
    if (m_context.verifyCopiedItem(from, staging) && fromTheDrive())
        return;
    removeQuietly(staging);
    throw failure;
}

void RecordRestore::watchMacFolders()
{
    // A backup's drive copies stay, so nothing waits on the Mac's flush.
    if (!m_record.movedApp)
        return;
    QStringList places;
    if (handlesBundle())
        places.append(m_record.appOriginalPath);
    for (const SupportFolderRecord &folder : m_record.supportFolders)
        places.append(folder.source);
    for (const QString &place : std::as_const(places)) {
        const QString folder = PathUtils::parentPath(place);
        // A folder made by the restore itself is flushed from its first write at the end.
        if (!m_macWatches.contains(folder) && PathUtils::existsFollowingLinks(folder))
            m_macWatches.emplace(folder, System::current().storage().watch(folder));
    }
}

void RecordRestore::makeRestoredItemsDurable()
{
    if (!m_record.movedApp)
        return;
    for (const QString &local : std::as_const(m_keptLocalPaths)) {
        const QString folder = PathUtils::parentPath(local);
        const auto watch = m_macWatches.find(folder);
        // Everything in a restored item was copied; one found identical in place was only read,
        // and what its own application changes in it meanwhile is no fault of the disk.
        StorageWrites written;
        (m_foundInPlace.contains(local) ? written.kept : written.copies).append(local);
        QStringList notices;
        int err = 0;
        if (watch != m_macWatches.end()) {
            err = watch->second->flush(written);
            notices = watch->second->takeNotices();
        } else {
            err = System::current().storage().flushFolder(folder, written, notices);
        }
        for (const QString &notice : std::as_const(notices))
            AppLogger::shared().log(AppLogLevel::warning, category, notice);
        if (err == 0)
            continue;
        AppLogger::shared().log(AppLogLevel::error, category,
                                QStringLiteral("Flushing the Mac's disk at '") + local +
                                    QStringLiteral("' failed: ") +
                                    QString::fromLocal8Bit(std::strerror(err)));
        throw error(411, QStringLiteral("'") + m_record.appName +
                             QStringLiteral("' was restored to your Mac, but the disk holding '") +
                             local + QStringLiteral("' reported an error while saving it: ") +
                             QString::fromLocal8Bit(std::strerror(err)) +
                             QStringLiteral(". Its copies on the drive were kept."));
    }
}

void RecordRestore::publishStep(const QString &step)
{
    m_context.publish([step](RestoreEngine &engine) { engine.setCurrentStep(step); });
}
