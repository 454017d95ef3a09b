#include "platform/linux/LinuxWorkspace.h"
#include "support/Sandbox.h"

#include <QFile>
#include <QProcess>
#include <gtest/gtest.h>

namespace {

// A copy of sleep(1) at `executable`, started; the caller ends it.
void startSleeper(QProcess &process, Sandbox &sandbox, const QString &executable)
{
    sandbox.makeFolder(PathUtils::parentPath(executable));
    ASSERT_TRUE(QFile::copy(QStringLiteral("/bin/sleep"), executable));
    QFile::setPermissions(executable, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    process.start(executable, {QStringLiteral("30")});
    ASSERT_TRUE(process.waitForStarted());
}

TEST(LinuxWorkspace, QuitRequestReachesOnlyProcessesInsideTheBundle)
{
    Sandbox sandbox;
    const QString bundle = sandbox.applications() + QStringLiteral("/Editor.app");
    QProcess inside;
    QProcess helper;
    QProcess lookalike; // its path only starts with the bundle's text
    startSleeper(inside, sandbox, bundle + QStringLiteral("/Contents/MacOS/Editor"));
    startSleeper(helper, sandbox,
                 bundle + QStringLiteral("/Contents/Helpers/Render.app/Contents/MacOS/Render"));
    startSleeper(lookalike, sandbox,
                 sandbox.applications() + QStringLiteral("/Editor.application/Contents/MacOS/x"));

    LinuxWorkspace().requestQuit(bundle);

    EXPECT_TRUE(inside.waitForFinished(10000));
    EXPECT_TRUE(helper.waitForFinished(10000));
    EXPECT_EQ(inside.exitStatus(), QProcess::CrashExit); // ended by the signal
    EXPECT_EQ(lookalike.state(), QProcess::Running);
    lookalike.kill();
    lookalike.waitForFinished();
}

} // namespace
