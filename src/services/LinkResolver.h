#pragma once

#include "model/MigrationRecord.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <optional>

// What a symbolic link, Finder alias or proxy bundle points to. `isLink` is true exactly when
// a target was found, and then `target` is present.
struct LinkResolution
{
    bool isLink = false;
    std::optional<QString> target;

    friend bool operator==(const LinkResolution &, const LinkResolution &) = default;
};

// How an inventory item relates to the drive: where a link points, which ledger record
// belongs to a real bundle, and where its copy on a drive is. Reads the file system only;
// safe from any thread; nothing here fails.
namespace LinkResolver {

// Symbolic links are followed this many times past the item's own destination.
constexpr int maxLinkHops = 10;

// A link's, alias's or proxy's destination. A relative one is tried beside the item, then in
// the "Intel Apps" folders beside it and on each drive; the result is then followed through
// further symbolic links. A destination that does not exist still resolves.
[[nodiscard]] LinkResolution resolveLinkTarget(const QString &path);
// The same with the item's own "Contents/Info.plist" already read (a proxy's destination is
// in it), so that a scan reads it once per item.
[[nodiscard]] LinkResolution resolveLinkTarget(const QString &path,
                                               const std::optional<QVariantMap> &info);

// The entries of the volumes root that are external drives, in listing order.
[[nodiscard]] QStringList externalVolumes();
// `entry` (a path in the volumes root) is not the boot volume, a system or recovery volume,
// nor one the platform calls internal.
[[nodiscard]] bool isExternalVolume(const QString &entry, const QString &resolvedRoot);

// The ledger record of a real bundle at `path`: the matching record with the latest
// timestamp, so that the newest operation decides; of equal ones the one read last (the
// earlier in `records`, which lists the last one read first).
[[nodiscard]] std::optional<MigrationRecord> ledgerRecord(const QString &path,
                                                          const QList<MigrationRecord> &records);

// The copy of the bundle at `path` on a drive: the record's target when it still exists,
// else the same place under "Applications" (and the subfolder) on the first volume that
// has it, never the bundle itself.
[[nodiscard]] std::optional<QString> findExternalCopy(const QString &path,
                                                      const std::optional<QString> &subfolderPath,
                                                      const std::optional<MigrationRecord> &record,
                                                      const QStringList &volumes);

} // namespace LinkResolver
