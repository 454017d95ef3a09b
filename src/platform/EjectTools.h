#pragma once

#include "base/Subprocess.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <chrono>
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

// A process that may still change a file: it runs from it, holds it open for writing, or maps it
// shared and writable (which changes no time or size that stat shows).
struct FileUse
{
    enum class Kind { runs, writes, maps };

    qint32 pid = 0;
    QString process; // its executable's name, else the name it gives itself
    Kind kind = Kind::writes;
    QString file; // as the system names it, links resolved

    friend bool operator==(const FileUse &, const FileUse &) = default;
};

// Whether `path` is one of `roots` (resolved paths) or lies below one of them.
[[nodiscard]] bool liesWithin(const QString &path, const QStringList &roots);

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
    // Every process but this one that runs from, holds open for writing, or maps shared and
    // writable a file at or below one of `roots` (resolved paths); one that only reads is none of
    // them. Nothing when it cannot be told.
    [[nodiscard]] virtual std::optional<QList<FileUse>> usersWithin(const QStringList &roots) = 0;
};

// usersWithin as the platform this was built for answers it, for test doubles that look at the
// machine's real processes.
[[nodiscard]] std::optional<QList<FileUse>> platformUsersWithin(const QStringList &roots);
