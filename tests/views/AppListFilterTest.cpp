#include "views/main/AppListFilter.h"
#include "QStringPrinter.h"
#include "support/BundleBuilder.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>

namespace {

SupportFolder supportFolder(qint64 size, bool selected)
{
    SupportFolder folder;
    folder.size = size;
    folder.isSelected = selected;
    return folder;
}

QStringList namesOf(const QList<AppItem> &apps)
{
    QStringList names;
    for (const AppItem &app : apps)
        names.append(app.name);
    return names;
}

class AppListFilterTest : public ::testing::Test
{
protected:
    Sandbox sandbox;

    // A local application record in `folder` (the system Applications folder by default).
    AppItem app(const QString &name, qint64 size = 1, QString folder = {})
    {
        if (folder.isEmpty())
            folder = sandbox.applications();
        AppItem item;
        item.url = QUrl::fromLocalFile(folder + QLatin1Char('/') + name + QStringLiteral(".app"));
        item.name = name;
        item.size = size;
        return item;
    }

    // A link whose target is on the drive (present) or gone.
    AppItem link(const QString &name, bool targetPresent = true)
    {
        AppItem item = app(name);
        item.isSymlink = true;
        item.isAlias = true;
        const QString target = sandbox.drive() + QStringLiteral("/Applications/") + name + ".app";
        if (targetPresent)
            sandbox.makeFolder(target);
        item.symlinkTarget = target;
        return item;
    }

    // A proxy bundle on disk whose drive copy is present.
    AppItem proxy(const QString &name)
    {
        AppItem item = app(name);
        const QString target =
            sandbox.makeFolder(sandbox.drive() + "/Applications/" + name + ".app");
        writeInfoPlist(item.id(), {{"IsKorvanthelixProxy", true}, {"TargetAppPath", target}});
        item.symlinkTarget = target;
        return item;
    }

    // One application of each status, and a protected one with a duplicate alias.
    QList<AppItem> everyStatus()
    {
        AppItem copied = app("Copied");
        copied.isCopied = true;
        AppItem outOfSync = app("OutOfSync");
        outOfSync.isUpdateOutOfSync = true;
        AppItem replaced = link("Replaced");
        replaced.isOverwrittenOffload = true;
        AppItem guarded = app("Guarded");
        guarded.isProtected = true;
        guarded.protectedReason = QStringLiteral("system");
        guarded.duplicateAliasPaths = {sandbox.applications() + "/Guarded alias"};
        return {app("Local"), link("Linked"), proxy("Proxied"), copied,
                outOfSync,    replaced,       guarded,          link("Dangling", false)};
    }
};

TEST_F(AppListFilterTest, StatusFilters)
{
    const QList<AppItem> apps = everyStatus();
    const struct
    {
        AppStatusFilter filter;
        QStringList names;
    } cases[] = {
        {AppStatusFilter::all, namesOf(apps)},
        {AppStatusFilter::local, {"Local"}},
        {AppStatusFilter::offloaded, {"Linked", "Proxied"}},
        {AppStatusFilter::copied, {"Copied"}},
        {AppStatusFilter::outOfSync, {"OutOfSync"}},
        {AppStatusFilter::needsReoffload, {"Replaced"}},
        {AppStatusFilter::duplicates, {"Guarded"}},
        {AppStatusFilter::missing, {"Dangling"}},
        {AppStatusFilter::protected_, {"Guarded"}},
    };
    for (const auto &entry : cases) {
        ListCriteria criteria;
        criteria.statusFilter = entry.filter;
        criteria.sortOrder = AppSortOrder::sizeDesc; // all sizes equal: scan order stays
        EXPECT_EQ(namesOf(AppList::filteredApps(apps, criteria)), entry.names)
            << label(entry.filter).toStdString();
    }
}

TEST_F(AppListFilterTest, SearchesNamesIdentifiersAndPathsIgnoringCase)
{
    AppItem editor = app("Text Editor");
    editor.bundleIdentifier = QStringLiteral("com.acme.scribe");
    AppItem nested = app("Viewer", 1, sandbox.applications() + "/Graphics Tools");
    AppItem cafe = app(QString::fromUtf8("Caf\u00e9"));
    const QList<AppItem> apps{editor, nested, app("NoIdentifier"), cafe};
    const struct
    {
        QString text;
        QStringList names;
    } cases[] = {
        {"", {"Text Editor", "Viewer", "NoIdentifier", QString::fromUtf8("Caf\u00e9")}},
        {"text EDITOR", {"Text Editor"}},
        {"ACME", {"Text Editor"}},
        {"graphics tools", {"Viewer"}},
        {"noident", {"NoIdentifier"}},
        // Not trimmed: a blank matches names and paths that hold one.
        {" ", {"Text Editor", "Viewer"}},
        // Diacritics count; the decomposed form of the accent matches the composed one.
        {"cafe", {}},
        {QString::fromUtf8("CAFE\u0301"), {QString::fromUtf8("Caf\u00e9")}},
    };
    for (const auto &entry : cases) {
        ListCriteria criteria;
        criteria.searchText = entry.text;
        EXPECT_EQ(namesOf(AppList::filteredApps(apps, criteria)), entry.names)
            << '"' << entry.text.toStdString() << '"';
    }
}

TEST_F(AppListFilterTest, SubfoldersUseTheFirstFolderOnly)
{
    const QString root = sandbox.applications();
    const QList<AppItem> apps{
        app("Top"),
        app("Terminal", 1, root + "/Utilities"),
        app("Deep", 1, root + "/Utilities/More"),
        app("Zed", 1, root + "/Zeta"),
        app("Lower", 1, root + "/alpha"),
        app("Mine", 1, sandbox.userApplications()),
        app("MineNested", 1, sandbox.userApplications() + "/Games"),
    };
    // Code-point order: upper-case letters before lower-case ones.
    EXPECT_EQ(AppList::availableSubfolders(apps),
              QStringList({"Games", "Utilities", "Zeta", "alpha"}));

    ListCriteria criteria;
    criteria.subfolder = QStringLiteral("Utilities");
    EXPECT_EQ(namesOf(AppList::filteredApps(apps, criteria)), QStringList({"Terminal", "Deep"}));
    criteria.subfolder = QStringLiteral("utilities");
    EXPECT_TRUE(AppList::filteredApps(apps, criteria).isEmpty());
}

TEST_F(AppListFilterTest, SizeFilterIncludesTheThreshold)
{
    AppItem withFolder = app("WithFolder", 104'857'500);
    withFolder.supportFolders = {supportFolder(100, true)};
    AppItem unselected = app("Unselected", 104'857'500);
    unselected.supportFolders = {supportFolder(100, false)};
    const QList<AppItem> apps{app("Exact", 104'857'600), app("OneLess", 104'857'599), withFolder,
                              unselected};
    ListCriteria criteria;
    criteria.sizeFilter = AppSizeFilter::over100MB;
    EXPECT_EQ(namesOf(AppList::filteredApps(apps, criteria)), QStringList({"Exact", "WithFolder"}));
}

TEST_F(AppListFilterTest, SortsAreStable)
{
    const QList<AppItem> apps{app("b", 5), app("a10", 7), app("A2", 5), app("Mid", 6),
                              app("a2", 5)};
    const struct
    {
        AppSortOrder order;
        QStringList names;
    } cases[] = {
        {AppSortOrder::sizeDesc, {"a10", "Mid", "b", "A2", "a2"}},
        {AppSortOrder::sizeAsc, {"b", "A2", "a2", "Mid", "a10"}},
        // Digits by value, case ignored; equal names keep their order both ways.
        {AppSortOrder::nameAsc, {"A2", "a2", "a10", "b", "Mid"}},
        {AppSortOrder::nameDesc, {"Mid", "b", "a10", "A2", "a2"}},
    };
    for (const auto &entry : cases) {
        ListCriteria criteria;
        criteria.sortOrder = entry.order;
        EXPECT_EQ(namesOf(AppList::filteredApps(apps, criteria)), entry.names)
            << label(entry.order).toStdString();
    }
}

TEST_F(AppListFilterTest, StatusSortGroupsByLabel)
{
    ListCriteria criteria;
    criteria.sortOrder = AppSortOrder::status;
    QList<AppItem> apps = everyStatus();
    apps.append(app("Local2"));
    EXPECT_EQ(namesOf(AppList::filteredApps(apps, criteria)),
              QStringList({"Proxied", "OutOfSync", "Copied", "Dangling", "Linked", "Local",
                           "Local2", "Guarded", "Replaced"}));
}

TEST_F(AppListFilterTest, SectionMembership)
{
    AppItem copiedLink = link("CopiedLink");
    copiedLink.isCopied = true;
    AppItem withAliases = app("WithAliases", 1, sandbox.applications() + "/Utilities");
    withAliases.duplicateAliasPaths = {"a", "b"};
    const QList<AppItem> apps{app("Top"),
                              proxy("Proxy"),
                              copiedLink,
                              withAliases,
                              app("Mine", 1, sandbox.userApplications()),
                              link("Gone", false)};
    const struct
    {
        std::optional<NavigationSection> section;
        QStringList names;
    } cases[] = {
        {std::nullopt, namesOf(apps)},
        {NavigationSection::allApps, namesOf(apps)},
        {NavigationSection::mainFolder, {"Top", "Proxy", "CopiedLink", "Gone"}},
        {NavigationSection::nestedApps, {"WithAliases", "Mine"}},
        {NavigationSection::offloaded, {"Proxy", "CopiedLink", "Gone"}},
        {NavigationSection::copied, {"CopiedLink"}},
        {NavigationSection::duplicates, {"WithAliases"}},
        {NavigationSection::history, {}},
    };
    for (const auto &entry : cases) {
        EXPECT_EQ(namesOf(AppList::appsForSection(apps, entry.section)), entry.names)
            << (entry.section ? label(*entry.section).toStdString() : "none");
    }
}

} // namespace
