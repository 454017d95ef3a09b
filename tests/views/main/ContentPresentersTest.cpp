#include "../QStringPrinter.h"
#include "support/Sandbox.h"
#include "views/kit/Palette.h"
#include "views/main/DetailColumnPresenter.h"
#include "views/main/ListColumnPresenter.h"
#include "views/main/SidebarPresenter.h"
#include "views/main/ToolbarPresenter.h"

#include <gtest/gtest.h>

namespace {

// An application record; `linked` makes it a link whose drive copy is missing.
AppItem app(const QString &name, qint64 size = 0, bool linked = false)
{
    AppItem item{QUrl::fromLocalFile(QStringLiteral("/nowhere/") + name + QStringLiteral(".app")),
                 name};
    item.size = size;
    item.isSymlink = linked;
    return item;
}

TargetVolume volume(const QString &name, const QString &type, bool removable = true,
                    const QString &path = {})
{
    return TargetVolume{
        QUrl::fromLocalFile(path.isEmpty() ? QStringLiteral("/Volumes/") + name : path),
        name,
        500'000'000'000,
        120'000'000'000,
        removable,
        true,
        type,
        true};
}

TEST(SidebarPresenterTest, BadgesShowPlainCountsOrPillsOnlyWhenDue)
{
    using Look = SectionBadge::Look;
    struct Case
    {
        NavigationSection section;
        int count;
        Look look;
        QColor color;
        qreal opacity;
    };
    const QList<Case> cases{
        {NavigationSection::allApps, 0, Look::plain, {}, 0},
        {NavigationSection::mainFolder, 0, Look::plain, {}, 0},
        {NavigationSection::nestedApps, 12, Look::plain, {}, 0},
        {NavigationSection::offloaded, 0, Look::hidden, {}, 0},
        {NavigationSection::offloaded, 3, Look::pill, Palette::green(), 0.15},
        {NavigationSection::copied, 1, Look::pill, Palette::teal(), 0.15},
        {NavigationSection::duplicates, 2, Look::pill, Palette::orange(), 0.18},
        {NavigationSection::duplicates, 0, Look::hidden, {}, 0},
        {NavigationSection::history, 0, Look::hidden, {}, 0},
        {NavigationSection::history, 1234, Look::plain, {}, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(label(c.section).toStdString() + " " + std::to_string(c.count));
        const SectionBadge badge = SidebarPresenter::badge(c.section, c.count);
        EXPECT_EQ(badge.look, c.look);
        if (c.look == Look::hidden)
            continue;
        // Plain decimal, no grouping.
        EXPECT_EQ(badge.text, QString::number(c.count));
        EXPECT_EQ(badge.color, c.color);
        EXPECT_DOUBLE_EQ(badge.fillOpacity, c.opacity);
    }
    const QList<SidebarRow> rows = SidebarPresenter::rows([](NavigationSection) { return 0; });
    ASSERT_EQ(rows.size(), 7);
    EXPECT_EQ(rows.first().title, QStringLiteral("All Applications"));
    EXPECT_EQ(rows.last().symbol, QStringLiteral("clock.arrow.circlepath"));
}

TEST(ListColumnPresenterTest, ChipsCountStatusesAndDuplicatesIndependently)
{
    Sandbox sandbox;
    QList<AppItem> apps{app("Local"), app("Other"), app("Gone", 0, true)};
    apps[1].isCopied = true;
    apps[1].duplicateAliasPaths = {QStringLiteral("/Applications/Other 2.app")};
    apps.append(app("Guarded"));
    apps.last().isProtected = true;

    const QList<StatusChip> chips = ListColumnPresenter::statusChips(apps, AppStatusFilter::copied);
    ASSERT_EQ(chips.size(), 9);
    QStringList seen;
    for (const StatusChip &chip : chips)
        seen.append(chip.title + QLatin1Char('=') + QString::number(chip.count) +
                    (chip.isCurrent ? QStringLiteral("*") : QString()));
    EXPECT_EQ(seen, QStringList({"All Status=4", "On Mac=1", "Offloaded=0", "Copied=1*",
                                 "Out of Sync=0", "Replaced Offload=0", "Duplicates=1",
                                 "Drive Missing=1", "Protected=1"}));
    EXPECT_FALSE(chips[2].showsBadge());
    EXPECT_TRUE(chips[1].showsBadge());
}

TEST(ListColumnPresenterTest, HeaderLabelsFollowTheCounts)
{
    struct Case
    {
        qsizetype selected, listed;
        const char *selectAll;
    };
    const QList<Case> cases{
        {0, 0, "Select All"}, {3, 3, "Deselect All"}, {5, 3, "Select All"},
        {3, 5, "Select All"}, {0, 4, "Select All"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.selected) + " of " + std::to_string(c.listed));
        EXPECT_EQ(ListColumnPresenter::selectAllTitle(c.selected, c.listed),
                  QString::fromUtf8(c.selectAll));
    }

    ListHeaderModel header = ListColumnPresenter::header(
        0, 1, AppSizeFilter::over1GB, {}, QStringLiteral("All"), AppSortOrder::nameAsc);
    EXPECT_EQ(header.countText, QStringLiteral("1 apps"));
    EXPECT_EQ(header.sizeTitle, QStringLiteral("> 1 GB"));
    EXPECT_FALSE(header.showsSubfolderMenu);
    EXPECT_EQ(header.subfolderTitle, QStringLiteral("Subfolders"));
    EXPECT_EQ(header.sortTitle, QStringLiteral("Name (A\u2013Z)"));
    header = ListColumnPresenter::header(0, 0, AppSizeFilter::all, {QStringLiteral("Utilities")},
                                         QStringLiteral("Utilities"), AppSortOrder::sizeDesc);
    EXPECT_TRUE(header.showsSubfolderMenu);
    EXPECT_EQ(header.subfolderTitle, QStringLiteral("Utilities"));

    const QList<MenuChoice> subfolders = ListColumnPresenter::subfolderMenu(
        {QStringLiteral("Games"), QStringLiteral("Utilities")}, QStringLiteral("Utilities"));
    EXPECT_EQ(
        subfolders,
        (QList<MenuChoice>{
            {"All Subfolders", false}, {QString(), false}, {"Games", false}, {"Utilities", true}}));
    const QList<MenuChoice> sizes = ListColumnPresenter::sizeMenu(AppSizeFilter::over500MB);
    ASSERT_EQ(sizes.size(), 6);
    EXPECT_EQ(sizes[2], (MenuChoice{"> 500 MB", true}));
    EXPECT_EQ(ListColumnPresenter::sortMenu(AppSortOrder::status).last(),
              (MenuChoice{"Status", true}));
}

TEST(ListColumnPresenterTest, SelectionBarCountsEverySelectedEntry)
{
    EXPECT_FALSE(ListColumnPresenter::selectionBarText(0, 10, 0));
    EXPECT_EQ(ListColumnPresenter::selectionBarText(4, 2, 1'500'000),
              QStringLiteral("4 of 2 apps selected (1.5 MB)"));
}

TEST(ListColumnPresenterTest, BannersStandInTheirOrderUnderTheirConditions)
{
    const auto kinds = [](const BannerInputs &in) {
        QList<BannerKind> result;
        const QList<BannerModel> banners = ListColumnPresenter::banners(in);
        for (const BannerModel &banner : banners)
            result.append(banner.kind);
        return result;
    };
    using K = BannerKind;
    BannerInputs all;
    all.totalDuplicateAliases = 3;
    all.needsReoffload = 1;
    all.outOfSyncBackups = 2;
    all.redundantLocalCopies = 1;
    all.orphanedItems = 4;
    const QList<BannerKind> everything{K::duplicateAliases, K::reoffload, K::backupUpdate,
                                       K::redundantCopies, K::stagingLeftovers};

    struct Case
    {
        const char *name;
        std::function<void(BannerInputs &)> change;
        QList<BannerKind> expected;
    };
    const QList<Case> cases{
        {"all due, no section", [](BannerInputs &) {}, everything},
        {"all due, another section",
         [](BannerInputs &in) { in.section = NavigationSection::copied; }, everything},
        {"duplicates section hides the alias banner",
         [](BannerInputs &in) { in.section = NavigationSection::duplicates; },
         {K::reoffload, K::backupUpdate, K::redundantCopies, K::stagingLeftovers}},
        {"offload running hides the leftovers",
         [](BannerInputs &in) { in.isOffloading = true; },
         {K::duplicateAliases, K::reoffload, K::backupUpdate, K::redundantCopies}},
        {"restore running hides the leftovers",
         [](BannerInputs &in) { in.isRestoring = true; },
         {K::duplicateAliases, K::reoffload, K::backupUpdate, K::redundantCopies}},
        {"nothing due", [](BannerInputs &in) { in = BannerInputs{}; }, {}},
        {"only leftovers",
         [](BannerInputs &in) {
             in = BannerInputs{};
             in.orphanedItems = 1;
         },
         {K::stagingLeftovers}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        BannerInputs in = all;
        c.change(in);
        EXPECT_EQ(kinds(in), c.expected);
    }
}

TEST(ListColumnPresenterTest, BannerTextsAndButtons)
{
    BannerInputs in;
    in.totalDuplicateAliases = 3;
    in.needsReoffload = 1;
    in.outOfSyncBackups = 2;
    in.redundantLocalCopies = 1;
    in.redundantCopiesBytes = 2'500'000;
    in.orphanedItems = 2;
    in.orphanedStagingBytes = 999;
    in.isCleaning = true;
    const QList<BannerModel> banners = ListColumnPresenter::banners(in);
    ASSERT_EQ(banners.size(), 5);
    const QStringList messages{banners[0].message, banners[1].message, banners[2].message,
                               banners[3].message, banners[4].message};
    EXPECT_EQ(messages,
              QStringList({"3 redundant duplicate aliases detected",
                           "1 offloaded app(s) were updated locally and replaced their proxies",
                           "2 backed-up app(s) have newer local versions",
                           "1 redundant local copy(s) of already-offloaded apps (2.5 MB)",
                           "Found 2 leftover staging/rollback item(s) (999 bytes)"}));
    EXPECT_EQ(banners[1].verticalInset, 5);
    EXPECT_EQ(banners[2].verticalInset, 4);
    EXPECT_TRUE(banners[1].buttons[0].prominent);
    EXPECT_EQ(banners[3].buttons[0].title, QStringLiteral("Review & Clean\u2026"));
    EXPECT_EQ(banners[3].buttons[0].tint, Palette::purple());
    // A cleanup in progress disables "Clean Up" but not "Reveal".
    ASSERT_EQ(banners[4].buttons.size(), 2);
    EXPECT_TRUE(banners[4].buttons[0].enabled);
    EXPECT_FALSE(banners[4].buttons[1].enabled);
}

TEST(ListColumnPresenterTest, ScanAreaAndPercentages)
{
    using A = ListArea;
    struct Case
    {
        bool scanning, hasApps, hasListed;
        bool strip;
        ListArea area;
    };
    const QList<Case> cases{
        {true, false, false, false, A::scanningPlaceholder},
        {true, true, true, true, A::list},
        {true, true, false, true, A::emptyState},
        {false, true, false, false, A::emptyState},
        {false, false, false, false, A::emptyState},
        {false, true, true, false, A::list},
    };
    for (const Case &c : cases) {
        const ScanAreaModel area =
            ListColumnPresenter::scanArea(c.scanning, c.hasApps, c.hasListed, 0.5);
        EXPECT_EQ(area.showsProgressStrip, c.strip);
        EXPECT_EQ(area.mainArea, c.area);
    }
    const QList<std::pair<double, const char *>> percents{
        {0.05, "5%"}, {0.125, "13%"}, {1.0, "100%"}, {0.0, "0%"}, {0.994, "99%"}};
    for (const auto &[progress, text] : percents)
        EXPECT_EQ(ListColumnPresenter::percentText(progress), QString::fromUtf8(text));

    EXPECT_EQ(ListColumnPresenter::contentColumn(std::nullopt), ContentColumn::appList);
    EXPECT_EQ(ListColumnPresenter::contentColumn(NavigationSection::offloaded),
              ContentColumn::offloadedList);
    EXPECT_EQ(ListColumnPresenter::contentColumn(NavigationSection::history),
              ContentColumn::history);
    EXPECT_EQ(ListColumnPresenter::contentColumn(NavigationSection::duplicates),
              ContentColumn::appList);
}

TEST(DetailColumnPresenterTest, ContentFollowsSectionAndSelection)
{
    const QList<AppItem> apps{app("One"), app("Two")};
    const QString one = apps[0].id();
    const QString two = apps[1].id();
    const QString gone = QStringLiteral("/nowhere/Gone.app");
    using D = DetailContent;
    struct Case
    {
        std::optional<NavigationSection> section;
        QSet<QString> ids;
        DetailContent expected;
    };
    const QList<Case> cases{
        {NavigationSection::allApps, {}, D::storageOverview},
        {NavigationSection::allApps, {one}, D::appDetail},
        {std::nullopt, {one}, D::appDetail},
        {NavigationSection::allApps, {gone}, D::storageOverview},
        {NavigationSection::allApps, {one, two}, D::batchInspector},
        {NavigationSection::allApps, {one, gone}, D::batchInspector},
        {NavigationSection::offloaded, {two}, D::appDetail},
        {NavigationSection::history, {one}, D::historyPlaceholder},
        {NavigationSection::history, {}, D::historyPlaceholder},
    };
    for (const Case &c : cases)
        EXPECT_EQ(DetailColumnPresenter::choose(c.section, c.ids, apps), c.expected);
}

TEST(DetailColumnPresenterTest, OverviewTotalsAndTargetLine)
{
    Sandbox sandbox;
    QList<AppItem> apps{app("Local", 1'000'000), app("Linked", 3'000'000, true),
                        app("Guarded", 5'000'000), app("GuardedLink", 7'000'000, true)};
    apps[0].supportFolders = {SupportFolder{}, SupportFolder{}};
    apps[0].supportFolders[0].size = 500'000;
    apps[0].supportFolders[0].isSelected = true;
    apps[0].supportFolders[1].size = 9'000'000; // not chosen for transfer
    apps[2].isProtected = true;
    apps[3].isProtected = true;

    StorageOverviewModel overview = DetailColumnPresenter::storageOverview(apps, std::nullopt);
    EXPECT_EQ(overview.reclaimableBytes, 1'500'000);
    EXPECT_EQ(overview.localCaption, QStringLiteral("1 On Mac (Reclaimable)"));
    EXPECT_EQ(overview.offloadedBytes, 10'000'000);
    EXPECT_EQ(overview.offloadedCaption, QStringLiteral("2 Offloaded"));
    EXPECT_EQ(overview.targetText,
              QStringLiteral("No external drive selected \u2014 choose a target in the toolbar"));
    EXPECT_EQ(overview.targetSymbol, QStringLiteral("externaldrive.badge.questionmark"));

    overview = DetailColumnPresenter::storageOverview(
        {}, volume(QStringLiteral("Backup"), QStringLiteral("hfs")));
    EXPECT_EQ(overview.localFigure, QStringLiteral("Zero KB"));
    EXPECT_EQ(overview.offloadedCaption, QStringLiteral("0 Offloaded"));
    EXPECT_EQ(overview.targetText,
              QStringLiteral("Target: Backup (HFS+ (Journaled)) \u2014 120 GB free"));
}

TEST(ToolbarPresenterTest, RefreshButtonWhileScanning)
{
    EXPECT_EQ(ToolbarPresenter::refreshButton(true),
              (RefreshButtonModel{true, QStringLiteral("Scanning\u2026"), {}, false}));
    EXPECT_EQ(ToolbarPresenter::refreshButton(false),
              (RefreshButtonModel{false, QStringLiteral("Refresh"),
                                  QStringLiteral("arrow.clockwise"), true}));
}

TEST(ToolbarPresenterTest, LabelWithAndWithoutTarget)
{
    VolumeLabelModel label = ToolbarPresenter::volumeLabel(std::nullopt);
    EXPECT_EQ(label.caption, QStringLiteral("Target Drive"));
    EXPECT_EQ(label.title, QStringLiteral("No Drive Selected"));
    EXPECT_EQ(label.driveTint, Palette::orange());
    EXPECT_FALSE(label.freeText);

    TargetVolume backup = volume(QStringLiteral("Backup"), QStringLiteral("apfs"));
    label = ToolbarPresenter::volumeLabel(backup);
    EXPECT_EQ(label.caption, QStringLiteral("Target:"));
    EXPECT_EQ(label.title, QStringLiteral("Backup (APFS)"));
    EXPECT_EQ(label.freeText, QStringLiteral("120 GB free"));
    EXPECT_DOUBLE_EQ(label.usage, 0.76);
    backup.totalBytes = 0;
    EXPECT_DOUBLE_EQ(ToolbarPresenter::volumeLabel(backup).usage, 0.0);
}

// The menu as lines: kind letter, text, and a check mark.
QStringList menuLines(const QList<VolumeMenuRow> &rows)
{
    QStringList lines;
    for (const VolumeMenuRow &row : rows) {
        static const char kinds[] = "nsvcdfre";
        lines.append(QString(QLatin1Char(kinds[int(row.kind)])) + QLatin1Char(' ') + row.text +
                     (row.checked ? QStringLiteral(" \u2713") : QString()));
    }
    return lines;
}

TEST(ToolbarPresenterTest, MenuRowsForDrivesAndFolders)
{
    const TargetVolume backup = volume(QStringLiteral("Backup"), QStringLiteral("APFS"));
    const TargetVolume stick = volume(QStringLiteral("Stick"), QStringLiteral("MSDOS"));
    const TargetVolume fixed = volume(QStringLiteral("Fixed"), QStringLiteral("apfs"), false);
    const TargetVolume folder = volume(QStringLiteral("Apps (Backup)"), QStringLiteral("APFS"),
                                       true, QStringLiteral("/Volumes/Backup/Apps"));
    const QString free = QStringLiteral("  \u2014 120 GB free of 500 GB");
    struct Case
    {
        const char *name;
        QList<TargetVolume> available;
        std::optional<TargetVolume> selected;
        std::optional<TargetVolume> custom;
        QStringList lines;
    };
    const QList<Case> cases{
        {"no drive",
         {},
         std::nullopt,
         std::nullopt,
         {"n No External Storage Drives Detected", "d ", "f Choose Specific Target Folder\u2026",
          "r Refresh Connected Drives"}},
        {"a compatible drive selected",
         {backup},
         backup,
         std::nullopt,
         {"s Connected External Drives", "v Backup (APFS)" + free + " \u2713", "d ",
          "f Choose Specific Target Folder\u2026", "r Refresh Connected Drives", "d ",
          "e Safely Eject Backup\u2026"}},
        {"an incompatible drive, selectable, and a fixed one",
         {stick, fixed},
         fixed,
         std::nullopt,
         {"s Connected External Drives", "v \u26A0\uFE0F Stick (MSDOS - Incompatible)",
          "v Fixed (APFS)" + free + " \u2713", "d ", "f Choose Specific Target Folder\u2026",
          "r Refresh Connected Drives"}},
        {"a custom folder selected",
         {},
         folder,
         folder,
         {"n No External Storage Drives Detected", "s Custom Destination Folder",
          "c Folder: Apps (Backup) \u2713", "d ", "f Choose Specific Target Folder\u2026",
          "r Refresh Connected Drives", "d ", "e Safely Eject Apps (Backup)\u2026"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const QList<VolumeMenuRow> rows =
            ToolbarPresenter::volumeMenu(c.available, c.selected, c.custom);
        EXPECT_EQ(menuLines(rows), c.lines);
    }

    // The same place listed and kept as the custom folder: both rows are checked.
    const TargetVolume same = volume(QStringLiteral("Backup"), QStringLiteral("APFS"));
    const QList<VolumeMenuRow> both = ToolbarPresenter::volumeMenu({same}, same, same);
    EXPECT_TRUE(both[1].checked);
    EXPECT_TRUE(both[3].checked);
    EXPECT_EQ(both.last().volume, same);

    EXPECT_EQ(ToolbarPresenter::ejectAlertMessage(std::nullopt),
              QStringLiteral("Unable to eject drive."));
    EXPECT_EQ(ToolbarPresenter::ejectAlertMessage(QStringLiteral("Busy")), QStringLiteral("Busy"));
}

} // namespace
