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

// What lsof writes on a Mac for every process, read for the processes that may still change a tree:
// a descriptor opened for writing writes, a mapped file that is not the program maps (lsof does not
// say whether the mapping is writable), the program itself runs; reading is none of them.
TEST(MacEjectCommandsTest, TellsWhoMayStillChangeATree)
{
    const QString sync = QStringLiteral("/Users/me/Library/Application Support/Sync");
    const QByteArray output =
        "p812\ncSync Agent\n"
        "ftxt\na \nn/Applications/Sync.app/Contents/MacOS/Sync Agent\n"
        "fcwd\na \nn/Users/me/Library/Application Support/Sync\n"
        "f5\nau\nn/Users/me/Library/Application Support/Sync/index.db\n"
        "f6\nar\nn/Users/me/Library/Application Support/Sync/prefs.plist\n"
        "ftxt\na \nn/Users/me/Library/Application Support/Sync/cache.db\n"
        "f9\naw\nn/Users/me/Library/Application Support/SyncOther/log\n"
        "p900\ncsyncd\n"
        "ftxt\na \nn/Users/me/Library/Application Support/Sync/Helpers/syncd\n"
        "p42\ncKorvanthelix\nf7\naw\nn/Users/me/Library/Application "
        "Support/Sync/log\n"
        "p77\ncmdworker_shared\nf3\nar\nn/Users/me/Library/Application "
        "Support/Sync/index.db\n";
    const auto executable = [&](qint32 pid) {
        return pid == 812   ? QStringLiteral("/Applications/Sync.app/Contents/MacOS/Sync Agent")
               : pid == 900 ? sync + QStringLiteral("/Helpers/syncd")
                            : QString();
    };
    EXPECT_EQ(MacEjectCommands::parseFileUses(output, {sync}, 42, executable),
              (QList<FileUse>{
                  {812, QStringLiteral("Sync Agent"), FileUse::Kind::writes,
                   sync + QStringLiteral("/index.db")},
                  {812, QStringLiteral("Sync Agent"), FileUse::Kind::maps,
                   sync + QStringLiteral("/cache.db")},
                  {900, QStringLiteral("syncd"), FileUse::Kind::runs,
                   sync + QStringLiteral("/Helpers/syncd")},
              }));
    // A look that did not end is no answer.
    ToolRun timedOut;
    timedOut.started = timedOut.timedOut = true;
    timedOut.output = output;
    EXPECT_FALSE(MacEjectCommands::fileUses(timedOut, {sync}, 42, executable));
}

} // namespace
