#pragma once

// The transfers and safe ejects running in the whole process, whichever window started
// them. Two transfers at once would share the drive's staging and rollback folders, and an
// eject may unmount a drive between two steps of a transfer, so a window starts one of them
// only while none runs. Main thread only.
class TransferRegistry final
{
public:
    // Marks one transfer or eject as running for its lifetime.
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
        explicit Lease(int *count)
            : m_count(count)
        {}
        int *m_count = nullptr; // the registry's count this lease adds to
    };

    [[nodiscard]] static TransferRegistry &shared();

    // A transfer (offload, copy, backup update, re-offload, restore).
    [[nodiscard]] Lease begin();
    // A safe eject of a drive.
    [[nodiscard]] Lease beginEject();
    // Something runs that excludes every other transfer and eject.
    [[nodiscard]] bool isBusy() const { return m_running > 0 || m_ejecting > 0; }
    [[nodiscard]] bool isEjecting() const { return m_ejecting > 0; }
    [[nodiscard]] int runningCount() const { return m_running; }

private:
    int m_running = 0;
    int m_ejecting = 0;
};
