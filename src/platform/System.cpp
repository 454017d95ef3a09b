#include "platform/System.h"

#include <mutex>

namespace {

std::mutex &systemMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<System> &slot()
{
    static std::shared_ptr<System> instance;
    return instance;
}

} // namespace

System::~System() = default;

System &System::current()
{
    return *installed();
}

std::shared_ptr<System> System::installed()
{
    const std::lock_guard lock(systemMutex());
    if (!slot())
        slot() = makePlatformSystem();
    return slot();
}

void System::install(std::shared_ptr<System> system)
{
    const std::lock_guard lock(systemMutex());
    slot() = std::move(system);
}

ScopedSystemOverride::ScopedSystemOverride(std::shared_ptr<System> system)
{
    const std::lock_guard lock(systemMutex());
    m_previous = std::move(slot());
    slot() = std::move(system);
}

ScopedSystemOverride::~ScopedSystemOverride()
{
    const std::lock_guard lock(systemMutex());
    slot() = std::move(m_previous);
}
