#pragma once

#include <QString>
#include <optional>

// Facts about one file-system item that the platform keeps beside the POSIX attributes
// (URL resource values on a Mac; those of its volume are VolumeService's). Nothing means the
// value could not be read. Callable from any thread.
class FileResources
{
public:
    virtual ~FileResources() = default;

    // A folder that the desktop shows as one file (an application bundle, a framework...).
    // A symbolic link is never one. By default, told by the folder's extension as a Mac does.
    [[nodiscard]] virtual bool isPackage(const QString &path);
    // Hidden from folder listings.
    [[nodiscard]] virtual bool isHidden(const QString &path) = 0;
    // True for a Finder alias and for a symbolic link alike; nothing when the item cannot
    // be read at all.
    [[nodiscard]] virtual std::optional<bool> isAliasFile(const QString &path) = 0;
    // The destination of the Finder alias at `path`, resolved without user interaction;
    // nothing when it is no alias file or its destination cannot be found (a symbolic link
    // is not resolved here).
    [[nodiscard]] virtual std::optional<QString> resolveAliasFile(const QString &path) = 0;
    // The flag of the item at `path` itself (links not followed) that keeps anyone, the
    // administrator too, from removing it or what it holds until the flag is cleared, as the
    // platform names it ("immutable (chattr +i)", "locked (uchg)"); nothing when none is set or
    // the flags cannot be read.
    [[nodiscard]] virtual std::optional<QString> removalLock(const QString &path) = 0;
};

// removalLock as the platform this was built for answers it, for test doubles on real files.
[[nodiscard]] std::optional<QString> platformRemovalLock(const QString &path);
