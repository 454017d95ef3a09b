#include "services/LedgerWithdrawals.h"

#include "base/OperationError.h"
#include "base/PathUtils.h"
#include "services/AppLogger.h"
#include "services/LedgerService.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <algorithm>

namespace LedgerFiles {

namespace {

const QLatin1String kRecordKey("record");
const QLatin1String kLedgerFolderKey("ledger_folder");
const QLatin1String kDriveClearKey("drive_clear");

QString driveLedgerIn(const QString &folder)
{
    return joinName(folder, LedgerService::driveLedgerFileName());
}

} // namespace

WithdrawalsFile parseWithdrawals(const QString &path)
{
    WithdrawalsFile result{readFile(path, maxOwedBytes), {}, {}};
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

WithdrawalsStore::WithdrawalsStore(QString path, DamageReports &reports)
    : m_path(std::move(path))
    , m_reports(reports)
{}

WithdrawalsFile WithdrawalsStore::read() const
{
    WithdrawalsFile file = parseWithdrawals(m_path);
    if (!file.problem.isEmpty())
        m_reports.tell(m_path, file.problem,
                       QStringLiteral("The list of withdrawn migration records '") + m_path +
                           QStringLiteral("' cannot be read whole (") + file.problem +
                           QStringLiteral("). A record named only in what cannot be read may "
                                          "show again as if it were in force. What can be read "
                                          "is kept, and the file is set aside before it is next "
                                          "written."));
    return file;
}

QSet<QString> WithdrawalsStore::keys() const
{
    QSet<QString> keys;
    for (const Withdrawal &entry : read().entries)
        keys.insert(entry.key);
    return keys;
}

void WithdrawalsStore::save(const WithdrawalsFile &read, const QList<Withdrawal> &entries) const
{
    if (!read.problem.isEmpty()) {
        // Kept as it is, for whoever wants to look; what of it reads goes on in `entries`. A
        // copy, not a move, so that nothing is lost if the program ends before the new file is
        // in place.
        const QString aside = setAside(m_path, read.file, read.file.state == FileState::read, 0);
        AppLogger::shared().log(
            AppLogLevel::warning, category,
            QStringLiteral("The damaged list of withdrawn migration records '") + m_path +
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
    saveBytes(QJsonDocument(array).toJson(QJsonDocument::Indented), m_path);
    // A later damage of the new file is told again.
    if (!read.problem.isEmpty())
        m_reports.forget(m_path, read.problem);
}

void WithdrawalsStore::saveEntry(const MigrationRecord &record, const QString &ledgerFolder) const
{
    const WithdrawalsFile file = read();
    const QString key = mergeKey(record);
    QList<Withdrawal> entries = file.entries;
    entries.removeIf([&](const Withdrawal &entry) { return entry.key == key; });
    entries.append({key, record.toJson(), ledgerFolder, false});
    save(file, entries);
}

void WithdrawalsStore::dropEntry(const QString &key) const
{
    const WithdrawalsFile file = read();
    QList<Withdrawal> entries = file.entries;
    if (entries.removeIf([&](const Withdrawal &entry) { return entry.key == key; }) > 0)
        save(file, entries);
}

void WithdrawalsStore::noteDriveClear(const QSet<QString> &keys) const
{
    const WithdrawalsFile file = read();
    QList<Withdrawal> entries = file.entries;
    bool changed = false;
    for (Withdrawal &entry : entries) {
        if (keys.contains(entry.key) && !entry.driveClear)
            changed = entry.driveClear = true;
    }
    if (changed)
        save(file, entries);
}

void WithdrawalsStore::settle(const QStringList &homeLedgers, const QStringList &driveFolders,
                              FileLock::Clock::time_point deadline) const
{
    const WithdrawalsFile file = read();
    if (file.entries.isEmpty())
        return;
    QSet<QString> owed;
    QStringList folders = driveFolders;
    for (const Withdrawal &entry : file.entries) {
        owed.insert(entry.key);
        folders.append(entry.ledgerFolder);
    }
    // Each home ledger is given up what it lists; one that cannot be read, or rewritten, keeps
    // its records owed.
    QSet<QString> homeStill;
    std::exception_ptr homeFailure;
    for (const QString &path : homeLedgers)
        homeStill.unite(removeFromHomeLedger(path, owed, deadline, homeFailure));
    // Only a drive ledger that lists a withdrawn record is written. A withdrawal is given up by
    // its drive once the ledger of the drive it was given to is proven to list it no more,
    // whether it had to be rewritten or no longer listed it; one that cannot be read, is gone
    // or cannot store its new copy keeps it owed.
    QSet<QString> visited, clearPlaces;
    for (const QString &folder : std::as_const(folders)) {
        const QString place = PathUtils::standardized(driveLedgerIn(folder));
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
        // A record no drive was given is owed by the home ledgers alone.
        const bool driveClear =
            entry->driveClear || entry->ledgerFolder.isEmpty() ||
            clearPlaces.contains(PathUtils::standardized(driveLedgerIn(entry->ledgerFolder)));
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
        save(file, entries);
    } catch (const OperationError &) {
        // Still owed on paper only: the next settling finds nothing listed and writes nothing.
    }
}

QSet<QString> removeFromHomeLedger(const QString &path, const QSet<QString> &keys,
                                   FileLock::Clock::time_point deadline,
                                   std::exception_ptr &failure)
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

DriveSettlement settleDriveLedger(const QString &folder, const QSet<QString> &keys,
                                  const std::optional<FileSystemIdentity> &drive,
                                  FileLock::Clock::time_point deadline)
{
    DriveSettlement result;
    if (!drive)
        return result;
    const QString path = driveLedgerIn(folder);
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

} // namespace LedgerFiles
