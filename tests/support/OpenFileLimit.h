#pragma once

#include <algorithm>
#include <sys/resource.h>
#include <unistd.h>

// Lowers the open-file limit for the length of a scope (never raises it).
class OpenFileLimit
{
public:
    explicit OpenFileLimit(rlim_t soft)
    {
        ::getrlimit(RLIMIT_NOFILE, &m_saved);
        rlimit lowered = m_saved;
        lowered.rlim_cur = std::min(soft, m_saved.rlim_cur);
        ::setrlimit(RLIMIT_NOFILE, &lowered);
    }
    ~OpenFileLimit() { ::setrlimit(RLIMIT_NOFILE, &m_saved); }
    OpenFileLimit(const OpenFileLimit &) = delete;
    OpenFileLimit &operator=(const OpenFileLimit &) = delete;

    // No file can be opened while it lives: the limit is the lowest free descriptor, the next
    // one any open would take.
    [[nodiscard]] static rlim_t lowestFreeDescriptor()
    {
        const int lowestFree = ::dup(0);
        ::close(lowestFree);
        return rlim_t(lowestFree);
    }

private:
    rlimit m_saved{};
};
