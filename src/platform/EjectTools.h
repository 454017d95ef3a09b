#pragma once

#include "base/Subprocess.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>
#include <optional>

// One run of an external tool used by the safe eject.
struct ToolRun
{
    bool started = false;
    QString startError; // why it could not be started
    bool timedOut = false;
    int exitCode = -1; // -1 when it did not exit by itself
    QByteArray output;

    [[nodiscard]] bool succeeded() const { return started && !timedOut && exitCode == 0; }
};

// A file as the kernel knows it, whatever names lead to it: a hard link elsewhere, a name that
// reads like something else (" (deleted)"), or one no tool prints as it is stored.
struct FileIdentity
{
    quint64 device = 0; // lstat's st_dev
    quint64 inode = 0;

    friend bool operator==(const FileIdentity &, const FileIdentity &) = default;
};

[[nodiscard]] inline size_t qHash(const FileIdentity &identity, size_t seed = 0) noexcept
{
    return qHashMulti(seed, identity.device, identity.inode);
}

// The items of the trees a look asks about: every file, folder and link at or below each root (the
// root too), links not followed and other file systems not entered, each by its identity with the
// path it is told by.
struct TreeItems
{
    QHash<FileIdentity, QString> paths;
    // The first folder that could not be listed: its own identity is among the paths, what lies
    // in it is not. Empty when every folder was listed.
    QString unlisted;
};

// A process that may still change an item of a tree: it runs from it, holds it open for writing,
// maps it shared (whatever the mapping's present protection: it can be made writable), or works in
// it (its working folder, from which it can make and write files).
struct FileUse
{
    enum class Kind { runs, writes, maps, worksIn };

    qint32 pid = 0;
    QString process; // its executable's name, else the name it gives itself
    Kind kind = Kind::writes;
    QString file; // the item's path, as TreeItems gives it

    friend bool operator==(const FileUse &, const FileUse &) = default;
};

// A process whose files this program may not look into (another user's, as an ordinary user).
struct UninspectedProcess
{
    qint32 pid = 0;
    QString process; // empty when even its name cannot be read

    friend bool operator==(const UninspectedProcess &, const UninspectedProcess &) = default;
};

// What one look at every process found of the items asked about.
struct FileUsers
{
    QList<FileUse> uses;
    QList<UninspectedProcess> uninspected;

    friend bool operator==(const FileUsers &, const FileUsers &) = default;
};

// How the look at one process ended: its files were looked at, it could not be looked into, or
// it is passed over (ended meanwhile, or the kernel's own).
enum class ProcessLook { looked, uninspected, passedOver };

// Adds to `users` what the look at process `pid` found: `uses`, each named `name()`, or that it
// could not be looked into, named `uninspectedName()`.
void addProcessLook(FileUsers &users, qint32 pid, ProcessLook outcome, const QList<FileUse> &uses,
                    const std::function<QString()> &name,
                    const std::function<QString()> &uninspectedName);

// Runs `program` to its end; an empty program is a tool that was not found. The error output
// joins the output only `withErrorOutput`.
[[nodiscard]] ToolRun runEjectTool(const QString &program, const QStringList &arguments,
                                   const SubprocessOptions &options, bool withErrorOutput);

// The tools that find who holds a drive and take the drive away. Every call blocks the
// calling thread; callable from any thread.
class EjectTools
{
public:
    virtual ~EjectTools() = default;

    // Runs lsof with `arguments` in the working directory "/"; its standard output is the
    // result's output, its standard error is dropped. Ended when `limit` has passed.
    virtual ToolRun listOpenFiles(const QStringList &arguments,
                                  std::chrono::milliseconds limit) = 0;
    // Unmounts the file system mounted at `mountPath` (never lazily); `force` asks the
    // platform to unmount even though files are open. The output holds standard output and
    // standard error.
    virtual ToolRun unmount(const QString &mountPath, bool force,
                            std::chrono::milliseconds limit) = 0;
    // Ejects (powers off) the device that was mounted at `mountPath`.
    virtual ToolRun eject(const QString &mountPath) = 0;
    virtual void flushFileSystemBuffers() = 0;
    // The executable of a running process; empty when it cannot be read.
    [[nodiscard]] virtual QString executablePath(qint32 pid) = 0;
    // kill(2): whether the signal could be delivered (signal 0 tests that the process exists).
    virtual bool sendSignal(qint32 pid, int signal) = 0;
    // Every process but this one that uses an item of `items` as FileUse says, matched by the
    // items' identities (never by a printed name), and the processes that could not be looked
    // into. Nothing when the processes cannot be listed at all.
    [[nodiscard]] virtual std::optional<FileUsers> usersOf(const TreeItems &items) = 0;
};

// The items of the trees at `roots` (paths taken as they are, a link at a root being the link).
// Sockets and pipes are left out: they hold nothing a copy keeps. An item named by two roots is
// told by the first.
[[nodiscard]] TreeItems treeItemsOf(const QStringList &roots);

// usersOf as the platform this was built for answers it, for test doubles that look at the
// machine's real processes.
[[nodiscard]] std::optional<FileUsers> platformUsersOf(const TreeItems &items);
