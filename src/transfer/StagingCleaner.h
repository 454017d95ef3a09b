#pragma once

#include "transfer/OrphanedStagingItem.h"

#include <QFuture>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QUrl>
#include <functional>
#include <mutex>
#include <optional>

class LedgerService;
struct MigrationRecord;

// What a bulk cleanup did: the items removed, and one text per item left (a recovery copy
// kept on purpose, or a failed removal).
struct StagingCleanupResult
{
    int removedCount = 0;
    QStringList errors;

    friend bool operator==(const StagingCleanupResult &, const StagingCleanupResult &) = default;
};

// Finds what interrupted operations left one level deep in the Applications and Application
// Support folders of the Mac and of the target, and removes it on request. Names end in a
// marker followed by a UUID: ".staging-", ".restoring-", ".offload-rollback-", ".rollback-",
// and the drive copies a restore kept (DriveLayout::keptCopyMarker); the last three mark
// recovery copies, which the bulk cleanup never deletes. Copies staged on the
// drive (".korvanthelix-partial") count too while no transfer runs: a program stopped mid-copy
// leaves one. They and kept copies are also looked for in the nested folders of the target's
// Applications folder, where applications from subfolders are staged. Lives on the main thread;
// published state changes only there and every assignment emits its signal.
class StagingCleaner final : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QList<OrphanedStagingItem> orphanedItems READ orphanedItems WRITE setOrphanedItems
                   NOTIFY orphanedItemsChanged)
    Q_PROPERTY(bool isCleaning READ isCleaning WRITE setIsCleaning NOTIFY isCleaningChanged)

public:
    // Reads the shared ledger service.
    explicit StagingCleaner(QObject *parent = nullptr);
    // Reads `ledger` (not owned; must outlive the cleaner).
    explicit StagingCleaner(LedgerService &ledger, QObject *parent = nullptr);
    // Waits for its background work.
    ~StagingCleaner() override;

    // The last scan's items, largest first.
    [[nodiscard]] const QList<OrphanedStagingItem> &orphanedItems() const
    {
        return m_orphanedItems;
    }
    [[nodiscard]] bool isCleaning() const { return m_isCleaning; }
    // Main thread only.
    void setOrphanedItems(const QList<OrphanedStagingItem> &items);
    void setIsCleaning(bool cleaning);

    // Main thread. Answers whether a transfer runs, asked on the main thread when a scan or a
    // cleanup starts; while one runs, staged copies are neither listed nor removed. Without
    // one, no transfer is known to run.
    using TransferProbe = std::function<bool()>;
    void setTransferProbe(TransferProbe probe);

    // Main thread. Rescans and replaces orphanedItems; never fails. Scans are not serialized:
    // the last to finish wins.
    QFuture<void> scanOrphanedItems(const std::optional<QUrl> &targetVolumeURL);
    // Main thread. Removes every item of the last scan except recovery copies (and staged
    // copies while a transfer runs), then rescans with the same target; never fails. Each is
    // removed relative to its folder (on the target, entered from the target's root without
    // following a link) and only while it is the item the scan saw; one that changed is kept,
    // and said so in the result's errors.
    QFuture<StagingCleanupResult> cleanAllOrphanedItems(const std::optional<QUrl> &targetVolumeURL);

    // The scan itself, on the calling thread: the folders of the Mac, then the target's.
    // Staged copies are listed only with `includePartials` (no transfer runs).
    [[nodiscard]] static QList<OrphanedStagingItem>
    findOrphanedItems(const std::optional<QUrl> &targetVolumeURL,
                      const QList<MigrationRecord> &records, bool includePartials = false);
    // `name` is a copy staged on the drive: a name followed by ".korvanthelix-partial".
    [[nodiscard]] static bool isPartialCopy(const QString &name);
    // The marker that ends `name` (followed by a UUID text), if any.
    [[nodiscard]] static std::optional<QString> leftoverMarker(const QString &name);

signals:
    void orphanedItemsChanged();
    void isCleaningChanged();

private:
    void track(const QFuture<void> &worker);
    [[nodiscard]] bool transferRuns() const;

    LedgerService &m_ledger;
    QList<OrphanedStagingItem> m_orphanedItems;
    bool m_isCleaning = false;
    TransferProbe m_transferProbe;

    std::mutex m_workersMutex;
    QList<QFuture<void>> m_workers;
};
