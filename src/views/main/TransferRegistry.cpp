#include "views/main/TransferRegistry.h"

#include <utility>

TransferRegistry::Lease::Lease(Lease &&other) noexcept
    : m_registry(std::exchange(other.m_registry, nullptr))
{}

TransferRegistry::Lease &TransferRegistry::Lease::operator=(Lease &&other) noexcept
{
    if (this != &other) {
        release();
        m_registry = std::exchange(other.m_registry, nullptr);
    }
    return *this;
}

TransferRegistry::Lease::~Lease()
{
    release();
}

void TransferRegistry::Lease::release()
{
    if (m_registry)
        --std::exchange(m_registry, nullptr)->m_running;
}

TransferRegistry &TransferRegistry::shared()
{
    static TransferRegistry instance;
    return instance;
}

TransferRegistry::Lease TransferRegistry::begin()
{
    ++m_running;
    return Lease(this);
}
