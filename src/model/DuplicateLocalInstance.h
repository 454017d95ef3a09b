#pragma once

#include "model/AppItem.h"

#include <QString>

// A real bundle on the Mac that duplicates an application already offloaded.
struct DuplicateLocalInstance
{
    AppItem localApp;
    AppItem offloadedPrimary; // the link, alias or proxy item it duplicates

    [[nodiscard]] QString id() const { return localApp.id(); }

    // Equal when both members' paths are (AppItem compares paths only).
    friend bool operator==(const DuplicateLocalInstance &,
                           const DuplicateLocalInstance &) = default;
};

[[nodiscard]] size_t qHash(const DuplicateLocalInstance &instance, size_t seed = 0) noexcept;
