#include "services/DuplicateCleanup.h"
#include "platform/linux/LinuxWorkspace.h"
#include "support/BundleBuilder.h"
#include "support/Sandbox.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QUrl>
#include <functional>
#include <gtest/gtest.h>

namespace {

TEST(DuplicateCleanup, RemovesOnlyWhatIsStillAStandIn)
{
    Sandbox sandbox;
    const QString apps = sandbox.applications();
    const QString target = BundleBuilder(sandbox.drive() + "/Applications/Tool.app").build();
    const QString link = sandbox.makeSymlink(apps + "/Link.app", target);
    const QString proxy =
        BundleBuilder(apps + "/Proxy.app").plistValue("IsKorvanthelixProxy", true).build();
    const QString alias = sandbox.writeFile(apps + "/Alias.app", "bookmark");
    sandbox.system().fakeFileResources().addAlias(alias, target);
    // Since the scan, a real application took the place of a folded alias.
    const QString real = BundleBuilder(apps + "/Real.app").build();

    DuplicateCleanup::removeStandIns({link, proxy, alias, real, apps + "/None.app"});

    for (const QString &gone : {link, proxy, alias})
        EXPECT_FALSE(PathUtils::existsNoFollow(gone)) << gone.toStdString();
    EXPECT_TRUE(PathUtils::isDirectory(real + "/Contents"));
    EXPECT_TRUE(PathUtils::isDirectory(target + "/Contents"));
}

class TrashTest : public ::testing::Test
{
protected:
    // A local copy at `relative` (below the sandbox root) of an offloaded primary.
    DuplicateLocalInstance copyOf(const QString &relative, bool running = false,
                                  bool reachable = true)
    {
        const QString path = BundleBuilder(sandbox.path(relative)).build();
        AppItem local{QUrl::fromLocalFile(path), PathUtils::baseName(path)};
        local.isRunning = running;
        AppItem primary{QUrl::fromLocalFile(sandbox.applications() + "/Primary.app"), "Primary"};
        primary.isSymlink = primary.isAlias = true;
        primary.symlinkTarget = reachable ? driveCopy : sandbox.drive() + "/Gone.app";
        return {local, primary};
    }
    QStringList trashNames() const
    {
        return QDir(sandbox.paths().trash)
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name);
    }

    Sandbox sandbox;
    QString driveCopy = BundleBuilder(sandbox.drive() + "/Applications/Tool.app").build();
    FakeWorkspace &workspace = sandbox.system().fakeWorkspace();
    FakeAdminShell &adminShell = sandbox.system().fakeAdminShell();
};

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

// On a Linux desktop an item in the Trash needs its record in the Trash's "info" folder, or
// the Trash neither lists it nor can put it back.
TEST_F(TrashTest, TheAdministratorsMoveLeavesWhatTheDesktopTrashNeeds)
{
    const QString trashRoot = sandbox.home() + "/.local/share/Trash";
    SystemPaths paths = sandbox.paths();
    paths.trash = trashRoot + "/files";
    sandbox.system().setPaths(paths);
    workspace.keepTrashRecordsWith(std::make_shared<LinuxWorkspace>());
    const auto readInfo = [&](const QString &name) {
        QFile file(trashRoot + "/info/" + name + ".trashinfo");
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    };

    const struct
    {
        const char *name;
        std::function<void()> setUp;
        AdminShellResult (*answer)(const QString &);
        int trashed;
        QString error;    // "%1" is the Trash folder
        QString recorded; // the name in the Trash that got its record, if any
    } cases[] = {
        {"moved and recorded", [] {}, &FakeAdminShell::runWithShell, 1, {}, "Tool Box.app"},
        {"a stale record keeps its name",
         [&] { sandbox.writeFile(trashRoot + "/info/Tool Box.app.trashinfo", "stale"); },
         &FakeAdminShell::runWithShell,
         1,
         {},
         "Tool Box-"},
        {"the prompt is dismissed",
         [] {},
         [](const QString &) {
             return AdminShellResult{false, "User canceled."};
         },
         0,
         "Administrator authorization failed: User canceled.",
         {}},
        {"no administrator route here",
         [] {},
         [](const QString &) {
             return AdminShellResult{false, "Administrator rights are not available", false};
         },
         0,
         "Could not move to Trash: Administrator rights are not available",
         {}},
        {"no Trash at all",
         [&] { QDir(trashRoot).removeRecursively(); },
         &FakeAdminShell::runWithShell,
         0,
         "Tool Box: the Trash folder '%1' is missing; not moved to Trash.",
         {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QDir(trashRoot).removeRecursively();
        sandbox.makeFolder(trashRoot + "/files");
        c.setUp();
        const auto copy = copyOf("Applications/It's/Tool Box.app");
        workspace.failTrash(copy.localApp.id());
        adminShell.answerWith(c.answer);

        const TrashResult result = DuplicateCleanup::trashLocalCopies({copy});

        EXPECT_EQ(result.trashedCount, c.trashed);
        EXPECT_EQ(result.errors.join('\n'), c.error.isEmpty() ? QString() : c.error.arg(trashRoot));
        const QStringList records = QDir(trashRoot + "/info").entryList(QDir::Files);
        if (c.recorded.isEmpty()) {
            EXPECT_TRUE(PathUtils::existsNoFollow(copy.localApp.id()));
            EXPECT_TRUE(records.isEmpty()) << records.join(' ').toStdString();
            continue;
        }
        const QStringList inTrash =
            QDir(paths.trash).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        ASSERT_EQ(inTrash.size(), 1);
        EXPECT_TRUE(inTrash.first().startsWith(c.recorded));
        const QString info = readInfo(inTrash.first());
        EXPECT_TRUE(
            info.startsWith("[Trash Info]\nPath=" +
                            QString::fromUtf8(QUrl::toPercentEncoding(copy.localApp.id(), "/")) +
                            "\nDeletionDate="))
            << info.toStdString();
        EXPECT_TRUE(
            QRegularExpression("\nDeletionDate=\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\n$")
                .match(info)
                .hasMatch())
            << info.toStdString();
    }
}

} // namespace
