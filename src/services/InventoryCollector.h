#pragma once

#include "model/AppItem.h"
#include "model/MigrationRecord.h"
#include "services/SupportFolderFinder.h"

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <functional>
#include <optional>

// The collecting part of a scan, run synchronously off the main thread: lists both
// Applications folders, builds one item per application, bundle or stand-in, folds duplicate
// stand-ins and sorts by name. Works from the snapshots it was given and reads the disk.
class InventoryCollector
{
public:
    // `ledger` as the ledger service lists it (the last record read first); `running` holds
    // the standardized bundle paths of running applications; `supportRoots` are searched for
    // support folders in order.
    InventoryCollector(QList<MigrationRecord> ledger, QSet<QString> running,
                       const QStringList &supportRoots);

    // The inventory with sizes 0, sorted by name.
    [[nodiscard]] QList<AppItem> collect() const;

    // Everything below `root` that is not hidden, folders before their contents; bundles and
    // other packages are listed but not entered, links are not followed. Empty when `root`
    // does not exist.
    [[nodiscard]] static QStringList listApplicationCandidates(const QString &root);

    // The subfolder paths that applications of this Mac can have ("Utilities",
    // "Utilities/Tools"...): the folders the scan enters below both Applications folders,
    // each path once.
    [[nodiscard]] static QStringList applicationSubfolders();

    // The item for one listed path, or nothing when it is no application: neither named
    // "*.app" nor a link or alias to a "*.app".
    [[nodiscard]] std::optional<AppItem> buildItem(const QString &path) const;

private:
    // `info` is the item's own Info.plist; `targetInfo` reads its target's.
    void applyLinkFields(AppItem &item, const std::optional<QString> &target,
                         const std::optional<QVariantMap> &info,
                         const std::function<std::optional<QVariantMap>()> &targetInfo) const;
    void applyBundleFields(AppItem &item, const std::optional<QVariantMap> &info) const;

    QList<MigrationRecord> m_ledger;
    QSet<QString> m_running;
    QStringList m_volumes;
    SupportFolderFinder m_supportFolders;
};

// Stand-ins (links, aliases, proxies) that point to the same target become one item: a
// working link beats anything else, a name without "[" beats one with, a shallower path
// beats a deeper one; the others are remembered in the winner's duplicateAliasPaths. The
// winner takes the place of the first one met.
[[nodiscard]] QList<AppItem> foldDuplicateAliases(const QList<AppItem> &items);

// Stable, Finder-like order: case-insensitive, embedded numbers by value.
void sortByName(QList<AppItem> &items);
