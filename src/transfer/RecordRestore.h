#pragma once

#include "base/OperationError.h"
#include "base/TreeFingerprint.h"
#include "base/UniqueFd.h"
#include "model/MigrationRecord.h"
#include "platform/FileSystemIdentity.h"
#include "platform/Storage.h"
#include "transfer/DriveFolder.h"

#include <QString>
#include <QStringList>
#include <QUrl>
#include <chrono>
#include <map>
#include <memory>
#include <optional>

class RestoreContext;

// One application brought back from the drive, guided by its ledger record: the record's
// checks, the support pre-check, the bundle (staged beside its place as ".restoring-",
// verified, swapped in, registered, verified again), the support folders, the ledger update
// and, last, the removal of the drive copies. Runs on a worker thread and throws the first
// failure; the start and the success and failure bookkeeping around it are the engine's.
//
// Ledger paths are untrusted: a record that breaks the record rule (services/RecordRule.h) is
// refused before anything is read, and no item is replaced or removed where it overlaps
// another that the restore keeps.
//
// A launcher whose application runs from the drive is not replaced (412), and a drive copy is
// removed only while it is still what it was before the restore read it; one changed since stays,
// renamed where it stands (DriveLayout::keptCopyName), so that nothing takes it for the record's
// copy any more and the leftover scan lists it as a recovery copy.
class RecordRestore
{
public:
    RecordRestore(RestoreContext &context, MigrationRecord record,
                  std::optional<QUrl> targetVolumeURL);

    void run();

    // What the success note adds, one sentence each: drive copies the removal left because they
    // were no longer where, or what, the restore had read (naming the copy, where it is now and
    // why), and ledgers still owed the new status. The restore itself succeeded.
    [[nodiscard]] const QStringList &notes() const { return m_notes; }

    // "RestoreEngine" errors shared with the lookup and the engine.
    [[nodiscard]] static OperationError error(int code, const QString &message);
    [[nodiscard]] static OperationError cancellationError();

private:
    enum class LocalItem {
        absent,      // nothing, links followed
        standIn,     // a symbolic link (also a dangling one), a proxy bundle or an alias
        application, // a real application
    };

    [[nodiscard]] bool handlesBundle() const;
    [[nodiscard]] LocalItem localApplication() const;
    [[nodiscard]] OperationError differingApplicationError() const;
    // A real application where the bundle goes stays, and only when it is the drive's copy;
    // the drive's copy then goes with the rest.
    void keepApplicationInPlace();

    void validatePaths() const;
    // Where the record's drive copy lies (the bundle's, else the first support folder's).
    [[nodiscard]] std::optional<QString> driveCopyPath() const;
    // Identifies the drive holding the copies; 410 when its folder in the volumes folder is no
    // longer a mounted drive.
    void identifyDrive();
    // 410 when the drive identified at the start is no longer mounted where it was.
    void proveDrive() const;
    [[nodiscard]] bool driveStillThere() const;
    void checkRecord();
    void precheckSupportFolders() const;
    void restoreBundle();
    // False when an identical application was found in place at the swap.
    bool swapBundle(const QString &staging);
    void restoreSupportFolders();
    void restoreSupportFolder(const SupportFolderRecord &folder);
    // The application came back and `pending` did not, the drive gone (`failure` null) or a
    // folder failing: records that (the application restored, `pending` still on the drive in
    // a record of its own, in the drive's ledgers too while it is there) and returns the error
    // that says so, the application back included.
    [[nodiscard]] OperationError recordApplicationOnly(const QList<SupportFolderRecord> &pending,
                                                       const OperationError *failure);
    void swapSupportFolder(const SupportFolderRecord &folder, const QString &staging,
                           bool localIsLink, bool preserveLocal);
    void updateLedger();
    // Watches the Mac's folders that will receive restored items, before anything is copied,
    // so that the flush at the end reports every write-back error of the restore.
    void watchMacFolders();
    // Flushes the Mac's disks holding the restored items before the ledger says they are back
    // and before their drive copies go; 411 when one reports an error.
    void makeRestoredItemsDurable();
    // Removes ".restoring-" copies that earlier, interrupted runs left beside the restored
    // places.
    void removeEarlierStagingCopies() const;

    // A drive copy the restore read: the record's path, where it really lay, which item it was
    // then and what it was before it was read.
    struct JudgedCopy
    {
        QString path;
        QString real;
        std::optional<DriveFolder::Identity> identity;
        TreeFingerprint read;
    };
    // A drive copy renamed to its staged-copy name in the folder held open.
    struct MarkedCopy
    {
        QString path;
        std::shared_ptr<UniqueFd> folder;
        QString folderPath;
        QString markedName;
    };
    struct MarkOutcome
    {
        std::optional<MarkedCopy> marked;
        QString kept;                  // why it was left on the drive
        std::optional<QString> keptAs; // where, renamed as kept, if it was
        QString failure;               // why renaming it failed
    };
    // 407 when the drive copy at `copy` lies, links resolved, off the drive's file system.
    void requireOnDrive(const QString &copy) const;
    void checkDriveCopiesOnDrive() const;
    // Notes the drive copy at `path` as it is before it is read.
    void noteRead(const QString &path);
    // Appends the drive copy at `path`, just read, to the removal list.
    void noteForRemoval(const QString &path);
    // The deletion stage: each drive copy is renamed to its staged-copy name, then deleted, unless
    // it changed since it was read or a process may still change it (looked at before the
    // renaming and again right before its removal): then it stays on the drive, told.
    void removeDriveCopies();
    [[nodiscard]] MarkOutcome markForRemoval(const JudgedCopy &copy) const;
    // Nothing, or why it stayed.
    [[nodiscard]] std::optional<QString> removeMarked(const MarkedCopy &copy) const;
    void keepOnDrive(const QString &path, const QString &why,
                     const std::optional<QString> &keptAs = std::nullopt);
    // Renames the item `current` of the held folder, the copy `name` (marked for removal, or not
    // yet), to the kept name of `name`; the new name, or nothing.
    [[nodiscard]] std::optional<QString> renameKept(const UniqueFd &folder,
                                                    const QString &folderPath,
                                                    const QString &current,
                                                    const QString &name) const;
    // The folder `folder` of the proven drive, entered from its root one level at a time
    // without following a link, on its file system; invalid with `why` otherwise.
    [[nodiscard]] UniqueFd judgedFolder(const QString &folder, QString &why) const;
    void requireJudged(const UniqueFd &folder, const QString &folderPath) const;
    // Removes `name` of the held folder, as administrator too where the program may not.
    void removeInFolder(const UniqueFd &folder, const QString &folderPath,
                        const QString &name) const;

    // Copies `from` to a fresh `staging` and verifies it, once more after a pause; throws
    // `failure` (the staging copy removed) when both verifications fail.
    void stageVerifiedCopy(const QString &from, const QString &staging,
                           std::chrono::nanoseconds settle, std::chrono::nanoseconds retry,
                           const OperationError &failure);
    void publishStep(const QString &step);

    RestoreContext &m_context;
    const MigrationRecord m_record;
    const std::optional<QUrl> m_targetVolumeURL;
    // Drive copies deleted at the very end, the bundle's first.
    QList<JudgedCopy> m_removalList;
    // The drive copies read, by the record's path, as they were before.
    std::map<QString, TreeFingerprint> m_readPrints;
    // Local places that now hold restored or kept items; never deleted by the removal.
    QStringList m_keptLocalPaths;
    // Those of them found identical in place: read, not written.
    QStringList m_foundInPlace;
    QStringList m_notes;
    // Folder -> its file system's watch, taken by watchMacFolders().
    std::map<QString, std::unique_ptr<Storage::Watch>> m_macWatches;
    // The application is on the Mac: restored and verified, or found identical in place.
    bool m_bundleOnMac = false;
    // The drive the copies come from, as found when the restore began.
    bool m_provesDrive = false;
    std::optional<FileSystemIdentity> m_drive;
    // What the drive's flush reaches (FileSystemIdentity::storeOf).
    std::optional<quint64> m_driveStore;
    QString m_drivePath;
    QString m_driveName;
};
