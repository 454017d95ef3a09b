#include "services/AppScanner.h"
#include "services/LedgerService.h"
#include "support/BundleBuilder.h"
#include "support/Sandbox.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

namespace {

class AppScannerTest : public ::testing::Test
{
protected:
    AppScannerTest()
    {
        QObject::connect(&scanner, &AppScanner::scanStatusChanged, &scanner,
                         [this] { statuses << scanner.scanStatus(); });
        QObject::connect(&scanner, &AppScanner::scanProgressChanged, &scanner,
                         [this] { progress << scanner.scanProgress(); });
    }
    void scan() { ASSERT_TRUE(waitFor(scanner.scanAsync())); }
    QStringList ids() const
    {
        QStringList out;
        for (const AppItem &item : scanner.apps())
            out << item.id().mid(sandbox.root().size() + 1);
        return out;
    }

    Sandbox sandbox;
    LedgerService ledger;
    AppScanner scanner{ledger};
    QStringList statuses;
    QList<double> progress;
};

TEST_F(AppScannerTest, EmptyScanReportsEachPhase)
{
    EXPECT_EQ(scanner.scanStatus(), QStringLiteral("Ready"));
    scan();
    EXPECT_EQ(statuses,
              (QStringList{"Scanning applications...", "Calculating sizes for 0 applications...",
                           "Scan complete. Found 0 apps."}));
    EXPECT_EQ(progress, (QList<double>{0.05, 0.15, 1.0}));
    EXPECT_FALSE(scanner.isScanning());
    const QList<RecordingSystemLog::Entry> log = sandbox.system().recordingSystemLog().entries();
    ASSERT_FALSE(log.isEmpty());
    EXPECT_EQ(log.last().category, QStringLiteral("Scanner"));
    EXPECT_EQ(log.last().message,
              QStringLiteral("Scan complete: 0 app(s), 0 redundant local copy(s)"));
}

TEST_F(AppScannerTest, ListsFirstThenSizesThenLargestFirst)
{
    const QString offloaded =
        BundleBuilder(sandbox.drive() + "/Applications/Tool.app").executableSize(20000).build();
    BundleBuilder(sandbox.applications() + "/Zed.app").executableSize(50000).build();
    BundleBuilder(sandbox.applications() + "/beta.app").withoutInfoPlist().build();
    BundleBuilder(sandbox.userApplications() + "/Alpha.app").withoutInfoPlist().build();
    sandbox.makeSymlink(sandbox.applications() + "/Tool [Drive].app", offloaded);
    const QString local = BundleBuilder(sandbox.applications() + "/Sub/Tool.app").build();
    sandbox.system().fakeWorkspace().setRunningApplicationBundles({offloaded});
    QList<qint64> firstSizes;
    QObject::connect(&scanner, &AppScanner::appsChanged, &scanner, [&] {
        if (firstSizes.isEmpty()) {
            for (const AppItem &item : scanner.apps())
                firstSizes << item.size;
        }
    });
    scan();

    EXPECT_EQ(firstSizes, (QList<qint64>{0, 0, 0, 0, 0}));
    EXPECT_EQ(statuses.mid(1, 2), (QStringList{"Calculating sizes for 5 applications...",
                                               "Calculating sizes (1/5)..."}));
    EXPECT_EQ(statuses.at(statuses.size() - 2), QStringLiteral("Calculating sizes (5/5)..."));
    // Largest first (a link weighs its target); equal totals keep the order by name.
    EXPECT_EQ(ids(), (QStringList{"Applications/Zed.app", "Applications/Tool [Drive].app",
                                  "Applications/Sub/Tool.app",
                                  "Users/tester/Applications/Alpha.app", "Applications/beta.app"}));
    EXPECT_EQ(scanner.apps()[1].size, AppScanner::calculateDirectorySize(offloaded));
    EXPECT_TRUE(scanner.apps()[1].isRunning);
    ASSERT_EQ(scanner.duplicateLocalInstances().size(), 1);
    EXPECT_EQ(scanner.duplicateLocalInstances()[0].localApp.id(), local);
}

TEST_F(AppScannerTest, SizePassKeepsTheUsersSelection)
{
    const QString app =
        BundleBuilder(sandbox.applications() + "/Tool.app").identifier("com.acme.tool").build();
    const QString folder =
        sandbox.makeFolder(sandbox.userSupport() + "/acme"); // a token: unselected
    sandbox.writeFile(folder + "/data", QByteArray(700, 'd'));
    // The user ticks the folder while the sizes are still being measured.
    QObject::connect(&scanner, &AppScanner::scanStatusChanged, &scanner, [&] {
        if (scanner.scanStatus().startsWith(QLatin1String("Calculating sizes for")))
            scanner.setSupportFolderSelected(app, folder, true);
    });
    scan();

    ASSERT_EQ(scanner.apps().size(), 1);
    ASSERT_EQ(scanner.apps()[0].supportFolders.size(), 1);
    EXPECT_TRUE(scanner.apps()[0].supportFolders[0].isSelected);
    EXPECT_EQ(scanner.apps()[0].supportFolders[0].size, 700);
}

TEST_F(AppScannerTest, CleanAllRemovesFoldedAliasesAndPutsBackTheKeptOne)
{
    const QString target = BundleBuilder(sandbox.drive() + "/Applications/Tool.app").build();
    const QString kept = sandbox.makeSymlink(sandbox.applications() + "/Tool.app", target);
    const QString second = sandbox.makeSymlink(sandbox.applications() + "/A/Tool.app", target);
    const QString third = sandbox.makeSymlink(sandbox.applications() + "/B/Tool.app", target);
    scan();
    ASSERT_EQ(scanner.totalDuplicateAliasesCount(), 2);

    ASSERT_TRUE(waitFor(scanner.removeDuplicateAlias(second)));
    EXPECT_FALSE(PathUtils::existsNoFollow(second));
    EXPECT_EQ(scanner.apps()[0].duplicateAliasPaths, QStringList{third});

    QFile::remove(kept);
    ASSERT_TRUE(waitFor(scanner.cleanAllDuplicateAliases()));
    EXPECT_FALSE(PathUtils::existsNoFollow(third));
    EXPECT_EQ(PathUtils::linkText(kept), target);
    EXPECT_EQ(ids(), QStringList{"Applications/Tool.app"});
    EXPECT_EQ(scanner.totalDuplicateAliasesCount(), 0);
}

} // namespace
