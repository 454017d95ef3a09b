#include "services/InventoryCollector.h"
#include "support/BundleBuilder.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>

namespace {

InventoryCollector collector(const QList<MigrationRecord> &ledger = {})
{
    return InventoryCollector(ledger, {}, System::current().paths().supportRoots());
}

TEST(InventoryCollector, FindsBundlesAndLinksToBundlesButNotInsidePackages)
{
    Sandbox sandbox;
    const QString apps = sandbox.applications();
    BundleBuilder(apps + "/Tool.app")
        .file("Helpers/Inner.app/Contents/Info.plist", "<plist/>")
        .build();
    BundleBuilder(apps + "/Utilities/Util.app").build();
    BundleBuilder(apps + "/.Hidden.app").build();
    BundleBuilder(sandbox.userApplications() + "/Mine.app").build();
    const QString linked = BundleBuilder(sandbox.drive() + "/Applications/Linked.app").build();
    const QString docs = sandbox.makeFolder(sandbox.drive() + "/Docs");
    BundleBuilder(docs + "/InDocs.app").build();
    sandbox.makeSymlink(apps + "/Linked", linked);
    sandbox.makeSymlink(apps + "/DocsLink", docs);
    sandbox.makeSymlink(apps + "/Dangling", QStringLiteral("/nowhere/Gone.app"));

    QStringList found;
    for (const AppItem &item : collector().collect())
        found << item.id().mid(sandbox.root().size() + 1);
    // Sorted by name; a link to a folder is neither an application nor entered.
    EXPECT_EQ(found, (QStringList{"Applications/Dangling", "Applications/Linked",
                                  "Users/tester/Applications/Mine.app", "Applications/Tool.app",
                                  "Applications/Utilities/Util.app"}));
}

TEST(InventoryCollector, AliasThatCannotBeResolvedIsAMissingDriveNotABundle)
{
    Sandbox sandbox;
    const QString alias = sandbox.writeFile(sandbox.applications() + "/Tool.app", "bookmark");
    sandbox.system().fakeFileResources().addAlias(alias, std::nullopt);
    const std::optional<AppItem> item = collector().buildItem(alias);
    ASSERT_TRUE(item);
    EXPECT_TRUE(item->isSymlink && item->isAlias);
    EXPECT_EQ(item->symlinkTarget, std::nullopt);
    EXPECT_EQ(item->status(), AppOffloadStatus::dangling);
}

// A local Tool.app 2.0 (100) beside an optional drive copy, with ledger records of it.
TEST(InventoryCollector, RealBundleStatusFromLedgerAndDriveCopy)
{
    using S = AppOffloadStatus;
    // `namesCopy`: the record names the application's drive copy.
    const auto rec = [](const char *time, bool moved, const QString &status,
                        bool namesCopy = true) {
        return MigrationRecord(QString::fromUtf8(time), "Tool", {}, {}, {},
                               namesCopy ? std::optional(QString()) : std::nullopt, moved, status,
                               {});
    };
    const MigrationRecord offload = rec("2025-01-01T08:00:00Z", true, MigrationStatus::active());
    const MigrationRecord restored = rec("2025-01-01T08:00:00Z", true, MigrationStatus::restored());
    // What a restore records when the application came back and its support data did not.
    const MigrationRecord foldersOnly =
        rec("2025-01-01T08:00:01Z", true, MigrationStatus::active(), false);
    const MigrationRecord backup = rec("2025-06-01T08:00:00Z", false, MigrationStatus::copied());
    const struct
    {
        const char *copyVersion; // nullptr: no drive copy
        const char *copyBuild;
        QList<MigrationRecord> ledger;
        bool driveMounted;
        AppOffloadStatus expected;
    } cases[] = {
        {nullptr, nullptr, {}, true, S::local},
        {"2.0", "100", {}, true, S::copied},
        {"2.0", "101", {}, true, S::backupOutOfSync},
        {"2.0", "100", {offload}, true, S::needsReoffload},
        // A restore left its drive copy (kept as it changed, or not removed): no offload of
        // this application any more, and nothing may replace that copy.
        {"2.0", "100", {restored}, true, S::local},
        // Nor for one that its restore brought back without its support data.
        {"2.0", "100", {foldersOnly, restored}, true, S::local},
        // Offloaded, restored and later backed up: the newest record decides.
        {"2.0", "100", {backup, restored}, true, S::copied},
        {nullptr, nullptr, {backup}, false, S::copied},
        {nullptr, nullptr, {backup}, true, S::local},
    };
    int row = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(row++);
        Sandbox sandbox;
        const QString local = BundleBuilder(sandbox.applications() + "/Tool.app")
                                  .version("2.0")
                                  .buildNumber("100")
                                  .build();
        const QString copy = sandbox.drive() + "/Applications/Tool.app";
        if (c.copyVersion)
            BundleBuilder(copy)
                .version(QString::fromUtf8(c.copyVersion))
                .buildNumber(c.copyBuild ? std::optional(QString::fromUtf8(c.copyBuild))
                                         : std::nullopt)
                .build();
        if (!c.driveMounted)
            QDir(sandbox.drive()).removeRecursively();
        QList<MigrationRecord> ledger = c.ledger;
        for (MigrationRecord &r : ledger) {
            r.appOriginalPath = local;
            if (r.appTargetPath)
                r.appTargetPath = copy;
        }
        const std::optional<AppItem> item = collector(ledger).buildItem(local);
        ASSERT_TRUE(item);
        EXPECT_EQ(item->status(), c.expected);
        EXPECT_EQ(item->externalAppPath,
                  c.copyVersion && c.expected != S::local ? std::optional(copy) : std::nullopt);
        EXPECT_EQ(item->symlinkTarget,
                  item->isOverwrittenOffload ? std::optional(copy) : std::nullopt);
    }
}

TEST(InventoryCollector, FoldsStandInsOfOneTarget)
{
    Sandbox sandbox;
    const QString target = BundleBuilder(sandbox.drive() + "/Applications/Tool.app").build();
    const QString missing = sandbox.drive() + "/Applications/Missing.app";
    const auto standIn = [&](const QString &relative, const QString &to, bool proxy = false) {
        const QString path = sandbox.applications() + "/" + relative;
        if (proxy)
            BundleBuilder(path).plistValue("TargetAppPath", to).build();
        else
            sandbox.makeSymlink(path, to);
        AppItem item{QUrl::fromLocalFile(path), PathUtils::baseName(path)};
        item.isSymlink = item.isAlias = true;
        item.symlinkTarget = to;
        return item;
    };
    AppItem real{QUrl::fromLocalFile(sandbox.applications() + "/Real.app"), "Real"};
    const struct
    {
        QList<AppItem> items;
        QStringList expected; // "name<folded names>" per result item
    } cases[] = {
        {{standIn("Old/Tool.app", target), standIn("Tool.app", target),
          standIn("Tool [c].app", target)},
         {"Tool.app<Tool.app,Tool [c].app>"}},
        // A working link beats a proxy, whatever its depth, and takes the proxy's place.
        {{standIn("Proxy.app", target, true), real, standIn("Deep/Er/Link.app", target)},
         {"Link.app<Proxy.app>", "Real.app<>"}},
        {{standIn("B [x].app", missing), standIn("Deep/A.app", missing)}, {"A.app<B [x].app>"}},
        {{standIn("One.app", target), standIn("Two.app", target + "/../Tool.app")},
         {"One.app<Two.app>"}},
    };
    for (const auto &c : cases) {
        QStringList described;
        for (const AppItem &item : foldDuplicateAliases(c.items)) {
            QStringList folded;
            for (const QString &path : item.duplicateAliasPaths)
                folded << PathUtils::lastComponent(path);
            described << PathUtils::lastComponent(item.id()) + "<" + folded.join(",") + ">";
        }
        EXPECT_EQ(described, c.expected);
    }
}

TEST(InventoryCollector, SortsByNameLikeFinder)
{
    QList<AppItem> items;
    for (const char *name : {"tool 10", "Tool 2", "beta", "Alpha", "tool 2", "Tool 02a"})
        items.append(AppItem{QUrl::fromLocalFile(QStringLiteral("/A/%1.app").arg(name)), name});
    sortByName(items);
    QStringList sorted;
    for (const AppItem &item : items)
        sorted << item.name;
    EXPECT_EQ(sorted, (QStringList{"Alpha", "beta", "Tool 2", "tool 2", "Tool 02a", "tool 10"}));
}

} // namespace
