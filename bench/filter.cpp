// One pass of the application list's section, search, filters and sort over 2,000
// applications, as the window recomputes it when one of its inputs changes. The budget is
// 50 ms per pass. Bundles are real folders with Info.plist files, so the status and proxy
// tests read the disk as they do in the window.

#include "support/BundleBuilder.h"
#include "support/Sandbox.h"
#include "views/main/AppListFilter.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>

namespace {

constexpr int appCount = 2000;
constexpr int passes = 15;
constexpr double budgetMs = 50.0;

QList<AppItem> buildInventory(Sandbox &sandbox)
{
    const QString driveApps = sandbox.drive() + QStringLiteral("/Applications");
    QList<AppItem> apps;
    for (int i = 0; i < appCount; ++i) {
        const QString name = QStringLiteral("App %1").arg(i);
        const QString folder = i % 3 == 0
                                   ? sandbox.applications() + QStringLiteral("/Group %1").arg(i % 9)
                                   : sandbox.applications();
        AppItem app;
        app.url = QUrl::fromLocalFile(folder + QLatin1Char('/') + name + QStringLiteral(".app"));
        app.name = name;
        app.bundleIdentifier = QStringLiteral("com.bench.app%1").arg(i);
        app.size = qint64(1 + (i * 7919) % 4000) * 1'048'576;
        app.isCopied = i % 11 == 0;
        app.isUpdateOutOfSync = i % 13 == 0;
        app.isProtected = i % 17 == 0;
        if (i % 19 == 0)
            app.duplicateAliasPaths = {folder + QStringLiteral("/alias %1").arg(i)};
        if (i % 10 == 0) {
            const QString target = driveApps + QLatin1Char('/') + name + QStringLiteral(".app");
            sandbox.makeFolder(target);
            if (i % 20 == 0) {
                BundleBuilder(app.id()).plistValue(QStringLiteral("TargetAppPath"), target).build();
            } else {
                sandbox.makeSymlink(app.id(), target);
                app.isSymlink = true;
                app.isAlias = true;
            }
            app.symlinkTarget = target;
        } else {
            BundleBuilder(app.id()).identifier(*app.bundleIdentifier).build();
        }
        apps.append(app);
    }
    return apps;
}

// The median of `passes` timed runs, in milliseconds.
double medianMs(const QList<AppItem> &apps, const ListCriteria &criteria, qsizetype *rows)
{
    QList<double> times;
    for (int i = 0; i < passes; ++i) {
        QElapsedTimer timer;
        timer.start();
        const QList<AppItem> section = AppList::appsForSection(apps, criteria.section);
        *rows = AppList::filteredApps(section, criteria).size();
        times.append(double(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Sandbox sandbox;
    const QList<AppItem> apps = buildInventory(sandbox);

    struct Case
    {
        const char *name;
        ListCriteria criteria;
    };
    QList<Case> cases;
    cases.append({"all, size order", ListCriteria()});
    ListCriteria search;
    search.searchText = QStringLiteral("app 1");
    cases.append({"search", search});
    ListCriteria offloaded;
    offloaded.section = NavigationSection::offloaded;
    offloaded.sortOrder = AppSortOrder::nameAsc;
    cases.append({"offloaded section, name order", offloaded});
    ListCriteria byStatus;
    byStatus.statusFilter = AppStatusFilter::local;
    byStatus.sortOrder = AppSortOrder::status;
    cases.append({"status filter, status order", byStatus});
    ListCriteria everything;
    everything.section = NavigationSection::nestedApps;
    everything.searchText = QStringLiteral("APP");
    everything.subfolder = QStringLiteral("Group 3");
    everything.statusFilter = AppStatusFilter::offloaded;
    everything.sizeFilter = AppSizeFilter::over100MB;
    everything.sortOrder = AppSortOrder::nameDesc;
    cases.append({"every filter", everything});
    ListCriteria statusOnly;
    statusOnly.sortOrder = AppSortOrder::status;
    cases.append({"all, status order", statusOnly});

    bool withinBudget = true;
    std::printf("%d applications, median of %d passes, budget %.0f ms\n", appCount, passes,
                budgetMs);
    for (const Case &entry : std::as_const(cases)) {
        qsizetype rows = 0;
        const double ms = medianMs(apps, entry.criteria, &rows);
        withinBudget = withinBudget && ms < budgetMs;
        std::printf("  %-32s %7.2f ms  %5lld rows%s\n", entry.name, ms,
                    static_cast<long long>(rows), ms < budgetMs ? "" : "  OVER BUDGET");
    }
    return withinBudget ? 0 : 1;
}
