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

LedgerFile readLedger(const QString &path)
{
    if (!QFileInfo::exists(path))
        return {};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {FileState::unreadable, {}};
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return {FileState::unreadable, {}};
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isArray())
        return {FileState::unreadable, {}};
    std::optional<QList<MigrationRecord>> records = MigrationRecord::listFromJson(document.array());
    if (!records)
        return {FileState::unreadable, {}};
    return {FileState::read, std::move(*records)};
}

[[noreturn]] void throwFileError(int err, const QString &what, const QString &path,
                                 const QString &reason)
{
    throw OperationError::fileSystem(err != 0 ? err : EIO, what.arg(path, reason));
}

// Whole-file replacement, proven on the file's disk: a reader sees either the old or the new
// file, and so does whoever reads the disk after it failed or was unplugged.
void saveRecords(const QList<MigrationRecord> &records, const QString &path)
{
    try {
        DurableFile::replace(
            path,
            QJsonDocument(MigrationRecord::listToJson(records)).toJson(QJsonDocument::Indented));
    } catch (const OperationError &failure) {
        throwFileError(failure.code(), QStringLiteral("Cannot write the ledger %1: %2"), path,
                       failure.message());
    }
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
// appOriginalPath + "_" + timestamp, so the result is in backward order.
QList<MigrationRecord> merge(const QList<MigrationRecord> &readOrder)
{
    QList<MigrationRecord> result;
    QSet<QString> seen;
    for (auto it = readOrder.crbegin(); it != readOrder.crend(); ++it) {
        const QString key = it->appOriginalPath + QLatin1Char('_') + it->timestamp;
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

QList<MigrationRecord> LedgerService::readAllLedgers() const
{
    QList<MigrationRecord> all = readLedger(localLedgerPath()).records;
    all.append(readLedger(rebuildLedgerPath()).records);
    const QDir volumes(System::installed()->paths().volumesRoot);
    // Listing order as the file system returns it; a later drive wins the merge.
    const QStringList entries = volumes.entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QString &entry : entries)
        all.append(
            readLedger(volumes.filePath(entry) + QLatin1Char('/') + driveLedgerFileName()).records);
    return all;
}

void LedgerService::loadRecords()
{
    QList<MigrationRecord> merged;
    quint64 generation = 0;
    {
        const std::lock_guard lock(m_fileMutex);
        merged = merge(readAllLedgers());
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

void LedgerService::removeRecordFromFile(const QString &path, const MigrationRecord &record)
{
    LedgerFile file = readLedger(path);
    if (file.state != FileState::read)
        return;
    if (file.records.removeAll(record) > 0)
        saveRecords(file.records, path);
}

void LedgerService::withdrawMigration(const MigrationRecord &record,
                                      const std::optional<QUrl> &targetVolumeURL)
{
    std::exception_ptr failure;
    {
        const std::lock_guard lock(m_fileMutex);
        QStringList files{localLedgerPath()};
        if (targetVolumeURL)
            files.append(joinName(targetVolumeURL->toLocalFile(), driveLedgerFileName()));
        // The drive's copy wins the merge, so it is tried even when the home ledger fails.
        for (const QString &path : std::as_const(files)) {
            try {
                removeRecordFromFile(path, record);
            } catch (const OperationError &) {
                if (!failure)
                    failure = std::current_exception();
            }
        }
    }
    loadRecords();
    if (failure)
        std::rethrow_exception(failure);
}

void LedgerService::updateActiveRecordsInFile(const QString &path, const QString &appOriginalPath,
                                              const QString &status,
                                              const std::optional<QString> &restoredAt) const
{
    LedgerFile file = readLedger(path);
    if (file.state != FileState::read)
        return;
    bool changed = false;
    for (MigrationRecord &record : file.records) {
        if (record.appOriginalPath != appOriginalPath || record.status != MigrationStatus::active())
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
        updateActiveRecordsInFile(localLedgerPath(), appOriginalPath, status, restoredAt);
        // The rebuild ledger wins the merge over the local one, so it must change as well or
        // the old status would come back at the reload.
        updateActiveRecordsInFile(rebuildLedgerPath(), appOriginalPath, status, restoredAt);

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
            updateActiveRecordsInFile(path, appOriginalPath, status, restoredAt);
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
    return merge(readOrder);
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
