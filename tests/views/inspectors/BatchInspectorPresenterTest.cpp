#include "views/inspectors/BatchInspectorPresenter.h"
#include "support/Sandbox.h"
#include "views/kit/Palette.h"

#include <gtest/gtest.h>

namespace {

using S = AppOffloadStatus;

// One selected application, its facts as the disk would give them.
struct Entry
{
    QString path; // below the sandbox root
    S status = S::local;
    QString flags = {}; // "linked", "proxy", "protected"
    int duplicates = 0;
    qint64 size = 1000;
};

struct Selection
{
    QList<AppItem> apps;
    QList<BatchItemFacts> facts;
};

Selection select(const Sandbox &sandbox, const QList<Entry> &entries)
{
    Selection s;
    for (const Entry &e : entries) {
        AppItem app{.url = QUrl::fromLocalFile(sandbox.path(e.path)),
                    .name = PathUtils::baseName(e.path),
                    .size = e.size};
        app.isSymlink = app.isAlias = e.flags.contains(QLatin1String("linked"));
        app.isProtected = e.flags.contains(QLatin1String("protected"));
        for (int i = 0; i < e.duplicates; ++i)
            app.duplicateAliasPaths << QStringLiteral("/dup/%1").arg(i);
        s.apps << app;
        s.facts << BatchItemFacts{e.status, e.flags.contains(QLatin1String("proxy"))};
    }
    return s;
}

TargetVolume target(const Sandbox &sandbox, const QString &type, bool writable)
{
    return TargetVolume{.url = QUrl::fromLocalFile(sandbox.drive()),
                        .name = QStringLiteral("Drive"),
                        .totalBytes = 10'000'000,
                        .freeBytes = 5'000'000,
                        .isWritable = writable,
                        .fileSystemType = type,
                        .supportsSymlinks = writable};
}

QString names(const QList<AppItem> &apps)
{
    QStringList result;
    for (const AppItem &app : apps)
        result << app.name;
    return result.join(QLatin1Char(' '));
}

QString chips(const BatchInspectorModel &m)
{
    QStringList result;
    for (const BatchInspectorModel::Chip &chip : m.chips)
        result << QStringLiteral("%1=%2").arg(chip.label).arg(chip.count);
    return result.join(QLatin1Char(' '));
}

TEST(BatchInspectorPresenter, ClassifiesEachApplication)
{
    Sandbox sandbox;
    const QString apps = QStringLiteral("Applications/");
    const Selection s =
        select(sandbox, {
                            {apps + "Local.app"},
                            {apps + "Copied.app", S::copied},
                            {apps + "Utilities/Replaced.app", S::needsReoffload},
                            {apps + "Guarded.app", S::protected_, "protected"},
                            {"Users/tester/Applications/Link.app", S::offloaded, "linked"},
                            {apps + "Proxy.app", S::proxy, "proxy"},
                            {apps + "Gone.app", S::dangling, "linked"},
                            {apps + "GuardedLink.app", S::protected_, "linked protected"},
                        });
    EXPECT_EQ(names(BatchInspectorPresenter::localApps(s.apps, s.facts)),
              QStringLiteral("Local Copied Replaced"));
    EXPECT_EQ(names(BatchInspectorPresenter::offloadedApps(s.apps, s.facts)),
              QStringLiteral("Link Proxy Gone GuardedLink"));
    EXPECT_EQ(names(BatchInspectorPresenter::nestedApps(s.apps)), QStringLiteral("Replaced Link"));
}

// The batch buttons shown, in the inspector's order.
QString buttons(const BatchInspectorModel &m)
{
    QStringList shown;
    for (const std::optional<QString> &text :
         {m.restoreButton, m.offload ? std::optional(m.offload->offloadText) : std::nullopt,
          m.makeVisibleButton, m.promoteButton, m.cleanAliasesButton}) {
        if (text)
            shown << *text;
    }
    return shown.join(QLatin1Char('|'));
}

TEST(BatchInspectorPresenter, ChipsAndButtonsFollowTheSelection)
{
    Sandbox sandbox;
    struct Case
    {
        const char *name;
        QList<Entry> entries;
        const char *chips;
        const char *buttons;
    };
    const QString apps = QStringLiteral("Applications/");
    const Case cases[] = {
        {"only offloaded ones",
         {{apps + "A.app", S::offloaded, "linked"},
          {apps + "B.app", S::proxy, "proxy"},
          {apps + "C.app", S::dangling, "linked"}},
         "Offloaded=1",
         "Restore 3 Offloaded App(s) to Mac|Make 3 Offloaded App(s) Visible in Apps.app"},
        {"only protected ones, one nested",
         {{apps + "A.app", S::protected_, "protected"},
          {apps + "Utilities/B.app", S::protected_, "protected"}},
         "",
         "Promote 1 Nested App(s) to /Applications"},
        {"aliases are counted by path",
         {{apps + "A.app", S::local, {}, 2},
          {apps + "B.app", S::copied, {}, 3},
          {apps + "C.app", S::backupOutOfSync}},
         "On Mac=1 Copied=1 Redundant Aliases=5",
         "Offload 3 App(s)|Clean 5 Redundant Duplicate Aliases"},
        {"empty selection", {}, "", ""},
    };
    for (const Case &c : cases) {
        const Selection s = select(sandbox, c.entries);
        const BatchInspectorModel m = BatchInspectorPresenter::present(s.apps, s.facts, {});
        EXPECT_EQ(chips(m), QString::fromLatin1(c.chips)) << c.name;
        EXPECT_EQ(buttons(m), QString::fromLatin1(c.buttons)) << c.name;
    }
}

TEST(BatchInspectorPresenter, HeaderRowsAndDestination)
{
    Sandbox sandbox;
    const QString apps = QStringLiteral("Applications/");
    const Selection s = select(sandbox, {{apps + "A.app", S::local, {}, 0, 0},
                                         {apps + "B.app", S::dangling, "linked", 0, 1'500'000},
                                         {apps + "C.app", S::needsReoffload, {}, 0, 500'000}});
    BatchInspectorModel m = BatchInspectorPresenter::present(s.apps, s.facts, std::nullopt);
    EXPECT_EQ(m.title, QStringLiteral("3 Applications Selected"));
    EXPECT_EQ(m.totalSpace, QStringLiteral("Total Space: 2 MB"));
    ASSERT_EQ(m.rows.size(), 3);
    EXPECT_EQ(m.rows.at(0).sizeText, QStringLiteral("Zero KB"));
    EXPECT_EQ(m.rows.at(1).statusLabel, QStringLiteral("Drive Missing"));
    EXPECT_EQ(m.rows.at(1).statusColor, Palette::green()); // colour follows the link flags
    EXPECT_EQ(m.rows.at(2).statusColor, Palette::blue());
    EXPECT_EQ(m.offload->destination,
              QStringLiteral("Please select a target external volume in the toolbar."));
    EXPECT_EQ(m.offload->destinationColor, Palette::red());
    EXPECT_FALSE(m.offload->enabled);
    // The inspector leaves the format to the operation's own checks.
    EXPECT_TRUE(BatchInspectorPresenter::present(s.apps, s.facts, target(sandbox, "exfat", false))
                    .offload->enabled);

    m = BatchInspectorPresenter::present(s.apps, s.facts,
                                         target(sandbox, QStringLiteral("APFS"), true));
    EXPECT_EQ(m.offload->destination, QStringLiteral("Destination: Drive (5 MB available)"));
}

} // namespace
