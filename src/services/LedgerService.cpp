#include "services/LedgerService.h"

#include <QThread>

#include "base/MainThread.h"
#include "base/OperationError.h"
#include "base/PathUtils.h"
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
#include <QJsonDocument>
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
               const std::optional<DurableFile::Original> &original = std::nullopt)
{
    try {
        DurableFile::replace(path, bytes, original);
    } catch (const OperationError &failure) {
        throwFileError(failure.code(), QStringLiteral("Cannot write the ledger %1: %2"), path,
                       failure.message());
    }
}

void saveRecords(const QList<MigrationRecord> &records, const QString &path,
                 const std::optional<DurableFile::Original> &original = std::nullopt)
{
    saveBytes(QJsonDocument(MigrationRecord::listToJson(records)).toJson(QJsonDocument::Indented),
              path, original);
}

// The copies set aside of `path`, by name.
QStringList asideCopies(const QString &path)
{
    const QFileInfo info(path);
    return QDir(info.absolutePath())
        .entryList({info.fileName() + QStringLiteral(".unreadable-*")},
                   QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                   QDir::Name);
}

// A free name beside `path` for its damaged content.
QString asideName(const QString &path)
{
    const QString stem =
        path + QStringLiteral(".unreadable-") +
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    QString aside = stem;
    for (int n = 2; PathUtils::existsNoFollow(aside); ++n)
        aside = stem + QLatin1Char('-') + QString::number(n);
    return aside;
}

// Moves the damaged file at `path` out of the way under a name that keeps it (or, with
// `byCopy`, copies its `damaged` bytes there), so that rewriting its path loses nothing. The
// same damage is kept once: a copy of those very bytes set aside before serves again. Past
// `maxCopies` (0: no limit) nothing more is set aside and the failure is thrown.
QString setAside(const QString &path, const FileRead &damaged, bool byCopy, int maxCopies)
{
    const QString folder = PathUtils::parentPath(path) + QLatin1Char('/');
    const QStringList copies = asideCopies(path);
    QString aside;
    if (!damaged.bytes.isEmpty()) {
        for (const QString &name : copies) {
            if (QFileInfo(folder + name).size() == damaged.bytes.size() &&
                readFile(folder + name, damaged.bytes.size()).bytes == damaged.bytes) {
                aside = folder + name;
                break;
            }
        }
    }
    if (aside.isEmpty() && maxCopies > 0 && copies.size() >= maxCopies)
        throw OperationError::fileSystem(
            EEXIST, QStringLiteral("Cannot write the ledger ") + path +
                        QStringLiteral(": it cannot be read (") + damaged.problem +
                        QStringLiteral("), and %1 damaged copies of it are set aside beside it "
                                       "already. Move them away, then try again.")
                            .arg(copies.size()));
    if (aside.isEmpty())
        aside = asideName(path);
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

// Later records win: walks backwards, keeping the first record seen for each
// appOriginalPath + "_" + timestamp, so the result is in backward order. Records withdrawn on
// the Mac are left out, whichever file still lists them.
QList<MigrationRecord> merge(const QList<MigrationRecord> &readOrder,
                             const QSet<QString> &withdrawn)
{
    QList<MigrationRecord> result;
    QSet<QString> seen = withdrawn;
    for (auto it = readOrder.crbegin(); it != readOrder.crend(); ++it) {
        const QString key = mergeKey(*it);
        if (seen.contains(key))
            continue;
        seen.insert(key);
        result.append(*it);
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
// any; returns the file as written, or as read when nothing changed. With `lockPath` one writer
// at a time for that ledger, whichever program or home folder writes it. A replacement is made
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
            saveRecords(file.records, path, file.original());
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
// that ledger, read whole from its disk on the file system `drive`, lists none of them, or is
// missing from it while the file system is still mounted there. Nothing is written where the
// drive is gone, which would leave its mount-point folder on the Mac's own disk.
DriveSettlement settleDriveLedger(const QString &folder, const QSet<QString> &keys,
                                  const std::optional<FileSystemIdentity> &drive,
                                  Clock::time_point deadline)
{
    DriveSettlement result;
    if (!drive)
        return result;
    const QString path = joinName(folder, LedgerService::driveLedgerFileName());
    const auto provenClear = [&](const LedgerFile &file) {
        const bool listsNone = file.state() == FileState::read &&
                               file.file.device == drive->device &&
                               listedIn(file.records, keys).isEmpty();
        return (file.state() == FileState::missing || listsNone) && drive->holds(folder);
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

LedgerService::~LedgerService() = default;

LedgerService &LedgerService::shared()
{
    static LedgerService instance;
    return instance;
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
    publish(merge(readAllLedgers(), withdrawnKeys()), generation);
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
        (void)rewriteLedger(localLedgerPath(), append, std::nullopt, writer.deadline());

        if (targetVolumeURL) {
            // The drive's copy serves other Macs; the home ledger already holds the record.
            const QString drive = joinName(targetVolumeURL->toLocalFile(), driveLedgerFileName());
            try {
                (void)rewriteLedger(drive, append, driveLockPath(drive), writer.deadline());
            } catch (const OperationError &failure) {
                driveProblem = failure.message();
                AppLogger::shared().log(AppLogLevel::warning, kCategory,
                                        QStringLiteral("The record of '") + record.appName +
                                            QStringLiteral("' was not added to the drive's "
                                                           "ledger '") +
                                            drive + QStringLiteral("': ") + failure.message() +
                                            QStringLiteral(". The Mac's ledger holds it."));
            }
        }
    }
    loadRecords();
    return driveProblem;
}

void LedgerService::rememberWithdrawal(const MigrationRecord &record, const QUrl &targetVolumeURL)
{
    {
        const HomeWriter writer(m_fileMutex, writerLockPath(), waitLimit());
        saveWithdrawalEntry(record, targetVolumeURL.toLocalFile());
    }
    loadRecords();
}

void LedgerService::forgetWithdrawal(const MigrationRecord &record)
{
    {
        const HomeWriter writer(m_fileMutex, writerLockPath(), waitLimit());
        dropWithdrawalEntry(mergeKey(record));
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
        // that still lists the record brings it back.
        try {
            saveWithdrawalEntry(record, folder);
        } catch (const OperationError &) {
            notRemembered = std::current_exception();
        }
        for (const QString &path : {localLedgerPath(), rebuildLedgerPath()})
            homeClear &= removeFromHomeLedger(path, {key}, writer.deadline(), failure).isEmpty();
        driveClear = settleDriveLedger(folder, {key}, drive, writer.deadline()).clear;
        // Forgotten only once no ledger that can list the record does; a drive proven clear is
        // noted, so that the settling need not find it again.
        if (!notRemembered && driveClear) {
            try {
                if (homeClear)
                    dropWithdrawalEntry(key);
                else
                    noteDriveClear({key});
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

void LedgerService::settleWithdrawals()
{
    // Most scans owe nothing: they neither wait for nor take the lock.
    if (readWithdrawals().entries.isEmpty())
        return;
    std::optional<HomeWriter> writer;
    try {
        writer.emplace(m_fileMutex, writerLockPath(), waitLimit());
    } catch (const OperationError &) {
        return; // busy elsewhere (told in the log): the next scan settles
    }
    const WithdrawalsFile file = readWithdrawals();
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
        homeStill.unite(removeFromHomeLedger(path, owed, writer->deadline(), homeFailure));
    // Only a drive ledger that lists a withdrawn record is written: that is the drive it was
    // given to, there again. It counts as given up once each ledger that listed it is proven
    // not to any more; one that cannot store its new copy, or is gone, keeps it owed.
    QSet<QString> visited, settled, owedStill;
    for (const QString &folder : std::as_const(folders)) {
        const QString place = PathUtils::standardized(joinName(folder, driveLedgerFileName()));
        if (folder.isEmpty() || visited.contains(place))
            continue;
        visited.insert(place);
        const DriveSettlement settlement =
            settleDriveLedger(folder, owed, FileSystemIdentity::of(folder), writer->deadline());
        (settlement.clear ? settled : owedStill).unite(settlement.listed);
    }
    settled.subtract(owedStill);
    // A record is forgotten once its drive and both home ledgers are clear of it.
    QList<Withdrawal> entries = file.entries;
    bool changed = false;
    for (auto entry = entries.begin(); entry != entries.end();) {
        const bool driveClear = entry->driveClear || settled.contains(entry->key);
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

void LedgerService::updateActiveRecordsInFile(const QString &path, const QString &appOriginalPath,
                                              const QString &status,
                                              const std::optional<QString> &restoredAt,
                                              const QSet<QString> &withdrawn, bool isDriveLedger,
                                              std::chrono::steady_clock::time_point deadline) const
{
    const auto update = [&](QList<MigrationRecord> &records) {
        bool changed = false;
        for (MigrationRecord &record : records) {
            if (record.appOriginalPath != appOriginalPath ||
                record.status != MigrationStatus::active() || withdrawn.contains(mergeKey(record)))
                continue;
            record.status = status;
            record.restoredAt = restoredAt;
            changed = true;
        }
        return changed;
    };
    // Read first, so that a ledger without a change is neither written nor locked.
    LedgerFile file = readLedger(path);
    if (file.state() != FileState::read || !update(file.records))
        return;
    (void)rewriteLedger(
        path, update, isDriveLedger ? std::optional(driveLockPath(path)) : std::nullopt, deadline);
}

void LedgerService::updateRecordStatus(const QString &appOriginalPath, const QString &status,
                                       const std::optional<QString> &restoredAt,
                                       const std::optional<QUrl> &targetVolumeURL,
                                       const QList<QUrl> &additionalLedgerDirectories)
{
    {
        const HomeWriter writer(m_fileMutex, writerLockPath(), waitLimit());
        // A withdrawn record a drive still lists stays as it was: it is not the one restored.
        const QSet<QString> withdrawn = withdrawnKeys();
        updateActiveRecordsInFile(localLedgerPath(), appOriginalPath, status, restoredAt, withdrawn,
                                  false, writer.deadline());
        // The rebuild ledger wins the merge over the local one, so it must change as well or
        // the old status would come back at the reload.
        updateActiveRecordsInFile(rebuildLedgerPath(), appOriginalPath, status, restoredAt,
                                  withdrawn, false, writer.deadline());

        QList<QUrl> folders = additionalLedgerDirectories;
        if (targetVolumeURL)
            folders.append(*targetVolumeURL);
        QSet<QString> visited;
        for (const QUrl &folder : std::as_const(folders)) {
            const QString path =
                PathUtils::standardized(joinName(folder.toLocalFile(), driveLedgerFileName()));
            if (visited.contains(path))
                continue;
            visited.insert(path);
            updateActiveRecordsInFile(path, appOriginalPath, status, restoredAt, withdrawn, true,
                                      writer.deadline());
        }
    }
    loadRecords();
}

void LedgerService::replaceHomeLedgers(const QList<MigrationRecord> &records) const
{
    for (const QString &path : {localLedgerPath(), rebuildLedgerPath()}) {
        try {
            // One that cannot be read now is left as it is: its records did not reach the list.
            (void)readForRewrite(path);
            saveRecords(records, path);
        } catch (const OperationError &) {
        }
    }
}

QList<MigrationRecord> LedgerService::currentRecords() const
{
    // The published list, then what the files hold now on top of it: a record appended by
    // another thread since the last load is not lost, nor one of a drive unplugged since.
    QList<MigrationRecord> readOrder = records();
    std::reverse(readOrder.begin(), readOrder.end());
    readOrder.append(readAllLedgers());
    return merge(readOrder, withdrawnKeys());
}

void LedgerService::purgeTestRecords()
{
    {
        const HomeWriter writer(m_fileMutex, writerLockPath(), waitLimit());
        QList<MigrationRecord> kept = currentRecords();
        kept.removeIf([](const MigrationRecord &record) { return !isRealRecord(record); });
        replaceHomeLedgers(kept);
    }
    loadRecords();
}

void LedgerService::deleteRecord(const QString &id)
{
    {
        const HomeWriter writer(m_fileMutex, writerLockPath(), waitLimit());
        QList<MigrationRecord> kept = currentRecords();
        kept.removeIf([&id](const MigrationRecord &record) { return record.id() == id; });
        replaceHomeLedgers(kept);
    }
    loadRecords();
}

void LedgerService::clearAllHistory()
{
    {
        const HomeWriter writer(m_fileMutex, writerLockPath(), waitLimit());
        replaceHomeLedgers({});
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
