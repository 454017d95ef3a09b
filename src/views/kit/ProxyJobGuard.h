#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <optional>

// At most one App Proxy job (promotion or proxy creation) runs in the process at a time:
// each one signs, registers and replaces bundles in /Applications, and two at once would
// race over the same paths. Every place that starts such a job takes a lease first and
// refuses with refusalNotice() when none is to be had.
class ProxyJobGuard final : public QObject
{
    Q_OBJECT
public:
    // Held for the whole job, wherever it runs; releases when destroyed. Move-only.
    class Lease
    {
    public:
        Lease(Lease &&other) noexcept;
        Lease &operator=(Lease &&other) noexcept;
        Lease(const Lease &) = delete;
        Lease &operator=(const Lease &) = delete;
        ~Lease();

    private:
        friend class ProxyJobGuard;
        explicit Lease(ProxyJobGuard *guard)
            : m_guard(guard)
        {}
        void release();
        ProxyJobGuard *m_guard = nullptr;
    };

    // The process-wide guard, created on first use; it lives on the main thread.
    [[nodiscard]] static ProxyJobGuard &shared();

    // A lease when no job runs, nothing while one does. Any thread.
    [[nodiscard]] std::optional<Lease> tryAcquire();
    [[nodiscard]] bool isBusy() const { return m_busy.load(); }

    // The notice line of a refused start. Contains "Cannot", so the promotion section shows
    // it in its warning colour.
    [[nodiscard]] static QString refusalNotice();

signals:
    // Queued to the guard's thread when a lease is taken or released.
    void busyChanged(bool busy);

private:
    ProxyJobGuard() = default;
    void release();

    std::atomic<bool> m_busy{false};
};
