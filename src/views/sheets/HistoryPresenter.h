#pragma once

#include "model/MigrationRecord.h"
#include "services/LedgerService.h"

#include <QColor>
#include <QList>
#include <QString>
#include <optional>

// One ledger entry as the history draws it.
struct HistoryRow
{
    QString id; // timestamp + "_" + appName: the key deleteRecord() takes
    QString appName;
    QString versionText; // "v1.2"; empty: none
    QString badgeText;   // the status in upper case
    QColor badgeColor;
    QString fromText;
    std::optional<QString> toText;
    QString timestamp;       // as stored
    QString folderCountText; // "2 support folder(s)"; empty: none
};

// The decisions of the migration history: which records show, the counts and texts of the
// toolbar and the purge dialog. A test record is one the ledger service's purge removes, so
// every count announces exactly what a purge takes away.
class HistoryPresenter
{
public:
    HistoryPresenter(QList<MigrationRecord> records, bool hideTestRecords);

    [[nodiscard]] static bool isTestRecord(const MigrationRecord &record);
    [[nodiscard]] static QColor statusColor(const QString &status);
    [[nodiscard]] static HistoryRow row(const MigrationRecord &record);
    // The mark of a record that operations refuse, from the record rule's reason.
    [[nodiscard]] static QString refusalText(const QString &reason);

    [[nodiscard]] int testRecordCount() const { return m_testRecordCount; }
    [[nodiscard]] const QList<MigrationRecord> &visibleRecords() const { return m_visible; }
    [[nodiscard]] bool showsEmptyState() const { return m_visible.isEmpty(); }

    [[nodiscard]] QString headerCountText() const;
    [[nodiscard]] QString allSegmentText() const;
    [[nodiscard]] bool showsPurgeButton() const { return m_testRecordCount >= 1; }
    [[nodiscard]] QString purgeButtonText() const;
    [[nodiscard]] QString purgeMenuText() const;
    [[nodiscard]] bool purgeMenuEnabled() const { return m_testRecordCount > 0; }
    // The dialogs' messages; `kept` of the entries they remove stay, because the drives named
    // `drives` keep them in their own ledgers.
    [[nodiscard]] QString purgeConfirmMessage(int kept = 0, const QStringList &drives = {}) const;
    [[nodiscard]] QString purgeConfirmButtonText() const;
    [[nodiscard]] static QString clearConfirmMessage(int kept = 0, const QStringList &drives = {});

    // "2 entries stay: the drive 'Backup' keeps them."; empty when none stays.
    [[nodiscard]] static QString staysText(int kept, const QStringList &drives);
    // What the window says once a removal is done: what it removed, and what stays.
    [[nodiscard]] static QString clearOutcome(const HistoryRemoval &removal);
    [[nodiscard]] static QString purgeOutcome(const HistoryRemoval &removal);
    [[nodiscard]] static QString deleteOutcome(const QString &appName,
                                               const HistoryRemoval &removal);

private:
    QList<MigrationRecord> m_records;
    QList<MigrationRecord> m_visible;
    int m_testRecordCount = 0;
};
