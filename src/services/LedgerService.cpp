#include "services/LedgerService.h"

#include <QThread>

#include "base/MainThread.h"
#include "base/OperationError.h"
#include "base/PathUtils.h"
#include "base/Sha256.h"
#include "base/UniqueFd.h"
#include "platform/System.h"
#include "services/AppLogger.h"
#include "services/DurableFile.h"
#include "services/FileLock.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace LedgerFiles {

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

enum class OwedKind { withdrawal, status, append };

// A change that ledgers still owe (see LedgerService.h), in a file of its own.
struct OwedChange
{
    OwedKind kind = OwedKind::status;
    MigrationRecord record; // as withdrawn, as it is to stand, or as it was appended
    QStringList folders;    // the folders whose drive ledgers still owe it
    QString path;           // its file, once read
};

} // namespace LedgerFiles

using namespace LedgerFiles;

namespace {

const QLatin1String kLocalLedgerName("migration_ledger.json");
const QLatin1String kRebuildLedgerName("rebuild_migration_ledger.json");
const QLatin1String kWithdrawalsName("withdrawn_migrations.json");
const QLatin1String kLockName("ledgers.lock");
const QLatin1String kDriveLockName(".korvanthelix_ledger.lock");
const QLatin1String kRecordKey("record");
const QLatin1String kLedgerFolderKey("ledger_folder");
const QLatin1String kDriveClearKey("drive_clear");
const QLatin1String kOwedFolderName("owed");
const QLatin1String kKindKey("kind");
const QLatin1String kLedgerFoldersKey("ledger_folders");
const QString kCategory = QStringLiteral("Ledger");

// Far beyond any ledger a person makes (some 100,000 records); a bigger one is told and left
// alone, neither read nor replaced.
constexpr qint64 kMaxLedgerBytes = qint64(256) * 1024 * 1024;
// The withdrawals file lists only what is owed.
constexpr qint64 kMaxWithdrawalsBytes = qint64(32) * 1024 * 1024;
// Copies set aside of one ledger damaged again and again; past them it is left as it is.
constexpr int kMaxAsideCopies = 3;
// Attempts at a ledger that another writer keeps replacing under this one's hands.
constexpr int kRewriteAttempts = 5;

using Clock = FileLock::Clock;

FileRead unreadableFile(const QString &problem, FileState state = FileState::unreadable)
{
    return {state, {}, 0, 0, problem};
}

QString errorText(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

// The whole file, read only from a regular file of at most `maxBytes`: a FIFO or a device in a
// ledger's place, or a link to one, must neither hang the program nor pass for a ledger. A link
// to a ledger kept elsewhere reads as that ledger; a proof asks which file system it came from.
// With `pastCache`, read from its disk, not from memory.
FileRead readFile(const QString &path, qint64 maxBytes, bool pastCache = false)
{
    const UniqueFd fd(
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        const int err = errno;
        if (err == ENOENT || err == ENOTDIR)
            return {};
        return unreadableFile(errorText(err),
                              err == ELOOP ? FileState::damaged : FileState::unreadable);
    }
    struct stat info
    {};
    if (::fstat(fd.get(), &info) != 0)
        return unreadableFile(errorText(errno));
    if (!S_ISREG(info.st_mode))
        return unreadableFile(QStringLiteral("it is not a regular file"), FileState::damaged);
    const QString tooLarge = QStringLiteral("it is larger than %1 bytes").arg(maxBytes);
    if (info.st_size > maxBytes)
        return unreadableFile(tooLarge);
    if (pastCache) {
        if (const int err = System::current().storage().readPastCache(fd.get()))
            return unreadableFile(QStringLiteral("it could not be read from its disk: ") +
                                  errorText(err));
    }
    QByteArray bytes;
    bytes.reserve(qsizetype(info.st_size));
    QByteArray chunk(1024 * 1024, Qt::Uninitialized);
    for (;;) {
        const ssize_t got = ::read(fd.get(), chunk.data(), std::size_t(chunk.size()));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return unreadableFile(errorText(errno));
        if (got == 0)
            break;
        bytes.append(chunk.constData(), got);
        if (bytes.size() > maxBytes)
            return unreadableFile(tooLarge);
    }
    return {FileState::read, std::move(bytes), quint64(info.st_dev), quint64(info.st_ino), {}};
}

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

LedgerFile readLedger(const QString &path, bool pastCache = false)
{
    LedgerFile ledger{readFile(path, kMaxLedgerBytes, pastCache), {}};
    if (ledger.file.state != FileState::read)
        return ledger;
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(ledger.file.bytes, &parseError);
    std::optional<QList<MigrationRecord>> records =
        parseError.error == QJsonParseError::NoError && document.isArray()
            ? MigrationRecord::listFromJson(document.array())
            : std::nullopt;
    if (!records) {
        ledger.file.state = FileState::damaged;
        ledger.file.problem = parseError.error != QJsonParseError::NoError
                                  ? QStringLiteral("it is not JSON: ") + parseError.errorString()
                              : document.isArray() ? QStringLiteral("a record in it cannot be read")
                                                   : QStringLiteral("it is not a JSON array");
        return ledger;
    }
    ledger.file.bytes.clear();
    ledger.records = std::move(*records);
    return ledger;
}

// A ledger is still at `path` once it has been read whole: one that went while it was read (as
// when a drive is pulled) proves nothing. Another writer's replacement since is a ledger too.
bool stillThere(const QString &path)
{
    struct stat info
    {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode);
}

// The key under which the merge takes copies of one record in several files as one.
QString mergeKey(const MigrationRecord &record)
{
    return record.appOriginalPath + QLatin1Char('_') + record.timestamp;
}

// The keys of `keys` that `records` list.
QSet<QString> listedIn(const QList<MigrationRecord> &records, const QSet<QString> &keys)
{
    QSet<QString> listed;
    for (const MigrationRecord &record : records) {
        if (keys.contains(mergeKey(record)))
            listed.insert(mergeKey(record));
    }
    return listed;
}

WithdrawalsFile parseWithdrawals(const QString &path)
{
    WithdrawalsFile result{readFile(path, kMaxWithdrawalsBytes), {}, {}};
    if (result.file.state != FileState::read) {
        result.problem = result.file.problem;
        return result;
    }
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(result.file.bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isArray()) {
        result.problem = parseError.error != QJsonParseError::NoError
                             ? QStringLiteral("it is not JSON: ") + parseError.errorString()
                             : QStringLiteral("it is not a JSON array");
        return result;
    }
    // One damaged entry spoils only itself: the others keep their records withdrawn.
    const QJsonArray array = document.array();
    int damaged = 0;
    for (const QJsonValue &value : array) {
        const QJsonObject record = value.toObject().value(kRecordKey).toObject();
        const QJsonValue path = record.value(QLatin1String("app_original_path"));
        const QJsonValue timestamp = record.value(QLatin1String("timestamp"));
        const QJsonValue folder = value.toObject().value(kLedgerFolderKey);
        if (!path.isString() || !timestamp.isString() || !folder.isString()) {
            ++damaged;
            continue;
        }
        result.entries.append({path.toString() + QLatin1Char('_') + timestamp.toString(), record,
                               folder.toString(),
                               value.toObject().value(kDriveClearKey).toBool(false)});
    }
    if (damaged > 0)
        result.problem =
            QStringLiteral("%1 of its %2 entries cannot be read").arg(damaged).arg(array.size());
    return result;
}

[[noreturn]] void throwFileError(int err, const QString &what, const QString &path,
                                 const QString &reason)
{
    throw OperationError::fileSystem(err != 0 ? err : EIO, what.arg(path, reason));
}

// Whole-file replacement, proven on the file's disk: a reader sees either the old or the new
// file, and so does whoever reads the disk after it failed or was unplugged.
void saveBytes(const QByteArray &bytes, const QString &path,
               const std::optional<DurableFile::Original> &original = std::nullopt,
               bool everyUserReads = false)
{
    try {
        DurableFile::replace(path, bytes, original, everyUserReads);
    } catch (const OperationError &failure) {
        throwFileError(failure.code(), QStringLiteral("Cannot write the ledger %1: %2"), path,
                       failure.message());
    }
}

void saveRecords(const QList<MigrationRecord> &records, const QString &path,
                 const std::optional<DurableFile::Original> &original = std::nullopt,
                 bool everyUserReads = false)
{
    saveBytes(QJsonDocument(MigrationRecord::listToJson(records)).toJson(QJsonDocument::Indented),
              path, original, everyUserReads);
}

// Where a copy set aside stands among the others: the time its name carries, then its number
// within that second (none is the first).
std::pair<QString, int> asideOrder(const QString &name)
{
    const qsizetype at = name.lastIndexOf(QStringLiteral(".unreadable-"));
    const QString stamp = name.mid(at + 12);
    const qsizetype dash = stamp.indexOf(QLatin1Char('-'));
    return dash < 0 ? std::pair(stamp, 1)
                    : std::pair(stamp.left(dash), stamp.mid(dash + 1).toInt());
}

// The copies set aside of `path`, the oldest first.
QStringList asideCopies(const QString &path)
{
    const QFileInfo info(path);
    QStringList names =
        QDir(info.absolutePath())
            .entryList({info.fileName() + QStringLiteral(".unreadable-*")},
                       QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    std::sort(names.begin(), names.end(),
              [](const QString &a, const QString &b) { return asideOrder(a) < asideOrder(b); });
    return names;
}

// A new name beside `path` for its damaged content, after every copy set aside before.
QString asideName(const QString &path, const QStringList &copies)
{
    const QString stamp =
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    const QString stem = path + QStringLiteral(".unreadable-") + stamp;
    int last = 0;
    for (const QString &name : copies) {
        const auto [copyStamp, number] = asideOrder(name);
        if (copyStamp == stamp)
            last = std::max(last, number);
    }
    QString aside = last == 0 ? stem : stem + QLatin1Char('-') + QString::number(last + 1);
    for (int n = last + 2; PathUtils::existsNoFollow(aside); ++n)
        aside = stem + QLatin1Char('-') + QString::number(n);
    return aside;
}

// Moves the damaged file at `path` out of the way under a name that keeps it (or, with
// `byCopy`, copies its `damaged` bytes there), so that rewriting its path loses nothing. The
// same damage is kept once: a copy of those very bytes set aside before serves again. Past
// `maxCopies` (0: no limit) the oldest copies go, each told in the log, so that a ledger
// damaged again and again never stops being written.
QString setAside(const QString &path, const FileRead &damaged, bool byCopy, int maxCopies)
{
    const QString folder = PathUtils::parentPath(path) + QLatin1Char('/');
    QStringList copies = asideCopies(path);
    QString aside;
    if (!damaged.bytes.isEmpty()) {
        for (const QString &name : std::as_const(copies)) {
            if (QFileInfo(folder + name).size() == damaged.bytes.size() &&
                readFile(folder + name, damaged.bytes.size()).bytes == damaged.bytes) {
                aside = folder + name;
                break;
            }
        }
    }
    const QString fresh = asideName(path, copies);
    while (aside.isEmpty() && maxCopies > 0 && copies.size() >= maxCopies) {
        const QString oldest = folder + copies.takeFirst();
        if (std::remove(QFile::encodeName(oldest).constData()) != 0)
            break;
        AppLogger::shared().log(AppLogLevel::warning, kCategory,
                                QStringLiteral("The oldest damaged copy of the ledger '") + path +
                                    QStringLiteral("', '") + oldest +
                                    QStringLiteral("', was removed to make room: the newest %1 "
                                                   "are kept.")
                                        .arg(maxCopies));
    }
    if (aside.isEmpty())
        aside = fresh;
    if (byCopy) {
        if (!PathUtils::existsNoFollow(aside))
            saveBytes(damaged.bytes, aside);
    } else if (std::rename(QFile::encodeName(path).constData(),
                           QFile::encodeName(aside).constData()) != 0) {
        const int err = errno;
        throwFileError(err, QStringLiteral("Cannot set aside the unreadable ledger %1: %2"), path,
                       errorText(err));
    }
    return aside;
}

// The records of a ledger about to be rewritten: none when it is missing; a damaged one is set
// aside first and told; one that cannot be read now is left as it is (thrown, so the path is
// not rewritten and nothing it holds is lost).
LedgerFile readForRewrite(const QString &path)
{
    LedgerFile file = readLedger(path);
    if (file.state() == FileState::unreadable)
        throwFileError(EIO,
                       QStringLiteral("Cannot write the ledger %1: it cannot be read (%2), so it "
                                      "was left as it is"),
                       path, file.file.problem);
    if (file.state() == FileState::damaged) {
        const QString aside = setAside(path, file.file, false, kMaxAsideCopies);
        AppLogger::shared().log(AppLogLevel::error, kCategory,
                                QStringLiteral("The ledger '") + path +
                                    QStringLiteral("' cannot be read (") + file.file.problem +
                                    QStringLiteral("). It was set aside as '") + aside +
                                    QStringLiteral("', which keeps what it held, and a new "
                                                   "ledger was started."));
        return {};
    }
    return file;
}

// Of two copies of one record, the one whose status moved on: a status changes only from
// "active", so a copy that still says "active" is the older one, whichever file says it.
bool movedOn(const MigrationRecord &candidate, const MigrationRecord &kept)
{
    return kept.status == MigrationStatus::active() &&
           candidate.status != MigrationStatus::active();
}

// Later records win: walks backwards, keeping the first record seen for each
// appOriginalPath + "_" + timestamp, so the result is in backward order, unless a copy read
// earlier has moved on from the status of the one read later. Records withdrawn on the Mac are
// left out, whichever file still lists them.
QList<MigrationRecord> merge(const QList<MigrationRecord> &readOrder,
                             const QSet<QString> &withdrawn)
{
    QList<MigrationRecord> result;
    QHash<QString, qsizetype> positions;
    for (auto it = readOrder.crbegin(); it != readOrder.crend(); ++it) {
        const QString key = mergeKey(*it);
        if (withdrawn.contains(key))
            continue;
        const auto position = positions.constFind(key);
        if (position == positions.cend()) {
            positions.insert(key, result.size());
            result.append(*it);
        } else if (movedOn(*it, result.at(*position))) {
            result[*position] = *it;
        }
    }
    return result;
}

QString joinName(const QString &folder, const QString &name)
{
    if (folder.endsWith(QLatin1Char('/')))
        return folder + name;
    return folder + QLatin1Char('/') + name;
}

// The lock of a drive ledger: a file beside it, on the drive's own file system, which every
// program of every user of the drive takes.
QString driveLockPath(const QString &ledgerPath)
{
    return joinName(PathUtils::parentPath(ledgerPath), kDriveLockName);
}

// Applies `change` to the records of the ledger at `path` and writes them back when it changed
// any; returns the file as written, or as read when nothing changed. With `lockPath` (a drive's
// ledger) one writer at a time for that ledger, whichever program or home folder writes it, and
// a file every user of the drive can read. A replacement is made
// only over the file that was read: one made meanwhile by another writer (where no lock can be
// taken) is read again and the change applied anew.
LedgerFile rewriteLedger(const QString &path,
                         const std::function<bool(QList<MigrationRecord> &)> &change,
                         const std::optional<QString> &lockPath, Clock::time_point deadline)
{
    std::optional<FileLock> lock;
    if (lockPath)
        lock.emplace(*lockPath, deadline);
    for (int attempt = 1;; ++attempt) {
        LedgerFile file = readForRewrite(path);
        if (!change(file.records))
            return file;
        try {
            saveRecords(file.records, path, file.original(), lockPath.has_value());
            return file;
        } catch (const OperationError &failure) {
            if (failure.code() != ESTALE || attempt == kRewriteAttempts)
                throw;
        }
    }
}

// The change that takes the records of `keys` out of a ledger.
std::function<bool(QList<MigrationRecord> &)> without(const QSet<QString> &keys)
{
    return [keys](QList<MigrationRecord> &records) {
        return records.removeIf([&keys](const MigrationRecord &record) {
            return keys.contains(mergeKey(record));
        }) > 0;
    };
}

// Takes the records of `keys` out of one home ledger. Returns those of them that it may still
// list: none once it was read back without them (or is missing), all when it cannot be read.
// A failed rewrite is kept in `failure` (the first one) and its records count as still listed.
QSet<QString> removeFromHomeLedger(const QString &path, const QSet<QString> &keys,
                                   Clock::time_point deadline, std::exception_ptr &failure)
{
    const LedgerFile before = readLedger(path);
    if (before.state() == FileState::missing)
        return {};
    if (before.state() != FileState::read)
        return keys;
    const QSet<QString> listed = listedIn(before.records, keys);
    if (listed.isEmpty())
        return {};
    try {
        (void)rewriteLedger(path, without(keys), std::nullopt, deadline);
    } catch (const OperationError &) {
        if (!failure)
            failure = std::current_exception();
        return listed;
    }
    const LedgerFile after = readLedger(path);
    if (after.state() == FileState::missing)
        return {};
    return after.state() == FileState::read ? listedIn(after.records, keys) : keys;
}

// The in-process lock, then the lock of every program on this home folder, each waited for up
// to the same deadline.
class HomeWriter
{
public:
    HomeWriter(std::timed_mutex &mutex, const QString &lockPath, Clock::duration limit)
        : m_deadline(Clock::now() + limit)
        , m_guard(mutex, std::defer_lock)
    {
        if (!m_guard.try_lock_until(m_deadline))
            FileLock::throwBusy(QStringLiteral("this program's own lock of the ledgers"));
        m_lock.emplace(lockPath, m_deadline);
    }

    [[nodiscard]] Clock::time_point deadline() const { return m_deadline; }

private:
    Clock::time_point m_deadline;
    std::unique_lock<std::timed_mutex> m_guard;
    std::optional<FileLock> m_lock;
};

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
                                  Clock::time_point deadline)
{
    DriveSettlement result;
    if (!drive)
        return result;
    const QString path = joinName(folder, LedgerService::driveLedgerFileName());
    // A missing ledger proves nothing: it may be one being renamed away, or not there yet, as
    // while a drive is pulled out.
    const auto provenClear = [&](const LedgerFile &file) {
        return file.state() == FileState::read && file.file.device == drive->device &&
               listedIn(file.records, keys).isEmpty() && stillThere(path) && drive->holds(folder);
    };
    const LedgerFile file = readLedger(path, true);
    result.listed = listedIn(file.records, keys);
    if (result.listed.isEmpty() || file.file.device != drive->device) {
        result.clear = provenClear(file);
        return result;
    }
    if (!drive->holds(folder))
        return result;
    try {
        (void)rewriteLedger(path, without(keys), driveLockPath(path), deadline);
    } catch (const OperationError &) {
        // A drive that cannot store its ledger, or is being written elsewhere, keeps listing
        // the records for now.
        return result;
    }
    result.clear = provenClear(readLedger(path, true));
    return result;
}

QString kindLabel(OwedKind kind)
{
    switch (kind) {
    case OwedKind::withdrawal:
        return QStringLiteral("withdrawal");
    case OwedKind::status:
        return QStringLiteral("status");
    case OwedKind::append:
        return QStringLiteral("append");
    }
    return {};
}

std::optional<OwedKind> kindOf(const QString &label)
{
    for (const OwedKind kind : {OwedKind::withdrawal, OwedKind::status, OwedKind::append}) {
        if (kindLabel(kind) == label)
            return kind;
    }
    return std::nullopt;
}

const MigrationRecord *findRecord(const QList<MigrationRecord> &records, const QString &key)
{
    const auto found = std::find_if(records.cbegin(), records.cend(),
                                    [&](const auto &record) { return mergeKey(record) == key; });
    return found == records.cend() ? nullptr : &*found;
}

// The change that gives the "active" copy of `to`'s record the status of `to`.
std::function<bool(QList<MigrationRecord> &)> statusOf(const MigrationRecord &to)
{
    return [to, key = mergeKey(to)](QList<MigrationRecord> &records) {
        bool changed = false;
        for (MigrationRecord &record : records) {
            if (mergeKey(record) != key || record.status != MigrationStatus::active())
                continue;
            record.status = to.status;
            record.restoredAt = to.restoredAt;
            changed = true;
        }
        return changed;
    };
}

std::function<bool(QList<MigrationRecord> &)> appendOnce(const MigrationRecord &record)
{
    return [record](QList<MigrationRecord> &records) {
        if (findRecord(records, mergeKey(record)))
            return false;
        records.append(record);
        return true;
    };
}

// Whether `file` shows `change` done: an appended record listed, a status no longer "active"
// (or its record no longer listed at all).
bool showsDone(const LedgerFile &file, const OwedChange &change)
{
    const MigrationRecord *record = findRecord(file.records, mergeKey(change.record));
    if (change.kind == OwedKind::append)
        return record != nullptr;
    return record == nullptr || record->status != MigrationStatus::active();
}

// The file system holding `folder`, where it is a drive's: for a folder in the volumes folder,
// one mounted there, never the Mac's own disk under a mount-point folder a drive left behind.
std::optional<FileSystemIdentity> driveHolding(const QString &folder)
{
    std::optional<FileSystemIdentity> drive = FileSystemIdentity::of(folder);
    const QString volumes = PathUtils::standardized(System::current().paths().volumesRoot);
    if (drive && PathUtils::isSameOrInside(PathUtils::standardized(folder), volumes) &&
        (drive->mountPoint == volumes || !PathUtils::isSameOrInside(drive->mountPoint, volumes)))
        return std::nullopt;
    return drive;
}

// Pushes an owed status or record into the drive ledger in `folder` and proves it there: that
// ledger, read whole from its disk on the drive mounted there, shows it. Returns why it is still
// owed, or nothing.
std::optional<QString> pushOwed(const OwedChange &change, const QString &folder,
                                Clock::time_point deadline)
{
    const std::optional<FileSystemIdentity> drive = driveHolding(folder);
    if (!drive)
        return QStringLiteral("the drive is not connected");
    const QString path = joinName(folder, LedgerService::driveLedgerFileName());
    const auto proven = [&](const LedgerFile &file) {
        return file.state() == FileState::read && file.file.device == drive->device &&
               stillThere(path) && showsDone(file, change) && drive->holds(folder);
    };
    const LedgerFile before = readLedger(path, true);
    if (proven(before))
        return std::nullopt;
    const bool append = change.kind == OwedKind::append;
    // A status goes only into a ledger that reads; a record may start a new one.
    if (before.state() == FileState::unreadable || (!append && before.state() != FileState::read))
        return before.state() == FileState::missing
                   ? QStringLiteral("its ledger is not there")
                   : QStringLiteral("its ledger cannot be read: ") + before.file.problem;
    try {
        (void)rewriteLedger(path, append ? appendOnce(change.record) : statusOf(change.record),
                            driveLockPath(path), deadline);
    } catch (const OperationError &failure) {
        return FileLock::reasonOf(failure);
    }
    if (proven(readLedger(path, true)))
        return std::nullopt;
    return QStringLiteral("its ledger did not read back with the change from its disk");
}

// Gives both home ledgers an owed status. Returns why one still owes it, or nothing; one that
// cannot be read is left as it is.
std::optional<QString> giveHomeStatus(const OwedChange &change, const QStringList &paths,
                                      Clock::time_point deadline)
{
    for (const QString &path : paths) {
        const LedgerFile file = readLedger(path);
        if (file.state() != FileState::read || showsDone(file, change))
            continue;
        try {
            (void)rewriteLedger(path, statusOf(change.record), std::nullopt, deadline);
        } catch (const OperationError &failure) {
            return FileLock::reasonOf(failure);
        }
        const LedgerFile after = readLedger(path);
        if (after.state() == FileState::read && !showsDone(after, change))
            return QStringLiteral("it did not read back with the change");
    }
    return std::nullopt;
}

} // namespace

LedgerService::LedgerService(QObject *parent)
    : QObject(parent)
{
    // Published state changes on the main thread only, whoever made the instance.
    if (QCoreApplication *app = QCoreApplication::instance();
        !parent && app && thread() != app->thread())
        moveToThread(app->thread());
    loadRecords();
}

LedgerService::~LedgerService()
{
    std::unique_lock lock(m_usersMutex);
    m_usersGone.wait(lock, [this] { return m_users == 0; });
}

LedgerService &LedgerService::shared()
{
    static LedgerService *const instance = new LedgerService;
    return *instance;
}

std::shared_ptr<void> LedgerService::user()
{
    {
        const std::lock_guard lock(m_usersMutex);
        ++m_users;
    }
    return std::shared_ptr<void>(nullptr, [this](void *) {
        const std::lock_guard lock(m_usersMutex);
        if (--m_users == 0)
            m_usersGone.notify_all();
    });
}

QList<MigrationRecord> LedgerService::records() const
{
    const std::lock_guard lock(m_recordsMutex);
    return m_records;
}

void LedgerService::setWriterWaitLimit(std::chrono::milliseconds limit)
{
    m_waitLimit = limit.count();
}

QUrl LedgerService::ledgerFileURL() const
{
    return QUrl::fromLocalFile(localLedgerPath());
}

QString LedgerService::localLedgerPath() const
{
    const QString folder =
        System::installed()->paths().home + QStringLiteral("/.config/korvanthelix");
    QDir().mkpath(folder);
    return folder + QLatin1Char('/') + kLocalLedgerName;
}

QString LedgerService::configFolder() const
{
    return PathUtils::parentPath(localLedgerPath());
}

QString LedgerService::rebuildLedgerPath() const
{
    return configFolder() + QLatin1Char('/') + kRebuildLedgerName;
}

QString LedgerService::withdrawalsPath() const
{
    return configFolder() + QLatin1Char('/') + kWithdrawalsName;
}

QString LedgerService::owedFolder() const
{
    return configFolder() + QLatin1Char('/') + kOwedFolderName;
}

QString LedgerService::owedPath(const OwedChange &change) const
{
    // One file per change and record: remembering it again replaces it.
    const QByteArray digest = Sha256::hash(mergeKey(change.record).toUtf8()).toHex().left(32);
    return owedFolder() + QLatin1Char('/') + kindLabel(change.kind) + QLatin1Char('-') +
           QString::fromLatin1(digest) + QStringLiteral(".json");
}

QList<OwedChange> LedgerService::readOwed() const
{
    QList<OwedChange> owed;
    const QDir folder(owedFolder());
    const QStringList names = folder.entryList(
        {QStringLiteral("*.json")}, QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    for (const QString &name : names) {
        const QString path = folder.filePath(name);
        const FileRead file = readFile(path, kMaxWithdrawalsBytes);
        const QJsonObject object = QJsonDocument::fromJson(file.bytes).object();
        const std::optional<OwedKind> kind = kindOf(object.value(kKindKey).toString());
        const std::optional<MigrationRecord> record =
            MigrationRecord::fromJson(object.value(kRecordKey));
        if (file.state == FileState::missing)
            continue;
        if (!kind || !record) {
            // Kept as it is for whoever looks; the change it held is not done.
            reportOnce(path, QStringLiteral("damaged"),
                       QStringLiteral("The owed ledger change '") + path +
                           QStringLiteral("' cannot be read") +
                           (file.problem.isEmpty()
                                ? QString()
                                : QStringLiteral(" (") + file.problem + QLatin1Char(')')) +
                           QStringLiteral("; it is left as it is."));
            continue;
        }
        QStringList folders;
        for (const QJsonValue &value : object.value(kLedgerFoldersKey).toArray()) {
            if (value.isString())
                folders.append(value.toString());
        }
        owed.append({*kind, *record, folders, path});
    }
    return owed;
}

void LedgerService::saveOwed(const OwedChange &change) const
{
    QJsonArray folders;
    for (const QString &folder : change.folders)
        folders.append(folder);
    const QJsonObject object{{kKindKey, kindLabel(change.kind)},
                             {kRecordKey, change.record.toJson()},
                             {kLedgerFoldersKey, folders}};
    QDir().mkpath(owedFolder());
    saveBytes(QJsonDocument(object).toJson(QJsonDocument::Indented),
              change.path.isEmpty() ? owedPath(change) : change.path);
}

void LedgerService::dropOwed(const OwedChange &change) const
{
    const QString path = change.path.isEmpty() ? owedPath(change) : change.path;
    (void)::unlink(QFile::encodeName(path).constData());
}

QStringList LedgerService::mountedDriveFolders()
{
    const QDir volumes(System::installed()->paths().volumesRoot);
    // Listing order as the file system returns it; a later drive wins the merge.
    const QStringList entries = volumes.entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    QStringList folders;
    for (const QString &entry : entries)
        folders.append(volumes.filePath(entry));
    return folders;
}

QList<MigrationRecord> LedgerService::readLedgerRecords(const QString &path) const
{
    LedgerFile file = readLedger(path);
    if (file.state() == FileState::damaged || file.state() == FileState::unreadable)
        reportOnce(path, file.file.problem,
                   QStringLiteral("The ledger '") + path + QStringLiteral("' cannot be read (") +
                       file.file.problem +
                       (file.state() == FileState::damaged
                            ? QStringLiteral("). Its records are not shown; it is set aside "
                                             "before it is next written.")
                            : QStringLiteral("). Its records are not shown, and it is left as "
                                             "it is.")));
    return std::move(file.records);
}

QList<MigrationRecord> LedgerService::readAllLedgers() const
{
    QList<MigrationRecord> all = readLedgerRecords(localLedgerPath());
    all.append(readLedgerRecords(rebuildLedgerPath()));
    for (const QString &folder : mountedDriveFolders())
        all.append(readLedgerRecords(joinName(folder, driveLedgerFileName())));
    return all;
}

WithdrawalsFile LedgerService::readWithdrawals() const
{
    const QString path = withdrawalsPath();
    WithdrawalsFile file = parseWithdrawals(path);
    if (!file.problem.isEmpty())
        reportOnce(path, file.problem,
                   QStringLiteral("The list of withdrawn migration records '") + path +
                       QStringLiteral("' cannot be read whole (") + file.problem +
                       QStringLiteral("). A record named only in what cannot be read may show "
                                      "again as if it were in force. What can be read is kept, "
                                      "and the file is set aside before it is next written."));
    return file;
}

void LedgerService::reportOnce(const QString &path, const QString &problem,
                               const QString &text) const
{
    {
        const std::lock_guard lock(m_reportMutex);
        const QString damage = path + QLatin1Char('\n') + problem;
        if (m_reportedDamage.contains(damage))
            return;
        m_reportedDamage.insert(damage);
    }
    // No window shows a scan's errors, so the activity log is where the user learns of it.
    AppLogger::shared().log(AppLogLevel::error, kCategory, text);
}

void LedgerService::saveWithdrawals(const WithdrawalsFile &read,
                                    const QList<Withdrawal> &entries) const
{
    const QString path = withdrawalsPath();
    if (!read.problem.isEmpty()) {
        // Kept as it is, for whoever wants to look; what of it reads goes on in `entries`. A
        // copy, not a move, so that nothing is lost if the program ends before the new file is
        // in place.
        const QString aside = setAside(path, read.file, read.file.state == FileState::read, 0);
        AppLogger::shared().log(
            AppLogLevel::warning, kCategory,
            QStringLiteral("The damaged list of withdrawn migration records '") + path +
                QStringLiteral("' was set aside as '") + aside +
                QStringLiteral("'; what of it could be read is kept."));
    }
    QJsonArray array;
    for (const Withdrawal &entry : entries) {
        QJsonObject object{{kRecordKey, entry.record}, {kLedgerFolderKey, entry.ledgerFolder}};
        if (entry.driveClear)
            object.insert(kDriveClearKey, true);
        array.append(object);
    }
    saveBytes(QJsonDocument(array).toJson(QJsonDocument::Indented), path);
    if (!read.problem.isEmpty()) {
        // A later damage of the new file is told again.
        const std::lock_guard lock(m_reportMutex);
        m_reportedDamage.remove(path + QLatin1Char('\n') + read.problem);
    }
}

QSet<QString> LedgerService::withdrawnKeys() const
{
    QSet<QString> keys;
    for (const Withdrawal &entry : readWithdrawals().entries)
        keys.insert(entry.key);
    for (const OwedChange &change : readOwed()) {
        if (change.kind == OwedKind::withdrawal)
            keys.insert(mergeKey(change.record));
    }
    return keys;
}

QString LedgerService::writerLockPath() const
{
    return joinName(configFolder(), kLockName);
}

std::chrono::milliseconds LedgerService::waitLimit() const
{
    return std::chrono::milliseconds(m_waitLimit.load());
}

void LedgerService::loadRecords()
{
    // Takes no lock that a writer holds: every file is replaced whole. Of loads on several
    // threads, the one begun last is kept, and it reads every change finished before it began.
    const quint64 generation = ++m_loadGeneration;
    QList<MigrationRecord> records = merge(readAllLedgers(), withdrawnKeys());
    showOwedStatuses(records);
    publish(records, generation);
}

void LedgerService::showOwedStatuses(QList<MigrationRecord> &records) const
{
    // A status still owed to a ledger that says "active" is what is true already.
    QHash<QString, MigrationRecord> owedStatuses;
    for (const OwedChange &change : readOwed()) {
        if (change.kind == OwedKind::status)
            owedStatuses.insert(mergeKey(change.record), change.record);
    }
    for (MigrationRecord &record : records) {
        const auto owed = owedStatuses.constFind(mergeKey(record));
        if (owed != owedStatuses.cend() && record.status == MigrationStatus::active()) {
            record.status = owed->status;
            record.restoredAt = owed->restoredAt;
        }
    }
}

void LedgerService::publish(const QList<MigrationRecord> &records, quint64 generation)
{
    // The list is stored at once, so a worker that reads it right after its own write sees
    // its record; the change is announced on the main thread. Never waiting for the main
    // thread keeps an owner that waits for its workers at shutdown from deadlocking.
    {
        const std::lock_guard lock(m_recordsMutex);
        // A load begun earlier than the one already stored must not replace it.
        if (generation <= m_publishedGeneration)
            return;
        m_publishedGeneration = generation;
        m_records = records;
    }
    if (QThread::currentThread() == thread())
        emit recordsChanged();
    else
        onMainThread(this, [this] { emit recordsChanged(); });
}

std::optional<QString> LedgerService::recordMigration(const MigrationRecord &record,
                                                      const std::optional<QUrl> &targetVolumeURL)
{
    std::optional<QString> driveProblem;
    const auto append = [&record](QList<MigrationRecord> &records) {
        records.append(record);
        return true;
    };
    {
        const HomeWriter writer(m_fileMutex, writerLockPath(), waitLimit());
        // A record made again within the same second as one withdrawn is in force.
        dropWithdrawalEntry(mergeKey(record));
        dropOwed({OwedKind::withdrawal, record, {}, {}});
        (void)rewriteLedger(localLedgerPath(), append, std::nullopt, writer.deadline());

        if (targetVolumeURL) {
            // The drive's copy serves other Macs; the home ledger already holds the record.
            const QString folder = targetVolumeURL->toLocalFile();
            const QString drive = joinName(folder, driveLedgerFileName());
            try {
                (void)rewriteLedger(drive, append, driveLockPath(drive), writer.deadline());
            } catch (const OperationError &failure) {
                driveProblem = FileLock::reasonOf(failure);
                // Owed to the drive: the next settling adds it once the drive takes it.
                QString later = QStringLiteral(" It is added there at the next scan with the "
                                               "drive connected.");
                try {
                    saveOwed({OwedKind::append, record, {folder}, {}});
                } catch (const OperationError &notOwed) {
                    later = QStringLiteral(" It could not be kept for later either: ") +
                            notOwed.message();
                }
                AppLogger::shared().log(AppLogLevel::warning, kCategory,
                                        QStringLiteral("The record of '") + record.appName +
                                            QStringLiteral("' was not added to the drive's "
                                                           "ledger '") +
                                            drive + QStringLiteral("': ") + failure.message() +
                                            QStringLiteral(" The Mac's ledger holds it.") + later);
            }
        }
    }
    loadRecords();
    return driveProblem;
}

void LedgerService::rememberWithdrawal(const MigrationRecord &record, const QUrl &targetVolumeURL)
{
    // Without a lock: another program busy with the history must not leave the record in
    // force over an original put back.
    saveOwed({OwedKind::withdrawal, record, {targetVolumeURL.toLocalFile()}, {}});
    loadRecords();
}

void LedgerService::forgetWithdrawal(const MigrationRecord &record)
{
    dropOwed({OwedKind::withdrawal, record, {}, {}});
    // A settling may have taken it into the withdrawals file meanwhile.
    const QString key = mergeKey(record);
    const QList<Withdrawal> entries = readWithdrawals().entries;
    if (std::any_of(entries.cbegin(), entries.cend(),
                    [&](const Withdrawal &entry) { return entry.key == key; })) {
        const HomeWriter writer(m_fileMutex, writerLockPath(), waitLimit());
        dropWithdrawalEntry(key);
    }
    loadRecords();
}

bool LedgerService::withdrawMigration(const MigrationRecord &record, const QUrl &targetVolumeURL,
                                      const std::optional<FileSystemIdentity> &drive)
{
    const QString key = mergeKey(record);
    const QString folder = targetVolumeURL.toLocalFile();
    std::exception_ptr failure, notRemembered;
    bool driveClear = false, homeClear = true;
    {
        const HomeWriter writer(m_fileMutex, writerLockPath(), waitLimit());
        // Remembered before anything else: whatever ends the program from here on, no ledger
        // that still lists the record brings it back. Kept as owed where the withdrawals file
        // cannot take it.
        try {
            saveWithdrawalEntry(record, folder);
            dropOwed({OwedKind::withdrawal, record, {}, {}});
        } catch (const OperationError &) {
            try {
                saveOwed({OwedKind::withdrawal, record, {folder}, {}});
            } catch (const OperationError &) {
                notRemembered = std::current_exception();
            }
        }
        for (const QString &path : {localLedgerPath(), rebuildLedgerPath()})
            homeClear &= removeFromHomeLedger(path, {key}, writer.deadline(), failure).isEmpty();
        driveClear = settleDriveLedger(folder, {key}, drive, writer.deadline()).clear;
        // Forgotten only once no ledger that can list the record does; a drive proven clear is
        // noted, so that the settling need not find it again.
        if (!notRemembered && driveClear) {
            try {
                if (homeClear) {
                    dropWithdrawalEntry(key);
                    dropOwed({OwedKind::withdrawal, record, {}, {}});
                } else {
                    noteDriveClear({key});
                }
            } catch (const OperationError &) {
                // Owed on paper only: it hides no record but this one.
            }
        }
    }
    loadRecords();
    if (failure)
        std::rethrow_exception(failure);
    if (notRemembered && !(driveClear && homeClear))
        std::rethrow_exception(notRemembered);
    return driveClear;
}

void LedgerService::saveWithdrawalEntry(const MigrationRecord &record,
                                        const QString &ledgerFolder) const
{
    const WithdrawalsFile file = readWithdrawals();
    const QString key = mergeKey(record);
    QList<Withdrawal> entries = file.entries;
    entries.removeIf([&](const Withdrawal &entry) { return entry.key == key; });
    entries.append({key, record.toJson(), ledgerFolder, false});
    saveWithdrawals(file, entries);
}

void LedgerService::dropWithdrawalEntry(const QString &key) const
{
    const WithdrawalsFile file = readWithdrawals();
    QList<Withdrawal> entries = file.entries;
    if (entries.removeIf([&](const Withdrawal &entry) { return entry.key == key; }) > 0)
        saveWithdrawals(file, entries);
}

void LedgerService::noteDriveClear(const QSet<QString> &keys) const
{
    const WithdrawalsFile file = readWithdrawals();
    QList<Withdrawal> entries = file.entries;
    bool changed = false;
    for (Withdrawal &entry : entries) {
        if (keys.contains(entry.key) && !entry.driveClear)
            changed = entry.driveClear = true;
    }
    if (changed)
        saveWithdrawals(file, entries);
}

void LedgerService::settleOwedChanges()
{
    // Most scans owe nothing: they neither wait for nor take the lock.
    if (readOwed().isEmpty() && readWithdrawals().entries.isEmpty())
        return;
    {
        std::optional<HomeWriter> writer;
        try {
            writer.emplace(m_fileMutex, writerLockPath(), waitLimit());
        } catch (const OperationError &) {
            return; // busy elsewhere (told in the log): the next scan settles
        }
        const QList<OwedChange> owed = readOwed();
        takeInOwedWithdrawals(owed);
        settleWithdrawalEntries(writer->deadline());
        settleOwedRecords(owed, writer->deadline());
    }
    loadRecords();
}

void LedgerService::takeInOwedWithdrawals(const QList<OwedChange> &owed) const
{
    for (const OwedChange &change : owed) {
        if (change.kind != OwedKind::withdrawal)
            continue;
        const QString key = mergeKey(change.record);
        const QList<Withdrawal> entries = readWithdrawals().entries;
        try {
            if (std::none_of(entries.cbegin(), entries.cend(),
                             [&](const Withdrawal &entry) { return entry.key == key; }))
                saveWithdrawalEntry(change.record, change.folders.value(0));
            dropOwed(change);
        } catch (const OperationError &) {
            // Stays owed in its own file, which hides the record all the same.
        }
    }
}

void LedgerService::settleWithdrawalEntries(Clock::time_point deadline) const
{
    const WithdrawalsFile file = readWithdrawals();
    if (file.entries.isEmpty())
        return;
    QSet<QString> owed;
    QStringList folders = mountedDriveFolders();
    for (const Withdrawal &entry : file.entries) {
        owed.insert(entry.key);
        folders.append(entry.ledgerFolder);
    }
    // Each home ledger is given up what it lists; one that cannot be read, or rewritten, keeps
    // its records owed.
    QSet<QString> homeStill;
    std::exception_ptr homeFailure;
    for (const QString &path : {localLedgerPath(), rebuildLedgerPath()})
        homeStill.unite(removeFromHomeLedger(path, owed, deadline, homeFailure));
    // Only a drive ledger that lists a withdrawn record is written. A withdrawal is given up by
    // its drive once the ledger of the drive it was given to is proven to list it no more,
    // whether it had to be rewritten or no longer listed it; one that cannot be read, is gone
    // or cannot store its new copy keeps it owed.
    QSet<QString> visited, clearPlaces;
    for (const QString &folder : std::as_const(folders)) {
        const QString place = PathUtils::standardized(joinName(folder, driveLedgerFileName()));
        if (folder.isEmpty() || visited.contains(place))
            continue;
        visited.insert(place);
        if (settleDriveLedger(folder, owed, driveHolding(folder), deadline).clear)
            clearPlaces.insert(place);
    }
    // A record is forgotten once its drive and both home ledgers are clear of it.
    QList<Withdrawal> entries = file.entries;
    bool changed = false;
    for (auto entry = entries.begin(); entry != entries.end();) {
        const bool driveClear =
            entry->driveClear || clearPlaces.contains(PathUtils::standardized(
                                     joinName(entry->ledgerFolder, driveLedgerFileName())));
        if (driveClear && !homeStill.contains(entry->key)) {
            entry = entries.erase(entry);
            changed = true;
            continue;
        }
        if (driveClear && !entry->driveClear)
            changed = entry->driveClear = true;
        ++entry;
    }
    if (!changed)
        return;
    try {
        saveWithdrawals(file, entries);
    } catch (const OperationError &) {
        // Still owed on paper only: the next settling finds nothing listed and writes nothing.
    }
}

void LedgerService::settleOwedRecords(const QList<OwedChange> &owed,
                                      Clock::time_point deadline) const
{
    const QSet<QString> withdrawn = withdrawnKeys();
    for (const OwedChange &change : owed) {
        if (change.kind == OwedKind::withdrawal)
            continue;
        // A record taken back is owed nothing more.
        if (withdrawn.contains(mergeKey(change.record))) {
            dropOwed(change);
            continue;
        }
        (void)doOwed(change, deadline);
    }
}

LedgerService::OwedOutcome LedgerService::doOwed(OwedChange change,
                                                 Clock::time_point deadline) const
{
    OwedOutcome outcome;
    if (change.kind == OwedKind::status)
        outcome.home = giveHomeStatus(change, {localLedgerPath(), rebuildLedgerPath()}, deadline);
    QStringList still;
    for (const QString &folder : std::as_const(change.folders)) {
        if (const std::optional<QString> problem = pushOwed(change, folder, deadline)) {
            still.append(folder);
            outcome.drives.append(QLatin1Char('\'') + folder + QStringLiteral("': ") + *problem);
        }
    }
    if (!outcome.home && still.isEmpty()) {
        dropOwed(change);
    } else if (still != change.folders) {
        change.folders = still;
        try {
            saveOwed(change);
        } catch (const OperationError &) {
            // The older file still names them all: each is proven again next time.
        }
    }
    return outcome;
}

std::optional<QString> LedgerService::updateRecordStatus(
    const QString &appOriginalPath, const QString &status, const std::optional<QString> &restoredAt,
    const std::optional<QUrl> &targetVolumeURL, const QList<QUrl> &additionalLedgerDirectories)
{
    QList<QUrl> urls = additionalLedgerDirectories;
    if (targetVolumeURL)
        urls.append(*targetVolumeURL);
    QStringList folders;
    QSet<QString> visited;
    for (const QUrl &url : std::as_const(urls)) {
        const QString folder = url.toLocalFile();
        const QString place = PathUtils::standardized(joinName(folder, driveLedgerFileName()));
        if (!visited.contains(place))
            folders.append(folder);
        visited.insert(place);
    }
    // Which records change, and which drive ledgers list them, read without a lock. A
    // withdrawn record a drive still lists stays as it was: it is not the one restored.
    const QSet<QString> withdrawn = withdrawnKeys();
    QList<OwedChange> changes;
    const auto collect = [&](const QList<MigrationRecord> &records, const QString &folder) {
        for (const MigrationRecord &record : records) {
            if (record.appOriginalPath != appOriginalPath ||
                record.status != MigrationStatus::active() || withdrawn.contains(mergeKey(record)))
                continue;
            auto change = std::find_if(changes.begin(), changes.end(), [&](const auto &owed) {
                return mergeKey(owed.record) == mergeKey(record);
            });
            if (change == changes.end()) {
                MigrationRecord changed = record;
                changed.status = status;
                changed.restoredAt = restoredAt;
                change = changes.insert(changes.end(), {OwedKind::status, changed, {}, {}});
            }
            if (!folder.isEmpty() && !change->folders.contains(folder))
                change->folders.append(folder);
        }
    };
    for (const QString &path : {localLedgerPath(), rebuildLedgerPath()})
        collect(readLedger(path).records, {});
    for (const QString &folder : std::as_const(folders))
        collect(readLedger(joinName(folder, driveLedgerFileName())).records, folder);
    if (changes.isEmpty()) {
        loadRecords();
        return std::nullopt;
    }
    // Remembered first: a lock held elsewhere, a drive that fails or the program's end from
    // here on delays the change, never loses it.
    std::exception_ptr notRemembered;
    for (const OwedChange &change : std::as_const(changes)) {
        try {
            saveOwed(change);
        } catch (const OperationError &) {
            notRemembered = std::current_exception();
        }
    }
    std::optional<QString> homeProblem;
    QStringList driveProblems;
    try {
        const HomeWriter writer(m_fileMutex, writerLockPath(), waitLimit());
        for (OwedChange change : std::as_const(changes)) {
            const OwedOutcome outcome = doOwed(change, writer.deadline());
            if (outcome.home)
                homeProblem = outcome.home;
            driveProblems.append(outcome.drives);
        }
    } catch (const OperationError &failure) {
        if (notRemembered)
            throw;
        homeProblem = FileLock::reasonOf(failure);
    }
    if (notRemembered && (homeProblem || !driveProblems.isEmpty()))
        std::rethrow_exception(notRemembered);
    loadRecords();
    QStringList owed;
    if (homeProblem)
        owed.append(QStringLiteral("Your Mac's ledger could not take it yet (") + *homeProblem +
                    QStringLiteral("); it is kept and written there at the next scan."));
    if (!driveProblems.isEmpty())
        owed.append(QStringLiteral("The drive's own ledger could not take it yet (") +
                    driveProblems.join(QStringLiteral("; ")) +
                    QStringLiteral("); it is kept and written there at the next scan with the "
                                   "drive connected."));
    if (owed.isEmpty())
        return std::nullopt;
    const QString text = owed.join(QLatin1Char(' '));
    AppLogger::shared().log(AppLogLevel::warning, kCategory,
                            QStringLiteral("The status \"") + status + QStringLiteral("\" of '") +
                                appOriginalPath + QStringLiteral("' is owed. ") + text);
    return text;
}

void LedgerService::rewriteHomeLedgers(
    const std::function<void(QList<MigrationRecord> &)> &keep) const
{
    const QStringList paths{localLedgerPath(), rebuildLedgerPath()};
    QList<MigrationRecord> readOrder;
    QList<bool> readable;
    for (const QString &path : paths) {
        try {
            readOrder.append(readForRewrite(path).records);
            readable.append(true);
        } catch (const OperationError &) {
            // One that cannot be read now is left as it is: its records did not reach the list.
            readable.append(false);
        }
    }
    QList<MigrationRecord> kept = merge(readOrder, withdrawnKeys());
    keep(kept);
    for (qsizetype i = 0; i < paths.size(); ++i) {
        if (!readable.at(i))
            continue;
        try {
            saveRecords(kept, paths.at(i));
        } catch (const OperationError &) {
        }
    }
}

void LedgerService::purgeTestRecords()
{
    {
        const HomeWriter writer(m_fileMutex, writerLockPath(), waitLimit());
        rewriteHomeLedgers([](QList<MigrationRecord> &records) {
            records.removeIf([](const MigrationRecord &record) { return !isRealRecord(record); });
        });
    }
    loadRecords();
}

void LedgerService::deleteRecord(const QString &id)
{
    {
        const HomeWriter writer(m_fileMutex, writerLockPath(), waitLimit());
        rewriteHomeLedgers([&id](QList<MigrationRecord> &records) {
            records.removeIf([&id](const MigrationRecord &record) { return record.id() == id; });
        });
    }
    loadRecords();
}

void LedgerService::clearAllHistory()
{
    {
        const HomeWriter writer(m_fileMutex, writerLockPath(), waitLimit());
        rewriteHomeLedgers([](QList<MigrationRecord> &records) { records.clear(); });
    }
    loadRecords();
}

bool LedgerService::isRealRecord(const MigrationRecord &record)
{
    const auto containsAny = [](const QString &text, std::initializer_list<QLatin1String> parts) {
        const QString lower = text.toLower();
        return std::any_of(parts.begin(), parts.end(),
                           [&lower](QLatin1String part) { return lower.contains(part); });
    };
    if (containsAny(record.appName, {QLatin1String("sampleapp"), QLatin1String("testapp")}))
        return false;
    if (containsAny(record.appOriginalPath, {QLatin1String("/var/folders/"), QLatin1String("/tmp/"),
                                             QLatin1String("/private/var/")}))
        return false;
    return !containsAny(record.appTargetPath.value_or(QString()),
                        {QLatin1String("/var/folders/"), QLatin1String("/tmp/")});
}

LedgerService::LedgersApart LedgerService::readApart(const QStringList &driveFolders) const
{
    LedgersApart apart;
    QList<MigrationRecord> homeRecords;
    QList<MigrationRecord> driveRecords;
    const auto read = [&](const QString &path, QList<MigrationRecord> &into) {
        LedgerFile file = readLedger(path);
        if (file.state() == FileState::damaged || file.state() == FileState::unreadable)
            apart.unreadable.append(QLatin1Char('\'') + path + QStringLiteral("' (") +
                                    file.file.problem + QLatin1Char(')'));
        into.append(std::move(file.records));
    };
    for (const QString &path : {localLedgerPath(), rebuildLedgerPath()})
        read(path, homeRecords);
    QSet<QString> visited;
    for (const QString &folder : driveFolders) {
        const QString path = joinName(folder, driveLedgerFileName());
        if (!visited.contains(PathUtils::standardized(path)))
            read(path, driveRecords);
        visited.insert(PathUtils::standardized(path));
    }
    const QSet<QString> withdrawn = withdrawnKeys();
    apart.home = merge(homeRecords, withdrawn);
    QSet<QString> atHome;
    for (const MigrationRecord &record : std::as_const(apart.home))
        atHome.insert(mergeKey(record));
    for (const MigrationRecord &record : merge(driveRecords, withdrawn)) {
        if (!atHome.contains(mergeKey(record)))
            apart.drives.append(record);
    }
    showOwedStatuses(apart.home);
    showOwedStatuses(apart.drives);
    return apart;
}
