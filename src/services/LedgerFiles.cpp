#include "services/LedgerFiles.h"

#include "base/OperationError.h"
#include "base/PathUtils.h"
#include "base/UniqueFd.h"
#include "platform/System.h"
#include "services/AppLogger.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace LedgerFiles {

namespace {

const QLatin1String kDriveLockName(".korvanthelix_ledger.lock");

// Copies set aside of one ledger damaged again and again; past them it is left as it is.
constexpr int kMaxAsideCopies = 3;
// Attempts at a ledger that another writer keeps replacing under this one's hands.
constexpr int kRewriteAttempts = 5;

FileRead unreadableFile(const QString &problem, FileState state = FileState::unreadable)
{
    return {state, {}, 0, 0, problem};
}

QString errorText(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
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

// Of two copies of one record, the one whose status moved on: a status changes only from
// "active", so a copy that still says "active" is the older one, whichever file says it.
bool movedOn(const MigrationRecord &candidate, const MigrationRecord &kept)
{
    return kept.status == MigrationStatus::active() &&
           candidate.status != MigrationStatus::active();
}

} // namespace

FileRead readFile(const QString &path, qint64 maxBytes, bool pastCache)
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

LedgerFile readLedger(const QString &path, bool pastCache)
{
    LedgerFile ledger{readFile(path, maxLedgerBytes, pastCache), {}};
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

bool stillThere(const QString &path)
{
    struct stat info
    {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode);
}

QString mergeKey(const MigrationRecord &record)
{
    return record.appOriginalPath + QLatin1Char('_') + record.timestamp;
}

QSet<QString> listedIn(const QList<MigrationRecord> &records, const QSet<QString> &keys)
{
    QSet<QString> listed;
    for (const MigrationRecord &record : records) {
        if (keys.contains(mergeKey(record)))
            listed.insert(mergeKey(record));
    }
    return listed;
}

const MigrationRecord *findRecord(const QList<MigrationRecord> &records, const QString &key)
{
    const auto found = std::find_if(records.cbegin(), records.cend(),
                                    [&](const auto &record) { return mergeKey(record) == key; });
    return found == records.cend() ? nullptr : &*found;
}

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

QString driveLockPath(const QString &ledgerPath)
{
    return joinName(PathUtils::parentPath(ledgerPath), kDriveLockName);
}

std::optional<FileSystemIdentity> driveHolding(const QString &folder)
{
    std::optional<FileSystemIdentity> drive = FileSystemIdentity::of(folder);
    const QString volumes = PathUtils::standardized(System::current().paths().volumesRoot);
    if (drive && PathUtils::isSameOrInside(PathUtils::standardized(folder), volumes) &&
        (drive->mountPoint == volumes || !PathUtils::isSameOrInside(drive->mountPoint, volumes)))
        return std::nullopt;
    return drive;
}

void throwFileError(int err, const QString &what, const QString &path, const QString &reason)
{
    throw OperationError::fileSystem(err != 0 ? err : EIO, what.arg(path, reason));
}

void saveBytes(const QByteArray &bytes, const QString &path,
               const std::optional<DurableFile::Original> &original, bool everyUserReads)
{
    try {
        DurableFile::replace(path, bytes, original, everyUserReads);
    } catch (const OperationError &failure) {
        throwFileError(failure.code(), QStringLiteral("Cannot write the ledger %1: %2"), path,
                       failure.message());
    }
}

void saveRecords(const QList<MigrationRecord> &records, const QString &path,
                 const std::optional<DurableFile::Original> &original, bool everyUserReads)
{
    saveBytes(QJsonDocument(MigrationRecord::listToJson(records)).toJson(QJsonDocument::Indented),
              path, original, everyUserReads);
}

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
        AppLogger::shared().log(AppLogLevel::warning, category,
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
        AppLogger::shared().log(AppLogLevel::error, category,
                                QStringLiteral("The ledger '") + path +
                                    QStringLiteral("' cannot be read (") + file.file.problem +
                                    QStringLiteral("). It was set aside as '") + aside +
                                    QStringLiteral("', which keeps what it held, and a new "
                                                   "ledger was started."));
        return {};
    }
    return file;
}

LedgerFile rewriteLedger(const QString &path, const Change &change,
                         const std::optional<QString> &lockPath,
                         FileLock::Clock::time_point deadline)
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

Change without(const QSet<QString> &keys)
{
    return [keys](QList<MigrationRecord> &records) {
        return records.removeIf([&keys](const MigrationRecord &record) {
            return keys.contains(mergeKey(record));
        }) > 0;
    };
}

void DamageReports::tell(const QString &path, const QString &problem, const QString &text)
{
    {
        const std::lock_guard lock(m_mutex);
        const QString damage = path + QLatin1Char('\n') + problem;
        if (m_told.contains(damage))
            return;
        m_told.insert(damage);
    }
    // No window shows a scan's errors, so the activity log is where the user learns of it.
    AppLogger::shared().log(AppLogLevel::error, category, text);
}

void DamageReports::forget(const QString &path, const QString &problem)
{
    const std::lock_guard lock(m_mutex);
    m_told.remove(path + QLatin1Char('\n') + problem);
}

QList<MigrationRecord> recordsForMerge(const QString &path, DamageReports &reports)
{
    LedgerFile file = readLedger(path);
    if (file.state() == FileState::damaged || file.state() == FileState::unreadable)
        reports.tell(path, file.file.problem,
                     QStringLiteral("The ledger '") + path + QStringLiteral("' cannot be read (") +
                         file.file.problem +
                         (file.state() == FileState::damaged
                              ? QStringLiteral("). Its records are not shown; it is set aside "
                                               "before it is next written.")
                              : QStringLiteral("). Its records are not shown, and it is left as "
                                               "it is.")));
    return std::move(file.records);
}

} // namespace LedgerFiles
