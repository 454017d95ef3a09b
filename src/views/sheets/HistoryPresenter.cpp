#include "views/sheets/HistoryPresenter.h"

#include "services/LedgerService.h"
#include "views/kit/Palette.h"

HistoryPresenter::HistoryPresenter(QList<MigrationRecord> records, bool hideTestRecords)
    : m_records(std::move(records))
{
    for (const MigrationRecord &record : m_records) {
        const bool isTest = isTestRecord(record);
        if (isTest)
            ++m_testRecordCount;
        if (!hideTestRecords || !isTest)
            m_visible.append(record);
    }
}

bool HistoryPresenter::isTestRecord(const MigrationRecord &record)
{
    return !LedgerService::isRealRecord(record);
}

QColor HistoryPresenter::statusColor(const QString &status)
{
    if (status == QLatin1String("active") || status == QLatin1String("completed"))
        return Palette::blue();
    if (status == QLatin1String("restored"))
        return Palette::green();
    if (status == QLatin1String("copied"))
        return Palette::teal();
    return Palette::secondaryText();
}

HistoryRow HistoryPresenter::row(const MigrationRecord &record)
{
    HistoryRow row;
    row.id = record.timestamp + QLatin1Char('_') + record.appName;
    row.appName = record.appName;
    if (record.version)
        row.versionText = QLatin1Char('v') + *record.version;
    row.badgeText = record.status.toUpper();
    row.badgeColor = statusColor(record.status);
    row.fromText = QStringLiteral("From: ") + record.appOriginalPath;
    if (record.appTargetPath)
        row.toText = QStringLiteral("To: ") + *record.appTargetPath;
    row.timestamp = record.timestamp;
    if (!record.supportFolders.isEmpty())
        row.folderCountText =
            QString::number(record.supportFolders.size()) + QStringLiteral(" support folder(s)");
    return row;
}

QString HistoryPresenter::refusalText(const QString &reason)
{
    return QStringLiteral("Operations refuse this record: ") + reason + QLatin1Char('.');
}

QString HistoryPresenter::headerCountText() const
{
    return QString::number(m_visible.size()) + QStringLiteral(" recorded operation(s)");
}

QString HistoryPresenter::allSegmentText() const
{
    return QStringLiteral("All (") + QString::number(m_records.size()) + QLatin1Char(')');
}

QString HistoryPresenter::purgeButtonText() const
{
    return QStringLiteral("Purge Tests (") + QString::number(m_testRecordCount) + QLatin1Char(')');
}

QString HistoryPresenter::purgeMenuText() const
{
    return QStringLiteral("Purge Test Records (") + QString::number(m_testRecordCount) +
           QLatin1Char(')');
}

QString HistoryPresenter::purgeConfirmMessage(int kept, const QStringList &drives) const
{
    const QString stays = staysText(kept, drives);
    return QStringLiteral("This will permanently remove all ") +
           QString::number(m_testRecordCount) +
           QStringLiteral(" synthetic SampleApp and temporary test records from the migration "
                          "ledger, keeping only real application records.") +
           (stays.isEmpty() ? QString() : QLatin1Char(' ') + stays);
}

QString HistoryPresenter::purgeConfirmButtonText() const
{
    return QStringLiteral("Purge ") + QString::number(m_testRecordCount) +
           QStringLiteral(" Test Records");
}

QString HistoryPresenter::clearConfirmMessage(int kept, const QStringList &drives)
{
    if (kept == 0)
        return QStringLiteral("Are you sure you want to clear the entire migration history log? "
                              "This only clears the log file; your actual applications and "
                              "aliases will remain untouched.");
    // Not the entire history: what a drive's own ledger lists comes back at once.
    return QStringLiteral("Are you sure you want to clear the migration history log on this Mac? "
                          "This only clears the log file; your actual applications and aliases "
                          "will remain untouched. ") +
           staysText(kept, drives);
}

namespace {

QString entries(int count, const char *what)
{
    if (count == 0)
        return QStringLiteral("no entry ") + QLatin1String(what);
    return QString::number(count) +
           (count == 1 ? QStringLiteral(" entry ") : QStringLiteral(" entries ")) +
           QLatin1String(what);
}

// "the drive 'A'", "the drives 'A' and 'B'", "the drives 'A', 'B' and 'C'".
QString drivesText(const QStringList &drives)
{
    QStringList quoted;
    for (const QString &drive : drives)
        quoted.append(QLatin1Char('\'') + drive + QLatin1Char('\''));
    if (quoted.size() == 1)
        return QStringLiteral("the drive ") + quoted.first();
    const QString last = quoted.takeLast();
    return QStringLiteral("the drives ") + quoted.join(QStringLiteral(", ")) +
           QStringLiteral(" and ") + last;
}

// What stays of a removal besides what the drives keep, after a space; empty when nothing.
QString notRemovedText(const HistoryRemoval &removal)
{
    if (removal.notRemoved == 0)
        return {};
    return QLatin1Char(' ') + entries(removal.notRemoved, "") +
           QStringLiteral("could not be removed: your Mac's ledger could not be rewritten.");
}

QString staysAfter(const HistoryRemoval &removal)
{
    const QString stays =
        HistoryPresenter::staysText(int(removal.keptByDrives.size()), removal.keepingDrives);
    return (stays.isEmpty() ? QString() : QLatin1Char(' ') + stays) + notRemovedText(removal);
}

} // namespace

QString HistoryPresenter::staysText(int kept, const QStringList &drives)
{
    if (kept == 0 || drives.isEmpty())
        return {};
    const bool one = kept == 1;
    return QString::number(kept) +
           (one ? QStringLiteral(" entry stays: ") : QStringLiteral(" entries stay: ")) +
           drivesText(drives) +
           (drives.size() == 1 ? QStringLiteral(" keeps ") : QStringLiteral(" keep ")) +
           (one ? QStringLiteral("it.") : QStringLiteral("them."));
}

QString HistoryPresenter::clearOutcome(const HistoryRemoval &removal)
{
    return QStringLiteral("History cleared: ") + entries(removal.removed, "removed") +
           QLatin1Char('.') + staysAfter(removal);
}

QString HistoryPresenter::purgeOutcome(const HistoryRemoval &removal)
{
    return QStringLiteral("Test records purged: ") + entries(removal.removed, "removed") +
           QLatin1Char('.') + staysAfter(removal);
}

QString HistoryPresenter::deleteOutcome(const QString &appName, const HistoryRemoval &removal)
{
    const QString entry = QStringLiteral("The entry of '") + appName + QLatin1Char('\'');
    if (!removal.keptByDrives.isEmpty())
        return entry + QStringLiteral(" stays: ") + drivesText(removal.keepingDrives) +
               (removal.keepingDrives.size() == 1 ? QStringLiteral(" keeps it.")
                                                  : QStringLiteral(" keep it."));
    if (removal.notRemoved > 0)
        return entry +
               QStringLiteral(" could not be removed: your Mac's ledger could not be rewritten.");
    return entry + QStringLiteral(" was deleted.");
}
