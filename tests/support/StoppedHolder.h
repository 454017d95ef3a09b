#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

// A program that took the lock file at `path` and stopped, as one stopped by the user or stuck
// on a drive that hangs: a child process that holds its flock until it is killed.
class StoppedHolder
{
public:
    explicit StoppedHolder(const QString &path)
    {
        const QByteArray name = QFile::encodeName(path);
        int ready[2];
        if (::pipe(ready) != 0)
            return;
        m_pid = ::fork();
        if (m_pid == 0) {
            const int fd = ::open(name.constData(), O_RDONLY | O_CREAT, 0644);
            if (fd < 0 || ::flock(fd, LOCK_EX) != 0)
                ::_exit(1);
            (void)!::write(ready[1], "x", 1);
            // A process group left without its session's parent gets SIGHUP and SIGCONT when a
            // member ends; the holder stays stopped all the same.
            ::signal(SIGHUP, SIG_IGN);
            for (;;)
                ::raise(SIGSTOP);
        }
        ::close(ready[1]);
        char byte = 0;
        m_holding = m_pid > 0 && ::read(ready[0], &byte, 1) == 1;
        ::close(ready[0]);
    }
    ~StoppedHolder() { release(); }
    StoppedHolder(const StoppedHolder &) = delete;
    StoppedHolder &operator=(const StoppedHolder &) = delete;

    [[nodiscard]] bool holding() const { return m_holding; }
    void release()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        m_pid = -1;
    }

private:
    pid_t m_pid = -1;
    bool m_holding = false;
};
