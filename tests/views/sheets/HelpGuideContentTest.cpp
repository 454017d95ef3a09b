#include "views/sheets/HelpGuideContent.h"

#include <QSet>
#include <gtest/gtest.h>

namespace {

using namespace HelpGuideContent;

TEST(HelpGuideContentTest, FourSectionsWithTheirRows)
{
    ASSERT_EQ(sections().size(), 4);
    EXPECT_EQ(sections()[0].heading, QStringLiteral("Application Status Glossary"));
    EXPECT_TRUE(sections()[0].symbol.isEmpty());
    EXPECT_EQ(sections()[1].symbolTint, Tint::green);
    EXPECT_EQ(sections()[3].heading, QStringLiteral("Keyboard Shortcuts"));
    EXPECT_TRUE(sections()[3].introduction.isEmpty());
    EXPECT_EQ(statusCards().size(), 6);
    EXPECT_EQ(safetyRows().size(), 7);
    EXPECT_EQ(diagnosticsRows().size(), 2);
    EXPECT_EQ(shortcutRows().size(), 10);
    EXPECT_EQ(diagnosticsRows()[0].title,
              QStringLiteral("In-App Log Viewer (History \u2192 View Logs)"));
}

TEST(HelpGuideContentTest, GlossaryIsFixedTextNotTheStatusList)
{
    QStringList differing;
    QSet<QString> titles;
    for (const StatusCard &card : statusCards()) {
        titles.insert(card.title);
        if (card.badge != card.title)
            differing << card.badge;
    }
    EXPECT_EQ(differing, (QStringList{"Copied", "Duplicates"}));
    for (const char *missing : {"App Proxy", "Backup Out-of-Sync", "Update Replaced Offload"})
        EXPECT_FALSE(titles.contains(QString::fromUtf8(missing))) << missing;
}

TEST(HelpGuideContentTest, KeyCapsUseTheMacSymbols)
{
    const struct
    {
        int row;
        QString keys;
    } cases[] = {
        {0, "\u2318 R"},        {2, "\u2318 \u21E7 A"}, {7, "\u2318 1 \u2013 \u2318 7"},
        {8, "\u2303 \u2318 S"}, {9, "\u2318 ?"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(shortcutRows()[c.row].keys, c.keys) << c.row;
    EXPECT_EQ(shortcutRows()[7].action, QStringLiteral("Switch Sidebar Sections"));
}

} // namespace
