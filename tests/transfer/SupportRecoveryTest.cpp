// An offload cut short (killed, the power gone) right after it moved a support folder aside
// leaves it under its ".offload-rollback-" name, no link in its place and no record: the
// restore of the application puts it back, or says where it is and keeps its drive copy
// recorded.

#include "transfer/OffloadPipelineFixture.h"

#include "services/AppScanner.h"
#include "support/FakeTool.h"
#include "transfer/DriveLayout.h"
#include "transfer/RestoreEngine.h"

#include <QDir>
#include <functional>
#include <gtest/gtest.h>

namespace {

// The scenario's Foo as a scan lists it.
AppItem scanned(PipelineScenario &scenario)
{
    AppScanner scanner(scenario.ledger);
    EXPECT_TRUE(waitFor(scanner.scanAsync()));
    for (const AppItem &app : scanner.apps()) {
        if (app.name == QLatin1String("Foo"))
            return app;
    }
    ADD_FAILURE() << "Foo is not listed";
    return {};
}

// Restores Foo as the window does, from what a scan lists; the error, if any.
std::optional<OperationError> restore(PipelineScenario &scenario, RestoreEngine &engine)
{
    const AppItem app = scanned(scenario);
    return errorOfFuture(engine.restoreBatch({app}, scenario.target.url));
}

TEST(SupportRecovery, ARestoreBringsBackWhatAnOffloadCutShortSetAside)
{
    struct Case
    {
        const char *name;
        int supportFolders;
        // Runs once the offload was cut short, before the restore.
        std::function<void(PipelineScenario &, const QString &aside)> arrange;
        int code;             // of the restore; 0 when it succeeded
        const char *told;     // in its message or completion text
        bool backInPlace;     // the set-aside folder is back where it stood
        bool retryBringsBack; // else a retry finds nothing more to do
    };
    const Case cases[] = {
        {"NothingInItsPlace", 1, {}, 0, "' was put back from '", true, false},
        {"TheSecondOfTwoFolders", 2, {}, 0, "' was put back from '", true, false},
        // The application ran from the drive meanwhile and made a new folder there.
        {"AFolderMadeInItsPlaceSince", 1,
         [](PipelineScenario &s, const QString &) {
             Sandbox::writeFile(s.app.supportFolders.first().url.toLocalFile() +
                                    QStringLiteral("/fresh"),
                                "made since");
         },
         413, "' is still at '", false, true},
        {"TwoCopiesSetAside", 1,
         [](PipelineScenario &s, const QString &aside) {
             const QString place = s.app.supportFolders.first().url.toLocalFile();
             const QString second =
                 PathUtils::join(PathUtils::parentPath(place),
                                 DriveLayout::offloadRollbackName(PathUtils::lastComponent(place)));
             ASSERT_TRUE(platformCopy(aside, second));
         },
         413, "more than one copy of it was set aside there", false, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // The change right after the last support folder went aside: its link.
        int failing = 0;
        {
            PipelineScenario scenario(Operation::offload, c.supportFolders);
            ASSERT_EQ(scenario.run(), 0);
            const QStringList log = scenario.ops->log();
            for (qsizetype i = 0; i < log.size(); ++i) {
                if (log.at(i).startsWith(QStringLiteral("createSymbolicLink")))
                    failing = int(i) + 1;
            }
        }
        ASSERT_GT(failing, 0);
        PipelineScenario s(Operation::offload, c.supportFolders);
        s.ops->failFrom(failing, true);
        ASSERT_NE(s.run(), 0);
        s.ops->failFrom(0, false);
        const PipelineScenario::Original &folder = s.originals.last();
        const QStringList aside = movedAsideSiblings(folder.path);
        ASSERT_EQ(aside.size(), 1);
        EXPECT_FALSE(PathUtils::existsNoFollow(folder.path));
        EXPECT_EQ(s.ledger.records(), QList<MigrationRecord>()) << "cut short before its record";
        if (c.arrange)
            c.arrange(s, aside.first());
        const TreeDigest placeBefore = digestTree(folder.path);
        const bool placeTaken = PathUtils::existsNoFollow(folder.path);

        RestoreEngine engine(s.ledger);
        engine.setSleeper([](std::chrono::nanoseconds) {});
        const std::optional<OperationError> failure = restore(s, engine);
        EXPECT_EQ(failure ? failure->code() : 0, c.code)
            << (failure ? failure->message().toStdString() : std::string());
        const QString told = failure ? failure->message() : engine.currentStep();
        EXPECT_TRUE(told.contains(QString::fromUtf8(c.told))) << told.toStdString();
        expectNothingLost(s);
        if (c.backInPlace) {
            EXPECT_EQ(digestTree(folder.path), folder.digest);
            EXPECT_EQ(movedAsideSiblings(folder.path), QStringList());
            continue;
        }
        // It says where the data is, which stays as it was, and so does what stands in its
        // place; the drive's copy is recorded in force.
        EXPECT_TRUE(told.contains(aside.first())) << told.toStdString();
        EXPECT_EQ(digestTree(aside.first()), folder.digest);
        EXPECT_EQ(digestTree(folder.path), placeBefore);
        const QString driveCopy = s.sandbox.drive() + QStringLiteral("/Application Support/") +
                                  PathUtils::lastComponent(folder.path);
        EXPECT_EQ(recordedDriveCopies(s.ledger.records(), folder.path), QStringList{driveCopy});
        if (c.retryBringsBack) {
            // Restored again, the drive's copy takes the place; what stood there is kept aside.
            const std::optional<OperationError> again = restore(s, engine);
            EXPECT_FALSE(again) << again->message().toStdString();
            EXPECT_EQ(digestTree(folder.path), folder.digest);
            EXPECT_EQ(engine.preservedBackupPaths().size(), placeTaken ? 1 : 0);
        }
    }
}

} // namespace
