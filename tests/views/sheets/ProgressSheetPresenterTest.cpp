#include "views/sheets/ProgressSheetPresenter.h"
#include "transfer/OffloadEngine.h"

#include <gtest/gtest.h>
#include <limits>

namespace {

using State = ProgressSheetState;

TEST(ProgressSheetPresenterTest, PercentRoundsHalvesAwayFromZero)
{
    const struct
    {
        double fraction;
        const char *label;
    } cases[] = {
        {0.0, "0%"},
        {0.05, "5%"},
        {0.125, "13%"},
        {0.375, "38%"},
        {0.625, "63%"},
        {0.994, "99%"},
        {0.999, "100%"},
        {1.0, "100%"},
        {-0.125, "-13%"},
        {std::numeric_limits<double>::quiet_NaN(), "0%"},
        {std::numeric_limits<double>::infinity(), "0%"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ProgressSheetRules::percentLabel(c.fraction), QString::fromUtf8(c.label))
            << c.fraction;
}

TaskReport ended(int attempted, QList<TaskFailure> failures = {},
                 std::optional<QString> error = std::nullopt)
{
    TaskReport report;
    report.attempted = attempted;
    report.failures = std::move(failures);
    report.error = std::move(error);
    return report;
}

TaskReport running()
{
    TaskReport report;
    report.isRunning = true;
    report.attempted = 1;
    return report;
}

OffloadProgress progress(QString item, QString step, double percent, bool complete,
                         std::optional<QString> error = std::nullopt)
{
    return {std::move(item), std::move(step), percent, complete, std::move(error)};
}

TEST(ProgressSheetPresenterTest, OffloadSheetChoosesItsFace)
{
    const OffloadProgress done = progress("Foo", "Migration complete!", 1.0, true);
    const OffloadProgress copied = progress("Foo", "Copy backup complete!", 1.0, true);
    const OffloadProgress updated = progress("Foo", "Backup updated successfully!", 1.0, true);
    const OffloadProgress failed = progress("Bar", "Copying...", 0.4, false, "Disk full");
    const OffloadProgress midway = progress("Foo", "Copying...", 0.4, false);
    const struct
    {
        const char *name;
        OffloadProgress progress;
        bool cancelling;
        std::optional<TaskReport> report;
        State state;
        QString message;
        QString batchLine;
    } cases[] = {
        // clang-format off
        {"complete wins over error", progress("Foo", "Migration complete!", 1, true, "late"),
         false, std::nullopt, State::success, "Foo was safely offloaded and linked.", {}},
        {"running", midway, false, std::nullopt, State::inProgress, {}, {}},
        {"cancelling", midway, true, std::nullopt, State::cancelling, {}, {}},
        {"engine error", failed, false, std::nullopt, State::failure, "Disk full", {}},
        {"copy only", copied, false, std::nullopt, State::success, "Foo was safely copied to the drive.", {}},
        {"told what it could not do", [&] { OffloadProgress p = done; p.notice = "The drive's ledger did not take it."; return p; }(),
         false, std::nullopt, State::success, "Foo was safely offloaded and linked. The drive's ledger did not take it.", {}},
        {"backup update", updated, false, ended(1), State::success, "Foo was safely copied to the drive.", {}},
        {"task runs on after a success", done, false, running(), State::inProgress, {}, {}},
        {"task runs on after a failure", failed, false, running(), State::inProgress, {}, {}},
        {"nothing to do", midway, false, ended(0), State::failure, "Nothing to offload.", {}},
        {"earlier run's success is stale", done, false, ended(0), State::failure, "Nothing to offload.", {}},
        {"task error before the engine ran", midway, false, ended(0, {}, "Please select a target."),
         State::failure, "Please select a target.", {}},
        {"ended without completion or error", midway, false, ended(1), State::failure, "Nothing to offload.", {}},
        {"ended cancelled", progress("Foo", "Cancelling...", 0.4, false, "Operation cancelled"), false,
         ended(1), State::failure, "Operation cancelled", {}},
        {"single failure", failed, false, ended(1, {{"Bar", "Disk full"}}), State::failure, "Disk full", {}},
        {"some failed, last succeeded", done, false, ended(3, {{"Bar", "Disk full"}}), State::success,
         "Foo was safely offloaded and linked.", "1 of 3 failed: Bar (Disk full)"},
        // The engine's item is the failed one; it must not read as offloaded.
        {"some failed, last failed", failed, false, ended(2, {{"Bar", "Disk full"}}), State::success,
         {}, "1 of 2 failed: Bar (Disk full)"},
        {"all failed", failed, false, ended(2, {{"Foo", "Busy"}, {"Bar", "Disk full"}}), State::failure,
         "2 of 2 failed: Foo (Busy), Bar (Disk full)", {}},
        // clang-format on
    };
    for (const auto &c : cases) {
        const ProgressSheetModel model =
            MigrationProgressPresenter::present(c.progress, c.cancelling, c.report);
        EXPECT_EQ(model.state, c.state) << c.name;
        EXPECT_EQ(model.canDismiss, !model.isRunningFace()) << c.name;
        if (model.isRunningFace())
            continue;
        EXPECT_EQ(model.message, c.message) << c.name;
        EXPECT_EQ(model.batchFailureLine, c.batchLine) << c.name;
        EXPECT_EQ(model.title, c.state == State::success ? QStringLiteral("Migration Successful!")
                                                         : QStringLiteral("Migration Failed"))
            << c.name;
    }
}

TEST(ProgressSheetPresenterTest, OffloadRunningFace)
{
    const ProgressSheetModel unnamed =
        MigrationProgressPresenter::present(progress({}, "Preparing", 0.125, false), false, {});
    EXPECT_EQ(unnamed.headline, QStringLiteral("Processing…"));
    EXPECT_EQ(unnamed.stepText, QStringLiteral("Preparing"));
    EXPECT_EQ(unnamed.percentText, QStringLiteral("13%"));
    EXPECT_TRUE(unnamed.cancelEnabled);

    const ProgressSheetModel cancelling =
        MigrationProgressPresenter::present(progress("Foo", "Cancelling", 1.7, false), true, {});
    EXPECT_EQ(cancelling.headline, QStringLiteral("Processing Foo…"));
    EXPECT_FALSE(cancelling.cancelEnabled);
    EXPECT_DOUBLE_EQ(cancelling.barFraction, 1.0);
}

RestoreProgressInput restore(QString step, double percent, bool complete,
                             std::optional<QString> error = std::nullopt,
                             QStringList preserved = {})
{
    return {std::move(step), percent, complete, std::move(error), std::move(preserved), false};
}

TEST(ProgressSheetPresenterTest, RestoreSheetChoosesItsFaceAndPreservedBlock)
{
    const QStringList one{"/Users/me/Library/Application Support/Foo.preserved-local-1"};
    const QString preservedOne =
        QStringLiteral("1 existing local support folder(s) were preserved for your inspection.");
    const struct
    {
        const char *name;
        RestoreProgressInput input;
        std::optional<TaskReport> report;
        State state;
        QString message;
        QString preserved;
    } cases[] = {
        // clang-format off
        {"running hides the block", restore("Restoring (1/2): Foo...", 0.5, false, {}, one),
         std::nullopt, State::inProgress, {}, {}},
        {"success shows the block", restore("Restored 1 application(s)!", 1, true, {}, one), ended(1),
         State::success, "Restored 1 application(s)!", preservedOne},
        {"complete wins over error", restore("Restored 2!", 1, true, "x"), std::nullopt,
         State::success, "Restored 2!", {}},
        {"failure with no folders", restore("Restoring", 0.5, false, "Copy failed"), std::nullopt,
         State::failure, "Copy failed", {}},
        {"failure keeps the block", restore("Restoring", 0.5, false, "Copy failed", one), std::nullopt,
         State::failure, "Copy failed", preservedOne},
        {"batch stopped at its first failure", restore("Restoring (2/3)", 0.33, false, "Copy failed"),
         ended(3, {}, "Copy failed"), State::failure, "Copy failed", {}},
        {"a failed application ends the batch", restore("Restoring (2/3)", 0.33, false, "Copy failed"),
         ended(3, {{"Bar", "Copy failed"}}), State::failure, "Copy failed", {}},
        {"nothing to restore", restore({}, 0, false), ended(0), State::failure, "Nothing to restore.", {}},
        {"running task", restore("Restored 1!", 1, true), running(), State::inProgress, {}, {}},
        // clang-format on
    };
    for (const auto &c : cases) {
        const ProgressSheetModel model = RestoreProgressPresenter::present(c.input, c.report);
        EXPECT_EQ(model.state, c.state) << c.name;
        EXPECT_EQ(model.preservedText, c.preserved) << c.name;
        if (!model.isRunningFace()) {
            EXPECT_EQ(model.message, c.message) << c.name;
        } else {
            EXPECT_EQ(model.headline, QStringLiteral("Restoring Application…")) << c.name;
        }
    }
    const ProgressSheetModel three = RestoreProgressPresenter::present(
        restore("Done", 1, true, {}, {"/a", "/b", "/c"}), std::nullopt);
    EXPECT_TRUE(three.preservedText.startsWith(QStringLiteral("3 existing local support "
                                                              "folder(s)")));
}

} // namespace
