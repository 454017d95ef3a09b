#include "base/Subprocess.h"

#include "base/Pipes.h"

#include <QFile>
#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

// How long a program may ignore SIGTERM before it is killed.
constexpr std::chrono::seconds terminateGrace{5};
// How often a quiet program is checked for its end (a program that exits closes its pipes,
// which wakes the wait at once; this only matters when something it started keeps them).
constexpr int quietPollMs = 100;

QString errnoText(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

void closeFd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// Reads what is available without blocking; closes the descriptor at end of file.
void readAvailable(int &fd, QByteArray &into)
{
    std::array<char, 65536> buffer{};
    while (fd >= 0) {
        const ssize_t count = ::read(fd, buffer.data(), buffer.size());
        if (count > 0) {
            into.append(buffer.data(), qsizetype(count));
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        closeFd(fd);
    }
}

// Owns the posix_spawn attribute objects for the length of one spawn.
struct SpawnSetup
{
    posix_spawn_file_actions_t actions{};
    posix_spawnattr_t attributes{};
    bool actionsReady = false;
    bool attributesReady = false;

    ~SpawnSetup()
    {
        if (actionsReady)
            posix_spawn_file_actions_destroy(&actions);
        if (attributesReady)
            posix_spawnattr_destroy(&attributes);
    }
};

} // namespace

bool SubprocessResult::succeeded() const
{
    return !failedToStart && !timedOut && signal == 0 && exitCode == 0;
}

QString SubprocessResult::failureText() const
{
    if (failedToStart)
        return QStringLiteral("could not start: ") + startError;
    if (timedOut)
        return QStringLiteral("timed out");
    if (signal != 0)
        return QStringLiteral("ended by signal %1").arg(signal);
    const QString error = errorText().trimmed();
    if (!error.isEmpty())
        return error;
    return QStringLiteral("exited with status %1").arg(exitCode);
}

Subprocess::Subprocess(QString program, QStringList arguments, SubprocessOptions options)
    : m_program(std::move(program))
    , m_arguments(std::move(arguments))
    , m_options(std::move(options))
{}

Subprocess::~Subprocess()
{
    {
        const std::lock_guard lock(m_mutex);
        if (m_pid > 0) {
            signalGroupLocked(SIGKILL);
            int status = 0;
            while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
            }
            m_pid = 0;
        }
    }
    closePipes();
}

bool Subprocess::start()
{
    if (m_started || m_finished)
        return m_started;
    auto fail = [this](int err) {
        m_result.failedToStart = true;
        m_result.startError = errnoText(err);
        m_finished = true;
        return false;
    };

    int outputPipe[2] = {-1, -1};
    int errorPipe[2] = {-1, -1};
    if (!makeCloseOnExecPipe(outputPipe))
        return fail(errno);
    if (!makeCloseOnExecPipe(errorPipe)) {
        const int err = errno;
        closeFd(outputPipe[0]);
        closeFd(outputPipe[1]);
        return fail(err);
    }

    SpawnSetup setup;
    setup.actionsReady = posix_spawn_file_actions_init(&setup.actions) == 0;
    setup.attributesReady = posix_spawnattr_init(&setup.attributes) == 0;
    int err = (setup.actionsReady && setup.attributesReady) ? 0 : ENOMEM;
    if (!err)
        err = posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY,
                                               0);
    if (!err)
        err = posix_spawn_file_actions_adddup2(&setup.actions, outputPipe[1], STDOUT_FILENO);
    if (!err)
        err = posix_spawn_file_actions_adddup2(&setup.actions, errorPipe[1], STDERR_FILENO);
    const QByteArray workingDirectory = QFile::encodeName(m_options.workingDirectory);
    if (!err && !workingDirectory.isEmpty())
        err = posix_spawn_file_actions_addchdir_np(&setup.actions, workingDirectory.constData());

    // Its own process group, so that a signal reaches everything it starts; default
    // dispositions and an empty mask, whatever this process ignores or blocks.
    short flags = POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
#ifdef POSIX_SPAWN_CLOEXEC_DEFAULT
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#endif
    if (!err)
        err = posix_spawnattr_setflags(&setup.attributes, flags);
    if (!err)
        err = posix_spawnattr_setpgroup(&setup.attributes, 0);
    sigset_t mask;
    sigemptyset(&mask);
    if (!err)
        err = posix_spawnattr_setsigmask(&setup.attributes, &mask);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD, SIGUSR1, SIGUSR2})
        sigaddset(&defaults, sig);
    if (!err)
        err = posix_spawnattr_setsigdefault(&setup.attributes, &defaults);

    const QByteArray program = QFile::encodeName(m_program);
    std::vector<QByteArray> argumentBytes{program};
    for (const QString &argument : std::as_const(m_arguments))
        argumentBytes.push_back(QFile::encodeName(argument));
    std::vector<char *> argv;
    for (QByteArray &bytes : argumentBytes)
        argv.push_back(bytes.data());
    argv.push_back(nullptr);

    std::vector<QByteArray> environmentBytes;
    std::vector<char *> envp;
    if (m_options.environment) {
        for (const QString &entry : std::as_const(*m_options.environment))
            environmentBytes.push_back(entry.toLocal8Bit());
        for (QByteArray &bytes : environmentBytes)
            envp.push_back(bytes.data());
        envp.push_back(nullptr);
    }
    char **environment = m_options.environment ? envp.data() : environ;

    {
        const std::lock_guard lock(m_mutex);
        if (m_terminateRequested) {
            m_result.terminated = true;
            err = ECANCELED;
        }
        if (!err) {
            pid_t pid = 0;
            err = program.contains('/') ? posix_spawn(&pid, program.constData(), &setup.actions,
                                                      &setup.attributes, argv.data(), environment)
                                        : posix_spawnp(&pid, program.constData(), &setup.actions,
                                                       &setup.attributes, argv.data(), environment);
            if (!err)
                m_pid = pid;
        }
    }

    closeFd(outputPipe[1]);
    closeFd(errorPipe[1]);
    if (err) {
        closeFd(outputPipe[0]);
        closeFd(errorPipe[0]);
        return fail(err);
    }
    m_outputFd = outputPipe[0];
    m_errorFd = errorPipe[0];
    ::fcntl(m_outputFd, F_SETFL, ::fcntl(m_outputFd, F_GETFL) | O_NONBLOCK);
    ::fcntl(m_errorFd, F_SETFL, ::fcntl(m_errorFd, F_GETFL) | O_NONBLOCK);
    m_started = true;
    return true;
}

SubprocessResult Subprocess::waitForFinished()
{
    if (!m_started || m_finished)
        return m_result;

    const bool limited = m_options.timeLimit.has_value();
    const Clock::time_point deadline =
        limited ? Clock::now() + *m_options.timeLimit : Clock::time_point::max();
    bool killed = false;
    int status = 0;
    int idleMs = 1;
    while (!reapIfEnded(status)) {
        const Clock::time_point now = Clock::now();
        if (limited && now >= deadline && !m_result.timedOut) {
            m_result.timedOut = true;
            const std::lock_guard lock(m_mutex);
            signalGroupLocked(SIGKILL);
            killed = true;
        }
        {
            const std::lock_guard lock(m_mutex);
            if (m_terminateRequested && !killed && now - m_terminateTime >= terminateGrace) {
                signalGroupLocked(SIGKILL);
                killed = true;
            }
        }

        int timeoutMs = quietPollMs;
        if (limited && !m_result.timedOut) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
            timeoutMs = int(std::clamp<long long>(left, 0, quietPollMs));
        }
        std::array<pollfd, 2> fds{};
        nfds_t count = 0;
        for (const int fd : {m_outputFd, m_errorFd}) {
            if (fd >= 0)
                fds[count++] = pollfd{fd, POLLIN, 0};
        }
        if (count == 0) {
            // Both pipes closed: the program is ending; look again soon, then less often.
            timeoutMs = std::min(timeoutMs, idleMs);
            idleMs = std::min(idleMs * 2, quietPollMs);
        }
        ::poll(count ? fds.data() : nullptr, count, timeoutMs);
        readAvailable(m_outputFd, m_result.standardOutput);
        readAvailable(m_errorFd, m_result.standardError);
    }
    // Whatever the program wrote before it ended is in the pipes now; something it started
    // may still hold them open, so take what is there and stop.
    readAvailable(m_outputFd, m_result.standardOutput);
    readAvailable(m_errorFd, m_result.standardError);
    closePipes();

    if (status == -1) {
        m_result.exitCode = -1;
    } else if (WIFEXITED(status)) {
        m_result.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        m_result.signal = WTERMSIG(status);
    }
    {
        const std::lock_guard lock(m_mutex);
        m_result.terminated = m_terminateRequested;
    }
    m_finished = true;
    return m_result;
}

void Subprocess::terminate()
{
    const std::lock_guard lock(m_mutex);
    if (m_terminateRequested)
        return;
    m_terminateRequested = true;
    m_terminateTime = Clock::now();
    if (m_pid > 0)
        signalGroupLocked(SIGTERM);
}

bool Subprocess::isRunning() const
{
    const std::lock_guard lock(m_mutex);
    return m_pid > 0;
}

SubprocessResult Subprocess::run(const QString &program, const QStringList &arguments,
                                 const SubprocessOptions &options)
{
    Subprocess process(program, arguments, options);
    process.start();
    return process.waitForFinished();
}

void Subprocess::signalGroupLocked(int signal)
{
    if (m_pid <= 0)
        return;
    // The group first, for what the program started; the program itself too, in case it
    // moved to a group of its own. Its pid cannot be reused before it is reaped here.
    ::kill(-m_pid, signal);
    ::kill(m_pid, signal);
}

bool Subprocess::reapIfEnded(int &status)
{
    const std::lock_guard lock(m_mutex);
    if (m_pid <= 0)
        return true;
    pid_t result = 0;
    do {
        result = ::waitpid(m_pid, &status, WNOHANG);
    } while (result < 0 && errno == EINTR);
    if (result == 0)
        return false;
    // Reaped, or reaped by someone else (ECHILD): either way the pid is no longer ours,
    // and without a status the end is unknown, never a success.
    if (result < 0)
        status = -1;
    m_pid = 0;
    return true;
}

void Subprocess::closePipes()
{
    closeFd(m_outputFd);
    closeFd(m_errorFd);
}
