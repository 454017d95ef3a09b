#pragma once

#include "platform/SystemPaths.h"

#include <memory>

// The seam to the operating system. One process-wide instance answers every question the
// product asks of the platform; tests replace it with a ScopedSystemOverride.
class System
{
public:
    virtual ~System();

    [[nodiscard]] virtual SystemPaths paths() const = 0;

    // The installed instance; the platform's own backend when nothing was installed.
    // Safe to call from any thread.
    [[nodiscard]] static System &current();
    static void install(std::shared_ptr<System> system);
    [[nodiscard]] static std::shared_ptr<System> installed();
};

// The platform's own backend, chosen at build time.
[[nodiscard]] std::shared_ptr<System> makePlatformSystem();

// Installs a System for the lifetime of this object and puts the previous one back.
class ScopedSystemOverride
{
public:
    explicit ScopedSystemOverride(std::shared_ptr<System> system);
    ~ScopedSystemOverride();
    ScopedSystemOverride(const ScopedSystemOverride &) = delete;
    ScopedSystemOverride &operator=(const ScopedSystemOverride &) = delete;

private:
    std::shared_ptr<System> m_previous;
};
