#pragma once

#include <QString>

// Byte counts in the platform's file style: decimal units, "Zero KB" for 0, "N bytes" below
// 1,000, KB without decimals, MB with one, GB and larger with two; trailing zeros dropped.
[[nodiscard]] QString formatFileSize(qint64 bytes);
