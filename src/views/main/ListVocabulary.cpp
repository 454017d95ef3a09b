#include "views/main/ListVocabulary.h"

namespace {

constexpr qint64 megabyte = 1'048'576;
constexpr qint64 gigabyte = 1'073'741'824;

} // namespace

QString label(NavigationSection section)
{
    switch (section) {
    case NavigationSection::allApps:
        return QStringLiteral("All Applications");
    case NavigationSection::mainFolder:
        return QStringLiteral("Main /Applications");
    case NavigationSection::nestedApps:
        return QStringLiteral("Nested Subfolders");
    case NavigationSection::offloaded:
        return QStringLiteral("Offloaded Apps");
    case NavigationSection::copied:
        return QStringLiteral("Copied (Backup)");
    case NavigationSection::duplicates:
        return QStringLiteral("Duplicate Aliases");
    case NavigationSection::history:
        return QStringLiteral("History & Ledgers");
    }
    Q_UNREACHABLE();
}

QString iconName(NavigationSection section)
{
    switch (section) {
    case NavigationSection::allApps:
        return QStringLiteral("square.grid.2x2");
    case NavigationSection::mainFolder:
        return QStringLiteral("folder.fill");
    case NavigationSection::nestedApps:
        return QStringLiteral("folder.badge.gearshape");
    case NavigationSection::offloaded:
        return QStringLiteral("externaldrive.fill");
    case NavigationSection::copied:
        return QStringLiteral("doc.on.doc.fill");
    case NavigationSection::duplicates:
        return QStringLiteral("link.badge.plus");
    case NavigationSection::history:
        return QStringLiteral("clock.arrow.circlepath");
    }
    Q_UNREACHABLE();
}

QString label(AppStatusFilter filter)
{
    switch (filter) {
    case AppStatusFilter::all:
        return QStringLiteral("All Status");
    case AppStatusFilter::local:
        return QStringLiteral("On Mac");
    case AppStatusFilter::offloaded:
        return QStringLiteral("Offloaded");
    case AppStatusFilter::copied:
        return QStringLiteral("Copied");
    case AppStatusFilter::outOfSync:
        return QStringLiteral("Out of Sync");
    case AppStatusFilter::needsReoffload:
        return QStringLiteral("Replaced Offload");
    case AppStatusFilter::duplicates:
        return QStringLiteral("Duplicates");
    case AppStatusFilter::missing:
        return QStringLiteral("Drive Missing");
    case AppStatusFilter::protected_:
        return QStringLiteral("Protected");
    }
    Q_UNREACHABLE();
}

QString label(AppSizeFilter filter)
{
    switch (filter) {
    case AppSizeFilter::all:
        return QStringLiteral("All Sizes");
    case AppSizeFilter::over100MB:
        return QStringLiteral("> 100 MB");
    case AppSizeFilter::over500MB:
        return QStringLiteral("> 500 MB");
    case AppSizeFilter::over1GB:
        return QStringLiteral("> 1 GB");
    case AppSizeFilter::over5GB:
        return QStringLiteral("> 5 GB");
    case AppSizeFilter::over10GB:
        return QStringLiteral("> 10 GB");
    }
    Q_UNREACHABLE();
}

qint64 minimumBytes(AppSizeFilter filter)
{
    switch (filter) {
    case AppSizeFilter::all:
        return 0;
    case AppSizeFilter::over100MB:
        return 100 * megabyte;
    case AppSizeFilter::over500MB:
        return 500 * megabyte;
    case AppSizeFilter::over1GB:
        return 1 * gigabyte;
    case AppSizeFilter::over5GB:
        return 5 * gigabyte;
    case AppSizeFilter::over10GB:
        return 10 * gigabyte;
    }
    Q_UNREACHABLE();
}

QString label(AppSortOrder order)
{
    switch (order) {
    case AppSortOrder::sizeDesc:
        return QStringLiteral("Size (Largest)");
    case AppSortOrder::sizeAsc:
        return QStringLiteral("Size (Smallest)");
    case AppSortOrder::nameAsc:
        return QStringLiteral("Name (A\u2013Z)");
    case AppSortOrder::nameDesc:
        return QStringLiteral("Name (Z\u2013A)");
    case AppSortOrder::status:
        return QStringLiteral("Status");
    }
    Q_UNREACHABLE();
}

template<>
QList<NavigationSection> allCases<NavigationSection>()
{
    return {NavigationSection::allApps,    NavigationSection::mainFolder,
            NavigationSection::nestedApps, NavigationSection::offloaded,
            NavigationSection::copied,     NavigationSection::duplicates,
            NavigationSection::history};
}

template<>
QList<AppStatusFilter> allCases<AppStatusFilter>()
{
    return {
        AppStatusFilter::all,        AppStatusFilter::local,     AppStatusFilter::offloaded,
        AppStatusFilter::copied,     AppStatusFilter::outOfSync, AppStatusFilter::needsReoffload,
        AppStatusFilter::duplicates, AppStatusFilter::missing,   AppStatusFilter::protected_};
}

template<>
QList<AppSizeFilter> allCases<AppSizeFilter>()
{
    return {AppSizeFilter::all,     AppSizeFilter::over100MB, AppSizeFilter::over500MB,
            AppSizeFilter::over1GB, AppSizeFilter::over5GB,   AppSizeFilter::over10GB};
}

template<>
QList<AppSortOrder> allCases<AppSortOrder>()
{
    return {AppSortOrder::sizeDesc, AppSortOrder::sizeAsc, AppSortOrder::nameAsc,
            AppSortOrder::nameDesc, AppSortOrder::status};
}
