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

// A change that ledgers still owe, in a file of its own.
struct OwedChange
{
    OwedKind kind = OwedKind::status;
    MigrationRecord record; // as withdrawn, as it is to stand, or as it was appended
    QStringList folders;    // the folders whose drive ledgers still owe it
    QString path;           // its file, once read
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
    QStringList drives; // "'folder': why"
};

// Callers hold the writer locks: does one owed status or record where it is owed (a status
// also in `homeLedgers`), proves it, and forgets it once done or keeps what is still owed.
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
