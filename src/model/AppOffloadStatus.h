#pragma once

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

// Declared here for every labelled enumeration: fromLabel<E>(text), allCases<E>().
template<typename E>
[[nodiscard]] std::optional<E> fromLabel(const QString &label);
template<typename E>
[[nodiscard]] QList<E> allCases();

[[nodiscard]] QString label(AppOffloadStatus status);
// Exact, case-sensitive match on one of the eight labels; nothing for any other text.
template<>
[[nodiscard]] std::optional<AppOffloadStatus> fromLabel<AppOffloadStatus>(const QString &label);
// In declaration order.
template<>
[[nodiscard]] QList<AppOffloadStatus> allCases<AppOffloadStatus>();

[[nodiscard]] inline size_t qHash(AppOffloadStatus status, size_t seed = 0) noexcept
{
    return ::qHash(int(status), seed);
}
