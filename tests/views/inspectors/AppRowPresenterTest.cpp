#include "views/inspectors/AppRowPresenter.h"
#include "views/kit/Palette.h"

#include <gtest/gtest.h>

namespace {

using Detail = AppRowModel::DetailKind;

AppItem app()
{
    return AppItem{.url = QUrl::fromLocalFile(QStringLiteral("/Applications/Tools/Editor.app")),
                   .name = QStringLiteral("Editor"),
                   .size = 2'000'000};
}

QString badgeTexts(const AppRowModel &m)
{
    QStringList texts;
    for (const AppRowModel::Badge &badge : m.badges)
        texts << badge.text;
    return texts.join(QLatin1Char('|'));
}

TEST(AppRowPresenter, TitleBadgesKeepTheirOrder)
{
    struct Case
    {
        const char *name;
        bool running;
        int duplicates;
        bool proxy;
        AppOffloadStatus status;
        std::optional<QString> subfolder;
        const char *expected;
    };
    using S = AppOffloadStatus;
    const Case cases[] = {
        {"nothing to say", false, 0, false, S::local, std::nullopt, ""},
        {"one duplicate counts the alias that stays", false, 1, false, S::offloaded, std::nullopt,
         "2 Aliases"},
        {"all at once", true, 2, true, S::needsReoffload, QStringLiteral("Tools"),
         "RUNNING|3 Aliases|PROXY|UPDATE REPLACED|Tools"},
        {"out of sync before the folder", false, 0, false, S::backupOutOfSync,
         QStringLiteral("Tools"), "OUT OF SYNC|Tools"},
    };
    for (const Case &c : cases) {
        AppItem item = app();
        item.isRunning = c.running;
        for (int i = 0; i < c.duplicates; ++i)
            item.duplicateAliasPaths << QStringLiteral("/Applications/Editor %1.app").arg(i);
        const AppRowFacts facts{c.status, c.proxy, c.subfolder, false};
        EXPECT_EQ(badgeTexts(AppRowPresenter::present(item, facts, false, true)),
                  QString::fromLatin1(c.expected))
            << c.name;
    }
}

// The detail line as "<kind> <text>", the drive line with its symbol's colour.
QString detailLine(const AppRowModel &m)
{
    switch (m.detailKind) {
    case Detail::versions:
        return QStringLiteral("versions ") + m.detailText;
    case Detail::drive:
        return (m.driveSymbolColor == Palette::purple() ? QStringLiteral("purple drive ")
                                                        : QStringLiteral("green drive ")) +
               m.detailText;
    case Detail::path:
        break;
    }
    return QStringLiteral("path ") + m.detailText;
}

TEST(AppRowPresenter, DetailLineTakesTheFirstThatApplies)
{
    using S = AppOffloadStatus;
    struct Case
    {
        const char *name;
        S status;
        QString flags; // "linked", "proxy", "target", "version", "external"
        const char *expected;
    };
    const Case cases[] = {
        {"versions", S::backupOutOfSync, "version external", "versions Mac: v2 vs Drive: v1"},
        {"unknown Mac version", S::backupOutOfSync, "external", "versions Mac: v? vs Drive: v1"},
        {"no drive version", S::backupOutOfSync, "version target", "path /Applications/E.app"},
        {"link", S::offloaded, "linked target", "green drive /Volumes/D/E.app"},
        {"proxy", S::proxy, "proxy target", "purple drive /Volumes/D/E.app"},
        {"missing drive copy", S::dangling, "linked target", "green drive /Volumes/D/E.app"},
        {"link without a target", S::dangling, "linked", "path /Applications/E.app"},
    };
    for (const Case &c : cases) {
        AppItem item{.url = QUrl::fromLocalFile(QStringLiteral("/Applications/E.app")),
                     .name = QStringLiteral("E")};
        item.isSymlink = item.isAlias = c.flags.contains(QLatin1String("linked"));
        if (c.flags.contains(QLatin1String("target")))
            item.symlinkTarget = QStringLiteral("/Volumes/D/E.app");
        if (c.flags.contains(QLatin1String("version")))
            item.version = QStringLiteral("2");
        if (c.flags.contains(QLatin1String("external")))
            item.externalVersion = QStringLiteral("1");
        const AppRowFacts facts{c.status, c.flags.contains(QLatin1String("proxy")), {}, false};
        EXPECT_EQ(detailLine(AppRowPresenter::present(item, facts, false, false)),
                  QString::fromLatin1(c.expected))
            << c.name;
    }
}

TEST(AppRowPresenter, RightColumn)
{
    EXPECT_EQ(AppRowPresenter::statusPill(AppOffloadStatus::backupOutOfSync).text,
              QStringLiteral("Out-of-Sync"));
    EXPECT_EQ(AppRowPresenter::statusPill(AppOffloadStatus::needsReoffload).text,
              QStringLiteral("Replaced Offload"));

    AppItem item = app();
    item.size = 0;
    EXPECT_FALSE(AppRowPresenter::present(item, {}, true, true).supportFolderCount);
    item.supportFolders = {SupportFolder{.url = QUrl::fromLocalFile(QStringLiteral("/s")),
                                         .displayName = QStringLiteral("s"),
                                         .size = 1'000,
                                         .isSelected = false}};
    // Unselected folders are counted but not sized.
    const AppRowModel m = AppRowPresenter::present(item, {}, false, false);
    EXPECT_EQ(m.supportFolderCount, QStringLiteral("1 support folder(s)"));
    EXPECT_EQ(m.sizeText, QStringLiteral("Calculating\u2026"));
}

} // namespace
