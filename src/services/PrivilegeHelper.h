#pragma once

#include "platform/AdminShell.h"

#include <QString>
#include <functional>

// File operations that still succeed where the program's own rights do not reach: each is
// tried with the program's rights where that can work, and otherwise repeated as a shell
// command run with administrator rights after a password prompt. Remove and move fall back
// after a failed plain attempt; a symbolic link chooses by the writability of its folder;
// the privileged copy is always privileged.
//
// Stateless. Every operation blocks the calling thread, including while the administrator
// prompt is shown, so call them off the GUI thread. Errors are OperationError with the
// domain "PrivilegeHelper": 1 remove, 2 symbolic link, 3 move. A plain attempt that fails with
// an error of the disk itself (I/O error, read-only file system, no space, quota) is passed
// through as a "FileSystem" error with its errno: administrator rights cannot cure it. A removal
// falls back only when its own attempt was refused for its rights, not by a flag that keeps anyone
// from removing the item (immutable, append-only: EPERM, told as such), and never while the mount
// table shows a file system mounted at or below the item, or cannot be read (EXDEV, nothing
// removed): the administrator's removal stays on a file system by its device alone.
class PrivilegeHelper
{
public:
    PrivilegeHelper() = delete;

    // success, and the command's output or the failure text.
    using CommandResult = AdminShellResult;
    struct DittoResult
    {
        bool success = false;
        QString error; // the command's output on success, the failure text otherwise
        friend bool operator==(const DittoResult &, const DittoResult &) = default;
    };

    static const QString errorDomain;

    // Runs one POSIX shell command with administrator rights. A dismissed prompt is a
    // failure like any other.
    static CommandResult runPrivilegedCommand(const QString &command);
    // One shell word whatever `text` holds: '...' with ' written as '\''; empty gives ''.
    [[nodiscard]] static QString shellQuote(const QString &text);
    // Fit to stand between double quotes in an AppleScript source.
    [[nodiscard]] static QString appleScriptEscape(const QString &text);

    // Removes the file or folder tree at `path`; nothing to do when nothing exists there
    // (links followed: a dangling link stays). A link at `path` is removed, never what it
    // points to. Refuses, without a prompt, an empty, relative or top-level path, a path
    // with "." or "..", any folder the system's paths name or one that holds them, and the
    // root of a volume.
    static void safeRemove(const QString &path);
    // Moves `source` to `destination`, which must not exist. A folder (or a link to one) at
    // the destination, or a relative path, fails at once with code 3: the item is never
    // moved into a folder.
    static void safeMove(const QString &source, const QString &destination);
    // A symbolic link at `linkPath` whose text is `target` unchanged. Into a writable folder
    // with the program's rights (an existing item there is an error, passed through from
    // the file system); otherwise as administrator, replacing a file or link there. A real
    // folder at `linkPath`, or a relative `linkPath`, fails at once with code 2.
    static void createSymbolicLink(const QString &linkPath, const QString &target);
    // As administrator, removes the item `name` (a file, link or folder tree) of `folder`, a
    // path without links that the caller judged just before: the shell enters the folder and
    // acts only while it still is that path with no link on the way, so that a folder swapped
    // for a link since leads nowhere; its removal does not enter another file system mounted
    // in the tree. Throws code 1.
    static void removeInJudgedFolder(const QString &folder, const QString &name);
    // The administrator's removal of the item `name` of `folder`, after the program's own
    // attempt there met `err` (0: none was made, the folder not being writable) at `where`
    // (below `folder`, the item's name first). Offered only for a refusal of the program's
    // rights (EACCES, EPERM): any other error (another file system mounted in the item, a busy
    // item, a folder that would not empty, an error of the disk) would stop the administrator's
    // removal as well, or lead it into what is mounted there; it is thrown as a "FileSystem"
    // error with its errno, and nobody is asked. `judged`, when given, then gives the folder's
    // path as removeInJudgedFolder needs it, or throws. Throws code 1 when that removal fails.
    static void removeAfterRefusal(const QString &folder, const QString &name, int err,
                                   const QString &where,
                                   const std::function<QString()> &judged = {});
    // The same for renaming `from` to `to` in `folder`, never onto an existing item. Code 3.
    static void renameInJudgedFolder(const QString &folder, const QString &from, const QString &to);
    // The platform's copy tool from `source` to `destination`, always as administrator.
    // Never throws.
    static DittoResult runDitto(const QString &source, const QString &destination);
    // Leaves at `aliasPath` a Finder alias of `targetPath`, else a bookmark file, else a
    // symbolic link; throws only when the link fails.
    static void createFinderAlias(const QString &targetPath, const QString &aliasPath);

    // Whether the program's own attempt was refused for its rights (EACCES, EPERM), which an
    // administrator's may have.
    [[nodiscard]] static bool isPermissionRefusal(int err);
    // What no administrator can cure of what the program's own removal or rename in `folder`
    // met (`err`; 0 when it was not tried, the folder not being writable): any errno but a
    // refusal of its rights (a file system mounted there, a busy item, an error of the disk),
    // and for an attempt not made a read-only file system; else 0.
    [[nodiscard]] static int incurable(const QString &folder, int err);

    [[nodiscard]] static bool isWritable(const QString &path);
    // Whether the item at `path` (or, when there is none, the folder that would hold it)
    // is beyond the program's rights.
    [[nodiscard]] static bool requiresAdmin(const QString &path);
};
