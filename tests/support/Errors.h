#pragma once

#include "base/OperationError.h"
#include "support/Wait.h"

#include <QFuture>
#include <functional>
#include <gtest/gtest.h>
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

// Waits for `future`, pumping events, and returns the OperationError it threw, or nothing.
inline std::optional<OperationError> errorOfFuture(QFuture<void> future, int timeoutMs = 30000)
{
    EXPECT_TRUE(waitFor(future, timeoutMs));
    drainEvents();
    return errorOf([&] { future.waitForFinished(); });
}
