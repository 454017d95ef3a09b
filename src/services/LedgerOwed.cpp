#include "services/LedgerOwed.h"

#include "base/OperationError.h"
#include "base/PathUtils.h"
#include "base/Sha256.h"
#include "platform/System.h"
#include "services/LedgerService.h"
#include "services/LedgerWithdrawals.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace LedgerFiles {

namespace {

const QLatin1String kRecordKey("record");
const QLatin1String kKindKey("kind");
const QLatin1String kLedgerFoldersKey("ledger_folders");
const QLatin1String kHomeKey("home");

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

// The change that gives a ledger `record` once: appended where it is not listed, its status
// brought up where a copy listed there still says "active".
Change appendOrCatchUp(const MigrationRecord &record)
{
    return [record, key = mergeKey(record)](QList<MigrationRecord> &records) {
        const auto found = std::find_if(records.begin(), records.end(), [&](const auto &listed) {
            return mergeKey(listed) == key;
        });
        if (found == records.end()) {
            records.append(record);
            return true;
        }
        if (found->status != MigrationStatus::active() ||
            record.status == MigrationStatus::active())
            return false;
        found->status = record.status;
        found->restoredAt = record.restoredAt;
        return true;
    };
}

// Whether `file` shows `record` given as `kind`: an appended record listed, and not still
// "active" where it moved on; a status no longer "active" (or its record no longer listed at
// all).
bool showsDone(const LedgerFile &file, OwedKind kind, const MigrationRecord &record)
{
    const MigrationRecord *listed = findRecord(file.records, mergeKey(record));
    if (kind == OwedKind::append)
        return listed != nullptr && (listed->status != MigrationStatus::active() ||
                                     record.status == MigrationStatus::active());
    return listed == nullptr || listed->status != MigrationStatus::active();
}

// Pushes an owed status or record into the drive ledger in `folder` and proves it there: that
// ledger, read whole from its disk on the drive mounted there, shows it. Returns why it is still
// owed, or nothing.
std::optional<Owing> pushOwed(OwedKind kind, const MigrationRecord &record, const QString &folder,
                              FileLock::Clock::time_point deadline)
{
    const std::optional<FileSystemIdentity> drive = driveHolding(folder);
    if (!drive)
        return Owing{folder, QStringLiteral("the drive is not connected"), Owing::Until::connected};
    const QString path = joinName(folder, LedgerService::driveLedgerFileName());
    const auto proven = [&](const LedgerFile &file) {
        return file.state() == FileState::read && file.file.device == drive->device &&
               stillThere(path) && showsDone(file, kind, record) && drive->holds(folder);
    };
    const LedgerFile before = readLedger(path, true);
    if (proven(before))
        return std::nullopt;
    const bool append = kind == OwedKind::append;
    // A status goes only into a ledger that reads; a record may start a new one.
    if (before.state() == FileState::unreadable || (!append && before.state() != FileState::read))
        return Owing{folder,
                     before.state() == FileState::missing
                         ? QStringLiteral("its ledger is not there")
                         : QStringLiteral("its ledger cannot be read: ") + before.file.problem};
    try {
        (void)rewriteLedger(path, append ? appendOrCatchUp(record) : statusOf(record),
                            driveLockPath(path), deadline);
    } catch (const OperationError &failure) {
        return Owing{folder, FileLock::reasonOf(failure),
                     failure.code() == EWOULDBLOCK ? Owing::Until::free : Owing::Until::writable};
    }
    if (proven(readLedger(path, true)))
        return std::nullopt;
    return Owing{folder, QStringLiteral("its ledger did not read back with the change from its "
                                        "disk")};
}

// Gives both home ledgers an owed status. Returns why one still owes it, or nothing; one that
// cannot be read is left as it is.
std::optional<QString> giveHomeStatus(const OwedChange &change, const QStringList &paths,
                                      FileLock::Clock::time_point deadline)
{
    for (const QString &path : paths) {
        const LedgerFile file = readLedger(path);
        if (file.state() != FileState::read || showsDone(file, change.kind, change.record))
            continue;
        try {
            (void)rewriteLedger(path, statusOf(change.record), std::nullopt, deadline);
        } catch (const OperationError &failure) {
            return FileLock::reasonOf(failure);
        }
        const LedgerFile after = readLedger(path);
        if (after.state() == FileState::read && !showsDone(after, change.kind, change.record))
            return QStringLiteral("it did not read back with the change");
    }
    return std::nullopt;
}

// Gives the local ledger at `path` an owed record. Returns why it still owes it, or nothing.
std::optional<QString> giveHomeRecord(const MigrationRecord &record, const QString &path,
                                      FileLock::Clock::time_point deadline)
{
    try {
        (void)rewriteLedger(
            path,
            [&record](QList<MigrationRecord> &records) {
                if (findRecord(records, mergeKey(record)))
                    return false;
                records.append(record);
                return true;
            },
            std::nullopt, deadline);
    } catch (const OperationError &failure) {
        return FileLock::reasonOf(failure);
    }
    if (findRecord(readLedger(path).records, mergeKey(record)))
        return std::nullopt;
    return QStringLiteral("it did not read back with the record");
}

// The record an owed append gives the drives: as the home ledgers hold it now; the owed copy
// while the Mac's own ledger still owes it. Nothing where the home ledgers, read whole, no
// longer hold it; `known` false where one of them cannot be read.
struct HomeCopy
{
    bool known = true;
    std::optional<MigrationRecord> record;
};

HomeCopy homeCopy(const OwedChange &change, const QStringList &homeLedgers)
{
    QList<MigrationRecord> readOrder;
    bool whole = true;
    for (const QString &path : homeLedgers) {
        const LedgerFile file = readLedger(path);
        readOrder.append(file.records);
        whole = whole && (file.state() == FileState::read || file.state() == FileState::missing);
    }
    const QList<MigrationRecord> held = merge(readOrder, {});
    if (const MigrationRecord *found = findRecord(held, mergeKey(change.record)))
        return {true, *found};
    if (change.home)
        return {true, change.record};
    return {whole, std::nullopt};
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
        owed.append({*kind, *record, folders, path, object.value(kHomeKey).toBool(false)});
    }
    return owed;
}

void OwedStore::save(const OwedChange &change) const
{
    QJsonArray folders;
    for (const QString &folder : change.folders)
        folders.append(folder);
    QJsonObject object{{kKindKey, kindLabel(change.kind)},
                       {kRecordKey, change.record.toJson()},
                       {kLedgerFoldersKey, folders}};
    if (change.home)
        object.insert(kHomeKey, true);
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

QString driveName(const QString &folder)
{
    const QString volumes = PathUtils::standardized(System::current().paths().volumesRoot);
    const QString place = PathUtils::standardized(folder);
    if (place.startsWith(volumes + QLatin1Char('/')))
        return place.mid(volumes.size() + 1).section(QLatin1Char('/'), 0, 0);
    return PathUtils::lastComponent(place);
}

QString whenUpdated(const QList<Owing> &owing)
{
    QStringList clauses;
    for (const Owing &owed : owing) {
        const QString wait =
            owed.until == Owing::Until::free ? QStringLiteral("when it is next free")
            : owed.until == Owing::Until::connected
                ? QStringLiteral("when it is next connected")
                : QStringLiteral("once its ledger can be written (") + owed.why + QLatin1Char(')');
        const QString clause = QStringLiteral("the drive '") + driveName(owed.folder) +
                               QStringLiteral("' will be updated ") + wait;
        if (!clauses.contains(clause))
            clauses.append(clause);
    }
    return clauses.join(QStringLiteral("; "));
}

QString reasons(const QList<Owing> &owing)
{
    QStringList out;
    for (const Owing &owed : owing)
        out.append(QLatin1Char('\'') + owed.folder + QStringLiteral("': ") + owed.why);
    return out.join(QStringLiteral("; "));
}

QList<OwedChange> inOrderDone(QList<OwedChange> owed)
{
    std::stable_partition(owed.begin(), owed.end(),
                          [](const OwedChange &change) { return change.kind == OwedKind::status; });
    return owed;
}

OwedOutcome doOwed(const OwedStore &store, OwedChange change, const QStringList &homeLedgers,
                   FileLock::Clock::time_point deadline)
{
    OwedOutcome outcome;
    MigrationRecord pushed = change.record;
    const bool homeBefore = change.home;
    if (change.kind == OwedKind::status) {
        outcome.home = giveHomeStatus(change, homeLedgers, deadline);
    } else if (change.kind == OwedKind::append) {
        if (change.home && !homeLedgers.isEmpty()) {
            outcome.home = giveHomeRecord(change.record, homeLedgers.first(), deadline);
            change.home = outcome.home.has_value();
        }
        const HomeCopy copy = homeCopy(change, homeLedgers);
        if (!copy.known) {
            for (const QString &folder : std::as_const(change.folders))
                outcome.drives.append({folder, QStringLiteral("your Mac's ledger cannot be read")});
            return outcome;
        }
        if (!copy.record) {
            // Taken out of the Mac's history since: no drive is given it any more.
            store.drop(change);
            return outcome;
        }
        pushed = *copy.record;
    }
    QStringList still;
    for (const QString &folder : std::as_const(change.folders)) {
        if (std::optional<Owing> owing = pushOwed(change.kind, pushed, folder, deadline)) {
            still.append(folder);
            outcome.drives.append(std::move(*owing));
        }
    }
    if (!outcome.home && still.isEmpty()) {
        store.drop(change);
    } else if (still != change.folders || change.record != pushed || change.home != homeBefore) {
        change.folders = still;
        change.record = pushed;
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
    for (const OwedChange &change : inOrderDone(owed)) {
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
