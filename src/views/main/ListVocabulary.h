#pragma once

#include "base/LabeledEnum.h"

#include "model/AppOffloadStatus.h"

#include <QList>
#include <QString>
#include <QtGlobal>
#include <optional>

// The choices of the application list. Each label is what the user sees and also the
// identity of the case: menus and chips list allCases<E>() in declaration order, and a
// section title sent back by a menu command becomes a case through fromLabel<E>() (exact,
// case-sensitive match; anything else gives nothing).

enum class NavigationSection {
    allApps,
    mainFolder,
    nestedApps,
    offloaded,
    copied,
    duplicates,
    history,
};

enum class AppStatusFilter {
    all,
    local,
    offloaded,
    copied,
    outOfSync,
    needsReoffload,
    duplicates,
    missing,
    protected_,
};

enum class AppSizeFilter {
    all,
    over100MB,
    over500MB,
    over1GB,
    over5GB,
    over10GB,
};

enum class AppSortOrder {
    sizeDesc,
    sizeAsc,
    nameAsc,
    nameDesc,
    status,
};

[[nodiscard]] QString label(NavigationSection section);
[[nodiscard]] QString label(AppStatusFilter filter);
[[nodiscard]] QString label(AppSizeFilter filter);
[[nodiscard]] QString label(AppSortOrder order);

// The symbol shown beside the section's title in the sidebar.
[[nodiscard]] QString iconName(NavigationSection section);
// Sizes in binary units (1 MB = 1,048,576 bytes); the filter keeps sizes at or above it.
[[nodiscard]] qint64 minimumBytes(AppSizeFilter filter);

template<>
[[nodiscard]] QList<NavigationSection> allCases<NavigationSection>();
template<>
[[nodiscard]] QList<AppStatusFilter> allCases<AppStatusFilter>();
template<>
[[nodiscard]] QList<AppSizeFilter> allCases<AppSizeFilter>();
template<>
[[nodiscard]] QList<AppSortOrder> allCases<AppSortOrder>();

// Hashing follows the label, as the identity does.
[[nodiscard]] inline size_t qHash(NavigationSection value, size_t seed = 0) noexcept
{
    return ::qHash(label(value), seed);
}
[[nodiscard]] inline size_t qHash(AppStatusFilter value, size_t seed = 0) noexcept
{
    return ::qHash(label(value), seed);
}
[[nodiscard]] inline size_t qHash(AppSizeFilter value, size_t seed = 0) noexcept
{
    return ::qHash(label(value), seed);
}
[[nodiscard]] inline size_t qHash(AppSortOrder value, size_t seed = 0) noexcept
{
    return ::qHash(label(value), seed);
}
