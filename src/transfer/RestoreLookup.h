#pragma once

#include "model/AppItem.h"
#include "model/MigrationRecord.h"

#include <QList>

// Finds the ledger record from which an inventory item is restored, or builds one from the
// item when it links to a copy on a drive. Reads the disk (existence, links, proxy facts);
// safe from any thread.
namespace RestoreLookup {

// Only "active" and "copied" records of `records` are candidates, in their order. With a
// link target: the record of the item's path and that target, else any record of that
// target; where a link, alias or proxy stands at the item's place, "active" records are
// preferred over "copied" ones. Without a link target: the record of the item's path.
// When none matches, a real application at the item's place with only "restored" records of
// it is already back: throws 400 saying so. Otherwise a record built from the item; throws 400
// when there is none to build. Records
// that break the record rule are passed over; when only such a record matches, throws its
// refusal (407).
[[nodiscard]] MigrationRecord recordFor(const AppItem &app, const QList<MigrationRecord> &records);

// The record built from the item (status "active", movedApp true), with the support folders
// that link to an existing copy in an "Application Support" folder on a drive. Throws 400
// unless the item's resolved link target lies on a drive.
[[nodiscard]] MigrationRecord recordFromInventory(const AppItem &app);

} // namespace RestoreLookup
