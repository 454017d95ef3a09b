#pragma once

#include "model/MigrationRecord.h"

#include <QList>
#include <QObject>
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
// File work runs on the caller's thread. Every read-modify-write of the files holds one
// lock, so a change made on one thread never overwrites a record appended on another; the
// lock is never held while another thread is waited for.
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

    // The merged records, the last one read first. Readable from any thread; every new list
    // is announced with recordsChanged() on the main thread.
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

    // Takes back a record that recordMigration() wrote for a move undone afterwards: removes
    // every record equal to `record` from the home ledger and from the drive ledger directly
    // inside `targetVolumeURL`, then reloads. Both files are tried; the first failed write is
    // thrown after the reload.
    void withdrawMigration(const MigrationRecord &record,
                           const std::optional<QUrl> &targetVolumeURL = std::nullopt);

    // Marks every "active" record of `appOriginalPath` with `status` and `restoredAt` (absent
    // removes a stored time) in both home ledgers and in the drive ledger of each folder
    // (`additionalLedgerDirectories`, then `targetVolumeURL`; each folder once). Other
    // statuses are left alone; a file without a change is not written; an unreadable file is
    // skipped. The first failed write is thrown and ends the call without reloading.
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
    [[nodiscard]] QString rebuildLedgerPath() const;
    // Callers hold m_fileMutex.
    [[nodiscard]] QList<MigrationRecord> readAllLedgers() const;
    // The published records merged with the files' present content, in published order.
    [[nodiscard]] QList<MigrationRecord> currentRecords() const;
    // Removes the records equal to `record` from one ledger file; a missing or unreadable file
    // is left alone, and one without such a record is not written.
    static void removeRecordFromFile(const QString &path, const MigrationRecord &record);
    void updateActiveRecordsInFile(const QString &path, const QString &appOriginalPath,
                                   const QString &status,
                                   const std::optional<QString> &restoredAt) const;
    void replaceHomeLedgers(const QList<MigrationRecord> &records) const;
    // Called without m_fileMutex; `generation` orders loads from different threads.
    void publish(const QList<MigrationRecord> &records, quint64 generation);

    std::mutex m_fileMutex;
    quint64 m_readGeneration = 0;      // under m_fileMutex
    quint64 m_publishedGeneration = 0; // guarded by m_recordsMutex
    mutable std::mutex m_recordsMutex;
    QList<MigrationRecord> m_records;
};
