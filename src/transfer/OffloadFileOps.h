#pragma once

#include "base/UniqueFd.h"
#include "model/TargetVolume.h"
#include "platform/FileSystemIdentity.h"
#include "transfer/DriveFolder.h"

#include <QString>
#include <QUrl>
#include <map>
#include <memory>
#include <optional>

struct AppItem;
struct MigrationRecord;
class LedgerService;
class OffloadEngine;

// Every change the offload engine's operations make to the disks and to the ledger, one call
// per change. The default performs them with the file operations that fall back to
// administrator rights; a subclass can make any one of them fail, which is how the engine's
// promise that nothing is lost gets proven. Called on the operation's worker thread.
//
// While an operation runs, its target is known (setTarget): what the default moves and removes
// below the target is then moved and removed relative to its folder, entered as makeFolder
// enters it, never by a path that a link put in the way since could lead off the drive; the
// administrator's fallback is given that folder's path only once it is judged so.
class OffloadFileOps
{
public:
    virtual ~OffloadFileOps();

    // The target of the running operation, set by the engine before its first write and
    // cleared at its end.
    void setTarget(std::optional<TargetVolume> target);
    // Removes `path`: below the target relative to its judged folder, with the administrator's
    // fallback; elsewhere as PrivilegeHelper::safeRemove does. Never throws: what a cancelled
    // or failed copy leaves is ours to clear, and stays when it cannot be.
    void discard(const QString &path);

    // A folder with its missing parents below the target's folder, which must exist: nothing
    // is ever made at or above a drive's mount point, where an unplugged drive leaves a folder
    // of the Mac's own disk. An existing folder is fine. Each level is made and entered from
    // the target's root without following a link; a link met on the way is entered only when
    // RecordRule::checkTargetFolder passes it on the target's file system now, else 208. Throws
    // 207 when the root is no longer on that file system, else a "FileSystem" error.
    virtual void makeFolder(const QString &path, const TargetVolume &target);
    // The folder at `path` below the target, made (`make`) or only entered as makeFolder
    // enters it, and held open: what is then done relative to it stays on the target's file
    // system, whatever a link put in the way since leads to. A level on another file system
    // (a drive mounted there) is refused with 208, as a link leading there is.
    [[nodiscard]] static UniqueFd openTargetFolder(const QString &path, const TargetVolume &target,
                                                   bool make);
    // The plain file manager's removal of a staged copy; never throws, a failure leaves it. A
    // copy a link led off the target goes from where it landed, while it is the copy made there.
    virtual void removePlain(const QString &path);
    // The staged copy: `engine`.runDittoCopy; to the target, noting where it landed.
    virtual void copy(OffloadEngine &engine, const QString &source, const QString &destination);
    virtual void move(const QString &source, const QString &destination);
    virtual void remove(const QString &path);
    // Removes the symbolic link at `path` itself, a dangling one too (which remove() leaves).
    virtual void removeLink(const QString &path);
    virtual void createSymbolicLink(const QString &linkPath, const QString &target);
    // An App Proxy at the application's own place that opens `driveBundle`.
    virtual void createProxy(const AppItem &app, const QUrl &driveBundle);
    virtual void createFinderAlias(const QString &targetPath, const QString &aliasPath);
    // Returns why the drive's ledger did not take the record, as LedgerService does.
    virtual std::optional<QString> recordMigration(LedgerService &ledger,
                                                   const MigrationRecord &record,
                                                   const QUrl &targetVolumeURL);
    // Takes back what recordMigration wrote: from the Mac's ledgers, and from the drive's while
    // it is still the file system `drive`. True when the drive's ledger is proven not to list
    // it any more.
    [[nodiscard]] virtual bool withdrawMigration(LedgerService &ledger,
                                                 const MigrationRecord &record,
                                                 const QUrl &targetVolumeURL,
                                                 const std::optional<FileSystemIdentity> &drive);

private:
    // `path` lies below the running operation's target.
    [[nodiscard]] bool onTarget(const QString &path) const;
    // Removes `path` below the target relative to its folder; as administrator too when
    // `asAdministrator`, then throwing what failed.
    void removeOnTarget(const QString &path, bool asAdministrator) const;
    void moveOnTarget(const QString &source, const QString &destination) const;
    // The path of the held folder `folder`, once that path leads to it with no link on the way:
    // what the administrator's shell may be given. Throws 208 otherwise.
    [[nodiscard]] QString judgedPath(const UniqueFd &folder, const QString &path) const;

    // Where a copy to the target landed: the folder it was made in, held from before it started
    // (a link in the way leads it off the target), and the item it made there.
    struct Landing
    {
        std::shared_ptr<UniqueFd> folder;
        QString folderPath;
        std::optional<DriveFolder::Identity> item;
    };

    std::optional<TargetVolume> m_target;
    // The copies of the running operation, by their standardized path.
    std::map<QString, Landing> m_landings;
};
