#pragma once

#include "base/OperationError.h"

#include <functional>
#include <optional>

// The OperationError an operation throws, or nothing when it succeeds.
inline std::optional<OperationError> errorOf(const std::function<void()> &operation)
{
    try {
        operation();
    } catch (const OperationError &error) {
        return error;
    }
    return std::nullopt;
}
