#include "platform/linux/LinuxWorkspace.h"
#include "support/Sandbox.h"

#include <QFile>
#include <QProcess>
#include <gtest/gtest.h>

namespace {

TEST(LinuxWorkspace, RunningProgramBelongsToItsInnermostBundle)
{
    Sandbox sandbox;
    const QString outer = sandbox.applications() + QStringLiteral("/Outer.app");
    const QString helper = outer + QStringLiteral("/Contents/Helpers/Helper.app");
    const QString executable = helper + QStringLiteral("/Contents/MacOS/Helper");
    sandbox.makeFolder(PathUtils::parentPath(executable));
    ASSERT_TRUE(QFile::copy(QStringLiteral("/bin/sleep"), executable));
    QFile::setPermissions(executable, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    QProcess process;
    process.start(executable, {QStringLiteral("30")});
    ASSERT_TRUE(process.waitForStarted());
    const QStringList running = LinuxWorkspace().runningApplicationBundles();
    process.kill();
    process.waitForFinished();

    EXPECT_TRUE(running.contains(helper));
    EXPECT_FALSE(running.contains(outer));
}

} // namespace
