#include "platform/linux/LinuxAdminShell.h"
#include "platform/linux/LinuxSystem.h"

#include "support/FakeTool.h"

#include <gtest/gtest.h>

// The pkexec stand-in runs what it is given with this process's rights, so the shell
// really reads the command.
TEST(LinuxAdminShellTest, RunsTheCommandThroughPkexecAndTheShell)
{
    FakeTool pkexec(QStringLiteral("pkexec"), QStringLiteral("exec \"$@\""));
    const struct
    {
        const char *command;
        AdminShellResult result;
    } cases[] = {
        {"printf '%s\\n' 'it'\\''s' \"two\"", {true, QStringLiteral("it's\ntwo")}},
        {"echo out; echo 'rm: denied' >&2; exit 1", {false, QStringLiteral("rm: denied")}},
        {"exit 4", {false, QStringLiteral("The command exited with a non-zero status.")}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.command);
        const QString command = QString::fromUtf8(c.command);
        EXPECT_EQ(LinuxAdminShell(pkexec.path()).run(command), c.result);
        EXPECT_EQ(pkexec.calls().last(), (QStringList{"/bin/sh", "-c", command}));
    }
    const AdminShellResult without = LinuxAdminShell(QString()).run(QStringLiteral("true"));
    EXPECT_FALSE(without.success);
    EXPECT_TRUE(without.output.contains(QStringLiteral("pkexec was not found")));
    EXPECT_FALSE(without.asked);
}

TEST(LinuxAdminShellTest, CopyToolCopiesOntoTheDestination)
{
    EXPECT_EQ(LinuxSystem().copyToolArguments(QStringLiteral("/a/-x"), QStringLiteral("/b/y")),
              (QStringList{"/bin/sh", "-c", "cp -a -T -- \"$1\" \"$2\"", "copy", "/a/-x", "/b/y"}));
    EXPECT_EQ(LinuxSystem().copyToolHabits(),
              (CopyToolHabits{.keepsSocketsAndPipes = true, .skipsRemovedWhileOpenNames = false}));
    EXPECT_EQ(LinuxSystem().treeRemovalCommand(), "/bin/rm -rf --one-file-system --");
}
