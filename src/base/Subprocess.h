#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <chrono>
#include <mutex>
#include <optional>
#include <sys/types.h>

struct SubprocessOptions
{
    // Empty: the caller's working directory.
    QString workingDirectory;
    // "NAME=value" entries replacing the whole environment; nothing: the caller's.
    std::optional<QStringList> environment;
    // Killed (SIGKILL, with everything it started) once this much time has passed.
    std::optional<std::chrono::milliseconds> timeLimit;
};

struct SubprocessResult
{
    int exitCode = -1; // the exit status when the program exited by itself, else -1
    int signal = 0;    // the signal that ended it, 0 when it exited
    QByteArray standardOutput;
    QByteArray standardError;
    bool timedOut = false;   // killed because the time limit passed
    bool terminated = false; // terminate() was called before it ended
    bool failedToStart = false;
    QString startError; // why it could not start (the errno text)

    // Exited by itself with status 0.
    [[nodiscard]] bool succeeded() const;
    [[nodiscard]] QString outputText() const { return QString::fromUtf8(standardOutput); }
    [[nodiscard]] QString errorText() const { return QString::fromUtf8(standardError); }
    // One line for an error message: why it could not start, that it timed out or was
    // ended by a signal, else its trimmed standard error or "exited with status N".
    [[nodiscard]] QString failureText() const;
};

// One external program run from an argument list with posix_spawn; never through a shell
// unless the caller runs "/bin/sh" itself. Standard input is /dev/null; standard output and
// standard error are collected while waiting, so a chatty program cannot stall on a full
// pipe. The program runs in a process group of its own, so terminate() and the time limit
// also reach whatever it started.
//
// Life cycle: construct, start() once, waitForFinished() once on one thread. terminate()
// may be called from any thread at any time, also before start() (which then does not
// start the program) and after the end (which does nothing). An owner that wants to cancel
// from another thread keeps a shared_ptr to the object.
class Subprocess
{
public:
    Subprocess(QString program, QStringList arguments, SubprocessOptions options = {});
    // Kills and reaps a program that is still running.
    ~Subprocess();
    Subprocess(const Subprocess &) = delete;
    Subprocess &operator=(const Subprocess &) = delete;

    // A program without a "/" is looked up in PATH. False when it could not be started;
    // the result then says why.
    bool start();
    // Collects the output until the program ends and reaps it. Returns the stored result
    // when called again or when start() failed.
    SubprocessResult waitForFinished();
    // Asks the program to stop (SIGTERM); it is killed if it has not ended 5 seconds later.
    void terminate();
    [[nodiscard]] bool isRunning() const;

    [[nodiscard]] const QString &program() const { return m_program; }
    [[nodiscard]] const QStringList &arguments() const { return m_arguments; }

    // start() and waitForFinished() in one call.
    static SubprocessResult run(const QString &program, const QStringList &arguments,
                                const SubprocessOptions &options = {});

private:
    void signalGroupLocked(int signal);
    bool reapIfEnded(int &status);
    void closePipes();

    QString m_program;
    QStringList m_arguments;
    SubprocessOptions m_options;
    SubprocessResult m_result;
    bool m_started = false;
    bool m_finished = false;
    int m_outputFd = -1;
    int m_errorFd = -1;

    // Guards the pid: it is reaped only under this lock and zeroed there, so terminate()
    // can never signal a pid that has been reaped and perhaps reused.
    mutable std::mutex m_mutex;
    pid_t m_pid = 0;
    bool m_terminateRequested = false;
    std::chrono::steady_clock::time_point m_terminateTime;
};
