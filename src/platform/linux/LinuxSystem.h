#pragma once

#include "platform/System.h"

// The backend of this Linux build: macOS locations mapped onto the machine.
class LinuxSystem : public System
{
public:
    [[nodiscard]] SystemPaths paths() const override;
};
