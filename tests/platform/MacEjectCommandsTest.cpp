#include "platform/macos/MacEjectCommands.h"

#include <gtest/gtest.h>

namespace {

TEST(MacEjectCommandsTest, BuildsTheExactCommandLines)
{
    const QString drive = QStringLiteral("/Volumes/My Drive");
    EXPECT_EQ(
        MacEjectCommands::unmount(drive, false),
        (QStringList{QStringLiteral("/usr/sbin/diskutil"), QStringLiteral("unmount"), drive}));
    EXPECT_EQ(MacEjectCommands::unmount(drive, true),
              (QStringList{QStringLiteral("/usr/sbin/diskutil"), QStringLiteral("unmount"),
                           QStringLiteral("force"), drive}));
    EXPECT_EQ(MacEjectCommands::eject(drive),
              (QStringList{QStringLiteral("/usr/sbin/diskutil"), QStringLiteral("eject"), drive}));
    EXPECT_EQ(MacEjectCommands::flushFileSystemBuffers(), QStringList{QStringLiteral("/bin/sync")});
    EXPECT_EQ(MacEjectCommands::listOpenFiles({QStringLiteral("-F"), QStringLiteral("pc")}),
              (QStringList{QStringLiteral("/usr/sbin/lsof"), QStringLiteral("-F"),
                           QStringLiteral("pc")}));
}

} // namespace
