#include "services/LedgerOwed.h"

#include "base/OperationError.h"
#include "base/Sha256.h"
#include "services/LedgerService.h"
#include "services/LedgerWithdrawals.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <unistd.h>

namespace LedgerFiles {

namespace {

const QLatin1String kRecordKey("record");
const QLatin1String kKindKey("kind");
const QLatin1String kLedgerFoldersKey("ledger_folders");

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

// The change that gives the "active" copy of `to`'s record the status of `to`.
Change statusOf(const MigrationRecord &to)
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

Change appendOnce(const MigrationRecord &record)
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

// Pushes an owed status or record into the drive ledger in `folder` and proves it there: that
// ledger, read whole from its disk on the drive mounted there, shows it. Returns why it is still
// owed, or nothing.
std::optional<QString> pushOwed(const OwedChange &change, const QString &folder,
                                FileLock::Clock::time_point deadline)
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
                                      FileLock::Clock::time_point deadline)
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

OwedStore::OwedStore(QString folder, DamageReports &reports)
    : m_folder(std::move(folder))
    , m_reports(reports)
{}

QString OwedStore::pathOf(const OwedChange &change) const
{
    if (!change.path.isEmpty())
        return change.path;
    // One file per change and record: remembering it again replaces it.
    const QByteArray digest = Sha256::hash(mergeKey(change.record).toUtf8()).toHex().left(32);
    return m_folder + QLatin1Char('/') + kindLabel(change.kind) + QLatin1Char('-') +
           QString::fromLatin1(digest) + QStringLiteral(".json");
}

QList<OwedChange> OwedStore::read() const
{
    QList<OwedChange> owed;
    const QDir folder(m_folder);
    const QStringList names = folder.entryList(
        {QStringLiteral("*.json")}, QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    for (const QString &name : names) {
        const QString path = folder.filePath(name);
        const FileRead file = readFile(path, maxOwedBytes);
        const QJsonObject object = QJsonDocument::fromJson(file.bytes).object();
        const std::optional<OwedKind> kind = kindOf(object.value(kKindKey).toString());
        const std::optional<MigrationRecord> record =
            MigrationRecord::fromJson(object.value(kRecordKey));
        if (file.state == FileState::missing)
            continue;
        if (!kind || !record) {
            // Kept as it is for whoever looks; the change it held is not done.
            m_reports.tell(path, QStringLiteral("damaged"),
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

void OwedStore::save(const OwedChange &change) const
{
    QJsonArray folders;
    for (const QString &folder : change.folders)
        folders.append(folder);
    const QJsonObject object{{kKindKey, kindLabel(change.kind)},
                             {kRecordKey, change.record.toJson()},
                             {kLedgerFoldersKey, folders}};
    QDir().mkpath(m_folder);
    saveBytes(QJsonDocument(object).toJson(QJsonDocument::Indented), pathOf(change));
}

void OwedStore::drop(const OwedChange &change) const
{
    (void)::unlink(QFile::encodeName(pathOf(change)).constData());
}

QSet<QString> OwedStore::withdrawnKeys() const
{
    QSet<QString> keys;
    for (const OwedChange &change : read()) {
        if (change.kind == OwedKind::withdrawal)
            keys.insert(mergeKey(change.record));
    }
    return keys;
}

OwedOutcome doOwed(const OwedStore &store, OwedChange change, const QStringList &homeLedgers,
                   FileLock::Clock::time_point deadline)
{
    OwedOutcome outcome;
    if (change.kind == OwedKind::status)
        outcome.home = giveHomeStatus(change, homeLedgers, deadline);
    QStringList still;
    for (const QString &folder : std::as_const(change.folders)) {
        if (const std::optional<QString> problem = pushOwed(change, folder, deadline)) {
            still.append(folder);
            outcome.drives.append(QLatin1Char('\'') + folder + QStringLiteral("': ") + *problem);
        }
    }
    if (!outcome.home && still.isEmpty()) {
        store.drop(change);
    } else if (still != change.folders) {
        change.folders = still;
        try {
            store.save(change);
        } catch (const OperationError &) {
            // The older file still names them all: each is proven again next time.
        }
    }
    return outcome;
}

void takeInOwedWithdrawals(const OwedStore &store, const WithdrawalsStore &withdrawals,
                           const QList<OwedChange> &owed)
{
    for (const OwedChange &change : owed) {
        if (change.kind != OwedKind::withdrawal)
            continue;
        const QString key = mergeKey(change.record);
        const QList<Withdrawal> entries = withdrawals.read().entries;
        try {
            if (std::none_of(entries.cbegin(), entries.cend(),
                             [&](const Withdrawal &entry) { return entry.key == key; }))
                withdrawals.saveEntry(change.record, change.folders.value(0));
            store.drop(change);
        } catch (const OperationError &) {
            // Stays owed in its own file, which hides the record all the same.
        }
    }
}

void settleOwedRecords(const OwedStore &store, const QList<OwedChange> &owed,
                       const QSet<QString> &withdrawn, const QStringList &homeLedgers,
                       FileLock::Clock::time_point deadline)
{
    for (const OwedChange &change : owed) {
        if (change.kind == OwedKind::withdrawal)
            continue;
        // A record taken back is owed nothing more.
        if (withdrawn.contains(mergeKey(change.record))) {
            store.drop(change);
            continue;
        }
        (void)doOwed(store, change, homeLedgers, deadline);
    }
}

} // namespace LedgerFiles
