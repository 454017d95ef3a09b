#pragma once

#include "base/OperationError.h"
#include "base/TreeFingerprint.h"
#include "model/MigrationRecord.h"
#include "transfer/CancelState.h"
#include "transfer/IntegrityVerifier.h"

#include <QFuture>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

struct AppItem;
struct SupportFolder;
struct SupportFolderRecord;
struct TargetVolume;
class LedgerService;
class LocalRollback;
class TreeUsers;
class OffloadFileOps;

// What the offload progress sheet shows of the running operation.
struct OffloadProgress
{
    QString currentItem;
    QString currentStep;
    double percent = 0.0; // a fraction, 0.0 to 1.0
    bool isComplete = false;
    std::optional<QString> error;
    QString notice = {}; // what a run that succeeded could not do, told with its success

    friend bool operator==(const OffloadProgress &, const OffloadProgress &) = default;
};

// Runs the transfers towards the drive, one operation at a time, and lets the user cancel
// the running one. Lives on the main thread: the published state below changes only there,
// and every assignment emits its signal. The staged-copy steps run on the calling
// background thread and never on the main thread.
//
// Every operation opens with resetCancellationState(). A cancel request stays in force
// (isCancelling true, no further copy of the operation starts) until the next reset.
// Errors are OperationError with the domain "OffloadEngine" (101 to 104 verification, 201 to
// 206 refusals, 207 the target drive is gone, 208 a target whose copies could never be
// restored or would leave its file system, 209 an item changed after it was copied, 210 a process
// may still change it, 301 copy, 302 stand-in, 303 the drive could not store what was written,
// 3072 cancelled) or passed through from the file operations, the proxy builder and the ledger.
//
// What goes is what was copied: each source, and what its copy will replace on the drive, is
// noted (TreeFingerprint) before the copy starts. An original of the Mac moved aside must be that
// same tree right after the move and again right before it is deleted, and the drive's earlier
// copy right after a commit moved it aside; else it goes back, the run is undone and 209 names
// what changed. Nor may any process hold a file of it open for writing or mapped writable right
// before it is moved aside and right before it is deleted, one tree at a time, each looked at last
// just before its own removal: else 210 names who, and the run is undone as for 209. A run undone
// so leaves no copy of its own on the drive that no record names, and what its commits replaced
// back in place. An application found running (202), a
// helper of it that runs from its support folders too, is never moved. An original that cannot be
// deleted once its copy is recorded is told with the success, renamed so that the leftover cleanup
// lists and removes it.
//
// A copy counts only once the drive holds it: each copy is flushed to the drive and the flush's
// result checked (303, staged copy removed) before it is read back from the drive and verified,
// and the drive is flushed again after the commits and after the ledger writes, before anything
// on the Mac changes or goes. A flush and a read-back reach one file system: every copy is
// confirmed on the target's own, staged (a stray one removed) and committed, before the ledger
// or the Mac relies on it (208). When that last flush fails, the record just written is withdrawn
// again, remembered so before the Mac is put back: no ledger goes on saying an application is on
// the drive once it is back on the Mac, whenever the program ends.
class OffloadEngine final : public QObject
{
    Q_OBJECT
    Q_PROPERTY(OffloadProgress progress READ progress WRITE setProgress NOTIFY progressChanged)
    Q_PROPERTY(bool isOffloading READ isOffloading WRITE setIsOffloading NOTIFY isOffloadingChanged)
    Q_PROPERTY(bool isCancelling READ isCancelling WRITE setIsCancelling NOTIFY isCancellingChanged)

public:
    // The free-space margin the preflight adds to what is copied ("500 MB" in messages).
    static constexpr qint64 safetyBufferBytes = 524'288'000;
    static inline const QString errorDomain = QStringLiteral("OffloadEngine");

    // Pauses between verification attempts; tests install one that does not wait.
    using Sleeper = std::function<void(std::chrono::nanoseconds)>;

    // Uses the shared ledger service.
    explicit OffloadEngine(QObject *parent = nullptr);
    // Uses `ledger` (not owned; must outlive every operation started here).
    explicit OffloadEngine(LedgerService &ledger, QObject *parent = nullptr);
    // Cancels a running operation and waits until it has ended. Owners await their
    // operations first: a worker writing the ledger waits for the main thread.
    ~OffloadEngine() override;

    [[nodiscard]] const OffloadProgress &progress() const { return m_progress; }
    [[nodiscard]] bool isOffloading() const { return m_isOffloading; }
    [[nodiscard]] bool isCancelling() const { return m_isCancelling; }
    // Main thread only.
    void setProgress(const OffloadProgress &progress);
    void setIsOffloading(bool offloading);
    void setIsCancelling(bool cancelling);

    // Main thread. Sets the cancel flag, terminates the running copy and publishes
    // "Cancelling…" through the event queue; returns at once.
    void cancelCurrentOperation();
    // Any thread. Clears the flag, forgets the running copy, and queues isCancelling = false.
    void resetCancellationState();
    [[nodiscard]] bool isCancelRequested() const;
    // For the verifier: answers the flag at each call; false once the engine is gone.
    [[nodiscard]] IntegrityVerifier::CancelProbe makeCancelProbe() const;
    [[nodiscard]] CancelState &cancelState() { return m_cancel; }

    // Throws the first failed check (codes 201 to 205, 208); judges the two records and where
    // the target's links lead, and onto which file system.
    void validateOffloadPreflight(const AppItem &app, const TargetVolume &target) const;

    // --- Operations: called on the main thread, the work runs on the thread pool ---
    // Each opens with resetCancellationState(), publishes its progress as it goes, ends with
    // isComplete or with progress.error, and throws its OperationError through the future.
    // Nothing refuses an overlapping call: callers await one operation before the next.
    // Before anything is copied, 206 refuses a run when two of its copies would share a place
    // on the drive, one would replace the copy that an "active" or "copied" record gives to
    // another source, or something stands at its place that is not provably this Mac's to
    // replace (see PlaceClaims). What a commit moves aside stays until the run has succeeded, and
    // goes back to its place when the run fails. Before the first write to the drive, before the
    // first change on the Mac and before the ledger is written, 207 refuses a target that is no
    // longer the file system it was listed or chosen on.

    // Copies the selected support folders (never links or aliases) and then the bundle to the
    // drive, each verified and committed. Copy only: records "copied" and leaves the Mac
    // alone. Otherwise puts a proxy (else an alias) in the application's place and a link in
    // each folder's, records "active", and only then deletes the moved-aside originals; a
    // failed link or ledger write puts the Mac back as it was.
    QFuture<void> executeOffload(const AppItem &app, const TargetVolume &target, bool copyOnly);
    // Replaces the drive's backup of the bundle by a verified copy of the local one and
    // records "copied" without support folders; the Mac is only read. 103 when the copy does
    // not verify.
    QFuture<void> updateBackup(const AppItem &app, const TargetVolume &target);
    // Moves a bundle that an updater put over its offloaded place to the drive again, puts a
    // proxy back and records "active" with the support folders of its earlier record; a
    // failed ledger write puts the bundle back. 104 when the copy does not verify.
    QFuture<void> reoffloadAppBundle(const AppItem &app, const TargetVolume &target);

    // Background thread. Moves the application aside, puts a proxy (else a Finder alias) to
    // `driveBundle` in its place and re-registers both places; returns where the application
    // now lies, none when nothing was at its path. When neither stand-in can be made, the
    // application is put back and the alias's error thrown, or 302 says where it still is.
    // Refuses a running application (202) and, putting it back, one that is not the tree the
    // running operation copied (209).
    std::optional<QUrl> replaceLocalAppWithProxy(const AppItem &app, const QUrl &driveBundle);
    // Registers the item at `path` with the application database; never fails.
    static void reregisterWithLaunchServices(const QString &path);

    // --- Staged copy and commit (background thread) ---

    // Copies source to destination with the platform's copy tool, retrying with
    // administrator rights when it fails. Throws 3072 when cancelled (removing what was
    // copied, never prompting), 301 when both copies fail (the partial copy removed; the
    // message keeps the first lines of the tool's output, the log all of it), or the launch
    // error.
    void runDittoCopy(const QString &source, const QString &destination);
    // Verifies the copy, read back from the drive, against its source; logs the reason of a
    // failure.
    [[nodiscard]] bool verifyCopiedItem(const QUrl &source, const QUrl &destination);
    // Flushes, verifies a support folder's staged copy and commits it; 303 when the flush
    // fails, 101 when it does not verify (staged copy removed either way).
    void verifySupportFolderCopy(const SupportFolder &folder, const QUrl &staged,
                                 const QUrl &finalLocation);
    // Flushes (303 as above), verifies a bundle's staged copy (once more after a pause when that
    // fails) and commits it; throws `failure` (staged copy removed) when both attempts fail.
    void verifyBundleCopy(const QUrl &bundle, const QUrl &staged, const QUrl &finalLocation,
                          const OperationError &failure);
    // Moves the staged copy to its final name; an earlier item there is moved aside first and put
    // back when the move fails. Within an operation it is kept aside until the operation ends
    // (deleted on success, put back on failure); otherwise it is deleted at once.
    void commitStagedItem(const QUrl &staged, const QUrl &finalLocation);

    [[nodiscard]] static OperationError cancellationError();
    // 208: "Target '<name>' cannot be used: <reason>." followed by `outcome`.
    [[nodiscard]] static OperationError
    targetRefusal(const QString &targetName, const QString &reason, const QString &outcome = {});
    // 102, the offload's and the backup copy's bundle verification failure.
    [[nodiscard]] static OperationError bundleVerificationError(const QString &appName);
    // 202, as the preflight says it.
    [[nodiscard]] static OperationError runningError(const QString &appName);
    // 209: the item at `path` changed after it was copied (`change` says how); `outcome` follows.
    [[nodiscard]] static OperationError
    changedSinceCopied(const QString &path, const QString &change, const QString &outcome);
    // 210: what `users` do with an item about to be moved or deleted; `outcome` follows.
    [[nodiscard]] static OperationError inUse(const TreeUsers &users, const QString &outcome);
    // 303: the drive reported `err` for what was written to it. Its message ends with
    // nothingChangedOnMac(), which a failure after the Mac was changed says otherwise.
    [[nodiscard]] static OperationError driveFlushError(const QString &driveName, int err);
    [[nodiscard]] static QString nothingChangedOnMac()
    {
        return QStringLiteral(" Nothing on your Mac was changed.");
    }

    void setSleeper(Sleeper sleeper);
    // The seam every change made by the operations goes through; set while none runs.
    void setFileOps(std::shared_ptr<OffloadFileOps> ops);

signals:
    void progressChanged();
    void isOffloadingChanged();
    void isCancellingChanged();

private:
    // A copy this operation committed, and where what stood at its place before was moved aside.
    struct Committed
    {
        QString finalPath;
        std::optional<QString> displaced;
    };
    struct OffloadPlan;
    struct BundleSteps;
    struct DriveWatch;

    void pause(std::chrono::nanoseconds duration) const;
    [[nodiscard]] LedgerService &ledger() const;
    [[nodiscard]] OffloadFileOps &fileOps() const { return *m_fileOps; }
    QFuture<void> startOperation(std::function<void()> steps);

    // The offload and the backup copy, in order.
    void offload(const AppItem &app, const TargetVolume &target, bool copyOnly);
    [[nodiscard]] OffloadPlan planOffload(const AppItem &app, const TargetVolume &target) const;
    // Flushes the drive watched since the operation began (else the file system holding
    // `written`): `copies` and every item noted since the previous flush. Throws 303 when it
    // reports an error.
    void flushDrive(const QString &written, const QStringList &copies = {});
    // Notes an item the operation created, renamed or rewrote on the drive, for the next flush.
    void noteDriveItem(const QString &path);
    // flushDrive of the staged copy, removing it when the flush fails.
    void flushStagedCopy(const QUrl &staged);
    void createTargetFolders(const OffloadPlan &plan, const TargetVolume &target);
    // 207 when the target is no longer the file system it was listed or chosen on.
    void proveTarget(const TargetVolume &target) const;
    // 208 unless each of `copies` lies, links resolved, on the target's own file system and, once
    // verified, is still what its verification read; 207 as proveTarget.
    void proveCopies(const TargetVolume &target, const QStringList &copies) const;
    // Notes `source` and what stands at `finalLocation`, copies the source to its staged place,
    // cleared first, and proves the copy on the drive; one that landed elsewhere through a link
    // is removed.
    void stageCopy(const QString &source, const QUrl &finalLocation, const TargetVolume &target);
    // 202 while the application, an application inside its bundle, or a program from the bundle
    // or its support folders runs; 210 while a process may still change the bundle.
    void requireNotRunning(const AppItem &app) const;
    // Before the support folders at `paths` of `app` move aside, in one look: 202 for a program
    // that runs from one of them, 210 while a process may still change one.
    void requireUnused(const AppItem &app, const QStringList &paths) const;
    // How what went from `original` to `aside` differs from the tree noted before it was copied;
    // nothing when it is that tree.
    [[nodiscard]] std::optional<QString> changeSinceCopied(const QString &original,
                                                           const QString &aside) const;
    // 209 when it differs.
    void requireAsCopied(const QString &original, const QString &aside) const;
    // What keeps `original`, moved to `aside`, from being deleted now: it changed since it was
    // copied (209), or a process may still change it (210).
    struct Refusal;
    [[nodiscard]] std::optional<Refusal> lastLook(const QString &original,
                                                  const QString &aside) const;
    // The first refusal of any moved-aside original, thrown.
    // Returns what the success tells of processes that could not be looked into.
    [[nodiscard]] QString requireOriginalsDeletable(const LocalRollback &rollback) const;
    // After requireOriginalsDeletable(): deletes the moved-aside originals one at a time, the
    // support folders before the bundle, each after the first looked at again right before its own
    // removal. A refusal then, and a deletion that fails, are told with the success.
    void discardOriginals(const LocalRollback &rollback);
    // Records the move made so far (`linked` finishes it and gives the record), makes it durable
    // and deletes the originals; undoes the move when anything before the first deletion fails.
    void recordMove(const QString &appName, const TargetVolume &target, LocalRollback &rollback,
                    const std::function<MigrationRecord()> &linked);
    // After a failure that left no record of this run in force and no stand-in on the Mac leading
    // to its copies: each copy this run committed over an earlier item gives its place back to that
    // item, as it was; after a 209 or 210, the other copies it committed that no record in force
    // names are removed too, so that none reads as a backup. A copy goes by its staged name first,
    // which the next copy there clears should the removal fail.
    void undoCommits(const OperationError &failure);
    // Once the operation has succeeded: deletes what its commits moved aside.
    void discardDisplaced();
    // After an offload over the place of this source's own backup: that backup's record goes, so
    // one record stays in force for the place. What could not be done yet is told.
    void withdrawSupersededBackups(const TargetVolume &target);
    void copySupportFolders(const OffloadPlan &plan, const TargetVolume &target);
    void copyAppBundle(const AppItem &app, const OffloadPlan &plan, const TargetVolume &target);
    void recordBackupCopy(const AppItem &app, const TargetVolume &target, const OffloadPlan &plan);
    void moveToDrive(const AppItem &app, const TargetVolume &target, const OffloadPlan &plan);
    QList<SupportFolderRecord> linkSupportFolders(const AppItem &app, const OffloadPlan &plan,
                                                  LocalRollback &rollback);
    // The proxy replacement's way out when no proxy can be made.
    void fallBackToAlias(const QString &appPath, const QString &driveBundle,
                         const std::optional<QString> &aside);
    void putApplicationBack(const QString &appPath, const QString &aside);

    // The backup update and the re-offload.
    void updateBackupSteps(const AppItem &app, const TargetVolume &target);
    void reoffloadSteps(const AppItem &app, const TargetVolume &target);
    // Copies the bundle through its staged place to its final place on the drive, verified and
    // committed; returns the final place.
    QString transferBundle(const AppItem &app, const TargetVolume &target,
                           const BundleSteps &steps);
    [[nodiscard]] QList<SupportFolderRecord>
    carriedOverSupportFolders(const QString &appPath) const;
    // A drive ledger that does not take the record is told with the run's success.
    void recordMigration(const MigrationRecord &record, const TargetVolume &target);
    // After a move that was recorded: undoes it with `rollback`, its record remembered as
    // withdrawn first, and withdraws the record from every ledger it reaches when the Mac has
    // all its originals back, or keeps it in force otherwise. Returns what a message adds about
    // the Mac and the record, from a blank on.
    [[nodiscard]] QString undoRecordedMove(const QString &appName, const MigrationRecord &record,
                                           const TargetVolume &target, LocalRollback &rollback);
    // Before anything was recorded: undoes the move and rethrows the failure being handled,
    // saying what stayed aside where the undo could not put it back.
    [[noreturn]] void undoUnrecordedMove(const QString &appName, LocalRollback &rollback);

    // Published on the main thread, in the order of the calls.
    void beginOffloadProgress(const QString &item, const QString &step, double fraction);
    void publishProgress(const QString &step, double fraction);
    void publishStep(const QString &step);
    void publishCompletion(const QString &step);
    void publishFailure(const QString &message);

    OffloadProgress m_progress;
    bool m_isOffloading = false;
    bool m_isCancelling = false;
    CancelState m_cancel;
    Sleeper m_sleeper;
    std::shared_ptr<OffloadFileOps> m_fileOps;
    // The running operation's drive ledger failure, told with its success; worker thread only.
    QString m_ledgerNotice;
    // What the running operation's deletion of the originals could not do, told with its success;
    // worker thread only.
    QString m_discardNotice;
    // The running operation's commits, oldest first; whether an undo of it left a stand-in on the
    // Mac that leads to them, and whether a record it wrote is in force. Worker thread only.
    QList<Committed> m_committed;
    bool m_standInLeft = false;
    bool m_recordInForce = false;
    // This home's records of the backup an offload takes the place of; worker thread only.
    QList<MigrationRecord> m_supersededBackups;
    // The copies verified by the running operation, by their path, as the verification read
    // them; a commit carries its copy's to the final path. Worker thread only.
    QHash<QString, IntegrityVerifier::TreePrint> m_verifiedPrints;
    // The running operation's sources, and what stood at their final places on the drive, as
    // they were before their copies started, by path. Worker thread only.
    QHash<QString, TreeFingerprint> m_sourcePrints;
    QHash<QString, TreeFingerprint> m_occupantPrints;
    // The running operation's drive, opened before its first write; worker thread only.
    DriveWatch *m_driveWatch = nullptr;
    LedgerService *m_ledger = nullptr; // null: the shared one
    QList<QFuture<void>> m_operations; // main thread only
};
