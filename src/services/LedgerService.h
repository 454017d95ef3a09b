#pragma once

#include "model/MigrationRecord.h"
#include "platform/FileSystemIdentity.h"

#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QUrl>
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
// is kept in ".config/korvanthelix/withdrawn_migrations.json" until the ledger of the drive
// that was given it is proven not to list it: the merge leaves it out meanwhile, so no drive
// brings it back. The drive ledger's own format is unchanged. A damaged withdrawals file is
// told in the activity log; what of it reads goes on counting and into the next one.
//
// Only regular files of at most 32 MiB are read as ledgers; anything else in a ledger's place
// counts as unreadable, and is set aside before its place is rewritten.
//
// File work runs on the caller's thread. Every read-modify-write of the files holds one lock,
// shared by every instance and every program writing the ledgers of this home folder (a file
// lock in its ".config/korvanthelix"), so no change overwrites a record appended elsewhere;
// the lock is never held while another thread is waited for.
namespace LedgerFiles {
struct Withdrawal;
struct WithdrawalsFile;
} // namespace LedgerFiles

class LedgerService final : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QList<MigrationRecord> records READ records NOTIFY recordsChanged)

public:
    // The product uses shared(); tests make their own inside a sandbox. Loads at once, and
    // moves itself to the main thread when made elsewhere.
    explicit LedgerService(QObject *parent = nullptr);
    ~LedgerService() override;

    // The process-wide instance, made on first use.
    [[nodiscard]] static LedgerService &shared();

    // The merged records, the last one read first, without those withdrawn. Readable from any
    // thread; every new list is announced with recordsChanged() on the main thread.
    [[nodiscard]] QList<MigrationRecord> records() const;

    // The ledger in the home folder; forming it creates its folder.
    [[nodiscard]] QUrl ledgerFileURL() const;
    [[nodiscard]] static QString driveLedgerFileName()
    {
        return QStringLiteral(".korvanthelix_ledger.json");
    }

    // Reads and merges every ledger file and publishes the result: records() returns it as
    // soon as this returns, on any thread; the signal follows on the main thread. Never
    // waits for the main thread, so owners may wait for their workers. Never fails.
    void loadRecords();

    // Appends `record` to the home ledger (a failure is thrown; then nothing else happens)
    // and to the drive ledger directly inside `targetVolumeURL` (failures ignored), then
    // reloads. A ledger that exists but cannot be read is set aside, not overwritten.
    void recordMigration(const MigrationRecord &record,
                         const std::optional<QUrl> &targetVolumeURL = std::nullopt);

    // Takes back a record that recordMigration() wrote for a move undone afterwards. The
    // withdrawal is remembered first, then the record is removed from both home ledgers and
    // from the drive ledger directly inside `targetVolumeURL`, and the list reloaded. `drive` is
    // the file system that ledger was written on. True when the drive ledger, read whole from
    // that file system, does not list the record (or is missing while the file system is still
    // mounted where it was); the withdrawal is then forgotten. Otherwise it stays remembered,
    // the record stays out of `records`, and settleWithdrawals() finishes it on the drive. A
    // failed write on the Mac, or a failure to remember while the drive may list it, is thrown
    // after the reload.
    [[nodiscard]] bool withdrawMigration(const MigrationRecord &record, const QUrl &targetVolumeURL,
                                         const std::optional<FileSystemIdentity> &drive);

    // Writes each remembered withdrawal into every drive ledger that still lists it (the
    // drive it was given to, connected again), and forgets those proven done: the ledger read
    // again whole from its disk on the same file system. A drive that cannot store it, or goes
    // away meanwhile, keeps it owed. Blocks on the drives: never on the GUI thread.
    void settleWithdrawals();

    // Marks every "active" record of `appOriginalPath` with `status` and `restoredAt` (absent
    // removes a stored time) in both home ledgers and in the drive ledger of each folder
    // (`additionalLedgerDirectories`, then `targetVolumeURL`; each folder once). Other
    // statuses and withdrawn records are left alone; a file without a change is not written; an
    // unreadable file is skipped. The first failed write is thrown and ends the call without
    // reloading.
    void updateRecordStatus(const QString &appOriginalPath, const QString &status,
                            const std::optional<QString> &restoredAt,
                            const std::optional<QUrl> &targetVolumeURL = std::nullopt,
                            const QList<QUrl> &additionalLedgerDirectories = {});

    // These three rewrite both home ledgers with what is kept of the merged records (drive
    // ledgers are never changed, so their records come back at the reload), ignore failed
    // writes and reload. A home ledger that cannot be read is set aside first.
    void purgeTestRecords();
    // Drops every record whose id() equals `id`.
    void deleteRecord(const QString &id);
    void clearAllHistory();

    // False for records left by tests and samples: a name containing "sampleapp" or
    // "testapp", or a path in a temporary folder (case-insensitive).
    [[nodiscard]] static bool isRealRecord(const MigrationRecord &record);

signals:
    void recordsChanged();

private:
    [[nodiscard]] QString localLedgerPath() const;
    [[nodiscard]] QString configFolder() const;
    [[nodiscard]] QString rebuildLedgerPath() const;
    [[nodiscard]] QString withdrawalsPath() const;
    // Each entry of the volumes root, in listing order.
    [[nodiscard]] static QStringList mountedDriveFolders();
    // Callers hold m_fileMutex.
    [[nodiscard]] QList<MigrationRecord> readAllLedgers() const;
    // Reading tells the log once of each damage found.
    [[nodiscard]] LedgerFiles::WithdrawalsFile readWithdrawals() const;
    void reportDamage(const QString &path, const QString &problem) const;
    // Replaces the file as `read` with `entries`, a damaged one set aside first.
    void saveWithdrawals(const LedgerFiles::WithdrawalsFile &read,
                         const QList<LedgerFiles::Withdrawal> &entries) const;
    [[nodiscard]] QSet<QString> withdrawnKeys() const;
    // Callers hold the writer lock too.
    void rememberWithdrawal(const MigrationRecord &record, const QString &ledgerFolder) const;
    void forgetWithdrawal(const QString &key) const;
    // The published records merged with the files' present content, in published order.
    [[nodiscard]] QList<MigrationRecord> currentRecords() const;
    void updateActiveRecordsInFile(const QString &path, const QString &appOriginalPath,
                                   const QString &status, const std::optional<QString> &restoredAt,
                                   const QSet<QString> &withdrawn) const;
    void replaceHomeLedgers(const QList<MigrationRecord> &records) const;
    // Called without m_fileMutex; `generation` orders loads from different threads.
    void publish(const QList<MigrationRecord> &records, quint64 generation);

    std::mutex m_fileMutex;
    quint64 m_readGeneration = 0;      // under m_fileMutex
    quint64 m_publishedGeneration = 0; // guarded by m_recordsMutex
    mutable std::mutex m_recordsMutex;
    QList<MigrationRecord> m_records;
    mutable std::mutex m_reportMutex;
    mutable QSet<QString> m_reportedDamage; // guarded by m_reportMutex
};
