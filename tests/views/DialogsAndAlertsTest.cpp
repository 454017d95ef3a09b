#include "ContentModelFixture.h"

#include "transfer/StagingCleaner.h"
#include "views/main/CommandCenter.h"
#include "views/main/DialogsAndAlertsModifier.h"
#include "views/main/MainWindow.h"

#include <QPushButton>
#include <QTest>

namespace {

class DialogsAndAlertsTest : public ContentModelFixture
{
protected:
    DialogsAndAlertsTest()
        : window(std::make_unique<MainWindow>(model.get(), commands))
    {}
    ~DialogsAndAlertsTest() override
    {
        // The fixture keeps the model past the window.
        model->setParent(nullptr);
        window.reset();
    }

    QPushButton *button(QMessageBox *box, const char *name)
    {
        return box ? box->findChild<QPushButton *>(QString::fromLatin1(name)) : nullptr;
    }

    CommandCenter commands;
    std::unique_ptr<MainWindow> window;
};

TEST_F(DialogsAndAlertsTest, ConfirmationsRunTheirCleanupOnlyWhenConfirmed)
{
    model->setShowingCleanDuplicatesConfirm(true);
    QMessageBox *box = window->dialogs().cleanDuplicatesBox();
    ASSERT_TRUE(box);
    EXPECT_EQ(box->windowTitle(), QStringLiteral("Resolve Duplicate Aliases"));
    EXPECT_EQ(button(box, "cleanDuplicatesButton")->text(),
              QStringLiteral("Clean All 0 Duplicates"));
    QTest::mouseClick(button(box, "cancelButton"), Qt::LeftButton);
    EXPECT_FALSE(model->showingCleanDuplicatesConfirm());
    drainEvents();
    EXPECT_EQ(scans, 0);

    model->setShowingCleanDuplicatesConfirm(true);
    QTest::mouseClick(button(window->dialogs().cleanDuplicatesBox(), "cleanDuplicatesButton"),
                      Qt::LeftButton);
    EXPECT_FALSE(model->showingCleanDuplicatesConfirm());
    EXPECT_TRUE(waitUntil([this] { return scans == 1 && !model->appScanner().isScanning(); }));

    model->setShowingCleanStagingConfirm(true);
    box = window->dialogs().cleanStagingBox();
    ASSERT_TRUE(box);
    EXPECT_EQ(button(box, "cleanStagingButton")->text(), QStringLiteral("Clean Up Safe Items"));
    QTest::mouseClick(button(box, "cleanStagingButton"), Qt::LeftButton);
    EXPECT_FALSE(model->showingCleanStagingConfirm());
    EXPECT_TRUE(waitUntil([this] { return !model->stagingCleaner().isCleaning(); }));
}

TEST_F(DialogsAndAlertsTest, NoticeShowsTheLatestMessage)
{
    model->setShowAlert(true);
    QMessageBox *box = window->dialogs().noticeBox();
    ASSERT_TRUE(box);
    EXPECT_EQ(box->windowTitle(), QStringLiteral("Notice"));
    EXPECT_TRUE(box->text().isEmpty());
    model->setAlertMessage(QStringLiteral("100% done"));
    model->setShowAlert(true);
    EXPECT_EQ(window->dialogs().noticeBox(), box);
    EXPECT_EQ(box->text(), QStringLiteral("100% done"));
    QTest::mouseClick(button(box, "okButton"), Qt::LeftButton);
    EXPECT_FALSE(model->showAlert());
}

TEST_F(DialogsAndAlertsTest, ShowingTheWindowRunsTheFirstAppearance)
{
    window->show();
    EXPECT_TRUE(model->showingBackupWarningSheet());
    EXPECT_TRUE(waitUntil([this] { return scans == 1 && !model->appScanner().isScanning(); }));
    commands.post(CommandNames::openHelpGuide);
    EXPECT_TRUE(model->showingHelpSheet());
    EXPECT_GE(window->minimumSizeHint().width(), MainWindow::minimumContentSize.width());
}

} // namespace
