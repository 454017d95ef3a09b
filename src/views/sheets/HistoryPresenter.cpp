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

QString HistoryPresenter::purgeConfirmMessage() const
{
    return QStringLiteral("This will permanently remove all ") +
           QString::number(m_testRecordCount) +
           QStringLiteral(" synthetic SampleApp and temporary test records from the migration "
                          "ledger, keeping only real application records.");
}

QString HistoryPresenter::purgeConfirmButtonText() const
{
    return QStringLiteral("Purge ") + QString::number(m_testRecordCount) +
           QStringLiteral(" Test Records");
}

QString HistoryPresenter::clearConfirmMessage()
{
    return QStringLiteral("Are you sure you want to clear the entire migration history log? This "
                          "only clears the log file; your actual applications and aliases will "
                          "remain untouched.");
}
