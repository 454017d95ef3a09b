#include "platform/macos/MacAdminShell.h"

#include "support/FakeTool.h"

#include <gtest/gtest.h>

// The backslash is doubled before the other escapes add theirs.
TEST(MacAdminShellTest, ScriptRunsTheEscapedCommandAsAdministrator)
{
    EXPECT_EQ(MacAdminShell::scriptSource(QStringLiteral("/bin/mv 'a\"b\\c' 'd\r\ne'")),
              QStringLiteral("do shell script \"/bin/mv 'a\\\"b\\\\c' 'd\\r\\ne'\" with "
                             "administrator privileges"));
}

// The script runner is a stand-in that records its arguments and answers like the real
// one: the result on standard output, a script error on standard error.
TEST(MacAdminShellTest, RunsTheScriptRunnerAndReadsItsAnswer)
{
    const QString command = QStringLiteral("/bin/rm -rf 'it'\\''s'");
    const struct
    {
        const char *body;
        AdminShellResult result;
    } cases[] = {
        {"printf 'done\\n'", {true, QStringLiteral("done")}},
        {"echo '0:98: execution error: User canceled. (-128)' >&2; exit 1",
         {false, QStringLiteral("User canceled.")}},
        {"printf '0:9: execution error: rm: a: Busy\\nrm: b: Busy (1)\\n' >&2; exit 1",
         {false, QStringLiteral("rm: a: Busy\nrm: b: Busy")}},
        {"echo '12:30: syntax error: Expected end of line. (-2741)' >&2; exit 1",
         {false, QStringLiteral("Expected end of line.")}},
        {"echo 'osascript: odd' >&2; exit 1", {false, QStringLiteral("osascript: odd")}},
        {"exit 1", {false, QStringLiteral("Unknown error")}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.body);
        FakeTool osascript(QStringLiteral("osascript"), QString::fromUtf8(c.body));
        EXPECT_EQ(MacAdminShell(osascript.path()).run(command), c.result);
        const QStringList expected = {"-e", MacAdminShell::scriptSource(command)};
        EXPECT_EQ(osascript.calls(), QList<QStringList>{expected});
    }
    EXPECT_EQ(MacAdminShell(QStringLiteral("/nonexistent/osascript")).run(command),
              (AdminShellResult{false, QStringLiteral("Could not initialize NSAppleScript")}));
}
