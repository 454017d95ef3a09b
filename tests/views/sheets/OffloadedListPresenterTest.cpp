#include "views/sheets/OffloadedListPresenter.h"
#include "base/OperationError.h"
#include "support/BundleBuilder.h"
#include "support/Sandbox.h"
#include "views/kit/Palette.h"

#include <gtest/gtest.h>

namespace {

class OffloadedListPresenterTest : public ::testing::Test
{
protected:
    AppItem link(const QString &name, std::optional<QString> target = std::nullopt,
                 qint64 size = 1000)
    {
        return {.url = QUrl::fromLocalFile(sandbox.applications() + "/" + name + ".app"),
                .name = name,
                .size = size,
                .isSymlink = true,
                .isAlias = true,
                .symlinkTarget = std::move(target)};
    }
    AppItem local(const QString &name)
    {
        const QString path = BundleBuilder(sandbox.applications() + "/" + name + ".app").build();
        return {.url = QUrl::fromLocalFile(path), .name = name, .size = 500};
    }
    AppItem proxy(const QString &name)
    {
        const QString path = BundleBuilder(sandbox.applications() + "/" + name + ".app")
                                 .plistValue("IsKorvanthelixProxy", true)
                                 .build();
        return {.url = QUrl::fromLocalFile(path), .name = name, .size = 30000};
    }
    static QStringList names(const QList<AppItem> &apps)
    {
        QStringList out;
        for (const AppItem &app : apps)
            out << app.name;
        return out;
    }

    Sandbox sandbox;
};

TEST_F(OffloadedListPresenterTest, ListsLinksAliasesAndProxiesInScannerOrder)
{
    AppItem dangling = link("Gone", "/Volumes/Missing/Gone.app");
    AppItem guarded = link("Guarded");
    guarded.isProtected = true;
    guarded.protectedReason = QStringLiteral("System");
    AppItem alias = link("Alias");
    alias.isSymlink = false;
    const OffloadedListPresenter presenter(
        {local("Plain"), dangling, proxy("Launcher"), guarded, alias, local("Other")});
    EXPECT_EQ(names(presenter.offloadedApps()),
              (QStringList{"Gone", "Launcher", "Guarded", "Alias"}));
}

TEST_F(OffloadedListPresenterTest, RowsShowKindDriveAndAliasCount)
{
    AppItem withDuplicates = link("Dup", sandbox.drive() + "/Applications/Dup.app", 0);
    withDuplicates.duplicateAliasPaths = {"/Applications/Dup 2.app", "/Applications/Old/Dup.app"};
    const OffloadedListPresenter presenter({withDuplicates, link("Bare"), proxy("Launcher")});
    const QList<OffloadedRow> &rows = presenter.rows();
    ASSERT_EQ(rows.size(), 3);

    EXPECT_EQ(rows[0].kindText, QStringLiteral("ALIAS"));
    EXPECT_EQ(rows[0].kindColor, Palette::blue());
    EXPECT_EQ(rows[0].driveColor, Palette::green());
    EXPECT_EQ(rows[0].aliasCountText, QStringLiteral("3 Aliases"));
    EXPECT_EQ(rows[0].storedOn, sandbox.drive() + "/Applications/Dup.app");
    EXPECT_EQ(rows[0].sizeText, QStringLiteral("Calculating…"));

    EXPECT_TRUE(rows[1].aliasCountText.isEmpty());
    EXPECT_FALSE(rows[1].storedOn.has_value());
    EXPECT_EQ(rows[1].sizeText, QStringLiteral("1 KB (Offloaded)"));

    EXPECT_EQ(rows[2].kindText, QStringLiteral("PROXY"));
    EXPECT_EQ(rows[2].kindColor, Palette::purple());
    EXPECT_DOUBLE_EQ(rows[2].kindOpacity, 0.18);
}

TEST_F(OffloadedListPresenterTest, HeaderFollowsTheSharedSelection)
{
    AppItem a = link("A", {}, 1000);
    a.supportFolders = {SupportFolder{
        .url = QUrl::fromLocalFile("/s/A"), .displayName = "A", .size = 2000, .isSelected = true}};
    const OffloadedListPresenter three({a, link("B", {}, 5000), link("C")});
    const OffloadedListPresenter none({});
    const QString aPath = a.id();
    const QString elsewhere = QStringLiteral("/Applications/Elsewhere.app");
    const struct
    {
        const char *name;
        const OffloadedListPresenter &presenter;
        QSet<QString> selection;
        QString count;
        bool buttons;
        QString selectAll;
        QString restore;
        bool restoreEnabled;
        QString makeVisible;
        QString selectionText; // empty: no bar
        bool empty;
    } cases[] = {
        // clang-format off
        {"empty list", none, {}, "0 offloaded apps on external drives", false, "Deselect All",
         "Restore Selected", false, "Make All Visible in Apps.app", {}, true},
        {"empty list, selection elsewhere", none, {elsewhere}, "0 offloaded apps on external drives",
         false, "Select All", "Restore Selected (1)", true, "Make Visible in Apps.app (1)",
         "1 of 0 apps selected (Zero KB)", true},
        {"nothing selected", three, {}, "3 offloaded apps on external drives", true, "Select All",
         "Restore Selected", false, "Make All Visible in Apps.app", {}, false},
        {"one listed selected", three, {aPath}, "3 offloaded apps on external drives", true,
         "Select All", "Restore Selected (1)", true, "Make Visible in Apps.app (1)",
         "1 of 3 apps selected (3 KB)", false},
        // Only the counts are compared, so one listed app and two others read as all.
        {"three paths, one listed", three, {aPath, elsewhere, "/x.app"},
         "3 offloaded apps on external drives", true, "Deselect All", "Restore Selected (3)", true,
         "Make Visible in Apps.app (3)", "3 of 3 apps selected (3 KB)", false},
        // clang-format on
    };
    for (const auto &c : cases) {
        const OffloadedHeader header = c.presenter.header(c.selection);
        EXPECT_EQ(header.countText, c.count) << c.name;
        EXPECT_EQ(header.showsButtons, c.buttons) << c.name;
        EXPECT_EQ(header.selectAllText, c.selectAll) << c.name;
        EXPECT_EQ(header.restoreSelectedText, c.restore) << c.name;
        EXPECT_EQ(header.restoreSelectedEnabled, c.restoreEnabled) << c.name;
        EXPECT_EQ(header.makeVisibleText, c.makeVisible) << c.name;
        EXPECT_EQ(header.showsSelectionBar, !c.selectionText.isEmpty()) << c.name;
        if (header.showsSelectionBar) {
            EXPECT_EQ(header.selectionText, c.selectionText) << c.name;
        }
        EXPECT_EQ(header.showsEmptyState, c.empty) << c.name;
    }
}

TEST_F(OffloadedListPresenterTest, SelectionOperationsAndTargets)
{
    const AppItem a = link("A");
    const AppItem b = link("B");
    const OffloadedListPresenter presenter({a, b});
    const QString elsewhere = QStringLiteral("/Applications/Elsewhere.app");

    // "Select All" drops what was selected in other sections.
    EXPECT_EQ(presenter.selectAllOrNone({elsewhere}), (QSet<QString>{a.id(), b.id()}));
    EXPECT_EQ(presenter.selectAllOrNone({elsewhere, a.id()}), QSet<QString>{});
    EXPECT_EQ(OffloadedListPresenter::toggled({elsewhere, a.id()}, a.id()),
              QSet<QString>{elsewhere});
    EXPECT_EQ(OffloadedListPresenter::toggled({elsewhere}, b.id()),
              (QSet<QString>{elsewhere, b.id()}));

    // Only unlisted paths selected: nothing listed is selected, so all listed are targets,
    // and a batch restore gets an empty list.
    EXPECT_EQ(names(presenter.makeVisibleTargets({elsewhere})), (QStringList{"A", "B"}));
    EXPECT_TRUE(presenter.selectedOffloadedApps({elsewhere}).isEmpty());
    EXPECT_EQ(names(presenter.makeVisibleTargets({b.id(), elsewhere})), QStringList{"B"});
}

TEST_F(OffloadedListPresenterTest, PromotionSkipsProtectedAndCollectsFailures)
{
    AppItem guarded = link("Guarded");
    guarded.isProtected = true;
    QStringList attempted;
    const auto promote = [&](const AppItem &app) {
        attempted << app.name;
        if (app.name == QLatin1String("B"))
            throw OperationError(QStringLiteral("AppProxyHelper"), 2, QStringLiteral("D"));
        if (app.name == QLatin1String("C"))
            throw std::runtime_error("no space");
    };
    const ProxyRunOutcome mixed =
        OffloadedListPresenter::promoteAll({link("A"), guarded, link("B"), link("C")}, promote);
    EXPECT_EQ(attempted, (QStringList{"A", "B", "C"}));
    EXPECT_EQ(mixed, (ProxyRunOutcome{1, {"B (D)", "C (no space)"}}));
    EXPECT_EQ(OffloadedListPresenter::notice(mixed),
              QStringLiteral("Created 1 proxies. (2 failed: B (D), C (no space))"));

    const ProxyRunOutcome allProtected = OffloadedListPresenter::promoteAll({guarded}, promote);
    EXPECT_EQ(OffloadedListPresenter::notice(allProtected),
              QStringLiteral("Successfully created 0 app proxy bundles in /Applications! They are "
                             "now visible in macOS Apps.app launcher."));
}

} // namespace
