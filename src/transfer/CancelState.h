#pragma once

#include <chrono>
#include <functional>
#include <memory>

class Subprocess;

// The cancellation state an engine shares between the main thread and its workers: the
// cancel flag and the copy process running at this moment. One lock guards exactly these
// two; it is never held while a process is started, terminated or waited for, so a cancel
// request never waits for the copy. Every member is callable from any thread.
class CancelState
{
public:
    CancelState();
    ~CancelState();
    CancelState(const CancelState &) = delete;
    CancelState &operator=(const CancelState &) = delete;

    // Sets the flag, then asks the registered process (if any) to terminate, outside the
    // lock. A second request terminates a still-running process again.
    void cancel();
    // Clears the flag and drops the process reference without terminating it.
    void reset();
    [[nodiscard]] bool isCancelRequested() const;

    // A probe for the verifier: the flag at each call, re-read every time; false once this
    // state (its engine) is gone.
    [[nodiscard]] std::function<bool()> makeProbe() const;

    // Sleeps for `duration`, waking early when a cancellation is requested; true when it
    // slept the whole time.
    bool waitFor(std::chrono::nanoseconds duration) const;

    // Keeps `process` registered as the running one for its lifetime and drops the
    // registration on every way out, unless another process has replaced it meanwhile.
    class Registration
    {
    public:
        Registration(CancelState &state, std::shared_ptr<Subprocess> process);
        ~Registration();
        Registration(const Registration &) = delete;
        Registration &operator=(const Registration &) = delete;

    private:
        CancelState &m_state;
        std::shared_ptr<Subprocess> m_process;
    };

    // The registered process, for inspection.
    [[nodiscard]] std::shared_ptr<Subprocess> activeProcess() const;
    // Drops the registration only when `process` is the registered one (identity).
    void clearActiveProcess(const Subprocess *process);

private:
    void setActiveProcess(std::shared_ptr<Subprocess> process);

    struct Shared;
    std::shared_ptr<Shared> m_shared;
};
