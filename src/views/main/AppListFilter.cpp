#include "views/main/AppListFilter.h"

#include "base/NameOrder.h"

#include <QCollator>
#include <QLocale>
#include <QSet>
#include <algorithm>

namespace {

bool codePointLess(const QString &a, const QString &b)
{
    const QList<uint> left = a.normalized(QString::NormalizationForm_C).toUcs4();
    const QList<uint> right = b.normalized(QString::NormalizationForm_C).toUcs4();
    return std::lexicographical_compare(left.cbegin(), left.cend(), right.cbegin(), right.cend());
}

bool containsIgnoringCase(const QString &text, const QString &normalizedNeedle)
{
    return text.normalized(QString::NormalizationForm_C)
        .contains(normalizedNeedle, Qt::CaseInsensitive);
}

bool matchesNormalized(const AppItem &app, const QString &needle)
{
    if (containsIgnoringCase(app.name, needle))
        return true;
    if (app.bundleIdentifier && containsIgnoringCase(*app.bundleIdentifier, needle))
        return true;
    return containsIgnoringCase(app.id(), needle);
}

bool needsStatus(const ListCriteria &criteria)
{
    return (criteria.statusFilter != AppStatusFilter::all &&
            criteria.statusFilter != AppStatusFilter::duplicates) ||
           criteria.sortOrder == AppSortOrder::status;
}

// One list entry with what the pass needs of it worked out once.
struct Entry
{
    const AppItem *app;
    qint64 totalSize;
    AppOffloadStatus status;
};

} // namespace

namespace AppList {

bool matchesStatusFilter(AppStatusFilter filter, const AppItem &app, AppOffloadStatus status)
{
    switch (filter) {
    case AppStatusFilter::all:
        return true;
    case AppStatusFilter::duplicates:
        return !app.duplicateAliasPaths.isEmpty();
    case AppStatusFilter::local:
        return status == AppOffloadStatus::local;
    case AppStatusFilter::offloaded:
        return status == AppOffloadStatus::offloaded || status == AppOffloadStatus::proxy;
    case AppStatusFilter::copied:
        return status == AppOffloadStatus::copied;
    case AppStatusFilter::outOfSync:
        return status == AppOffloadStatus::backupOutOfSync;
    case AppStatusFilter::needsReoffload:
        return status == AppOffloadStatus::needsReoffload;
    case AppStatusFilter::missing:
        return status == AppOffloadStatus::dangling;
    case AppStatusFilter::protected_:
        return status == AppOffloadStatus::protected_;
    }
    return false;
}

bool isOffloadedItem(const AppItem &app)
{
    return app.isSymlink || app.isAlias || app.isProxyBundle();
}

bool isOffloadCandidate(const AppItem &app)
{
    return !app.isSymlink && !app.isAlias && !app.isProxyBundle() && !app.isProtected;
}

QList<AppItem> appsForSection(const QList<AppItem> &apps, std::optional<NavigationSection> section)
{
    if (!section || *section == NavigationSection::allApps)
        return apps;
    QList<AppItem> kept;
    for (const AppItem &app : apps) {
        bool keep = false;
        switch (*section) {
        case NavigationSection::allApps:
            keep = true;
            break;
        case NavigationSection::mainFolder:
            keep = app.isRootApplicationsFolder();
            break;
        case NavigationSection::nestedApps:
            keep = !app.isRootApplicationsFolder();
            break;
        case NavigationSection::offloaded:
            keep = isOffloadedItem(app);
            break;
        case NavigationSection::copied:
            keep = app.isCopied;
            break;
        case NavigationSection::duplicates:
            keep = !app.duplicateAliasPaths.isEmpty();
            break;
        case NavigationSection::history:
            return {};
        }
        if (keep)
            kept.append(app);
    }
    return kept;
}

QStringList availableSubfolders(const QList<AppItem> &sectionApps)
{
    QStringList names;
    QSet<QString> seen;
    for (const AppItem &app : sectionApps) {
        const std::optional<QString> top = app.topSubfolderName();
        if (top && !seen.contains(*top)) {
            seen.insert(*top);
            names.append(*top);
        }
    }
    std::sort(names.begin(), names.end(), codePointLess);
    return names;
}

bool matchesSearch(const AppItem &app, const QString &text)
{
    return matchesNormalized(app, text.normalized(QString::NormalizationForm_C));
}

bool statusLabelLess(const AppItem &a, const AppItem &b)
{
    return codePointLess(label(a.status()), label(b.status()));
}

int compareNames(const QString &a, const QString &b)
{
    return compareFileBrowserNames(a, b);
}

QList<AppItem> filteredApps(const QList<AppItem> &sectionApps, const ListCriteria &criteria)
{
    const bool withStatus = needsStatus(criteria);
    const QString needle = criteria.searchText.normalized(QString::NormalizationForm_C);
    const bool bySubfolder = criteria.subfolder != ListCriteria::allSubfolders();
    const qint64 minimum = minimumBytes(criteria.sizeFilter);

    QList<Entry> entries;
    entries.reserve(sectionApps.size());
    for (const AppItem &app : sectionApps) {
        if (!needle.isEmpty() && !matchesNormalized(app, needle))
            continue;
        if (bySubfolder && app.topSubfolderName() != criteria.subfolder)
            continue;
        const AppOffloadStatus status = withStatus ? app.status() : AppOffloadStatus::local;
        if (!matchesStatusFilter(criteria.statusFilter, app, status))
            continue;
        const qint64 total = app.totalSelectedSize();
        if (criteria.sizeFilter != AppSizeFilter::all && total < minimum)
            continue;
        entries.append({&app, total, status});
    }

    switch (criteria.sortOrder) {
    case AppSortOrder::sizeDesc:
        std::stable_sort(entries.begin(), entries.end(),
                         [](const Entry &a, const Entry &b) { return a.totalSize > b.totalSize; });
        break;
    case AppSortOrder::sizeAsc:
        std::stable_sort(entries.begin(), entries.end(),
                         [](const Entry &a, const Entry &b) { return a.totalSize < b.totalSize; });
        break;
    case AppSortOrder::nameAsc:
    case AppSortOrder::nameDesc: {
        const QCollator collator = fileBrowserCollator();
        const bool ascending = criteria.sortOrder == AppSortOrder::nameAsc;
        std::stable_sort(entries.begin(), entries.end(), [&](const Entry &a, const Entry &b) {
            const int order = collator.compare(a.app->name, b.app->name);
            return ascending ? order < 0 : order > 0;
        });
        break;
    }
    case AppSortOrder::status: {
        // Labels are compared once per status, not once per comparison.
        QHash<AppOffloadStatus, int> rank;
        QList<AppOffloadStatus> byLabel = allCases<AppOffloadStatus>();
        std::sort(byLabel.begin(), byLabel.end(), [](AppOffloadStatus a, AppOffloadStatus b) {
            return codePointLess(label(a), label(b));
        });
        for (int i = 0; i < byLabel.size(); ++i)
            rank.insert(byLabel[i], i);
        std::stable_sort(entries.begin(), entries.end(), [&](const Entry &a, const Entry &b) {
            return rank.value(a.status) < rank.value(b.status);
        });
        break;
    }
    }

    QList<AppItem> result;
    result.reserve(entries.size());
    for (const Entry &entry : entries)
        result.append(*entry.app);
    return result;
}

} // namespace AppList
