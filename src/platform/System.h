#pragma once

#include "platform/AdminShell.h"
#include "platform/BundleServices.h"
#include "platform/EjectTools.h"
#include "platform/FileResources.h"
#include "platform/Finder.h"
#include "platform/Preferences.h"
#include "platform/Storage.h"
#include "platform/SystemLog.h"
#include "platform/SystemPaths.h"
#include "platform/VolumeService.h"
#include "platform/Workspace.h"

#include <memory>

// What a platform's copy tool does besides copying, which the program evens out after it so that
// every platform's copy is the same tree: only sockets and pipes, which hold no data, are left
// out, and everything else is copied whatever its name.
struct CopyToolHabits
{
    // It copies sockets and pipes: the program takes them out of the copy.
    bool keepsSocketsAndPipes = false;
    // It passes over items named as a file server names a file removed while open (".nfs…",
    // ".afpDeleted…"): the program copies them itself.
    bool skipsRemovedWhileOpenNames = false;
    friend bool operator==(const CopyToolHabits &, const CopyToolHabits &) = default;
};

// The seam to the operating system. One process-wide instance answers every question the
// product asks of the platform; tests replace it with a ScopedSystemOverride.
class System
{
public:
    virtual ~System();

    [[nodiscard]] virtual SystemPaths paths() const = 0;
    // The operating system's log (the unified log on a Mac).
    [[nodiscard]] virtual SystemLog &systemLog() = 0;
    // Shell commands run with administrator rights after a password prompt.
    [[nodiscard]] virtual AdminShell &adminShell() = 0;
    // The file manager's aliases and refresh.
    [[nodiscard]] virtual Finder &finder() = 0;
    // The argument list (program first) of the staged copy: copies `source` to
    // `destination`, which it creates, keeping permissions, times and symbolic links.
    [[nodiscard]] virtual QStringList copyToolArguments(const QString &source,
                                                        const QString &destination) const = 0;
    // What that tool does besides copying.
    [[nodiscard]] virtual CopyToolHabits copyToolHabits() const = 0;
    // The shell text, before its one operand, that removes a file or folder tree as
    // administrator without entering another file system mounted in it: "rm -rf" alone would
    // empty a disk image or drive mounted on a folder of the tree.
    [[nodiscard]] virtual QString treeRemovalCommand() const = 0;
    // Whether the program may write the item at `path` (the platform's writability test).
    [[nodiscard]] virtual bool isWritable(const QString &path) const = 0;
    // Running applications and the Trash.
    [[nodiscard]] virtual Workspace &workspace() = 0;
    // Package, hidden, alias and volume facts of single items.
    [[nodiscard]] virtual FileResources &fileResources() = 0;
    // Mounted volumes, their space and format, and mount events.
    [[nodiscard]] virtual VolumeService &volumes() = 0;
    // lsof, unmount and eject, and the process facts the safe eject needs.
    [[nodiscard]] virtual EjectTools &ejectTools() = 0;
    // The user's defaults.
    [[nodiscard]] virtual Preferences &preferences() = 0;
    // Signing, registration, comment and icon of generated bundles; the launcher's sources.
    [[nodiscard]] virtual BundleServices &bundleServices() = 0;
    // Flushing what was written to a drive or disk, and reading it back from the device.
    [[nodiscard]] virtual Storage &storage() = 0;

    // The installed instance; the platform's own backend when nothing was installed.
    // Safe to call from any thread.
    [[nodiscard]] static System &current();
    static void install(std::shared_ptr<System> system);
    [[nodiscard]] static std::shared_ptr<System> installed();
};

// The platform's own backend, chosen at build time.
[[nodiscard]] std::shared_ptr<System> makePlatformSystem();
// The copy tool of the platform this was built for (what its backend's copyToolArguments
// answers), so that test doubles can copy for real.
[[nodiscard]] QStringList platformCopyToolArguments(const QString &source,
                                                    const QString &destination);
// That copy tool's habits, and the tree removal of the platform this was built for.
[[nodiscard]] CopyToolHabits platformCopyToolHabits();
[[nodiscard]] QString platformTreeRemovalCommand();
// What tells this run of the operating system from every other, on this machine: a text that
// changes at each start-up; empty when it cannot be read. No clock is involved.
[[nodiscard]] QByteArray platformBootSession();
// The storage of the platform this was built for, for test doubles that write for real.
[[nodiscard]] std::shared_ptr<Storage> makePlatformStorage();

// Installs a System for the lifetime of this object and puts the previous one back.
class ScopedSystemOverride
{
public:
    explicit ScopedSystemOverride(std::shared_ptr<System> system);
    ~ScopedSystemOverride();
    ScopedSystemOverride(const ScopedSystemOverride &) = delete;
    ScopedSystemOverride &operator=(const ScopedSystemOverride &) = delete;

private:
    std::shared_ptr<System> m_previous;
};
