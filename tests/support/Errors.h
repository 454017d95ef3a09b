#pragma once

#include "base/OperationError.h"
#include "support/Wait.h"

#include <QException>
#include <QFuture>
#include <functional>
#include <gtest/gtest.h>
#include <optional>

// Stands for an error of another type than OperationError, which no operation should throw
// but every one must survive.
inline const QString foreignDomain = QStringLiteral("Foreign");

// The OperationError an operation throws, or nothing when it succeeds. An error of another
// type comes back in `foreignDomain` with code -1 and the message the engines show for it.
inline std::optional<OperationError> errorOf(const std::function<void()> &operation)
{
    try {
        operation();
    } catch (const OperationError &error) {
        return error;
    } catch (const QUnhandledException &unhandled) {
        return OperationError(foreignDomain, -1, OperationError::messageOf(unhandled.exception()));
    } catch (...) {
        return OperationError(foreignDomain, -1,
                              OperationError::messageOf(std::current_exception()));
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
