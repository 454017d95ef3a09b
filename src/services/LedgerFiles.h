#pragma once

#include "model/MigrationRecord.h"
#include "platform/FileSystemIdentity.h"
#include "services/DurableFile.h"
#include "services/FileLock.h"

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>
#include <functional>
#include <mutex>
#include <optional>

// The ledger files themselves: reading one from its disk (only a regular file, of a bounded
// size), replacing one whole and proven, setting a damaged one aside, and merging what several
// of them list into the one list the service publishes. Plain functions of the files they are
// given; whoever rewrites a file holds the locks that guard it. Safe from any thread.
namespace LedgerFiles {

// The category of everything the ledger tells the activity log.
inline const QString category = QStringLiteral("Ledger");

// Far beyond any ledger a person makes (some 100,000 records); a bigger one is told and left
// alone, neither read nor replaced.
inline constexpr qint64 maxLedgerBytes = qint64(256) * 1024 * 1024;
// The withdrawals file and an owed change list only what is owed.
inline constexpr qint64 maxOwedBytes = qint64(32) * 1024 * 1024;

enum class FileState {
    missing,
    read,
    damaged,    // not a regular file, or its content does not decode
    unreadable, // cannot be read now (an error of its disk, or too large): left as it is
};

// One ledger or withdrawals file as read from its disk.
struct FileRead
{
    FileState state = FileState::missing;
    QByteArray bytes;   // also of a damaged regular file
    quint64 device = 0; // of the file system it was read from
    quint64 inode = 0;
    QString problem; // why it is damaged or unreadable
};

// The whole file, read only from a regular file of at most `maxBytes`: a FIFO or a device in a
// ledger's place, or a link to one, must neither hang the program nor pass for a ledger. A link
// to a ledger kept elsewhere reads as that ledger; a proof asks which file system it came from.
// With `pastCache`, read from its disk, not from memory.
[[nodiscard]] FileRead readFile(const QString &path, qint64 maxBytes, bool pastCache = false);

struct LedgerFile
{
    FileRead file; // its bytes dropped once decoded
    QList<MigrationRecord> records;

    [[nodiscard]] FileState state() const { return file.state; }
    // What a rewrite may replace: this very file, or none where it was missing.
    [[nodiscard]] DurableFile::Original original() const
    {
        return {file.state != FileState::missing, file.device, file.inode};
    }
};

// A ledger read and decoded: damaged where it is not a list of records.
[[nodiscard]] LedgerFile readLedger(const QString &path, bool pastCache = false);

// A ledger is still at `path` once it has been read whole: one that went while it was read (as
// when a drive is pulled) proves nothing. Another writer's replacement since is a ledger too.
[[nodiscard]] bool stillThere(const QString &path);

// The key under which the merge takes copies of one record in several files as one.
[[nodiscard]] QString mergeKey(const MigrationRecord &record);
// The keys of `keys` that `records` list.
[[nodiscard]] QSet<QString> listedIn(const QList<MigrationRecord> &records,
                                     const QSet<QString> &keys);
[[nodiscard]] const MigrationRecord *findRecord(const QList<MigrationRecord> &records,
                                                const QString &key);

// Later records win: walks backwards, keeping the first record seen for each merge key, so the
// result is in backward order, unless a copy read earlier has moved on from the status of the
// one read later (a status changes only from "active"). Records of `withdrawn` are left out,
// whichever file still lists them.
[[nodiscard]] QList<MigrationRecord> merge(const QList<MigrationRecord> &readOrder,
                                           const QSet<QString> &withdrawn);

[[nodiscard]] QString joinName(const QString &folder, const QString &name);
// The lock of a drive ledger: a file beside it, on the drive's own file system, which every
// program of every user of the drive takes.
[[nodiscard]] QString driveLockPath(const QString &ledgerPath);
// The file system holding `folder`, where it is a drive's: for a folder in the volumes folder,
// one mounted there, never the Mac's own disk under a mount-point folder a drive left behind.
[[nodiscard]] std::optional<FileSystemIdentity> driveHolding(const QString &folder);

[[noreturn]] void throwFileError(int err, const QString &what, const QString &path,
                                 const QString &reason);

// Whole-file replacement, proven on the file's disk: a reader sees either the old or the new
// file, and so does whoever reads the disk after it failed or was unplugged.
void saveBytes(const QByteArray &bytes, const QString &path,
               const std::optional<DurableFile::Original> &original = std::nullopt,
               bool everyUserReads = false);
void saveRecords(const QList<MigrationRecord> &records, const QString &path,
                 const std::optional<DurableFile::Original> &original = std::nullopt,
                 bool everyUserReads = false);

// Moves the damaged file at `path` out of the way under a name that keeps it (or, with
// `byCopy`, copies its `damaged` bytes there), so that rewriting its path loses nothing. The
// same damage is kept once: a copy of those very bytes set aside before serves again. Past
// `maxCopies` (0: no limit) the oldest copies go, each told in the log, so that a ledger
// damaged again and again never stops being written. Returns the copy's path.
QString setAside(const QString &path, const FileRead &damaged, bool byCopy, int maxCopies);

// The records of a ledger about to be rewritten: none when it is missing; a damaged one is set
// aside first and told; one that cannot be read now is left as it is (thrown, so the path is
// not rewritten and nothing it holds is lost).
[[nodiscard]] LedgerFile readForRewrite(const QString &path);

// A change to a ledger's records; true when it changed any.
using Change = std::function<bool(QList<MigrationRecord> &)>;

// Applies `change` to the records of the ledger at `path` and writes them back when it changed
// any; returns the file as written, or as read when nothing changed. With `lockPath` (a drive's
// ledger) one writer at a time for that ledger, whichever program or home folder writes it, and
// a file every user of the drive can read. A replacement is made only over the file that was
// read: one made meanwhile by another writer (where no lock can be taken) is read again and the
// change applied anew.
LedgerFile rewriteLedger(const QString &path, const Change &change,
                         const std::optional<QString> &lockPath,
                         FileLock::Clock::time_point deadline);

// The change that takes the records of `keys` out of a ledger.
[[nodiscard]] Change without(const QSet<QString> &keys);

// Each damage of a file told in the activity log once, whoever finds it again.
class DamageReports
{
public:
    // Tells `text` unless the damage `problem` of `path` was told before.
    void tell(const QString &path, const QString &problem, const QString &text);
    // A later `problem` of `path` is told again.
    void forget(const QString &path, const QString &problem);

private:
    std::mutex m_mutex;
    QSet<QString> m_told; // guarded by m_mutex
};

// The records of the ledger at `path` for the merge: none of one damaged or unreadable, which
// `reports` tells.
[[nodiscard]] QList<MigrationRecord> recordsForMerge(const QString &path, DamageReports &reports);

} // namespace LedgerFiles
