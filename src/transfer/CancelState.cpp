#include "transfer/CancelState.h"

#include "base/Subprocess.h"

#include <condition_variable>
#include <mutex>

struct CancelState::Shared
{
    mutable std::mutex mutex;
    // Wakes waitFor() when a cancellation arrives; waits on `mutex`.
    mutable std::condition_variable cancelled;
    bool isCancelled = false;
    std::shared_ptr<Subprocess> activeProcess;
};

CancelState::CancelState()
    : m_shared(std::make_shared<Shared>())
{}

CancelState::~CancelState() = default;

void CancelState::cancel()
{
    std::shared_ptr<Subprocess> process;
    {
        const std::lock_guard lock(m_shared->mutex);
        m_shared->isCancelled = true;
        process = m_shared->activeProcess;
    }
    m_shared->cancelled.notify_all();
    if (process)
        process->terminate();
}

void CancelState::reset()
{
    const std::lock_guard lock(m_shared->mutex);
    m_shared->isCancelled = false;
    m_shared->activeProcess.reset();
}

bool CancelState::isCancelRequested() const
{
    const std::lock_guard lock(m_shared->mutex);
    return m_shared->isCancelled;
}

std::function<bool()> CancelState::makeProbe() const
{
    return [weak = std::weak_ptr<Shared>(m_shared)] {
        const auto shared = weak.lock();
        if (!shared)
            return false;
        const std::lock_guard lock(shared->mutex);
        return shared->isCancelled;
    };
}

bool CancelState::waitFor(std::chrono::nanoseconds duration) const
{
    std::unique_lock lock(m_shared->mutex);
    return !m_shared->cancelled.wait_for(lock, duration, [&] { return m_shared->isCancelled; });
}

std::shared_ptr<Subprocess> CancelState::activeProcess() const
{
    const std::lock_guard lock(m_shared->mutex);
    return m_shared->activeProcess;
}

void CancelState::clearActiveProcess(const Subprocess *process)
{
    const std::lock_guard lock(m_shared->mutex);
    if (m_shared->activeProcess.get() == process)
        m_shared->activeProcess.reset();
}

void CancelState::setActiveProcess(std::shared_ptr<Subprocess> process)
{
    const std::lock_guard lock(m_shared->mutex);
    m_shared->activeProcess = std::move(process);
}

CancelState::Registration::Registration(CancelState &state, std::shared_ptr<Subprocess> process)
    : m_state(state)
    , m_process(std::move(process))
{
    m_state.setActiveProcess(m_process);
}

CancelState::Registration::~Registration()
{
    m_state.clearActiveProcess(m_process.get());
}
