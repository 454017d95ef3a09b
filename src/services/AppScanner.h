#pragma once

#include "model/AppItem.h"
#include "model/DuplicateLocalInstance.h"
#include "services/BundleFacts.h"
#include "services/DuplicateCleanup.h"

#include <QFuture>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <mutex>

class LedgerService;

// The inventory of applications in both Applications folders: real bundles, links, aliases
// and proxy bundles, with their status facts, support folders, sizes, folded duplicate
// aliases and redundant local copies. One per main window; lives on the main thread.
//
// A scan publishes in this order: isScanning true and status "Scanning applications...";
// the new `apps` with every size 0; one size result after another as they finish (sizes
// and progress only); finally `apps` sorted largest first, `duplicateLocalInstances`,
// progress 1.0 and isScanning false. Published state changes only on the main thread and
// every assignment emits its signal. Each scan is a full rescan; a second scanAsync() while
// one runs starts an independent one, and the later finish wins.
class AppScanner final : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QList<AppItem> apps READ apps NOTIFY appsChanged)
    Q_PROPERTY(bool isScanning READ isScanning NOTIFY isScanningChanged)
    Q_PROPERTY(QString scanStatus READ scanStatus NOTIFY scanStatusChanged)
    Q_PROPERTY(double scanProgress READ scanProgress NOTIFY scanProgressChanged)
    Q_PROPERTY(QList<DuplicateLocalInstance> duplicateLocalInstances READ duplicateLocalInstances
                   NOTIFY duplicateLocalInstancesChanged)

public:
    // Reads the shared ledger service.
    explicit AppScanner(QObject *parent = nullptr);
    // Reads `ledger` (not owned; must outlive the scanner), and settles the withdrawals it
    // still owes a drive at the start of each scan.
    explicit AppScanner(LedgerService &ledger, QObject *parent = nullptr);
    // Waits for its background work.
    ~AppScanner() override;

    [[nodiscard]] const QList<AppItem> &apps() const { return m_apps; }
    [[nodiscard]] bool isScanning() const { return m_isScanning; }
    [[nodiscard]] const QString &scanStatus() const { return m_scanStatus; }
    [[nodiscard]] double scanProgress() const { return m_scanProgress; }
    [[nodiscard]] const QList<DuplicateLocalInstance> &duplicateLocalInstances() const
    {
        return m_duplicateLocalInstances;
    }
    // The Application Support folders searched, the user's first; fixed at creation.
    [[nodiscard]] const QList<QUrl> &supportRoots() const { return m_supportRoots; }
    // The folded duplicate aliases of every item.
    [[nodiscard]] int totalDuplicateAliasesCount() const;

    // The two facts the window writes into an item of `apps` (the detail pane's checklist
    // and its quit action). Main thread only; unknown paths are ignored; each change emits
    // appsChanged(). The size pass of a running scan keeps what was written here, and a
    // support-folder choice outlives rescans for as long as the application and the folder
    // are both found again.
    void setSupportFolderSelected(const QString &appPath, const QString &folderPath, bool selected);
    void setAppRunning(const QString &appPath, bool running);

    // One full scan; finishes once its final results are published. Never fails. Callable
    // from any thread.
    QFuture<void> scanAsync();

    // Cleanup of duplicate aliases and redundant local copies. Each works off the main
    // thread and finishes after the rescan that follows it; none fails. Call them on the
    // main thread. A path is removed only while it still holds a link, alias or proxy.
    QFuture<void> removeDuplicateAliases(const AppItem &item);
    QFuture<void> removeDuplicateAlias(const QString &duplicatePath);
    // Removes every folded alias, then puts back stand-ins whose own path is gone.
    QFuture<void> cleanAllDuplicateAliases();
    QFuture<TrashResult>
    trashDuplicateLocalInstances(const QList<DuplicateLocalInstance> &instances);

    [[nodiscard]] static qint64 calculateDirectorySize(const QString &path);
    [[nodiscard]] static VersionInfo extractVersionInfo(const QUrl &bundle);
    [[nodiscard]] static QList<DuplicateLocalInstance>
    findDuplicateLocalInstances(const QList<AppItem> &items);

signals:
    void appsChanged();
    void isScanningChanged();
    void scanStatusChanged();
    void scanProgressChanged();
    void duplicateLocalInstancesChanged();

private:
    struct SizeResult;
    class ScanRun;

    void startScan(const std::shared_ptr<ScanRun> &run);
    void runScan(const std::shared_ptr<ScanRun> &run);
    void publishList(const QList<AppItem> &items);
    void applySize(const SizeResult &result, ScanRun &run);
    void finishScan();
    // Runs `work` on the thread pool, then rescans; the future ends after the rescan.
    QFuture<void> thenRescan(std::function<void()> work);
    void track(const QFuture<void> &worker);

    void setApps(QList<AppItem> apps);
    // Puts the user's support-folder choices into a fresh list, forgetting those whose
    // application or folder is gone.
    void carryFolderChoices(QList<AppItem> &items);
    void setIsScanning(bool scanning);
    void setScanStatus(const QString &status);
    void setScanProgress(double progress);
    void setDuplicateLocalInstances(QList<DuplicateLocalInstance> instances);

    LedgerService &m_ledger;
    QList<AppItem> m_apps;
    // Path → position in m_apps of the first item with it, so that each size result finds
    // its item at once rather than by a search of the whole list.
    QHash<QString, qsizetype> m_positions;
    bool m_isScanning = false;
    QString m_scanStatus = QStringLiteral("Ready");
    double m_scanProgress = 0.0;
    QList<DuplicateLocalInstance> m_duplicateLocalInstances;
    QList<QUrl> m_supportRoots;
    // application path → support-folder path → chosen
    QHash<QString, QHash<QString, bool>> m_folderChoices;

    std::mutex m_workersMutex;
    QList<QFuture<void>> m_workers;
};
