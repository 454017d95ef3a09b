#pragma once

#include "platform/System.h"

#include <functional>
#include <mutex>

// The platform's own storage, with the faults of a disk the test picks: a flush that reports an
// error (and pushes nothing), a file that reads back otherwise than it was written. Callable
// from any thread.
class FaultyStorage : public Storage
{
public:
    // Asked at each flush with the watched folder and what is flushed: an errno fails it.
    using FlushFault = std::function<int(const QString &folder, const StorageWrites &written)>;

    void setFlushFault(FlushFault fault)
    {
        const std::lock_guard lock(m_mutex);
        m_flushFault = std::move(fault);
    }
    // Runs on each file about to be read back past the cache, or asked for again from the
    // device.
    void setReadBackHook(std::function<void(int fd)> hook)
    {
        const std::lock_guard lock(m_mutex);
        m_readBackHook = std::move(hook);
    }

    [[nodiscard]] std::unique_ptr<Watch> watch(const QString &folder) override
    {
        return std::make_unique<FaultyWatch>(*this, folder, m_real->watch(folder));
    }
    [[nodiscard]] std::unique_ptr<WriteBehind> writeBehind(const QString &folder) override
    {
        return m_real->writeBehind(folder);
    }
    [[nodiscard]] int readPastCache(int fd) override
    {
        if (const auto hook = readBackHook())
            hook(fd);
        return m_real->readPastCache(fd);
    }
    [[nodiscard]] bool refetchFromDevice(int fd) override
    {
        if (const auto hook = readBackHook())
            hook(fd);
        return m_real->refetchFromDevice(fd);
    }
    void readAhead(int fd, qint64 offset, qint64 length) override
    {
        m_real->readAhead(fd, offset, length);
    }

private:
    class FaultyWatch : public Watch
    {
    public:
        FaultyWatch(FaultyStorage &owner, QString folder, std::unique_ptr<Watch> real)
            : m_owner(owner)
            , m_folder(std::move(folder))
            , m_real(std::move(real))
        {}
        [[nodiscard]] int flush(const StorageWrites &written) override
        {
            if (const auto fault = m_owner.flushFault()) {
                if (const int err = fault(m_folder, written))
                    return err;
            }
            return m_real->flush(written);
        }
        [[nodiscard]] QStringList takeNotices() override { return m_real->takeNotices(); }

    private:
        FaultyStorage &m_owner;
        const QString m_folder;
        const std::unique_ptr<Watch> m_real;
    };

    FlushFault flushFault() const
    {
        const std::lock_guard lock(m_mutex);
        return m_flushFault;
    }
    std::function<void(int)> readBackHook() const
    {
        const std::lock_guard lock(m_mutex);
        return m_readBackHook;
    }

    const std::shared_ptr<Storage> m_real = makePlatformStorage();
    mutable std::mutex m_mutex;
    FlushFault m_flushFault;
    std::function<void(int)> m_readBackHook;
};
