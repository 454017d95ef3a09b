#pragma once

#include "base/LabeledEnum.h"

#include <QList>
#include <QString>
#include <QtGlobal>
#include <optional>

// Where an application stands; the label is what the window shows.
enum class AppOffloadStatus {
    local,
    offloaded,
    proxy,
    copied,
    backupOutOfSync,
    needsReoffload,
    protected_,
    dangling,
};

[[nodiscard]] QString label(AppOffloadStatus status);
// In declaration order.
template<>
[[nodiscard]] QList<AppOffloadStatus> allCases<AppOffloadStatus>();

[[nodiscard]] inline size_t qHash(AppOffloadStatus status, size_t seed = 0) noexcept
{
    return ::qHash(int(status), seed);
}
