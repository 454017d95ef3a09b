#include "services/LedgerService.h"

#include <QThread>

#include "base/MainThread.h"
#include "base/OperationError.h"
#include "base/PathUtils.h"
#include "platform/System.h"
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

namespace {

const QLatin1String kLocalLedgerName("migration_ledger.json");
const QLatin1String kRebuildLedgerName("rebuild_migration_ledger.json");
const QLatin1String kWithdrawalsName("withdrawn_migrations.json");
const QLatin1String kRecordKey("record");
const QLatin1String kLedgerFolderKey("ledger_folder");

enum class FileState {
    missing,
    read,
    unreadable, // exists, but cannot be read or does not decode as an array of records
};

struct LedgerFile
{
    FileState state = FileState::missing;
    QList<MigrationRecord> records;
};

// The whole file, or nothing when it cannot be read.
std::optional<QByteArray> readBytes(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;
    return bytes;
}

std::optional<QJsonArray> readArray(const QString &path)
{
    const std::optional<QByteArray> bytes = readBytes(path);
    if (!bytes)
        return std::nullopt;
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(*bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isArray())
        return std::nullopt;
    return document.array();
}

LedgerFile readLedger(const QString &path)
{
    if (!QFileInfo::exists(path))
        return {};
    const std::optional<QJsonArray> array = readArray(path);
    std::optional<QList<MigrationRecord>> records =
        array ? MigrationRecord::listFromJson(*array) : std::nullopt;
    if (!records)
        return {FileState::unreadable, {}};
    return {FileState::read, std::move(*records)};
}

// The key under which the merge takes copies of one record in several files as one.
QString mergeKey(const MigrationRecord &record)
{
    return record.appOriginalPath + QLatin1Char('_') + record.timestamp;
}

// A record taken back on the Mac while the drive's ledger that was given it may still list it.
struct Withdrawal
{
    MigrationRecord record;
    QString ledgerFolder; // the folder holding that drive ledger
};

struct WithdrawalsFile
{
    FileState state = FileState::missing;
    QList<Withdrawal> entries;
};

WithdrawalsFile readWithdrawals(const QString &path)
{
    if (!QFileInfo::exists(path))
        return {};
    const std::optional<QJsonArray> array = readArray(path);
    if (!array)
        return {FileState::unreadable, {}};
    WithdrawalsFile file{FileState::read, {}};
    for (const QJsonValue &value : *array) {
        const QJsonValue folder = value.toObject().value(kLedgerFolderKey);
        std::optional<MigrationRecord> record =
            MigrationRecord::fromJson(value.toObject().value(kRecordKey));
        if (!value.isObject() || !folder.isString() || !record)
            return {FileState::unreadable, {}};
        file.entries.append({std::move(*record), folder.toString()});
    }
    return file;
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

void saveWithdrawals(const QList<Withdrawal> &entries, const QString &path)
{
    QJsonArray array;
    for (const Withdrawal &entry : entries)
        array.append(QJsonObject{{kRecordKey, entry.record.toJson()},
                                 {kLedgerFolderKey, entry.ledgerFolder}});
    saveBytes(QJsonDocument(array).toJson(QJsonDocument::Indented), path);
}

// Moves a damaged ledger out of the way under a name that keeps it, so that rewriting its
// path loses nothing.
void setAside(const QString &path)
{
    const QString stem =
        path + QStringLiteral(".unreadable-") +
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    QString aside = stem;
    for (int n = 2; PathUtils::existsNoFollow(aside); ++n)
        aside = stem + QLatin1Char('-') + QString::number(n);
    if (std::rename(QFile::encodeName(path).constData(), QFile::encodeName(aside).constData()) !=
        0) {
        const int err = errno;
        throwFileError(err, QStringLiteral("Cannot set aside the unreadable ledger %1: %2"), path,
                       QString::fromLocal8Bit(std::strerror(err)));
    }
}

// The records of a ledger about to be rewritten: none when it is missing; when it cannot be
// read it is set aside first (a failure to do so is thrown, so the path is not rewritten).
QList<MigrationRecord> readForRewrite(const QString &path)
{
    LedgerFile file = readLedger(path);
    if (file.state == FileState::unreadable)
        setAside(path);
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

enum class Listing {
    noFile,
    unreadable,
    clear, // read, and lists none of the records (any more)
};

// Takes the records of `keys` out of one ledger file, rewriting it only when it lists one; a
// failed rewrite is thrown.
Listing removeRecords(const QString &path, const QSet<QString> &keys)
{
    LedgerFile file = readLedger(path);
    if (file.state != FileState::read)
        return file.state == FileState::missing ? Listing::noFile : Listing::unreadable;
    if (file.records.removeIf(
            [&keys](const MigrationRecord &record) { return keys.contains(mergeKey(record)); }) > 0)
        saveRecords(file.records, path);
    return Listing::clear;
}

QString joinName(const QString &folder, const QString &name)
{
    if (folder.endsWith(QLatin1Char('/')))
        return folder + name;
    return folder + QLatin1Char('/') + name;
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

QString LedgerService::rebuildLedgerPath() const
{
    return PathUtils::parentPath(localLedgerPath()) + QLatin1Char('/') + kRebuildLedgerName;
}

QString LedgerService::withdrawalsPath() const
{
    return PathUtils::parentPath(localLedgerPath()) + QLatin1Char('/') + kWithdrawalsName;
}

QStringList LedgerService::mountedDriveLedgers()
{
    const QDir volumes(System::installed()->paths().volumesRoot);
    // Listing order as the file system returns it; a later drive wins the merge.
    const QStringList entries = volumes.entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    QStringList ledgers;
    for (const QString &entry : entries)
        ledgers.append(volumes.filePath(entry) + QLatin1Char('/') + driveLedgerFileName());
    return ledgers;
}

QList<MigrationRecord> LedgerService::readAllLedgers() const
{
    QList<MigrationRecord> all = readLedger(localLedgerPath()).records;
    all.append(readLedger(rebuildLedgerPath()).records);
    for (const QString &ledger : mountedDriveLedgers())
        all.append(readLedger(ledger).records);
    return all;
}

QSet<QString> LedgerService::withdrawnKeys() const
{
    QSet<QString> keys;
    for (const auto &entry : readWithdrawals(withdrawalsPath()).entries)
        keys.insert(mergeKey(entry.record));
    return keys;
}

void LedgerService::loadRecords()
{
    QList<MigrationRecord> merged;
    quint64 generation = 0;
    {
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
                                      bool driveConnected)
{
    const QSet<QString> keys{mergeKey(record)};
    const QString driveLedger = joinName(targetVolumeURL.toLocalFile(), driveLedgerFileName());
    std::exception_ptr failure;
    const auto attempt = [&failure](auto &&step) {
        try {
            step();
        } catch (const OperationError &) {
            if (!failure)
                failure = std::current_exception();
        }
    };
    bool driveClear = false;
    {
        const std::lock_guard lock(m_fileMutex);
        for (const QString &path : {localLedgerPath(), rebuildLedgerPath()})
            attempt([&] { (void)removeRecords(path, keys); });
        if (driveConnected) {
            try {
                // A drive without a ledger was never given the record.
                driveClear = removeRecords(driveLedger, keys) != Listing::unreadable;
            } catch (const OperationError &) {
                // A drive that cannot store its ledger keeps listing the record for now.
            }
        }
        if (!driveClear)
            attempt([&] { rememberWithdrawal(record, targetVolumeURL.toLocalFile()); });
    }
    loadRecords();
    if (failure)
        std::rethrow_exception(failure);
    return driveClear;
}

void LedgerService::rememberWithdrawal(const MigrationRecord &record,
                                       const QString &ledgerFolder) const
{
    const QString path = withdrawalsPath();
    WithdrawalsFile file = readWithdrawals(path);
    if (file.state == FileState::unreadable)
        setAside(path);
    file.entries.removeIf(
        [&](const Withdrawal &entry) { return mergeKey(entry.record) == mergeKey(record); });
    file.entries.append({record, ledgerFolder});
    saveWithdrawals(file.entries, path);
}

void LedgerService::forgetWithdrawal(const QString &key) const
{
    const QString path = withdrawalsPath();
    WithdrawalsFile file = readWithdrawals(path);
    if (file.entries.removeIf(
            [&](const Withdrawal &entry) { return mergeKey(entry.record) == key; }) > 0)
        saveWithdrawals(file.entries, path);
}

void LedgerService::settleWithdrawals()
{
    const std::lock_guard lock(m_fileMutex);
    const QString path = withdrawalsPath();
    WithdrawalsFile file = readWithdrawals(path);
    if (file.entries.isEmpty())
        return;
    QSet<QString> owed;
    QStringList ledgers = mountedDriveLedgers();
    for (const Withdrawal &entry : std::as_const(file.entries)) {
        owed.insert(mergeKey(entry.record));
        ledgers.append(joinName(entry.ledgerFolder, driveLedgerFileName()));
    }
    // Only a ledger that lists a withdrawn record is written: that is the drive it was given
    // to, there again. One that cannot store its new copy keeps it owed, for the next time.
    QSet<QString> visited, settled, failed;
    for (const QString &ledger : std::as_const(ledgers)) {
        const QString place = PathUtils::standardized(ledger);
        if (visited.contains(place))
            continue;
        visited.insert(place);
        QSet<QString> listed;
        for (const MigrationRecord &record : readLedger(ledger).records) {
            if (owed.contains(mergeKey(record)))
                listed.insert(mergeKey(record));
        }
        if (listed.isEmpty())
            continue;
        try {
            (void)removeRecords(ledger, listed);
            settled.unite(listed);
        } catch (const OperationError &) {
            failed.unite(listed);
        }
    }
    settled.subtract(failed);
    if (settled.isEmpty())
        return;
    file.entries.removeIf(
        [&](const Withdrawal &entry) { return settled.contains(mergeKey(entry.record)); });
    try {
        saveWithdrawals(file.entries, path);
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
                setAside(path);
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
