#include "views/main/TransferRegistry.h"

#include <utility>

TransferRegistry::Lease::Lease(Lease &&other) noexcept
    : m_count(std::exchange(other.m_count, nullptr))
{}

TransferRegistry::Lease &TransferRegistry::Lease::operator=(Lease &&other) noexcept
{
    if (this != &other) {
        release();
        m_count = std::exchange(other.m_count, nullptr);
    }
    return *this;
}

TransferRegistry::Lease::~Lease()
{
    release();
}

void TransferRegistry::Lease::release()
{
    if (m_count)
        --*std::exchange(m_count, nullptr);
}

TransferRegistry &TransferRegistry::shared()
{
    static TransferRegistry instance;
    return instance;
}

TransferRegistry::Lease TransferRegistry::begin()
{
    ++m_running;
    return Lease(&m_running);
}

TransferRegistry::Lease TransferRegistry::beginEject()
{
    ++m_ejecting;
    return Lease(&m_ejecting);
}
