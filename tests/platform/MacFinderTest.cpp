#include "platform/macos/MacFinder.h"

#include "FakeDarwinCalls.h"
#include "support/FakeTool.h"

#include <gtest/gtest.h>

TEST(MacFinderTest, ScriptsEscapeEveryInsertedValue)
{
    EXPECT_EQ(MacFinder::aliasScript(QStringLiteral("/Volumes/My \"D\"/Foo.app"),
                                     QStringLiteral("/Applications"), QStringLiteral("F\\B.app")),
              QStringLiteral("tell application \"Finder\"\n"
                             "    try\n"
                             "        set orig to POSIX file \"/Volumes/My \\\"D\\\"/Foo.app\"\n"
                             "        set dest to POSIX file \"/Applications\"\n"
                             "        make new alias file at dest to orig with properties "
                             "{name:\"F\\\\B.app\"}\n"
                             "    end try\n"
                             "end tell"));
    EXPECT_EQ(MacFinder::updateScript(QStringLiteral("/Applications/A\"b.app")),
              QStringLiteral("tell application \"Finder\" to update POSIX file "
                             "\"/Applications/A\\\"b.app\""));
}

TEST(MacFinderTest, RunsItsScriptsThroughTheScriptRunner)
{
    FakeTool osascript(QStringLiteral("osascript"));
    MacFinder finder(osascript.path());
    const QString target = QStringLiteral("/Volumes/D/Foo.app");
    const QString alias = QStringLiteral("/Applications/Foo.app");
    EXPECT_TRUE(finder.makeAliasFile(target, QStringLiteral("/Applications"), "Foo.app"));
    finder.update(alias);
    EXPECT_FALSE(finder.writeBookmarkFile(target, alias)); // only the native backend can
    EXPECT_EQ(osascript.calls(),
              (QList<QStringList>{{"-e", MacFinder::aliasScript(
                                             target, QStringLiteral("/Applications"), "Foo.app")},
                                  {"-e", MacFinder::updateScript(alias)}}));
    osascript.setBody(QStringLiteral("exit 1"));
    EXPECT_FALSE(finder.makeAliasFile(target, QStringLiteral("/Applications"), "Foo.app"));
}

TEST(MacFinderTest, BookmarkFileIsWrittenByThePlatform)
{
    auto darwin = std::make_shared<FakeDarwinCalls>();
    FakeTool osascript(QStringLiteral("osascript"));
    MacFinder finder(osascript.path(), darwin);
    const QString target = QStringLiteral("/Volumes/D/Foo.app");
    const QString alias = QStringLiteral("/Applications/Foo.app");
    EXPECT_TRUE(finder.writeBookmarkFile(target, alias));
    darwin->bookmarkWriteSucceeds = false;
    EXPECT_FALSE(finder.writeBookmarkFile(target, alias));
    EXPECT_EQ(darwin->bookmarksWritten,
              (QList<std::pair<QString, QString>>{{target, alias}, {target, alias}}));
    EXPECT_TRUE(osascript.calls().isEmpty());
}
