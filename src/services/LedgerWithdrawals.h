#pragma once

#include "services/LedgerFiles.h"

#include <QJsonObject>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <exception>
#include <optional>

// Records withdrawn on the Mac (a move undone after it was recorded) while a ledger that was
// given them may still list them: the withdrawals file that remembers them, the removal from
// the home ledgers and a drive's, and the settling that forgets one once every ledger that can
// list it is read back without it. Callers that write a ledger or the withdrawals file hold the
// writer locks (see LedgerService.h).
namespace LedgerFiles {

// A record taken back on the Mac while a ledger that was given it may still list it. Only its
// key matters, so an entry whose record names its path and time is whole.
struct Withdrawal
{
    QString key;
    QJsonObject record;      // as it was written
    QString ledgerFolder;    // the folder holding that drive ledger
    bool driveClear = false; // that drive ledger was proven not to list it any more
};

struct WithdrawalsFile
{
    FileRead file;
    QList<Withdrawal> entries; // every entry that reads
    QString problem;           // why it does not read whole; empty when it does or is missing
};

// The file as it reads: one damaged entry spoils only itself.
[[nodiscard]] WithdrawalsFile parseWithdrawals(const QString &path);

// The withdrawals file of one home folder. A damaged one is told once (through `reports`), and
// set aside, by a copy, before it is next written; what of it reads goes on counting.
class WithdrawalsStore
{
public:
    WithdrawalsStore(QString path, DamageReports &reports);

    [[nodiscard]] WithdrawalsFile read() const;
    [[nodiscard]] QSet<QString> keys() const;
    // Replaces the file as `read` with `entries`, a damaged one set aside first.
    void save(const WithdrawalsFile &read, const QList<Withdrawal> &entries) const;
    void saveEntry(const MigrationRecord &record, const QString &ledgerFolder) const;
    void dropEntry(const QString &key) const;
    void noteDriveClear(const QSet<QString> &keys) const;

    // Gives up every remembered withdrawal where a ledger still lists it: both home ledgers
    // (`homeLedgers`), the drive it was given to and every drive in `driveFolders`; forgets
    // each once its drive and both home ledgers are clear of it.
    void settle(const QStringList &homeLedgers, const QStringList &driveFolders,
                FileLock::Clock::time_point deadline) const;

private:
    QString m_path;
    DamageReports &m_reports;
};

// Takes the records of `keys` out of one home ledger. Returns those of them that it may still
// list: none once it was read back without them (or is missing), all when it cannot be read.
// A failed rewrite is kept in `failure` (the first one) and its records count as still listed.
QSet<QString> removeFromHomeLedger(const QString &path, const QSet<QString> &keys,
                                   FileLock::Clock::time_point deadline,
                                   std::exception_ptr &failure);

// The outcome of giving up withdrawn records in one drive ledger.
struct DriveSettlement
{
    QSet<QString> listed; // those it listed at first
    bool clear = false;   // proven to list none of them now
};

// Takes the records of `keys` out of the drive ledger in `folder` and proves it: clear when
// that ledger, read whole from its disk on the file system `drive` while it is mounted there,
// lists none of them. Nothing is written where the drive is gone, which would leave its
// mount-point folder on the Mac's own disk.
DriveSettlement settleDriveLedger(const QString &folder, const QSet<QString> &keys,
                                  const std::optional<FileSystemIdentity> &drive,
                                  FileLock::Clock::time_point deadline);

} // namespace LedgerFiles
