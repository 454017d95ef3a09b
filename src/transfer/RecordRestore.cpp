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
#include "transfer/DriveLayout.h"
#include "transfer/DriveProof.h"
#include "transfer/RestoreContext.h"
#include "transfer/RestoreEngine.h"
#include "transfer/RestorePaths.h"

#include <QDir>
#include <QFile>
#include <algorithm>
#include <cstring>
#include <filesystem>
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

// The file manager's plain removal, with the program's own rights.
bool removePlainly(const QString &path)
{
    if (!PrivilegeHelper::isWritable(PathUtils::parentPath(path)))
        return false;
    std::error_code error;
    std::filesystem::remove_all(std::filesystem::path(QFile::encodeName(path).toStdString()),
                                error);
    return !error;
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

void RecordRestore::restoreBundle()
{
    const QString &local = m_record.appOriginalPath;
    const QString &drive = *m_record.appTargetPath;
    if (!PathUtils::existsFollowingLinks(drive))
        return;
    if (localApplication() == LocalItem::application) {
        // A real application is never replaced: identical, it stays and is not copied again.
        if (!m_context.verifyCopiedItem(drive, local))
            throw differingApplicationError();
        m_removalList.append(drive);
        m_keptLocalPaths.append(local);
        m_bundleOnMac = true;
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
    m_removalList.append(drive);
    m_bundleOnMac = true;
}

bool RecordRestore::swapBundle(const QString &staging)
{
    const QString &local = m_record.appOriginalPath;
    const QString &drive = *m_record.appTargetPath;
    // The staged copy may have been read from a drive pulled out halfway.
    try {
        proveDrive();
    } catch (...) {
        removeQuietly(staging);
        throw;
    }
    // Looked at again: an application installed during the copy is never replaced either.
    switch (localApplication()) {
    case LocalItem::application:
        removeQuietly(staging);
        if (!m_context.verifyCopiedItem(drive, local))
            throw differingApplicationError();
        m_removalList.append(drive);
        m_keptLocalPaths.append(local);
        m_bundleOnMac = true;
        return false;
    case LocalItem::standIn:
        removeInTheWay(local);
        break;
    case LocalItem::absent:
        break;
    }
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
        } catch (const OperationError &) {
            // With the drive still there the record stays as it was and a retry starts over;
            // without it, the ledger must not go on saying the application is on the drive.
            if (!m_bundleOnMac || driveStillThere())
                throw;
            QList<SupportFolderRecord> pending;
            for (qsizetype j = i; j < folders.size(); ++j) {
                if (folders.at(j).source != folders.at(j).target)
                    pending.append(folders.at(j));
            }
            makeRestoredItemsDurable();
            throw recordApplicationOnly(pending);
        }
    }
}

OperationError RecordRestore::recordApplicationOnly(const QList<SupportFolderRecord> &pending)
{
    QStringList names;
    for (const SupportFolderRecord &folder : pending)
        names.append(QLatin1Char('\'') + folder.displayName + QLatin1Char('\''));
    bool recorded = true;
    try {
        const QString now = iso8601SecondsNow();
        LedgerService &ledger = m_context.ledger();
        // Only the Mac's ledgers: the drive's are out of reach.
        ledger.updateRecordStatus(m_record.appOriginalPath, MigrationStatus::restored(), now);
        // The folders still on the drive keep a record in force (no drive copy of the
        // application in it), so the next scan and a retry find them. Records merge by place
        // and time: it must not share the second of the record it follows.
        const QDateTime then = QDateTime::fromString(m_record.timestamp, Qt::ISODate);
        const QString stamp =
            then.isValid() && now <= m_record.timestamp ? iso8601Seconds(then.addSecs(1)) : now;
        ledger.recordMigration(MigrationRecord(
            stamp, m_record.appName, m_record.bundleId, m_record.version, m_record.appOriginalPath,
            std::nullopt, true, MigrationStatus::active(), pending));
    } catch (const OperationError &failure) {
        recorded = false;
        AppLogger::shared().log(AppLogLevel::error, category,
                                QStringLiteral("Could not record the partial restore of '") +
                                    m_record.appName + QStringLiteral("': ") + failure.message());
    }
    return error(DriveProof::restoreCode,
                 QStringLiteral("The drive \"") + m_driveName +
                     QStringLiteral("\" is no longer connected. '") + m_record.appName +
                     QStringLiteral("' was restored to your Mac") +
                     (recorded ? QStringLiteral(" (ledger updated)") : QString()) +
                     QStringLiteral(", but not its support data: ") +
                     names.join(QStringLiteral(", ")) +
                     QStringLiteral(" stayed on the drive. Connect the drive, choose it again and "
                                    "retry to bring ") +
                     (pending.size() > 1 ? QStringLiteral("them") : QStringLiteral("it")) +
                     QStringLiteral(" back."));
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
    if (realLocal && m_context.verifyCopiedItem(folder.target, folder.source)) {
        m_removalList.append(folder.target);
        m_keptLocalPaths.append(folder.source);
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
    m_removalList.append(folder.target);
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
    m_context.ledger().updateRecordStatus(
        m_record.appOriginalPath, MigrationStatus::restored(), iso8601SecondsNow(),
        driveThere ? m_targetVolumeURL : std::optional<QUrl>(), folders);
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

QString RecordRestore::markForRemoval(const QString &path)
{
    const QString marked = DriveLayout::stagedLocation(QUrl::fromLocalFile(path)).toLocalFile();
    // An item of that name is itself a leftover: an offload or a removal cut short.
    if (PathUtils::existsNoFollow(marked) && !removePlainly(marked))
        PrivilegeHelper::safeRemove(marked);
    PrivilegeHelper::safeMove(path, marked);
    return marked;
}

// Each copy is renamed to its staged-copy name before anything of it is deleted: a removal cut
// short at any moment (power loss, a killed program) leaves only items that the leftover scan
// lists and its cleanup removes, never a partly deleted copy under the name of a real one.
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
    QStringList marked;
    for (const QString &path : std::as_const(m_removalList)) {
        const auto kept =
            std::find_if(m_keptLocalPaths.cbegin(), m_keptLocalPaths.cend(),
                         [&](const QString &local) { return RestorePaths::overlaps(path, local); });
        if (kept != m_keptLocalPaths.cend()) {
            failures.append(path +
                            QStringLiteral(": not removed, it overlaps the restored item "
                                           "at '") +
                            *kept + QStringLiteral("'"));
            continue;
        }
        if (!PathUtils::existsFollowingLinks(path))
            continue;
        try {
            marked.append(markForRemoval(path));
        } catch (const OperationError &failure) {
            failures.append(path + QStringLiteral(": ") + failure.message());
        }
    }
    for (const QString &path : std::as_const(marked)) {
        if (removePlainly(path))
            continue;
        try {
            PrivilegeHelper::safeRemove(path);
        } catch (const OperationError &failure) {
            failures.append(path + QStringLiteral(": ") + failure.message());
        }
    }
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

void RecordRestore::stageVerifiedCopy(const QString &from, const QString &staging,
                                      std::chrono::nanoseconds settle,
                                      std::chrono::nanoseconds retry, const OperationError &failure)
{
    proveDrive();
    removeQuietly(staging);
    CopyRunner::run(m_context.cancel(), from, staging, copyErrors());
    // The copy tool's writes may still sit in buffers; let them settle before reading back.
    ::sync();
    m_context.pause(settle);
    if (m_context.verifyCopiedItem(from, staging))
        return;
    m_context.pause(retry);
    if (m_context.verifyCopiedItem(from, staging))
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
        // Everything in a restored item was copied, or found identical in place.
        const StorageWrites written{{local}, {}};
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
