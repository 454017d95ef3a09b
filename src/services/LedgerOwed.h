#pragma once

#include "services/LedgerFiles.h"

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <optional>

// Changes that ledgers still owe (see LedgerService.h): each in a file of its own in the owed
// folder, written and read without any lock, and the doing of one where it is owed, proven by
// the ledger read back (a drive's from its disk) before it is forgotten.
namespace LedgerFiles {

class WithdrawalsStore;

enum class OwedKind { withdrawal, status, append };

// A change that ledgers still owe, in a file of its own. A record is owed from before its first
// write: to the Mac's own ledger too until that holds it (`home`), and to the drive ledgers of
// `folders`, which are given it as the Mac's ledgers hold it by then (a status changed since
// included), never as it was first written.
struct OwedChange
{
    OwedKind kind = OwedKind::status;
    MigrationRecord record; // as withdrawn, as it is to stand, or as it was appended
    QStringList folders;    // the folders whose drive ledgers still owe it
    QString path;           // its file, once read
    bool home = false;      // an appended record the Mac's own ledger does not hold yet
};

// Why a drive ledger still owes a change, and what the change waits for.
struct Owing
{
    enum class Until {
        free,      // another writer holds its lock
        connected, // its drive is not there
        writable,  // its ledger could not be read or written
    };
    QString folder;
    QString why;
    Until until = Until::writable;
};

// The owed folder of one home folder. A damaged file there is told once and left as it is: the
// change it held is not done.
class OwedStore
{
public:
    OwedStore(QString folder, DamageReports &reports);

    [[nodiscard]] QList<OwedChange> read() const;
    // Remembering a change again replaces its file (one per kind and record).
    void save(const OwedChange &change) const;
    void drop(const OwedChange &change) const;
    // The records whose withdrawal is owed.
    [[nodiscard]] QSet<QString> withdrawnKeys() const;

private:
    [[nodiscard]] QString pathOf(const OwedChange &change) const;

    QString m_folder;
    DamageReports &m_reports;
};

// Why an owed change is still owed, by the home ledgers and by each drive ledger.
struct OwedOutcome
{
    std::optional<QString> home;
    QList<Owing> drives;
};

// How the history names the drive of the ledger in `folder`: its folder in the volumes root,
// else the folder's own name.
[[nodiscard]] QString driveName(const QString &folder);
// What a note says of `owing`: "the drive 'Backup' will be updated when it is next free", one
// clause for each drive and what it waits for, joined by "; ".
[[nodiscard]] QString whenUpdated(const QList<Owing> &owing);
// For the log: "'folder': why", joined by "; ".
[[nodiscard]] QString reasons(const QList<Owing> &owing);

// The owed changes of `owed` in the order they are done: every status before any record, so
// that a record goes to a drive with the status the Mac's ledgers were given; a status owed to
// a drive that does not list its record yet is done once that record reaches it.
[[nodiscard]] QList<OwedChange> inOrderDone(QList<OwedChange> owed);

// Callers hold the writer locks: does one owed status or record where it is owed (both in
// `homeLedgers`, the local ledger first, where they owe it), proves it, and forgets it once
// done or keeps what is still owed. A record goes to a drive as the home ledgers hold it; one
// they no longer hold, read whole, is owed nothing more.
OwedOutcome doOwed(const OwedStore &store, OwedChange change, const QStringList &homeLedgers,
                   FileLock::Clock::time_point deadline);

// Callers hold the writer locks: each owed withdrawal of `owed` joins the withdrawals file.
void takeInOwedWithdrawals(const OwedStore &store, const WithdrawalsStore &withdrawals,
                           const QList<OwedChange> &owed);

// Callers hold the writer locks: the owed statuses and records of `owed` pushed, proven and
// forgotten; those of a record in `withdrawn` are owed nothing more.
void settleOwedRecords(const OwedStore &store, const QList<OwedChange> &owed,
                       const QSet<QString> &withdrawn, const QStringList &homeLedgers,
                       FileLock::Clock::time_point deadline);

} // namespace LedgerFiles
