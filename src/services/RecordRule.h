#pragma once

#include "base/OperationError.h"
#include "base/Verdict.h"
#include "model/MigrationRecord.h"

#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <optional>

// Where a ledger record may send the product. A drive's ledger travels with the drive and wins
// the merge, so anyone holding the drive can edit the paths that operations act on; every
// operation that restores, re-offloads, updates or otherwise acts on a record asks this first:
// - `appOriginalPath`: an application (".app") inside /Applications or ~/Applications, at
//   any depth;
// - each support folder's `source`: a direct child of one of the two Application Support
//   folders;
// - `appTargetPath` (".app") and each support folder's `target`: inside a folder named
//   "Applications" or "Application Support" on a drive below the volumes root.
// Places on the Mac are judged with the links in the folders above them resolved (the item
// itself may be the link or proxy an offload left); places on a drive with every link
// resolved, the item's own included. The roots come from System::paths(). Reads link facts
// only; safe from any thread.
namespace RecordRule {

// Passes, or fails with a reason that names the offending path and why.
[[nodiscard]] Verdict check(const MigrationRecord &record);

// Whether a target (a drive's root or a folder chosen on one) can receive copies whose record
// passes the rule and that its drive's flush and read-back reach: every folder a transfer
// creates or enters below it must lead, links resolved, into a drive's "Applications" or
// "Application Support" folder below the volumes root, on the target's own file system (that
// of the target itself; a target that is gone is left to the proof of its drive). Those are its
// "Applications" and "Application Support" folders and, below "Applications", each level of
// each of `subfolders` (an application's subfolder path, such as "Utilities/Tools"). Fails with
// a reason that names the folder and where it leads, for the choice of a target and the engine
// before its first write.
[[nodiscard]] Verdict checkTarget(const QString &folder, const QStringList &subfolders = {});

// One folder below `target` that a transfer makes or enters, judged as checkTarget judges it;
// on the file system `store` (FileSystemIdentity::storeOf) when one is given. For a link met
// while the folder is made.
[[nodiscard]] Verdict checkTargetFolder(const QString &target, const QString &folder,
                                        std::optional<quint64> store);

// Whether `item` (what the reason calls it: "folder", "copy") lies, links resolved, on the file
// system `store` of `target` (FileSystemIdentity::storeOf: what the target's flush reaches, a
// subvolume of it included); a place still to be made counts as the folder it is made in.
// With `followItem` false the item itself is not followed: a copy of a link lies where the
// link does. Fails with a reason that names the item and where it leads.
[[nodiscard]] Verdict checkOnTargetFileSystem(const QString &what, const QString &item,
                                              const QString &target, quint64 store,
                                              bool followItem = true);

// Whether the drive item at `path`, a path whose links were resolved, lies inside a drive's
// "Applications" or "Application Support" folder below the volumes root: a place the restore may
// remove from. Judged on the text: what stands there now is for the caller to enter.
[[nodiscard]] Verdict checkDrivePlace(const QString &path);

// The refusal of a record that breaks the rule: code 407 in `domain`, "Invalid migration
// record for '<app>': <reason>."
[[nodiscard]] OperationError refusal(const QString &domain, const MigrationRecord &record,
                                     const QString &reason);

// Throws the refusal when the record breaks the rule.
void enforce(const QString &domain, const MigrationRecord &record);

inline constexpr int refusalCode = 407;

} // namespace RecordRule
