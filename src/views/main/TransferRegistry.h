#pragma once

// The transfers running in the whole process, whichever window started them. Two transfers
// at once would share the drive's staging and rollback folders, so a window starts one only
// while none runs. Main thread only.
class TransferRegistry final
{
public:
    // Marks one transfer as running for its lifetime.
    class Lease
    {
    public:
        Lease() = default;
        Lease(Lease &&other) noexcept;
        Lease &operator=(Lease &&other) noexcept;
        Lease(const Lease &) = delete;
        Lease &operator=(const Lease &) = delete;
        ~Lease();
        // Ends the mark early; later calls do nothing.
        void release();

    private:
        friend class TransferRegistry;
        explicit Lease(TransferRegistry *registry)
            : m_registry(registry)
        {}
        TransferRegistry *m_registry = nullptr;
    };

    [[nodiscard]] static TransferRegistry &shared();

    [[nodiscard]] Lease begin();
    [[nodiscard]] bool isBusy() const { return m_running > 0; }
    [[nodiscard]] int runningCount() const { return m_running; }

private:
    int m_running = 0;
};
