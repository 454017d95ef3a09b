#include "services/LedgerService.h"

#include <QThread>

#include "base/MainThread.h"
#include "base/OperationError.h"
#include "base/PathUtils.h"
#include "base/UniqueFd.h"
#include "platform/System.h"
#include "services/AppLogger.h"
#include "services/DurableFile.h"

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
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace LedgerFiles {

enum class FileState {
    missing,
    read,
    unreadable, // exists, but cannot be read or does not decode as an array of records
};

// One ledger or withdrawals file as read from its disk.
struct FileRead
{
    FileState state = FileState::missing;
    QByteArray bytes;
    quint64 device = 0; // of the file system it was read from
    QString problem;    // why it is unreadable
};

// A record taken back on the Mac while the drive's ledger that was given it may still list it.
// Only its key matters, so an entry whose record names its path and time is whole.
struct Withdrawal
{
    QString key;
    QJsonObject record;   // as it was written
    QString ledgerFolder; // the folder holding that drive ledger
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
const QLatin1String kRecordKey("record");
const QLatin1String kLedgerFolderKey("ledger_folder");

// Far beyond any ledger a person makes; a bigger file is taken for damaged, not read.
constexpr qint64 kMaxFileBytes = qint64(32) * 1024 * 1024;

FileRead unreadableFile(const QString &problem)
{
    return {FileState::unreadable, {}, 0, problem};
}

QString errorText(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

// The whole file, read only from a regular file of at most kMaxFileBytes: a FIFO or a device
// in a ledger's place, or a link to one, must neither hang the program nor pass for a ledger.
// A link to a ledger kept elsewhere reads as that ledger; a proof asks which file system it
// came from. With `pastCache`, read from its disk, not from memory.
FileRead readFile(const QString &path, bool pastCache = false)
{
    const UniqueFd fd(
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        const int err = errno;
        if (err == ENOENT || err == ENOTDIR)
            return {};
        return unreadableFile(errorText(err));
    }
    struct stat info
    {};
    if (::fstat(fd.get(), &info) != 0)
        return unreadableFile(errorText(errno));
    if (!S_ISREG(info.st_mode))
        return unreadableFile(QStringLiteral("it is not a regular file"));
    const QString tooLarge = QStringLiteral("it is larger than %1 bytes").arg(kMaxFileBytes);
    if (info.st_size > kMaxFileBytes)
        return unreadableFile(tooLarge);
    if (pastCache) {
        if (const int err = System::current().storage().readPastCache(fd.get()))
            return unreadableFile(QStringLiteral("it could not be read from its disk: ") +
                                  errorText(err));
    }
    QByteArray bytes;
    QByteArray chunk(64 * 1024, Qt::Uninitialized);
    for (;;) {
        const ssize_t got = ::read(fd.get(), chunk.data(), std::size_t(chunk.size()));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return unreadableFile(errorText(errno));
        if (got == 0)
            break;
        bytes.append(chunk.constData(), got);
        if (bytes.size() > kMaxFileBytes)
            return unreadableFile(tooLarge);
    }
    return {FileState::read, std::move(bytes), quint64(info.st_dev), {}};
}

struct LedgerFile
{
    FileState state = FileState::missing;
    QList<MigrationRecord> records;
    quint64 device = 0;
};

LedgerFile readLedger(const QString &path, bool pastCache = false)
{
    const FileRead file = readFile(path, pastCache);
    if (file.state != FileState::read)
        return {file.state, {}, 0};
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(file.bytes, &parseError);
    std::optional<QList<MigrationRecord>> records =
        parseError.error == QJsonParseError::NoError && document.isArray()
            ? MigrationRecord::listFromJson(document.array())
            : std::nullopt;
    if (!records)
        return {FileState::unreadable, {}, 0};
    return {FileState::read, std::move(*records), file.device};
}

// The key under which the merge takes copies of one record in several files as one.
QString mergeKey(const MigrationRecord &record)
{
    return record.appOriginalPath + QLatin1Char('_') + record.timestamp;
}

WithdrawalsFile parseWithdrawals(const QString &path)
{
    WithdrawalsFile result{readFile(path), {}, {}};
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
        result.entries.append(
            {path.toString() + QLatin1Char('_') + timestamp.toString(), record, folder.toString()});
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
void saveBytes(const QByteArray &bytes, const QString &path)
{
    try {
        DurableFile::replace(path, bytes);
    } catch (const OperationError &failure) {
        throwFileError(failure.code(), QStringLiteral("Cannot write the ledger %1: %2"), path,
                       failure.message());
    }
}

void saveRecords(const QList<MigrationRecord> &records, const QString &path)
{
    saveBytes(QJsonDocument(MigrationRecord::listToJson(records)).toJson(QJsonDocument::Indented),
              path);
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

// Moves a damaged ledger out of the way under a name that keeps it, so that rewriting its
// path loses nothing.
QString setAside(const QString &path)
{
    const QString aside = asideName(path);
    if (std::rename(QFile::encodeName(path).constData(), QFile::encodeName(aside).constData()) !=
        0) {
        const int err = errno;
        throwFileError(err, QStringLiteral("Cannot set aside the unreadable ledger %1: %2"), path,
                       errorText(err));
    }
    return aside;
}

// The records of a ledger about to be rewritten: none when it is missing; when it cannot be
// read it is set aside first (a failure to do so is thrown, so the path is not rewritten).
QList<MigrationRecord> readForRewrite(const QString &path)
{
    LedgerFile file = readLedger(path);
    if (file.state == FileState::unreadable)
        (void)setAside(path);
    return std::move(file.records);
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

// Takes the records of `keys` out of one home ledger, rewriting it only when it lists one; a
// failed rewrite is thrown.
void removeRecords(const QString &path, const QSet<QString> &keys)
{
    LedgerFile file = readLedger(path);
    if (file.state != FileState::read)
        return;
    if (file.records.removeIf(
            [&keys](const MigrationRecord &record) { return keys.contains(mergeKey(record)); }) > 0)
        saveRecords(file.records, path);
}

QString joinName(const QString &folder, const QString &name)
{
    if (folder.endsWith(QLatin1Char('/')))
        return folder + name;
    return folder + QLatin1Char('/') + name;
}

// One writer at a time for the ledgers of this home folder and of its drives, whichever
// thread or program writes: an exclusive flock(2) on a file beside the home ledgers. The
// system lets go of it when its holder ends, however it ends, so no lock outlives its program.
// Where the file cannot be made, neither can the home ledgers be written.
class WriterLock
{
public:
    explicit WriterLock(const QString &folder)
        : m_fd(::open(QFile::encodeName(joinName(folder, kLockName)).constData(),
                      O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600))
    {
        if (!m_fd.valid())
            return;
        while (::flock(m_fd.get(), LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    // Closing the descriptor lets go of the lock.

private:
    UniqueFd m_fd;
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
                                  const std::optional<FileSystemIdentity> &drive)
{
    DriveSettlement result;
    if (!drive)
        return result;
    const QString path = joinName(folder, LedgerService::driveLedgerFileName());
    const auto provenClear = [&](const LedgerFile &file) {
        const bool listsNone =
            file.state == FileState::read && file.device == drive->device &&
            std::none_of(file.records.cbegin(), file.records.cend(),
                         [&keys](const MigrationRecord &r) { return keys.contains(mergeKey(r)); });
        return (file.state == FileState::missing || listsNone) && drive->holds(folder);
    };
    LedgerFile file = readLedger(path, true);
    for (const MigrationRecord &record : std::as_const(file.records)) {
        if (keys.contains(mergeKey(record)))
            result.listed.insert(mergeKey(record));
    }
    if (result.listed.isEmpty() || file.device != drive->device) {
        result.clear = provenClear(file);
        return result;
    }
    if (!drive->holds(folder))
        return result;
    file.records.removeIf(
        [&keys](const MigrationRecord &record) { return keys.contains(mergeKey(record)); });
    try {
        saveRecords(file.records, path);
    } catch (const OperationError &) {
        // A drive that cannot store its ledger keeps listing the records for now.
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

QList<MigrationRecord> LedgerService::readAllLedgers() const
{
    QList<MigrationRecord> all = readLedger(localLedgerPath()).records;
    all.append(readLedger(rebuildLedgerPath()).records);
    for (const QString &folder : mountedDriveFolders())
        all.append(readLedger(joinName(folder, driveLedgerFileName())).records);
    return all;
}

WithdrawalsFile LedgerService::readWithdrawals() const
{
    const QString path = withdrawalsPath();
    WithdrawalsFile file = parseWithdrawals(path);
    if (!file.problem.isEmpty())
        reportDamage(path, file.problem);
    return file;
}

void LedgerService::reportDamage(const QString &path, const QString &problem) const
{
    {
        const std::lock_guard lock(m_reportMutex);
        const QString damage = path + QLatin1Char('\n') + problem;
        if (m_reportedDamage.contains(damage))
            return;
        m_reportedDamage.insert(damage);
    }
    // No window shows a scan's errors, so the activity log is where the user learns of it.
    AppLogger::shared().log(
        AppLogLevel::error, QStringLiteral("Ledger"),
        QStringLiteral("The list of withdrawn migration records '") + path +
            QStringLiteral("' cannot be read whole (") + problem +
            QStringLiteral("). A record named only in what cannot be read may show again as if "
                           "it were in force. What can be read is kept, and the file is set "
                           "aside before it is next written."));
}

void LedgerService::saveWithdrawals(const WithdrawalsFile &read,
                                    const QList<Withdrawal> &entries) const
{
    const QString path = withdrawalsPath();
    if (!read.problem.isEmpty()) {
        // Kept as it is, for whoever wants to look; what of it reads goes on in `entries`. A
        // copy, not a move, so that nothing is lost if the program ends before the new file is
        // in place.
        QString aside;
        if (read.file.state == FileState::read) {
            aside = asideName(path);
            saveBytes(read.file.bytes, aside);
        } else {
            aside = setAside(path);
        }
        AppLogger::shared().log(
            AppLogLevel::warning, QStringLiteral("Ledger"),
            QStringLiteral("The damaged list of withdrawn migration records '") + path +
                QStringLiteral("' was set aside as '") + aside +
                QStringLiteral("'; what of it could be read is kept."));
    }
    QJsonArray array;
    for (const Withdrawal &entry : entries)
        array.append(
            QJsonObject{{kRecordKey, entry.record}, {kLedgerFolderKey, entry.ledgerFolder}});
    saveBytes(QJsonDocument(array).toJson(QJsonDocument::Indented), path);
    if (!read.problem.isEmpty()) {
        // A later damage of the new file is told again.
        const std::lock_guard lock(m_reportMutex);
        m_reportedDamage.clear();
    }
}

QSet<QString> LedgerService::withdrawnKeys() const
{
    QSet<QString> keys;
    for (const Withdrawal &entry : readWithdrawals().entries)
        keys.insert(entry.key);
    return keys;
}

void LedgerService::loadRecords()
{
    QList<MigrationRecord> merged;
    quint64 generation = 0;
    {
        // Reading takes no lock across programs: every file is replaced whole.
        const std::lock_guard lock(m_fileMutex);
        merged = merge(readAllLedgers(), withdrawnKeys());
        generation = ++m_readGeneration;
    }
    publish(merged, generation);
}

void LedgerService::publish(const QList<MigrationRecord> &records, quint64 generation)
{
    // The list is stored at once, so a worker that reads it right after its own write sees
    // its record; the change is announced on the main thread. Never waiting for the main
    // thread keeps an owner that waits for its workers at shutdown from deadlocking.
    {
        const std::lock_guard lock(m_recordsMutex);
        // A load that read the files earlier than the one already stored must not replace it.
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

void LedgerService::recordMigration(const MigrationRecord &record,
                                    const std::optional<QUrl> &targetVolumeURL)
{
    {
        const std::lock_guard lock(m_fileMutex);
        const WriterLock writer(configFolder());
        // A record made again within the same second as one withdrawn is in force.
        forgetWithdrawal(mergeKey(record));
        const QString local = localLedgerPath();
        QList<MigrationRecord> localRecords = readForRewrite(local);
        localRecords.append(record);
        saveRecords(localRecords, local);

        if (targetVolumeURL) {
            // The drive's copy is a convenience; the home ledger already holds the record.
            try {
                const QString drive =
                    joinName(targetVolumeURL->toLocalFile(), driveLedgerFileName());
                QList<MigrationRecord> driveRecords = readForRewrite(drive);
                driveRecords.append(record);
                saveRecords(driveRecords, drive);
            } catch (const OperationError &) {
            }
        }
    }
    loadRecords();
}

bool LedgerService::withdrawMigration(const MigrationRecord &record, const QUrl &targetVolumeURL,
                                      const std::optional<FileSystemIdentity> &drive)
{
    const QString key = mergeKey(record);
    const QString folder = targetVolumeURL.toLocalFile();
    std::exception_ptr failure, notRemembered;
    bool driveClear = false;
    {
        const std::lock_guard lock(m_fileMutex);
        const WriterLock writer(configFolder());
        // Remembered before anything else: whatever ends the program from here on, no ledger
        // that still lists the record brings it back.
        try {
            rememberWithdrawal(record, folder);
        } catch (const OperationError &) {
            notRemembered = std::current_exception();
        }
        for (const QString &path : {localLedgerPath(), rebuildLedgerPath()}) {
            try {
                removeRecords(path, {key});
            } catch (const OperationError &) {
                if (!failure)
                    failure = std::current_exception();
            }
        }
        driveClear = settleDriveLedger(folder, {key}, drive).clear;
        if (driveClear && !notRemembered) {
            try {
                forgetWithdrawal(key);
            } catch (const OperationError &) {
                // Owed on paper only: it hides no record but this one.
            }
        }
    }
    loadRecords();
    if (failure)
        std::rethrow_exception(failure);
    if (notRemembered && !driveClear)
        std::rethrow_exception(notRemembered);
    return driveClear;
}

void LedgerService::rememberWithdrawal(const MigrationRecord &record,
                                       const QString &ledgerFolder) const
{
    const WithdrawalsFile file = readWithdrawals();
    const QString key = mergeKey(record);
    QList<Withdrawal> entries = file.entries;
    entries.removeIf([&](const Withdrawal &entry) { return entry.key == key; });
    entries.append({key, record.toJson(), ledgerFolder});
    saveWithdrawals(file, entries);
}

void LedgerService::forgetWithdrawal(const QString &key) const
{
    const WithdrawalsFile file = readWithdrawals();
    QList<Withdrawal> entries = file.entries;
    if (entries.removeIf([&](const Withdrawal &entry) { return entry.key == key; }) > 0)
        saveWithdrawals(file, entries);
}

void LedgerService::settleWithdrawals()
{
    // Most scans owe nothing: they neither wait for nor take the lock.
    if (readWithdrawals().entries.isEmpty())
        return;
    const std::lock_guard lock(m_fileMutex);
    const WriterLock writer(configFolder());
    const WithdrawalsFile file = readWithdrawals();
    QSet<QString> owed;
    QStringList folders = mountedDriveFolders();
    for (const Withdrawal &entry : file.entries) {
        owed.insert(entry.key);
        folders.append(entry.ledgerFolder);
    }
    // Only a ledger that lists a withdrawn record is written: that is the drive it was given
    // to, there again. A record is forgotten only once each ledger that listed it is proven
    // not to any more; one that cannot store its new copy, or is gone, keeps it owed.
    QSet<QString> visited, settled, owedStill;
    for (const QString &folder : std::as_const(folders)) {
        const QString place = PathUtils::standardized(joinName(folder, driveLedgerFileName()));
        if (folder.isEmpty() || visited.contains(place))
            continue;
        visited.insert(place);
        const DriveSettlement settlement =
            settleDriveLedger(folder, owed, FileSystemIdentity::of(folder));
        (settlement.clear ? settled : owedStill).unite(settlement.listed);
    }
    settled.subtract(owedStill);
    if (settled.isEmpty())
        return;
    QList<Withdrawal> entries = file.entries;
    entries.removeIf([&](const Withdrawal &entry) { return settled.contains(entry.key); });
    try {
        saveWithdrawals(file, entries);
    } catch (const OperationError &) {
        // Still owed on paper only: the next settling finds nothing listed and writes nothing.
    }
}

void LedgerService::updateActiveRecordsInFile(const QString &path, const QString &appOriginalPath,
                                              const QString &status,
                                              const std::optional<QString> &restoredAt,
                                              const QSet<QString> &withdrawn) const
{
    LedgerFile file = readLedger(path);
    if (file.state != FileState::read)
        return;
    bool changed = false;
    for (MigrationRecord &record : file.records) {
        if (record.appOriginalPath != appOriginalPath ||
            record.status != MigrationStatus::active() || withdrawn.contains(mergeKey(record)))
            continue;
        record.status = status;
        record.restoredAt = restoredAt;
        changed = true;
    }
    if (changed)
        saveRecords(file.records, path);
}

void LedgerService::updateRecordStatus(const QString &appOriginalPath, const QString &status,
                                       const std::optional<QString> &restoredAt,
                                       const std::optional<QUrl> &targetVolumeURL,
                                       const QList<QUrl> &additionalLedgerDirectories)
{
    {
        const std::lock_guard lock(m_fileMutex);
        const WriterLock writer(configFolder());
        // A withdrawn record a drive still lists stays as it was: it is not the one restored.
        const QSet<QString> withdrawn = withdrawnKeys();
        updateActiveRecordsInFile(localLedgerPath(), appOriginalPath, status, restoredAt,
                                  withdrawn);
        // The rebuild ledger wins the merge over the local one, so it must change as well or
        // the old status would come back at the reload.
        updateActiveRecordsInFile(rebuildLedgerPath(), appOriginalPath, status, restoredAt,
                                  withdrawn);

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
            updateActiveRecordsInFile(path, appOriginalPath, status, restoredAt, withdrawn);
        }
    }
    loadRecords();
}

void LedgerService::replaceHomeLedgers(const QList<MigrationRecord> &records) const
{
    for (const QString &path : {localLedgerPath(), rebuildLedgerPath()}) {
        try {
            if (readLedger(path).state == FileState::unreadable)
                (void)setAside(path);
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
        const std::lock_guard lock(m_fileMutex);
        const WriterLock writer(configFolder());
        QList<MigrationRecord> kept = currentRecords();
        kept.removeIf([](const MigrationRecord &record) { return !isRealRecord(record); });
        replaceHomeLedgers(kept);
    }
    loadRecords();
}

void LedgerService::deleteRecord(const QString &id)
{
    {
        const std::lock_guard lock(m_fileMutex);
        const WriterLock writer(configFolder());
        QList<MigrationRecord> kept = currentRecords();
        kept.removeIf([&id](const MigrationRecord &record) { return record.id() == id; });
        replaceHomeLedgers(kept);
    }
    loadRecords();
}

void LedgerService::clearAllHistory()
{
    {
        const std::lock_guard lock(m_fileMutex);
        const WriterLock writer(configFolder());
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
