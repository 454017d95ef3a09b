#include "services/AppScanner.h"
#include "services/LedgerService.h"
#include "support/BundleBuilder.h"
#include "support/Sandbox.h"
#include "support/Screenshot.h"
#include "support/Wait.h"
#include "views/sheets/DuplicateInstancesSheet.h"
#include "views/sheets/HelpGuideView.h"

#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <gtest/gtest.h>

namespace {

QPushButton *buttonIn(QWidget *parent, const char *name)
{
    return parent ? parent->findChild<QPushButton *>(QString::fromLatin1(name)) : nullptr;
}

class DuplicateInstancesSheetTest : public ::testing::Test
{
protected:
    DuplicateInstancesSheetTest()
    {
        const QString offloaded =
            BundleBuilder(sandbox.drive() + "/Applications/Tool.app").version("2.0").build();
        sandbox.makeSymlink(sandbox.applications() + "/Tool [Drive].app", offloaded);
        idle = BundleBuilder(sandbox.applications() + "/Sub/Tool.app")
                   .version("1.9")
                   .executableSize(40000)
                   .build();
        running = BundleBuilder(sandbox.applications() + "/Old/Tool.app").build();
        sandbox.system().fakeWorkspace().setRunningApplicationBundles({running});
    }
    QWidget *row(DuplicateInstancesSheet &sheet, const QString &path)
    {
        // Rows of an earlier list go at the next turn of the event loop.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return sheet.findChild<QWidget *>(QStringLiteral("duplicateRow:") + path);
    }
    QString message(DuplicateInstancesSheet &sheet)
    {
        return sheet.findChild<QLabel *>(QStringLiteral("statusMessage"))->text();
    }

    Sandbox sandbox;
    LedgerService ledger;
    AppScanner scanner{ledger};
    QString idle;
    QString running;
    int dismissed = 0;
};

TEST_F(DuplicateInstancesSheetTest, TrashOneThenAllAndReportTheOutcome)
{
    ASSERT_TRUE(waitFor(scanner.scanAsync()));
    ASSERT_EQ(scanner.duplicateLocalInstances().size(), 2);
    DuplicateInstancesSheet sheet(&scanner, [this] { ++dismissed; });
    sheet.show();
    ASSERT_NE(row(sheet, idle), nullptr);
    ASSERT_NE(row(sheet, running), nullptr);
    EXPECT_FALSE(buttonIn(row(sheet, running), "moveToTrashButton")->isEnabled());
    EXPECT_NE(row(sheet, running)->findChild<QLabel *>(QStringLiteral("runningWarning")), nullptr);
    EXPECT_FALSE(sheet.findChild<QLabel *>(QStringLiteral("statusMessage"))->isVisible());
    drainEvents();
    saveScreenshot(&sheet, QStringLiteral("sheets/redundant-copies"));

    QTest::mouseClick(buttonIn(row(sheet, idle), "revealButton"), Qt::LeftButton);
    EXPECT_EQ(sandbox.system().fakeWorkspace().revealRequests(),
              QList<QStringList>{QStringList{idle}});

    QTest::mouseClick(buttonIn(row(sheet, idle), "moveToTrashButton"), Qt::LeftButton);
    EXPECT_TRUE(sheet.isWorking());
    EXPECT_FALSE(buttonIn(&sheet, "moveAllToTrashButton")->isEnabled());
    ASSERT_TRUE(waitUntil([&] { return !sheet.isWorking(); }));
    EXPECT_EQ(message(sheet), QStringLiteral("Moved 1 redundant local copy(s) to Trash."));
    EXPECT_EQ(row(sheet, idle), nullptr);

    // "Move All" passes the running copy too; the scanner refuses it.
    QTest::mouseClick(buttonIn(&sheet, "moveAllToTrashButton"), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return !sheet.isWorking(); }));
    EXPECT_EQ(message(sheet), QStringLiteral("Moved 0 item(s) to Trash. Errors:\nTool is currently "
                                             "running; quit it before moving to Trash."));
    drainEvents();
    saveScreenshot(&sheet, QStringLiteral("sheets/redundant-copies-message"));

    sandbox.system().fakeWorkspace().setRunningApplicationBundles({});
    ASSERT_TRUE(waitFor(scanner.scanAsync()));
    QTest::mouseClick(buttonIn(&sheet, "moveAllToTrashButton"), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return !sheet.isWorking(); }));
    EXPECT_FALSE(buttonIn(&sheet, "moveAllToTrashButton")->isEnabled());
    EXPECT_TRUE(sheet.findChild<QLabel *>(QStringLiteral("totalLabel"))->text().isEmpty());
    drainEvents();
    saveScreenshot(&sheet, QStringLiteral("sheets/redundant-copies-empty"));

    QTest::mouseClick(buttonIn(&sheet, "closeButton"), Qt::LeftButton);
    EXPECT_EQ(dismissed, 1);
}

TEST(HelpGuideViewTest, FixedHeaderAboveAScrollingBody)
{
    int dismissed = 0;
    HelpGuideView guide([&] { ++dismissed; });
    guide.show();
    EXPECT_EQ(guide.size(), QSize(580, 600));
    EXPECT_EQ(guide.findChildren<QWidget *>(QStringLiteral("statusCard")).size(), 6);
    EXPECT_EQ(guide.findChildren<QWidget *>(QStringLiteral("featureRow")).size(), 9);
    const QList<QLabel *> caps = guide.findChildren<QLabel *>(QStringLiteral("keyCap"));
    ASSERT_EQ(caps.size(), 10);
    EXPECT_EQ(caps[8]->text(), QStringLiteral("\u2303 \u2318 S"));
    drainEvents();
    saveScreenshot(&guide, QStringLiteral("sheets/help-guide-top"));

    auto *scroll = guide.findChild<QScrollArea *>();
    QPushButton *done = buttonIn(&guide, "doneButton");
    EXPECT_FALSE(scroll->isAncestorOf(done));
    scroll->verticalScrollBar()->setValue(scroll->verticalScrollBar()->maximum());
    EXPECT_GT(scroll->verticalScrollBar()->maximum(), 0);
    drainEvents();
    saveScreenshot(&guide, QStringLiteral("sheets/help-guide-bottom"));

    QTest::mouseClick(done, Qt::LeftButton);
    EXPECT_EQ(dismissed, 1);
}

} // namespace
