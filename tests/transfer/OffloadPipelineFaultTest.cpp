// Fails each change an operation makes, one at a time: once (every undo step still works) and
// as a power loss (that change and every later one fail, undo steps included). Whatever the
// outcome, no original may be lost.

#include "transfer/OffloadPipelineFixture.h"

#include <gtest/gtest.h>

namespace {

struct FaultCase
{
    const char *name;
    Operation operation;
    int supportFolders;
    bool overItsBackup = false;
};

class OffloadPipelineFaults : public ::testing::TestWithParam<FaultCase>
{};

TEST_P(OffloadPipelineFaults, NothingIsLostWhicheverChangeFails)
{
    const FaultCase &c = GetParam();
    int changes = 0;
    {
        PipelineScenario scenario(c.operation, c.supportFolders, c.overItsBackup);
        ASSERT_EQ(scenario.run(), 0) << scenario.errorMessage.toStdString();
        changes = int(scenario.ops->log().size());
    }
    ASSERT_GT(changes, 3);

    for (const bool powerLoss : {false, true}) {
        for (int failing = 1; failing <= changes; ++failing) {
            PipelineScenario scenario(c.operation, c.supportFolders, c.overItsBackup);
            scenario.ops->failFrom(failing, powerLoss);
            const int code = scenario.run();
            const QStringList log = scenario.ops->log();
            SCOPED_TRACE((powerLoss ? "power loss at " : "single failure of ") +
                         log.value(failing - 1).toStdString());

            expectNothingLost(scenario);
            if (code == 0) {
                expectSucceeded(scenario);
                continue;
            }
            // Every undo step worked, so a failure leaves the Mac exactly as it was.
            if (!powerLoss) {
                EXPECT_TRUE(scenario.macUnchanged());
            }
            EXPECT_FALSE(scenario.engine.isOffloading());
            EXPECT_EQ(scenario.engine.progress().error, scenario.errorMessage);
            // A failure records nothing: only the record the scenario began with is there.
            EXPECT_EQ(scenario.ledger.records().size(), scenario.olderDriveCopy.isEmpty() ? 0 : 1);
            // A failed run gives the place of the drive's older copy back to it; a power loss
            // may leave it under its rollback name.
            if (!scenario.olderDriveCopy.isEmpty() && !powerLoss) {
                EXPECT_EQ(digestTree(scenario.finalBundle), scenario.olderDriveCopy);
            } else if (!scenario.olderDriveCopy.isEmpty()) {
                bool kept = digestTree(scenario.finalBundle) == scenario.olderDriveCopy ||
                            digestTree(scenario.finalBundle) == scenario.originals.first().digest;
                const QDir drive(PathUtils::parentPath(scenario.finalBundle));
                for (const QString &name : drive.entryList({QStringLiteral(".Foo.app.rollback-*")},
                                                           QDir::AllEntries | QDir::Hidden))
                    kept = kept || digestTree(drive.filePath(name)) == scenario.olderDriveCopy;
                EXPECT_TRUE(kept);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    OffloadPipeline, OffloadPipelineFaults,
    ::testing::Values(FaultCase{"OffloadWithoutSupportFolders", Operation::offload, 0},
                      FaultCase{"OffloadWithOneSupportFolder", Operation::offload, 1},
                      FaultCase{"OffloadWithTwoSupportFolders", Operation::offload, 2},
                      FaultCase{"CopyOnly", Operation::copyOnly, 2},
                      FaultCase{"BackupUpdate", Operation::updateBackup, 1},
                      FaultCase{"OffloadOverItsBackup", Operation::offload, 1, true},
                      FaultCase{"Reoffload", Operation::reoffload, 1}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
