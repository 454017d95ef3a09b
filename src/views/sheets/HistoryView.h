#pragma once

#include "model/MigrationRecord.h"

#include <QFuture>
#include <QHash>
#include <QList>
#include <QPointer>
#include <QWidget>
#include <functional>

class LedgerService;
class LogViewerSheet;
class QAction;
class QListWidget;
class QLabel;
class QMessageBox;
class QPushButton;
class QStackedWidget;
class QToolButton;

// The window's history section: the migration ledger's records, test records hidden by
// default, with reload, delete entry, purge of test records, clearing the history and the
// log viewer. Everything it shows follows the ledger service's published records; the
// ledger operations run off the GUI thread, so another program saving the history never holds
// the window up, nor does a drive that stopped answering: one still running after a moment is
// shown waiting ("pendingLabel"), one still running when the view goes is abandoned, never
// waited for, and one that fails (such a writer busy past the ledger's wait limit) is told in
// the alert "historyFailedAlert", which says what was not done. Delete Entry, Purge and Clear
// remove what was listed when they were asked, never an entry recorded since; their dialogs
// and, once done, "historyOutcomeLabel" say what stays because a drive's own ledger keeps it.
//
// Controls by object name: "realAppsSegment", "allSegment", "purgeTestsButton",
// "viewLogsButton", "refreshButton", "moreMenuButton" with the actions "purgeMenuAction"
// and "clearHistoryAction"; "historyList" with rows "historyRow:" + record id, each with
// the action "deleteEntryAction" and, once the record rule has judged it, the label
// "refusedLabel" when operations refuse the record; dialogs "purgeConfirmDialog" and
// "clearConfirmDialog" (buttons "confirmButton", "cancelButton"); the sheet "logViewerSheet".
class HistoryView final : public QWidget
{
    Q_OBJECT
public:
    // `ledgerService` is the shared one (not owned).
    explicit HistoryView(LedgerService *ledgerService, QWidget *parent = nullptr);
    ~HistoryView() override;

    [[nodiscard]] bool hideTestRecords() const { return m_hideTestRecords; }
    [[nodiscard]] bool showingPurgeConfirm() const { return m_purgeConfirm != nullptr; }
    [[nodiscard]] bool showingClearConfirm() const { return m_clearConfirm != nullptr; }
    [[nodiscard]] bool showingLogViewer() const { return m_logViewer != nullptr; }

private:
    void build();
    void refresh();
    void rebuildRows(const QList<MigrationRecord> &records);
    // Judged off the GUI thread (the rule resolves links); the rows of this refresh only.
    void markRefusedRecords(const QList<MigrationRecord> &records);
    void showRefusals(const QHash<QString, QString> &reasons);
    void setHideTestRecords(bool hide);
    void purgeTestRecords();
    // Runs one ledger operation off the GUI thread, shown `waiting` while it lasts; what it
    // returns is shown when it ends ("historyOutcomeLabel"), a failure told after `notDone`.
    void runLedgerOperation(std::function<QString(LedgerService &)> operation, QString waiting,
                            QString notDone);
    // The test records listed now: those a purge asked now removes.
    [[nodiscard]] QList<MigrationRecord> listedTestRecords() const;
    void purgeListed(const QList<MigrationRecord> &entries);
    void showFailure(const QString &message);
    void showPending();
    void showPurgeConfirm();
    void showClearConfirm();
    void showLogViewer();
    QMessageBox *confirmDialog(const QString &objectName, const QString &title,
                               const QString &message, const QString &confirmText,
                               std::function<void()> onConfirm);

    QPointer<LedgerService> m_ledger;
    bool m_hideTestRecords = true;
    QPointer<QMessageBox> m_purgeConfirm;
    QPointer<QMessageBox> m_clearConfirm;
    QPointer<LogViewerSheet> m_logViewer;
    QPointer<QMessageBox> m_failureAlert;

    QLabel *m_countLabel = nullptr;
    QLabel *m_pendingLabel = nullptr;
    QLabel *m_outcomeLabel = nullptr;
    QPushButton *m_realSegment = nullptr;
    QPushButton *m_allSegment = nullptr;
    QPushButton *m_purgeButton = nullptr;
    QToolButton *m_moreButton = nullptr;
    QAction *m_purgeAction = nullptr;
    QStackedWidget *m_body = nullptr;
    QWidget *m_emptyState = nullptr;
    QListWidget *m_list = nullptr;
    QList<MigrationRecord> m_visibleRecords;
    // Record id -> why operations refuse it, from the last judgement.
    QHash<QString, QString> m_refusals;
    quint64 m_rowsGeneration = 0;
    // What the operations still running wait to do, the latest last.
    QStringList m_pending;
};
