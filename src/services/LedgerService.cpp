#include "services/LedgerService.h"

#include "base/MainThread.h"
#include "base/OperationError.h"
#include "base/PathUtils.h"
#include "platform/System.h"
#include "services/AppLogger.h"
#include "services/FileLock.h"
#include "services/LedgerFiles.h"
#include "services/LedgerOwed.h"
#include "services/LedgerWithdrawals.h"

#include <QCoreApplication>
#include <QDir>
#include <QHash>
#include <QSet>
#include <QThread>
#include <algorithm>
#include <cerrno>
#include <exception>
#include <functional>

using namespace LedgerFiles;

namespace {

const QLatin1String kLocalLedgerName("migration_ledger.json");
const QLatin1String kRebuildLedgerName("rebuild_migration_ledger.json");
const QLatin1String kWithdrawalsName("withdrawn_migrations.json");
const QLatin1String kLockName("ledgers.lock");
const QLatin1String kOwedFolderName("owed");

using Clock = FileLock::Clock;

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

} // namespace

LedgerService::LedgerService(QObject *parent)
    : QObject(parent)
    , m_reports(std::make_unique<DamageReports>())
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

QStringList LedgerService::homeLedgerPaths() const
{
    return {localLedgerPath(), rebuildLedgerPath()};
}

WithdrawalsStore LedgerService::withdrawals() const
{
    return WithdrawalsStore(configFolder() + QLatin1Char('/') + kWithdrawalsName, *m_reports);
}

OwedStore LedgerService::owed() const
{
    return OwedStore(configFolder() + QLatin1Char('/') + kOwedFolderName, *m_reports);
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

QList<MigrationRecord>
LedgerService::readAllLedgers(QHash<QString, QStringList> &driveListings) const
{
    QList<MigrationRecord> all;
    for (const QString &path : homeLedgerPaths())
        all.append(recordsForMerge(path, *m_reports));
    for (const QString &folder : mountedDriveFolders()) {
        const QList<MigrationRecord> listed =
            recordsForMerge(joinName(folder, driveLedgerFileName()), *m_reports);
        for (const MigrationRecord &record : listed) {
            QStringList &drives = driveListings[mergeKey(record)];
            if (!drives.contains(PathUtils::lastComponent(folder)))
                drives.append(PathUtils::lastComponent(folder));
        }
        all.append(listed);
    }
    return all;
}

QSet<QString> LedgerService::withdrawnKeys() const
{
    return withdrawals().keys().unite(owed().withdrawnKeys());
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
    const QSet<QString> withdrawn = withdrawnKeys();
    QHash<QString, QStringList> driveListings;
    QList<MigrationRecord> records = merge(readAllLedgers(driveListings), withdrawn);
    showOwedChanges(records, withdrawn, true);
    publish(records, driveListings, generation);
}

void LedgerService::showOwedChanges(QList<MigrationRecord> &records, const QSet<QString> &withdrawn,
                                    bool homeRecords) const
{
    const QList<OwedChange> owedChanges = owed().read();
    // A record still owed to the Mac's own ledger is in force already, the latest of all; a
    // status still owed to a ledger that says "active" is what is true already.
    QHash<QString, MigrationRecord> owedStatuses;
    for (const OwedChange &change : owedChanges) {
        const QString key = mergeKey(change.record);
        if (change.kind == OwedKind::status)
            owedStatuses.insert(key, change.record);
        else if (homeRecords && change.kind == OwedKind::append && change.home &&
                 !withdrawn.contains(key) && !findRecord(records, key))
            records.prepend(change.record);
    }
    for (MigrationRecord &record : records) {
        const auto owed = owedStatuses.constFind(mergeKey(record));
        if (owed != owedStatuses.cend() && record.status == MigrationStatus::active()) {
            record.status = owed->status;
            record.restoredAt = owed->restoredAt;
        }
    }
}

void LedgerService::publish(const QList<MigrationRecord> &records,
                            const QHash<QString, QStringList> &driveListings, quint64 generation)
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
        m_driveListings = driveListings;
    }
    if (QThread::currentThread() == thread())
        emit recordsChanged();
    else
        onMainThread(this, [this] { emit recordsChanged(); });
}

std::optional<QString> LedgerService::recordMigration(const MigrationRecord &record,
                                                      const std::optional<QUrl> &targetVolumeURL)
{
    const QString folder = targetVolumeURL ? targetVolumeURL->toLocalFile() : QString();
    OwedChange owedRecord{OwedKind::append, record, {}, {}, true};
    if (targetVolumeURL)
        owedRecord.folders = {folder};
    // Owed before any lock is waited for: a program that ends while it waits leaves the record
    // to the next settling, as it is in force by then.
    const OwedStore store = owed();
    std::optional<QString> notKept;
    try {
        store.save(owedRecord);
    } catch (const OperationError &failure) {
        notKept = failure.message();
    }
    // Written once: a settling may have given it to the ledgers while this one waited.
    const auto append = [&record](QList<MigrationRecord> &records) {
        if (records.contains(record))
            return false;
        records.append(record);
        return true;
    };
    std::optional<QString> driveProblem;
    try {
        const HomeWriter writer(m_fileMutex, writerLockPath(), waitLimit());
        // A record made again within the same second as one withdrawn is in force.
        withdrawals().dropEntry(mergeKey(record));
        store.drop({OwedKind::withdrawal, record, {}, {}});
        (void)rewriteLedger(localLedgerPath(), append, std::nullopt, writer.deadline());
        owedRecord.home = false;

        if (targetVolumeURL) {
            // The drive's copy serves other Macs; the home ledger already holds the record.
            const QString drive = joinName(folder, driveLedgerFileName());
            try {
                (void)rewriteLedger(drive, append, driveLockPath(drive), writer.deadline());
                owedRecord.folders.clear();
            } catch (const OperationError &failure) {
                driveProblem = FileLock::reasonOf(failure);
                // Owed to the drive: the next settling adds it once the drive takes it.
                QString later = QStringLiteral(" It is added there at the next scan with the "
                                               "drive connected.");
                try {
                    store.save(owedRecord);
                } catch (const OperationError &notOwed) {
                    // The file saved before still owes it, where there is one.
                    if (notKept)
                        later = QStringLiteral(" It could not be kept for later either: ") +
                                notOwed.message();
                }
                AppLogger::shared().log(AppLogLevel::warning, category,
                                        QStringLiteral("The record of '") + record.appName +
                                            QStringLiteral("' was not added to the drive's "
                                                           "ledger '") +
                                            drive + QStringLiteral("': ") + failure.message() +
                                            QStringLiteral(" The Mac's ledger holds it.") + later);
            }
        }
    } catch (const OperationError &failure) {
        // Not recorded: the caller undoes what the record was to name. A settling may have
        // given the owed record to a ledger meanwhile (it took it before this one had the lock,
        // or holds the lock now): then it is withdrawn as an undone move's is, never left in
        // force.
        const QList<OwedChange> now = store.read();
        const bool untouched = std::any_of(now.cbegin(), now.cend(), [&](const OwedChange &c) {
            return c.kind == OwedKind::append && c.home && mergeKey(c.record) == mergeKey(record);
        });
        if (failure.code() == EWOULDBLOCK || !untouched) {
            try {
                store.save({OwedKind::withdrawal, record, owedRecord.folders, {}});
            } catch (const OperationError &) {
                // Forgotten all the same: no settling gives it from here on.
            }
        }
        store.drop(owedRecord);
        loadRecords();
        throw;
    }
    if (!driveProblem)
        store.drop(owedRecord);
    loadRecords();
    return driveProblem;
}

void LedgerService::rememberWithdrawal(const MigrationRecord &record, const QUrl &targetVolumeURL)
{
    // Without a lock: another program busy with the history must not leave the record in
    // force over an original put back.
    owed().save({OwedKind::withdrawal, record, {targetVolumeURL.toLocalFile()}, {}});
    loadRecords();
}

void LedgerService::forgetWithdrawal(const MigrationRecord &record)
{
    owed().drop({OwedKind::withdrawal, record, {}, {}});
    // A settling may have taken it into the withdrawals file meanwhile.
    const QString key = mergeKey(record);
    const QList<Withdrawal> entries = withdrawals().read().entries;
    if (std::any_of(entries.cbegin(), entries.cend(),
                    [&](const Withdrawal &entry) { return entry.key == key; })) {
        const HomeWriter writer(m_fileMutex, writerLockPath(), waitLimit());
        withdrawals().dropEntry(key);
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
    // Remembered before anything else, and before any lock is waited for: whatever ends the
    // program from here on, or keeps the ledgers busy, no ledger that still lists the record
    // brings it back. Owed until the withdrawals file takes it.
    bool owedSaved = true;
    try {
        owed().save({OwedKind::withdrawal, record, {folder}, {}});
    } catch (const OperationError &) {
        owedSaved = false;
        notRemembered = std::current_exception();
    }
    std::optional<HomeWriter> writer;
    try {
        writer.emplace(m_fileMutex, writerLockPath(), waitLimit());
    } catch (const OperationError &) {
        loadRecords(); // the record is out all the same, where it is owed
        throw;
    }
    {
        try {
            withdrawals().saveEntry(record, folder);
            owed().drop({OwedKind::withdrawal, record, {}, {}});
            notRemembered = nullptr;
        } catch (const OperationError &) {
            // Stays owed in its own file, which hides the record all the same.
            if (!owedSaved)
                notRemembered = std::current_exception();
        }
        for (const QString &path : homeLedgerPaths())
            homeClear &= removeFromHomeLedger(path, {key}, writer->deadline(), failure).isEmpty();
        driveClear = settleDriveLedger(folder, {key}, drive, writer->deadline()).clear;
        // Forgotten only once no ledger that can list the record does; a drive proven clear is
        // noted, so that the settling need not find it again.
        if (!notRemembered && driveClear) {
            try {
                if (homeClear) {
                    withdrawals().dropEntry(key);
                    owed().drop({OwedKind::withdrawal, record, {}, {}});
                } else {
                    withdrawals().noteDriveClear({key});
                }
            } catch (const OperationError &) {
                // Owed on paper only: it hides no record but this one.
            }
        }
        writer.reset();
    }
    loadRecords();
    if (failure)
        std::rethrow_exception(failure);
    if (notRemembered && !(driveClear && homeClear))
        std::rethrow_exception(notRemembered);
    return driveClear;
}

void LedgerService::settleOwedChanges()
{
    // Most scans owe nothing: they neither wait for nor take the lock.
    if (owed().read().isEmpty() && withdrawals().read().entries.isEmpty())
        return;
    {
        std::optional<HomeWriter> writer;
        try {
            writer.emplace(m_fileMutex, writerLockPath(), waitLimit());
        } catch (const OperationError &) {
            return; // busy elsewhere (told in the log): the next scan settles
        }
        const OwedStore store = owed();
        const QList<OwedChange> changes = store.read();
        takeInOwedWithdrawals(store, withdrawals(), changes);
        withdrawals().settle(homeLedgerPaths(), mountedDriveFolders(), writer->deadline());
        settleOwedRecords(store, changes, withdrawnKeys(), homeLedgerPaths(), writer->deadline());
    }
    loadRecords();
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
    const auto changes = [&](const MigrationRecord &record) {
        return record.appOriginalPath == appOriginalPath &&
               record.status == MigrationStatus::active() && !withdrawn.contains(mergeKey(record));
    };
    QList<OwedChange> statuses;
    const auto collect = [&](const QList<MigrationRecord> &records, const QString &folder) {
        for (const MigrationRecord &record : records) {
            if (!changes(record))
                continue;
            auto change = std::find_if(statuses.begin(), statuses.end(), [&](const auto &owed) {
                return mergeKey(owed.record) == mergeKey(record);
            });
            if (change == statuses.end()) {
                MigrationRecord changed = record;
                changed.status = status;
                changed.restoredAt = restoredAt;
                change = statuses.insert(statuses.end(), {OwedKind::status, changed, {}, {}});
            }
            if (!folder.isEmpty() && !change->folders.contains(folder))
                change->folders.append(folder);
        }
    };
    // A record still owed to a ledger changes there too, and first: read before the ledgers,
    // so that one a settling gives them meanwhile is found in one or the other.
    const OwedStore store = owed();
    QList<OwedChange> records;
    for (OwedChange change : store.read()) {
        if (change.kind != OwedKind::append || !changes(change.record))
            continue;
        collect({change.record}, {});
        for (const QString &folder : std::as_const(change.folders))
            collect({change.record}, folder);
        change.record.status = status;
        change.record.restoredAt = restoredAt;
        records.append(change);
    }
    for (const QString &path : homeLedgerPaths())
        collect(readLedger(path).records, {});
    for (const QString &folder : std::as_const(folders))
        collect(readLedger(joinName(folder, driveLedgerFileName())).records, folder);
    if (statuses.isEmpty()) {
        loadRecords();
        return std::nullopt;
    }
    // Remembered first: a lock held elsewhere, a drive that fails or the program's end from
    // here on delays the change, never loses it. An owed record is owed as it now stands.
    std::exception_ptr notRemembered;
    for (const OwedChange &change : std::as_const(statuses)) {
        try {
            store.save(change);
        } catch (const OperationError &) {
            notRemembered = std::current_exception();
        }
    }
    for (const OwedChange &change : std::as_const(records)) {
        try {
            store.save(change);
        } catch (const OperationError &) {
            // Its status is owed beside it, and done after it.
        }
    }
    std::optional<QString> homeProblem;
    QList<Owing> driveProblems;
    try {
        const HomeWriter writer(m_fileMutex, writerLockPath(), waitLimit());
        for (const OwedChange &change : inOrderDone(records + statuses)) {
            const OwedOutcome outcome = doOwed(store, change, homeLedgerPaths(), writer.deadline());
            if (outcome.home)
                homeProblem = outcome.home;
            for (const Owing &owing : outcome.drives) {
                if (std::none_of(driveProblems.cbegin(), driveProblems.cend(),
                                 [&](const Owing &known) { return known.folder == owing.folder; }))
                    driveProblems.append(owing);
            }
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
        owed.append(QStringLiteral("The drive's own ledger could not take it yet; ") +
                    whenUpdated(driveProblems) + QLatin1Char('.'));
    if (owed.isEmpty())
        return std::nullopt;
    const QString text = owed.join(QLatin1Char(' '));
    AppLogger::shared().log(
        AppLogLevel::warning, category,
        QStringLiteral("The status \"") + status + QStringLiteral("\" of '") + appOriginalPath +
            QStringLiteral("' is owed. ") + text +
            (driveProblems.isEmpty()
                 ? QString()
                 : QStringLiteral(" (") + reasons(driveProblems) + QLatin1Char(')')));
    return text;
}

void LedgerService::rewriteHomeLedgers(
    const std::function<void(QList<MigrationRecord> &)> &keep) const
{
    const QStringList paths = homeLedgerPaths();
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

QStringList LedgerService::drivesListing(const MigrationRecord &record) const
{
    const std::lock_guard lock(m_recordsMutex);
    return m_driveListings.value(mergeKey(record));
}

HistoryRemoval LedgerService::removeFromHistory(const QList<MigrationRecord> &entries)
{
    QSet<QString> keys;
    for (const MigrationRecord &entry : entries)
        keys.insert(mergeKey(entry));
    {
        const HomeWriter writer(m_fileMutex, writerLockPath(), waitLimit());
        rewriteHomeLedgers([&keys](QList<MigrationRecord> &records) {
            records.removeIf(
                [&keys](const MigrationRecord &record) { return keys.contains(mergeKey(record)); });
        });
        // What is taken out of the history is given to no drive later, where it would list it
        // again.
        const OwedStore store = owed();
        for (const OwedChange &change : store.read()) {
            if (change.kind == OwedKind::append && keys.contains(mergeKey(change.record)))
                store.drop(change);
        }
    }
    loadRecords();
    HistoryRemoval removal;
    QList<MigrationRecord> listed;
    QHash<QString, QStringList> driveListings;
    {
        const std::lock_guard lock(m_recordsMutex);
        listed = m_records;
        driveListings = m_driveListings;
    }
    QSet<QString> told;
    for (const MigrationRecord &entry : entries) {
        const QString key = mergeKey(entry);
        if (told.contains(key))
            continue;
        told.insert(key);
        const MigrationRecord *still = findRecord(listed, key);
        const QStringList drives = driveListings.value(key);
        if (!still) {
            ++removal.removed;
        } else if (drives.isEmpty()) {
            ++removal.notRemoved;
        } else {
            removal.keptByDrives.append(*still);
            for (const QString &drive : drives) {
                if (!removal.keepingDrives.contains(drive))
                    removal.keepingDrives.append(drive);
            }
        }
    }
    return removal;
}

HistoryRemoval LedgerService::purgeTestRecords()
{
    QList<MigrationRecord> tests = records();
    tests.removeIf([](const MigrationRecord &record) { return isRealRecord(record); });
    return removeFromHistory(tests);
}

HistoryRemoval LedgerService::deleteRecord(const QString &id)
{
    QList<MigrationRecord> matching = records();
    matching.removeIf([&id](const MigrationRecord &record) { return record.id() != id; });
    return removeFromHistory(matching);
}

HistoryRemoval LedgerService::clearAllHistory()
{
    return removeFromHistory(records());
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
    showOwedChanges(apart.home, withdrawn, true);
    showOwedChanges(apart.drives, withdrawn, false);
    return apart;
}
