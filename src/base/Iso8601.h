#pragma once

#include <QDateTime>
#include <QString>

// Ledger timestamps: UTC, whole seconds, "2025-03-01T09:30:00Z".
[[nodiscard]] QString iso8601Seconds(const QDateTime &moment);
[[nodiscard]] QString iso8601SecondsNow();

// Log times: UTC with milliseconds, "2025-01-31T14:05:09.123Z".
[[nodiscard]] QString iso8601Millis(const QDateTime &moment);
[[nodiscard]] QString iso8601MillisNow();
