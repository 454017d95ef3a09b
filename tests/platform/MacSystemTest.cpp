#include "platform/macos/MacSystem.h"

#include "FakeDarwinCalls.h"

#include <QDir>
#include <gtest/gtest.h>

TEST(MacSystemTest, LocationsAreTheMacsOwn)
{
    MacSystem system(std::make_shared<FakeDarwinCalls>());
    const SystemPaths paths = system.paths();
    const QString home = QDir::homePath();
    EXPECT_EQ(paths.applicationFolders(), (QStringList{"/Applications", home + "/Applications"}));
    EXPECT_EQ(paths.supportRoots(),
              (QStringList{home + "/Library/Application Support", "/Library/Application Support"}));
    EXPECT_EQ(paths.volumesRoot, "/Volumes");
    EXPECT_EQ(paths.usersRoot, "/Users");
    EXPECT_EQ(paths.trash, home + "/.Trash");
    EXPECT_EQ(system.copyToolArguments("/a", "/b"), (QStringList{"/usr/bin/ditto", "/a", "/b"}));
}

TEST(MacSystemTest, LogEntriesGoToTheUnifiedLogWithTheirSeverity)
{
    auto darwin = std::make_shared<FakeDarwinCalls>();
    MacSystem system(darwin);
    system.systemLog().write("com.korvanthelix.app", "Offload", SystemLogSeverity::info,
                             "Offloaded 'Été.app'");
    system.systemLog().write("com.korvanthelix.app", "Volume", SystemLogSeverity::error,
                             "Eject failed");
    EXPECT_EQ(darwin->logged,
              (QStringList{"com.korvanthelix.app Offload notice Offloaded 'Été.app'",
                           "com.korvanthelix.app Volume error Eject failed"}));
}
