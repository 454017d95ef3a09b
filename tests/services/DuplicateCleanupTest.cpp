#include "services/DuplicateCleanup.h"
#include "model/BundleProbe.h"
#include "services/TrashFixture.h"
#include "support/BundleBuilder.h"
#include "support/Sandbox.h"

#include <QDir>
#include <QRegularExpression>
#include <QUrl>
#include <gtest/gtest.h>

namespace {

TEST(DuplicateCleanup, RemovesOnlyWhatIsStillAStandIn)
{
    Sandbox sandbox;
    const QString apps = sandbox.applications();
    const QString target = BundleBuilder(sandbox.drive() + "/Applications/Tool.app").build();
    const QString link = sandbox.makeSymlink(apps + "/Link.app", target);
    const QString proxy = BundleBuilder(apps + "/Proxy.app")
                              .executableName(BundleProbe::launcherName)
                              .plistValue("IsKorvanthelixProxy", true)
                              .build();
    const QString alias = sandbox.writeFile(apps + "/Alias.app", "bookmark");
    sandbox.system().fakeFileResources().addAlias(alias, target);
    // Since the scan, a real application took the place of a folded alias.
    const QString real = BundleBuilder(apps + "/Real.app").build();
    // An application of its own whose Info.plist carries the proxy's keys is no proxy of ours.
    const QString marked = BundleBuilder(apps + "/Marked.app")
                               .plistValue("IsKorvanthelixProxy", true)
                               .plistValue("TargetAppPath", target)
                               .build();

    DuplicateCleanup::removeStandIns({link, proxy, alias, real, marked, apps + "/None.app"});

    for (const QString &gone : {link, proxy, alias})
        EXPECT_FALSE(PathUtils::existsNoFollow(gone)) << gone.toStdString();
    for (const QString &kept : {real, marked})
        EXPECT_TRUE(PathUtils::isDirectory(kept + "/Contents")) << kept.toStdString();
    EXPECT_TRUE(PathUtils::isDirectory(target + "/Contents"));
}

TEST_F(TrashTest, RefusesRunningAndUnreachableCopies)
{
    const auto running = copyOf("Applications/A/Tool.app", true);
    const auto orphan = copyOf("Applications/B/Only.app", false, false);
    const auto fine = copyOf("Applications/C/Fine.app");

    const TrashResult result = DuplicateCleanup::trashLocalCopies({running, orphan, fine});

    EXPECT_EQ(result,
              (TrashResult{1,
                           {"Tool is currently running; quit it before moving to Trash.",
                            "Only: its offloaded copy is not reachable; not moved to Trash."}}));
    EXPECT_TRUE(PathUtils::existsNoFollow(orphan.localApp.id()));
    EXPECT_EQ(trashNames(), QStringList{"Fine.app"});
    EXPECT_EQ(DuplicateCleanup::trashLocalCopies({}), TrashResult{});
    EXPECT_TRUE(adminShell.commands().isEmpty());
}

TEST_F(TrashTest, RefusedMovesShareOneAdministratorCommandWithDistinctNames)
{
    const auto first = copyOf("Applications/A/Tool.app");
    const auto second = copyOf("Applications/It's/Tool.app");
    const auto bare = copyOf("Applications/Bare");
    sandbox.writeFile(sandbox.paths().trash + "/Bare", "taken");
    for (const auto &instance : {first, second, bare})
        workspace.failTrash(instance.localApp.id());
    adminShell.runUnprivileged();

    EXPECT_EQ(DuplicateCleanup::trashLocalCopies({first, second, bare}), (TrashResult{3, {}}));
    ASSERT_EQ(adminShell.commands().size(), 1);
    const QString command = adminShell.commands().first();
    const QString trash = sandbox.paths().trash;
    EXPECT_TRUE(command.startsWith("mv -- '" + first.localApp.id() + "' '" + trash +
                                   "/Tool.app' && mv -- '"))
        << command.toStdString();
    // Every move of the chain ends its options before the paths.
    EXPECT_EQ(command.count(QStringLiteral("mv ")), 3);
    EXPECT_EQ(command.count(QStringLiteral("mv -- '")), 3);
    EXPECT_TRUE(command.contains("/It'\\''s/Tool.app' '" + trash + "/Tool-"))
        << command.toStdString();
    const QStringList names = trashNames();
    EXPECT_EQ(names.size(), 4);
    EXPECT_EQ(names.filter(QRegularExpression("^Tool-[0-9A-F]{8}\\.app$")).size(), 1);
    EXPECT_EQ(names.filter(QRegularExpression("^Bare-[0-9A-F]{8}$")).size(), 1);
}

TEST_F(TrashTest, FailedAdministratorCommandCountsTheMovesThatHappened)
{
    const auto plain = copyOf("Applications/A/Plain.app");
    const auto one = copyOf("Applications/B/One.app");
    const auto two = copyOf("Applications/C/Two.app");
    workspace.failTrash(one.localApp.id());
    workspace.failTrash(two.localApp.id());
    adminShell.decline("User canceled.");
    EXPECT_EQ(DuplicateCleanup::trashLocalCopies({plain, one, two}),
              (TrashResult{1, {"Administrator authorization failed: User canceled."}}));

    // The chain moves the first copy and then stops.
    adminShell.answerWith([](const QString &command) {
        (void)FakeAdminShell::runWithShell(command.section(" && ", 0, 0));
        return AdminShellResult{false, "mv: cannot move"};
    });
    EXPECT_EQ(DuplicateCleanup::trashLocalCopies({one, two}),
              (TrashResult{1, {"Administrator authorization failed: mv: cannot move"}}));
    EXPECT_EQ(trashNames(), (QStringList{"One.app", "Plain.app"}));
}

} // namespace
