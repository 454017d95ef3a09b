#pragma once

#include <QList>
#include <QString>
#include <QUrl>

// Judging paths that come from ledgers and from the inventory before a restore acts on them.
// Any mounted drive's ledger can win the merge, so its paths are untrusted input. Reads the
// disk only to resolve symbolic links; safe from any thread.
namespace RestorePaths {

// `a` equals, contains or lies inside `b`, judged on the cleaned texts and on the forms with
// their folders' links resolved (a link may make two different texts name one place). The
// last component is not followed: a link standing at a place is not the place.
[[nodiscard]] bool overlaps(const QString &a, const QString &b);

// `text` as an absolute path: a relative link text is taken from the link's folder.
[[nodiscard]] QString absoluteLinkTarget(const QString &linkPath, const QString &text);

// The resolved `path` lies below a drive: strictly inside a folder of the volumes root.
[[nodiscard]] bool liesOnDrive(const QString &path);
// The resolved `path` lies inside a folder named "Application Support" on a drive.
[[nodiscard]] bool liesInDriveSupportFolder(const QString &path);

// The folders whose drive ledgers follow a restore of the copy at `basePath`: from its
// folder up to the drive's root folder in the volumes root, nearest first; empty when the
// copy is not on a drive.
[[nodiscard]] QList<QUrl> driveLedgerFolders(const QString &basePath);

} // namespace RestorePaths
