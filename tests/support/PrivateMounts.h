#pragma once

#include <QString>
#include <QStringList>

// Real drives for integration tests. A test calls `PrivateMounts::enter()` first: in the
// parent it runs the same test again under `unshare --mount` and reports the child's outcome
// (pass, failure or skip), returning false; in the child, whose mount namespace is private,
// it returns true and the test body may mount what it likes. The machine's own mounts are
// never touched. Where no namespace can be made (not root, or not Linux), the test skips.
namespace PrivateMounts {

// `usesVolumes`: the test mounts over /Volumes, which is then made for it where it is missing
// (such tests hold one CTest resource lock).
[[nodiscard]] bool enter(bool usesVolumes = true);

// A read-only tmpfs over /Volumes holding one empty mount point per name, so nothing is left
// on the machine's disk and the folder itself is no drive. Returns false if mounting is not
// permitted (the caller skips).
[[nodiscard]] bool prepareVolumesRoot(const QStringList &driveNames);

[[nodiscard]] bool mountTmpfs(const QString &mountPoint, const QString &options);
// How a drive of mountExt4 is made.
struct Ext4Image
{
    QStringList formatOptions; // more options of mkfs.ext4
    QString folder;            // where the image is made; empty: a temporary folder
    QString existing;          // a file of the right size to format instead (a fake drive's)
};

// A fresh ext4 image of `megabytes` with `label`, loop-mounted at `mountPoint`. The image lives
// in a temporary folder that the namespace keeps until it ends. Returns false (with `why`) if
// loop devices are missing. `imagePath` receives where the image lies.
[[nodiscard]] bool mountExt4(const QString &mountPoint, const QString &label, int megabytes,
                             QString *why = nullptr, const Ext4Image &how = {},
                             QString *imagePath = nullptr);
// A fresh btrfs image with `label`, loop-mounted at `mountPoint`, with a subvolume at each of
// `subvolumes` (paths below the mount point, parents first). Returns false (with `why`) when
// mkfs.btrfs, btrfs or loop devices are missing.
[[nodiscard]] bool mountBtrfs(const QString &mountPoint, const QString &label,
                              const QStringList &subvolumes, QString *why = nullptr);
// A plain unmount, as a user's `umount` would do it. A drive one of the program's workers is
// reading at that moment is busy for that long, so a busy mount is tried again for a few
// seconds; one still busy then is held by something that stays.
[[nodiscard]] bool unmount(const QString &mountPoint);
[[nodiscard]] bool isMounted(const QString &mountPoint);

// The absolute path of a system tool, or empty.
QString tool(const char *name);

} // namespace PrivateMounts
