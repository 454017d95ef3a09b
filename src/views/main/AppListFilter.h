#pragma once

#include "model/AppItem.h"
#include "views/main/ListVocabulary.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

// What the application list is narrowed and ordered by: the window's section, search text,
// subfolder ("All" means none), status and size filters and sort order.
struct ListCriteria
{
    std::optional<NavigationSection> section = NavigationSection::allApps;
    QString searchText;
    QString subfolder = allSubfolders();
    AppStatusFilter statusFilter = AppStatusFilter::all;
    AppSizeFilter sizeFilter = AppSizeFilter::all;
    AppSortOrder sortOrder = AppSortOrder::sizeDesc;

    [[nodiscard]] static QString allSubfolders() { return QStringLiteral("All"); }
    friend bool operator==(const ListCriteria &, const ListCriteria &) = default;
};

// The rules that turn the inventory into the list the window shows. Pure functions over
// their arguments, except that the status and proxy tests read bundles from disk (each
// read at most once per item and pass). Main thread only: names compare through the
// current locale's collator.
namespace AppList {

// A link, alias or proxy bundle standing for an application on a drive.
[[nodiscard]] bool isOffloadedItem(const AppItem &app);
// Something an offload may take: not offloaded and not protected.
[[nodiscard]] bool isOffloadCandidate(const AppItem &app);

// The inventory's applications of `section`, in inventory order; all of them for no
// section, none for the history section.
[[nodiscard]] QList<AppItem> appsForSection(const QList<AppItem> &apps,
                                            std::optional<NavigationSection> section);
// The distinct first folders of the items' subfolder paths, in code-point order.
[[nodiscard]] QStringList availableSubfolders(const QList<AppItem> &sectionApps);
// `sectionApps` searched, filtered and stably sorted by `criteria` (its section is not
// applied again).
[[nodiscard]] QList<AppItem> filteredApps(const QList<AppItem> &sectionApps,
                                          const ListCriteria &criteria);

// Name, then bundle identifier, then path contains `text`, ignoring case; diacritics count.
[[nodiscard]] bool matchesSearch(const AppItem &app, const QString &text);
// The status chip's rule; `status` is app.status(), read once by the caller.
[[nodiscard]] bool matchesStatusFilter(AppStatusFilter filter, const AppItem &app,
                                       AppOffloadStatus status);
// a's status label comes before b's in code-point order.
[[nodiscard]] bool statusLabelLess(const AppItem &a, const AppItem &b);
// The file manager's name order: case ignored, digit runs compared by value.
[[nodiscard]] int compareNames(const QString &a, const QString &b);

} // namespace AppList
