#include "../PaintedTexts.h"
#include "services/LedgerService.h"
#include "support/Sandbox.h"
#include "support/Screenshot.h"
#include "support/Wait.h"
#include "transfer/OffloadEngine.h"
#include "transfer/RestoreEngine.h"
#include "views/sheets/MigrationProgressSheet.h"
#include "views/sheets/RestoreProgressSheet.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

namespace {

TaskReport report(bool isRunning, int attempted, QList<TaskFailure> failures = {})
{
    TaskReport result;
    result.isRunning = isRunning;
    result.attempted = attempted;
    result.failures = std::move(failures);
    return result;
}

QPushButton *buttonOf(QWidget &sheet, const char *name)
{
    return sheet.findChild<QPushButton *>(QString::fromLatin1(name));
}

QString labelOf(QWidget &sheet, const char *name)
{
    return sheet.findChild<QLabel *>(QString::fromLatin1(name))->text();
}

class ProgressSheetsWidgetTest : public ::testing::Test
{
protected:
    Sandbox sandbox;
    LedgerService ledger;
    int dismissed = 0;
};

TEST_F(ProgressSheetsWidgetTest, OffloadSheetCancelsAndStaysUpWhileTheTaskRuns)
{
    OffloadEngine engine;
    MigrationProgressSheet sheet(&engine, [this] { ++dismissed; });
    engine.setProgress({"Editor", "Copying 'Editor' to the drive...", 0.42, false, std::nullopt});
    sheet.setTaskReport(report(true, 1));
    sheet.show();
    EXPECT_FALSE(buttonOf(sheet, "doneButton")->isVisible());
    EXPECT_FALSE(buttonOf(sheet, "closeButton")->isVisible());
    drainEvents();
    saveScreenshot(&sheet, QStringLiteral("sheets/offload-progress-running"));

    QPushButton *cancel = buttonOf(sheet, "cancelButton");
    QTest::mouseClick(cancel, Qt::LeftButton);
    drainEvents();
    EXPECT_TRUE(engine.isCancelRequested());
    EXPECT_TRUE(cancel->isVisible());
    EXPECT_FALSE(cancel->isEnabled());
    EXPECT_EQ(cancel->text(), QStringLiteral("Cancel"));
    drainEvents();
    saveScreenshot(&sheet, QStringLiteral("sheets/offload-progress-cancelling"));

    // Neither Escape nor the close button ends a running task's sheet.
    QTest::keyClick(&sheet, Qt::Key_Escape);
    sheet.close();
    EXPECT_TRUE(sheet.isVisible());
    EXPECT_EQ(dismissed, 0);

    engine.setProgress({"Editor", "Copy backup complete!", 1.0, true, std::nullopt});
    sheet.setTaskReport(report(false, 1));
    EXPECT_FALSE(cancel->isVisible());
    EXPECT_EQ(labelOf(sheet, "messageLabel"),
              QStringLiteral("Editor was safely copied to the drive."));
    drainEvents();
    saveScreenshot(&sheet, QStringLiteral("sheets/offload-progress-copied"));
    QTest::mouseClick(buttonOf(sheet, "doneButton"), Qt::LeftButton);
    EXPECT_EQ(dismissed, 1);
    EXPECT_TRUE(engine.progress().isComplete); // Done changes nothing in the engine
    QTest::keyClick(&sheet, Qt::Key_Escape);
    EXPECT_EQ(dismissed, 2);
}

TEST_F(ProgressSheetsWidgetTest, OffloadSheetEndStates)
{
    OffloadEngine engine;
    MigrationProgressSheet sheet(&engine, [this] { ++dismissed; });
    sheet.show();

    engine.setProgress({"Viewer", "Verifying...", 0.6, false,
                        "The copy of 'Viewer' could not be verified: 1,204 files were expected "
                        "but 1,198 arrived on the drive. The local application was left as it "
                        "was."});
    sheet.setTaskReport(report(false, 3, {{"Viewer", "Could not be verified"}}));
    EXPECT_TRUE(sheet.findChild<QLabel *>(QStringLiteral("batchFailureLabel"))->isVisible());
    drainEvents();
    saveScreenshot(&sheet, QStringLiteral("sheets/offload-progress-partial-batch"));

    sheet.setTaskReport(report(false, 1));
    EXPECT_LE(sheet.width(), 450); // the long error wraps
    drainEvents();
    saveScreenshot(&sheet, QStringLiteral("sheets/offload-progress-failed"));

    // A success told with what it could not do: the whole text is painted inside the sheet.
    OffloadProgress noticed{"Viewer", "Migration complete!", 1.0, true, std::nullopt};
    noticed.notice = "Your Mac's ledger holds the record, but the drive's own ledger could not be "
                     "updated: The file '/Volumes/Backup/.korvanthelix_ledger.json' could not be "
                     "written: No space left on device.";
    engine.setProgress(noticed);
    sheet.setTaskReport(report(false, 1));
    drainEvents();
    auto *message = sheet.findChild<QLabel *>(QStringLiteral("messageLabel"));
    EXPECT_TRUE(message->text().endsWith(noticed.notice)) << message->text().toStdString();
    EXPECT_LE(sheet.width(), 450);
    EXPECT_GE(message->height(), message->heightForWidth(message->width()));
    EXPECT_TRUE(sheet.rect().contains(QRect(message->mapTo(&sheet, QPoint()), message->size())));
    EXPECT_TRUE(PaintedTexts::of(&sheet).join(QLatin1Char(' ')).contains(QStringLiteral("space")));
    saveScreenshot(&sheet, QStringLiteral("sheets/offload-progress-done-with-notice"));

    sheet.setTaskReport(report(false, 0));
    EXPECT_EQ(labelOf(sheet, "messageLabel"), QStringLiteral("Nothing to offload."));
    QTest::mouseClick(buttonOf(sheet, "closeButton"), Qt::LeftButton);
    EXPECT_EQ(dismissed, 1);
}

TEST_F(ProgressSheetsWidgetTest, RestoreSheetRevealsPreservedFoldersAtTheEnd)
{
    RestoreEngine engine(ledger);
    RestoreProgressSheet sheet(&engine, [this] { ++dismissed; });
    sheet.show();
    const QStringList preserved = {sandbox.userSupport() + "/Editor.preserved-local-1",
                                   sandbox.userSupport() + "/Editor Helper.preserved-local-2"};
    engine.setCurrentStep(QStringLiteral("Restoring (1/2): Editor..."));
    engine.setProgressPercent(0.5);
    engine.setPreservedBackupPaths(preserved);
    EXPECT_FALSE(buttonOf(sheet, "revealPreservedButton")->isVisible());
    drainEvents();
    saveScreenshot(&sheet, QStringLiteral("sheets/restore-progress-running"));

    // A copy left on the drive is named with its whole path, which must wrap, not widen.
    engine.setCurrentStep(QStringLiteral(
        "Successfully restored 2 application(s)! Its copy "
        "'/Volumes/Backup/Applications/Productivity/Writing/Editors/Markdown/Editor.app' was "
        "left on the drive: the folder '/Volumes/Backup/Applications/Productivity' is now a "
        "link."));
    engine.setIsComplete(true);
    EXPECT_LE(sheet.width(), 450);
    EXPECT_EQ(labelOf(sheet, "preservedLabel"),
              QStringLiteral("2 existing local support folder(s) were preserved for your "
                             "inspection."));
    drainEvents();
    saveScreenshot(&sheet, QStringLiteral("sheets/restore-progress-success"));
    QTest::mouseClick(buttonOf(sheet, "revealPreservedButton"), Qt::LeftButton);
    EXPECT_EQ(sandbox.system().fakeWorkspace().revealRequests(), QList<QStringList>{preserved});
    EXPECT_EQ(dismissed, 0);
    EXPECT_TRUE(sheet.isVisible());

    engine.setIsComplete(false);
    engine.setError(QStringLiteral("Could not copy 'Editor' back: the drive was disconnected."));
    EXPECT_EQ(labelOf(sheet, "titleLabel"), QStringLiteral("Restoration Failed"));
    EXPECT_TRUE(buttonOf(sheet, "revealPreservedButton")->isVisible());
    drainEvents();
    saveScreenshot(&sheet, QStringLiteral("sheets/restore-progress-failed"));
    QTest::mouseClick(buttonOf(sheet, "closeButton"), Qt::LeftButton);
    EXPECT_EQ(dismissed, 1);
}

} // namespace
