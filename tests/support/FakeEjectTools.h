#pragma once

#include "platform/EjectTools.h"

#include <QList>
#include <QMap>
#include <QStringList>
#include <algorithm>
#include <csignal>
#include <functional>
#include <mutex>

// A small machine for the safe eject. Processes the test adds may hold files on the drive;
// lsof reports the live holders; SIGTERM ends a process unless it ignores it; an unmount
// fails as busy while a holder lives and otherwise succeeds and calls onUnmounted. Scripted
// runs queued for lsof or unmount replace that behaviour once each. Every call is recorded
// as one line: "lsof <args>", "unmount <path>", "unmount force <path>", "eject <path>",
// "sync", "signal <n> <pid>" (signal 0 is not recorded).
class FakeEjectTools : public EjectTools
{
public:
    struct Process
    {
        QString command;    // what lsof names it
        QString executable; // empty: its path cannot be read
        bool holdsDrive = true;
        bool ignoresTerm = false;
    };

    ToolRun listOpenFiles(const QStringList &arguments, std::chrono::milliseconds) override
    {
        const std::lock_guard lock(m_mutex);
        m_calls.append(QStringLiteral("lsof ") + arguments.join(QLatin1Char(' ')));
        if (!m_lsofRuns.isEmpty())
            return m_lsofRuns.takeFirst();
        ToolRun run;
        run.started = true;
        run.exitCode = 0;
        for (auto it = m_processes.constBegin(); it != m_processes.constEnd(); ++it) {
            if (it->holdsDrive)
                run.output += "p" + QByteArray::number(it.key()) + "\nc" + it->command.toUtf8() +
                              "\nf3\nn/drive/file\n";
        }
        return run;
    }

    ToolRun unmount(const QString &mountPath, bool force, std::chrono::milliseconds) override
    {
        if (beforeUnmount)
            beforeUnmount();
        std::function<void(const QString &)> unmounted;
        ToolRun run;
        {
            const std::lock_guard lock(m_mutex);
            m_calls.append(QStringLiteral("unmount ") +
                           (force ? QStringLiteral("force ") : QString()) + mountPath);
            if (!m_unmountRuns.isEmpty()) {
                run = m_unmountRuns.takeFirst();
            } else {
                run.started = true;
                const bool busy = std::any_of(m_processes.cbegin(), m_processes.cend(),
                                              [](const Process &p) { return p.holdsDrive; });
                run.exitCode = busy ? 1 : 0;
                run.output = busy ? QByteArray("target is busy") : QByteArray();
            }
            if (run.succeeded())
                unmounted = onUnmounted;
        }
        if (unmounted)
            unmounted(mountPath);
        return run;
    }

    ToolRun eject(const QString &mountPath) override
    {
        const std::lock_guard lock(m_mutex);
        m_calls.append(QStringLiteral("eject ") + mountPath);
        ToolRun run;
        run.started = true;
        run.exitCode = 0;
        return run;
    }

    void flushFileSystemBuffers() override
    {
        const std::lock_guard lock(m_mutex);
        m_calls.append(QStringLiteral("sync"));
    }

    QString executablePath(qint32 pid) override
    {
        const std::lock_guard lock(m_mutex);
        QStringList &reads = m_executableReads[pid];
        if (reads.size() > 1)
            return reads.takeFirst();
        if (reads.size() == 1)
            return reads.first();
        return m_processes.value(pid).executable;
    }

    bool sendSignal(qint32 pid, int signal) override
    {
        const std::lock_guard lock(m_mutex);
        if (signal != 0)
            m_calls.append(QStringLiteral("signal %1 %2").arg(signal).arg(pid));
        const auto found = m_processes.find(pid);
        if (found == m_processes.end())
            return false;
        if (signal == SIGTERM && !found->ignoresTerm)
            m_processes.erase(found);
        return true;
    }

    // The machine's own answer (its real processes) unless the test gives one. What the machine
    // running the tests does not let it look into is the machine's, not the test's: left out, so
    // that no message depends on it.
    std::optional<FileUsers> usersOf(const TreeItems &items) override
    {
        std::function<std::optional<FileUsers>(const TreeItems &)> users;
        {
            const std::lock_guard lock(m_mutex);
            users = m_users;
        }
        if (users)
            return users(items);
        std::optional<FileUsers> found = platformUsersOf(items);
        if (found)
            found->uninspected.clear();
        return found;
    }
    void setUsersOf(std::function<std::optional<FileUsers>(const TreeItems &)> users)
    {
        const std::lock_guard lock(m_mutex);
        m_users = std::move(users);
    }

    void addProcess(qint32 pid, Process process)
    {
        const std::lock_guard lock(m_mutex);
        m_processes.insert(pid, std::move(process));
    }
    // What successive reads of the executable's path answer, the last one repeating: a PID
    // that ends and is given to another program between two reads.
    void setExecutableReads(qint32 pid, QStringList paths)
    {
        const std::lock_guard lock(m_mutex);
        m_executableReads.insert(pid, std::move(paths));
    }
    void removeProcess(qint32 pid)
    {
        const std::lock_guard lock(m_mutex);
        m_processes.remove(pid);
    }
    void queueLsof(ToolRun run)
    {
        const std::lock_guard lock(m_mutex);
        m_lsofRuns.append(std::move(run));
    }
    void queueUnmount(ToolRun run)
    {
        const std::lock_guard lock(m_mutex);
        m_unmountRuns.append(std::move(run));
    }
    [[nodiscard]] QStringList calls() const
    {
        const std::lock_guard lock(m_mutex);
        return m_calls;
    }
    void clearCalls()
    {
        const std::lock_guard lock(m_mutex);
        m_calls.clear();
    }

    // Called after each successful unmount with its path, outside the lock.
    std::function<void(const QString &)> onUnmounted;
    // Called as each unmount starts, on its thread: an unmount that takes its time. Set while
    // no eject runs.
    std::function<void()> beforeUnmount;

private:
    mutable std::mutex m_mutex;
    QMap<qint32, Process> m_processes;
    QMap<qint32, QStringList> m_executableReads;
    QList<ToolRun> m_lsofRuns;
    QList<ToolRun> m_unmountRuns;
    QStringList m_calls;
    std::function<std::optional<FileUsers>(const TreeItems &)> m_users;
};
