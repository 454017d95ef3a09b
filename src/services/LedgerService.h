#pragma once

#include "model/MigrationRecord.h"
#include "platform/FileSystemIdentity.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

// The migration ledger: what was moved or copied where. Records live in JSON files, in the
// home folder (".config/korvanthelix/migration_ledger.json" and
// "rebuild_migration_ledger.json") and at the root of each drive
// (".korvanthelix_ledger.json"); `records` is their merged content, reloaded after every
// change. Lives on the main thread.
//
// Every file is replaced as a whole and only by a new one proven on its disk, so a disk that
// fails or is unplugged mid-write still holds the previous file. A record withdrawn on the Mac
// is kept in ".config/korvanthelix/withdrawn_migrations.json" until every ledger that can list
// it (both home ledgers and the ledger of the drive that was given it) is read back without
// it: the merge leaves it out meanwhile, so no ledger brings it back. The drive ledger's own
// format is unchanged. A damaged withdrawals file is told in the activity log; what of it
// reads goes on counting and into the next one.
//
// A change that must land although a ledger cannot take it now (its lock held elsewhere, its
// drive gone or failing, the program ending while it waits) is owed: a file of its own in
// ".config/korvanthelix/owed", written without any lock the moment the change is known, before
// any lock is waited for, honoured by every load (a withdrawal hides its record, a status
// shows, a record the Mac's own ledger does not hold yet is listed), and done by the next
// settling that reaches the ledger, which reads it back from its disk before the change is
// forgotten. A record goes to a drive as the Mac's ledgers hold it by then (restored since,
// say), never as it was first written. Of two copies of one record the merge shows the one
// whose status moved on from "active", whichever file was read last.
//
// Only regular files are read as ledgers, of up to 256 MiB (a bigger one is told in the log and
// left as it is, never replaced). A damaged one (not a file, or not a list of records) is set
// aside before its place is rewritten, once for the same damage, and told in the log; one that
// cannot be read for now is not rewritten.
//
// The files and their merge, the withdrawals and the owed changes are units of their own
// (LedgerFiles.h, LedgerWithdrawals.h, LedgerOwed.h); this class holds the locks around them
// and publishes what they read.
//
// File work runs on the caller's thread. Every read-modify-write of the home files holds one
// lock, shared by every instance and every program on this home folder (a file lock in its
// ".config/korvanthelix"), and each drive ledger's one more, shared by every program of every
// user writing it (a file lock beside it on the drive), so no change overwrites a record
// appended elsewhere. No lock is waited for longer than the writer wait limit: then the change
// fails with FileLock::busyMessage(). Loading takes none, so it never waits for a writer, and
// no lock is held while another thread is waited for.
namespace LedgerFiles {
class DamageReports;
class OwedStore;
class WithdrawalsStore;
} // namespace LedgerFiles

// What a removal from the history did: how many of its entries are no longer listed, and those
// still listed, the ones a connected drive's own ledger keeps (which no removal changes) with
// the names of those drives, and how many the Mac's own ledgers still hold because one of them
// could not be rewritten.
struct HistoryRemoval
{
    int removed = 0;
    QList<MigrationRecord> keptByDrives;
    QStringList keepingDrives; // in the order the drives were read
    int notRemoved = 0;
};

class LedgerService final : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QList<MigrationRecord> records READ records NOTIFY recordsChanged)

public:
    // The product uses shared(); tests make their own inside a sandbox. Loads at once, and
    // moves itself to the main thread when made elsewhere.
    explicit LedgerService(QObject *parent = nullptr);
    // Waits for every user() still held.
    ~LedgerService() override;

    // The process-wide instance, made on first use. Never destroyed: work abandoned on a drive
    // that stopped answering may still be inside it as the program ends.
    [[nodiscard]] static LedgerService &shared();

    // Held by work that may outlast its owner (see base/AbandonableWork.h): taken where the work
    // is started, let go when it ends; an instance of this class is not destroyed before.
    [[nodiscard]] std::shared_ptr<void> user();

    // The merged records, the last one read first, without those withdrawn. Readable from any
    // thread; every new list is announced with recordsChanged() on the main thread.
    [[nodiscard]] QList<MigrationRecord> records() const;

    // The ledger in the home folder; forming it creates its folder.
    [[nodiscard]] QUrl ledgerFileURL() const;
    [[nodiscard]] static QString driveLedgerFileName()
    {
        return QStringLiteral(".korvanthelix_ledger.json");
    }

    // How long a change waits for another writer before it fails; 15 s unless set.
    void setWriterWaitLimit(std::chrono::milliseconds limit);

    // Reads and merges every ledger file and publishes the result: records() returns it as
    // soon as this returns, on any thread; the signal follows on the main thread. Never
    // waits for the main thread or for a writer, so owners may wait for their workers. Never
    // fails.
    void loadRecords();

    // Appends `record` to the home ledger (a failure is thrown; then nothing else is written,
    // and the record is owed nowhere, withdrawn where a settling may have given it to a ledger
    // meanwhile) and to the drive ledger directly inside `targetVolumeURL`, then reloads. Owed to
    // both from before the first wait: a program that ends meanwhile leaves it to the next
    // settling. Returns why the drive ledger did not take it, to go inside a sentence
    // (FileLock::reasonOf; also told in the log), and owes it to that ledger; nothing when it took
    // it or no drive was given.
    std::optional<QString>
    recordMigration(const MigrationRecord &record,
                    const std::optional<QUrl> &targetVolumeURL = std::nullopt);

    // For a move about to be undone: takes `record` out of `records` at once and remembers it
    // as withdrawn from the drive ledger inside `targetVolumeURL`, so that a program ending
    // before withdrawMigration() leaves it withdrawn. Waits for no lock. forgetWithdrawal()
    // puts it back in force. Failures are thrown.
    void rememberWithdrawal(const MigrationRecord &record, const QUrl &targetVolumeURL);
    void forgetWithdrawal(const MigrationRecord &record);

    // Takes back a record that recordMigration() wrote for a move undone afterwards. The
    // withdrawal is remembered first, before any lock is waited for, then the record is removed
    // from both home ledgers and from the drive ledger directly inside `targetVolumeURL`, and the
    // list reloaded. `drive` is the file system that ledger was written on. True when the drive
    // ledger, read whole from that file system, does not list the record (or is missing while the
    // file system is still mounted where it was). The withdrawal is forgotten once both home
    // ledgers read back without the record too; otherwise it stays remembered, the record stays out
    // of `records`, and settleOwedChanges() finishes it. A failed write on the Mac, or a failure to
    // remember while a ledger may list it, is thrown after the reload.
    [[nodiscard]] bool withdrawMigration(const MigrationRecord &record, const QUrl &targetVolumeURL,
                                         const std::optional<FileSystemIdentity> &drive);

    // Does what is owed: writes each remembered withdrawal into both home ledgers and into
    // every drive ledger that still lists it (the drive it was given to, connected again), each
    // owed status and record into the ledgers that owe it, and forgets those proven done: each
    // such ledger read again whole, a drive's from its disk on the same file system. A drive
    // ledger that is missing or unreadable proves nothing; one that cannot store the change, or
    // a drive that goes away meanwhile, keeps it owed. A withdrawal its own drive's ledger no
    // longer lists is done once the home ledgers are clear of it too. A busy writer elsewhere
    // leaves it all to the next call. Blocks on the drives: never on the GUI thread.
    void settleOwedChanges();

    // Marks every "active" record of `appOriginalPath` with `status` and `restoredAt` (absent
    // removes a stored time) in both home ledgers and in the drive ledger of each folder
    // (`additionalLedgerDirectories`, then `targetVolumeURL`; each folder once). Other
    // statuses and withdrawn records are left alone; a file without a change is not written; an
    // unreadable file is skipped. A record still owed to a ledger is changed where it is owed
    // too, and given to the ledgers that owe it. The change is remembered as owed before any
    // ledger is written, so a lock held elsewhere or a failing drive delays it, never loses
    // it: returns what is still owed and when it is done ("...; the drive 'Backup' will be
    // updated when it is next free"; why is told in the log), nothing when every ledger took
    // it. A failure is thrown only when the change could be neither written nor remembered.
    std::optional<QString>
    updateRecordStatus(const QString &appOriginalPath, const QString &status,
                       const std::optional<QString> &restoredAt,
                       const std::optional<QUrl> &targetVolumeURL = std::nullopt,
                       const QList<QUrl> &additionalLedgerDirectories = {});

    // The names of the drives (entries of the volumes root) whose own ledgers listed `record`
    // at the last load, in the order they were read. Readable from any thread; no file is read.
    [[nodiscard]] QStringList drivesListing(const MigrationRecord &record) const;

    // Takes `entries`, as they were listed when the removal was asked, out of the history:
    // rewrites both home ledgers with what is kept of the records the two of them hold (a
    // drive's records are never copied into them, and drive ledgers are never changed, so a
    // drive's records come back at the reload), and no drive is given them later. A record
    // written since the entries were listed is kept. Ignores failed writes, reloads and says
    // what it did. A damaged home ledger is set aside first; one that cannot be read for now
    // is left as it is. Only a writer elsewhere busy past the wait limit is thrown.
    HistoryRemoval removeFromHistory(const QList<MigrationRecord> &entries);
    // Each removes, as removeFromHistory(), what records() lists as it is called: the test
    // records; every record whose id() equals `id`; every record.
    HistoryRemoval purgeTestRecords();
    HistoryRemoval deleteRecord(const QString &id);
    HistoryRemoval clearAllHistory();

    // The ledgers as they read now, kept apart, for judging whose a copy on a drive is: the
    // records this home's own ledgers list, and those that only the drive ledgers directly inside
    // `driveFolders` list, withdrawn ones left out and owed statuses shown; and the ledgers among
    // them that exist but cannot be read, each as "'<path>' (<why>)". Takes no lock; reads on the
    // caller's thread.
    struct LedgersApart
    {
        QList<MigrationRecord> home;
        QList<MigrationRecord> drives;
        QStringList unreadable;
    };
    [[nodiscard]] LedgersApart readApart(const QStringList &driveFolders) const;

    // False for records left by tests and samples: a name containing "sampleapp" or
    // "testapp", or a path in a temporary folder (case-insensitive).
    [[nodiscard]] static bool isRealRecord(const MigrationRecord &record);

signals:
    void recordsChanged();

private:
    [[nodiscard]] QString localLedgerPath() const;
    [[nodiscard]] QString configFolder() const;
    [[nodiscard]] QString rebuildLedgerPath() const;
    // Both home ledgers, the local one first.
    [[nodiscard]] QStringList homeLedgerPaths() const;
    // Each entry of the volumes root, in listing order.
    [[nodiscard]] static QStringList mountedDriveFolders();
    [[nodiscard]] QString writerLockPath() const;
    [[nodiscard]] std::chrono::milliseconds waitLimit() const;
    // Every ledger's records in read order; reading tells the log once of each damage found.
    // `driveListings` gets, by merge key, the drives whose ledgers list each record.
    [[nodiscard]] QList<MigrationRecord>
    readAllLedgers(QHash<QString, QStringList> &driveListings) const;
    // The remembered withdrawals and the owed changes need no lock to be read; callers writing
    // the withdrawals file, or forgetting an owed change, hold the writer locks, or wrote it
    // themselves.
    [[nodiscard]] LedgerFiles::WithdrawalsStore withdrawals() const;
    [[nodiscard]] LedgerFiles::OwedStore owed() const;
    // Remembered withdrawals, those owed included.
    [[nodiscard]] QSet<QString> withdrawnKeys() const;
    // Both home ledgers rewritten with what `keep` leaves of their records, merged.
    void rewriteHomeLedgers(const std::function<void(QList<MigrationRecord> &)> &keep) const;
    // Gives records an owed status where they still say "active"; with `homeRecords`, adds those
    // still owed to the Mac's own ledger.
    void showOwedChanges(QList<MigrationRecord> &records, const QSet<QString> &withdrawn,
                         bool homeRecords) const;
    // `generation` orders loads from different threads.
    void publish(const QList<MigrationRecord> &records,
                 const QHash<QString, QStringList> &driveListings, quint64 generation);

    std::timed_mutex m_fileMutex; // the writers of this instance
    std::mutex m_usersMutex;
    std::condition_variable m_usersGone;
    int m_users = 0;                        // guarded by m_usersMutex
    std::atomic<qint64> m_waitLimit{15000}; // ms
    std::atomic<quint64> m_loadGeneration{0};
    quint64 m_publishedGeneration = 0; // guarded by m_recordsMutex
    mutable std::mutex m_recordsMutex;
    QList<MigrationRecord> m_records;
    QHash<QString, QStringList> m_driveListings; // guarded by m_recordsMutex
    const std::unique_ptr<LedgerFiles::DamageReports> m_reports;
};
