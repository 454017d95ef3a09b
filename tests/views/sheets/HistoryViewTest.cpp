#include "views/sheets/HistoryView.h"
#include "../PaintedTexts.h"
#include "services/AppLogger.h"
#include "services/FileLock.h"
#include "services/LedgerService.h"
#include "support/Sandbox.h"
#include "support/Screenshot.h"
#include "support/StandInDrive.h"
#include "support/StoppedHolder.h"
#include "support/TimerProbe.h"
#include "support/Wait.h"
#include "views/sheets/LogViewerSheet.h"

#include <QAction>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QStackedWidget>
#include <QTest>
#include <QtConcurrent>
#include <algorithm>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

class HistoryViewTest : public ::testing::Test
{
protected:
    HistoryViewTest()
    {
        MigrationRecord editor(QStringLiteral("2025-01-31T14:05:09Z"), QStringLiteral("Editor"),
                               QStringLiteral("com.acme.editor"), QStringLiteral("4.2"),
                               QStringLiteral("/Applications/Editor.app"),
                               QStringLiteral("/Volumes/Drive/Applications/Editor.app"), true,
                               QStringLiteral("active"),
                               {{"/s/Editor", "/d/Editor", "Editor", true}});
        MigrationRecord viewer(QStringLiteral("2025-02-01T08:00:00Z"), QStringLiteral("Viewer"),
                               std::nullopt, std::nullopt,
                               QStringLiteral("/Applications/Viewer.app"), std::nullopt, false,
                               QStringLiteral("restored"), {});
        MigrationRecord sample(QStringLiteral("2025-02-02T08:00:00Z"), QStringLiteral("SampleApp"),
                               std::nullopt, QStringLiteral("1.0"),
                               QStringLiteral("/private/var/folders/xy/T/SampleApp.app"),
                               std::nullopt, true, QStringLiteral("copied"), {});
        for (const MigrationRecord &record : {editor, viewer, sample})
            ledger.recordMigration(record);
    }

    QString countText(HistoryView &view)
    {
        return view.findChild<QLabel *>(QStringLiteral("countLabel"))->text();
    }
    QPushButton *button(QWidget *parent, const char *name)
    {
        return parent->findChild<QPushButton *>(QString::fromLatin1(name));
    }
    QMessageBox *dialog(HistoryView &view, const char *name)
    {
        return view.findChild<QMessageBox *>(QString::fromLatin1(name));
    }

    Sandbox sandbox;
    LedgerService ledger;
};

TEST_F(HistoryViewTest, FilterPurgeAndDelete)
{
    HistoryView view(&ledger);
    view.resize(720, 460);
    view.show();
    EXPECT_EQ(countText(view), QStringLiteral("2 recorded operation(s)"));
    QPushButton *purge = button(&view, "purgeTestsButton");
    drainEvents();
    saveScreenshot(&view, QStringLiteral("sheets/history"));

    QTest::mouseClick(button(&view, "allSegment"), Qt::LeftButton);
    EXPECT_EQ(countText(view), QStringLiteral("3 recorded operation(s)"));
    EXPECT_FALSE(view.hideTestRecords());

    QTest::mouseClick(purge, Qt::LeftButton);
    QMessageBox *confirm = dialog(view, "purgeConfirmDialog");
    ASSERT_NE(confirm, nullptr);
    EXPECT_TRUE(view.showingPurgeConfirm());
    EXPECT_EQ(button(confirm, "confirmButton")->text(), QStringLiteral("Purge 1 Test Records"));
    drainEvents();
    saveScreenshot(confirm, QStringLiteral("sheets/history-purge-confirm"));
    QTest::mouseClick(button(confirm, "confirmButton"), Qt::LeftButton);
    EXPECT_TRUE(waitUntil([&] { return !purge->isVisible(); }));
    EXPECT_EQ(ledger.records().size(), 2);
    EXPECT_FALSE(view.showingPurgeConfirm());

    QWidget *row =
        view.findChild<QWidget *>(QStringLiteral("historyRow:2025-02-01T08:00:00Z_Viewer"));
    ASSERT_NE(row, nullptr);
    row->findChild<QAction *>(QStringLiteral("deleteEntryAction"))->trigger();
    EXPECT_TRUE(
        waitUntil([&] { return countText(view) == QStringLiteral("1 recorded operation(s)"); }));
    EXPECT_EQ(ledger.records().size(), 1);
}

TEST_F(HistoryViewTest, MenuPurgesAtOnceAndClearAsksFirst)
{
    HistoryView view(&ledger);
    view.show();
    auto *purge = view.findChild<QAction *>(QStringLiteral("purgeMenuAction"));
    purge->trigger();
    EXPECT_EQ(dialog(view, "purgeConfirmDialog"), nullptr);
    EXPECT_TRUE(waitUntil([&] { return !purge->isEnabled(); }));
    EXPECT_EQ(ledger.records().size(), 2);

    view.findChild<QAction *>(QStringLiteral("clearHistoryAction"))->trigger();
    QMessageBox *confirm = dialog(view, "clearConfirmDialog");
    ASSERT_NE(confirm, nullptr);
    QTest::mouseClick(button(confirm, "cancelButton"), Qt::LeftButton);
    drainEvents();
    EXPECT_EQ(ledger.records().size(), 2);

    view.findChild<QAction *>(QStringLiteral("clearHistoryAction"))->trigger();
    QTest::mouseClick(button(dialog(view, "clearConfirmDialog"), "confirmButton"), Qt::LeftButton);
    auto *body = view.findChild<QStackedWidget *>();
    EXPECT_TRUE(waitUntil(
        [&] { return body->currentWidget()->objectName() == QStringLiteral("emptyState"); }));
    EXPECT_TRUE(ledger.records().isEmpty());
    EXPECT_EQ(body->currentWidget()->objectName(), QStringLiteral("emptyState"));
    EXPECT_EQ(countText(view), QStringLiteral("0 recorded operation(s)"));
    view.resize(720, 460);
    drainEvents();
    saveScreenshot(&view, QStringLiteral("sheets/history-empty"));
}

// A drive's own ledger, which the history never changes, keeps what it lists: the dialog says so
// before, and the window after, whichever removal it is.
TEST_F(HistoryViewTest, RemovalsSayWhatADriveKeeps)
{
    const QList<MigrationRecord> written = ledger.records();
    const auto entry = [&](const char *name) {
        return *std::find_if(written.cbegin(), written.cend(), [name](const MigrationRecord &r) {
            return r.appName == QLatin1String(name);
        });
    };
    const struct
    {
        const char *name;
        std::function<void(HistoryView &)> act;
        const char *dialog; // its object name; none for an action that does not ask
        const char *asked;  // what the dialog says stays
        const char *done;   // what the window says once it is done
        int listedAfter;
    } cases[] = {
        {"Delete Entry of an entry the drive lists",
         [](HistoryView &v) {
             v.findChild<QWidget *>(QStringLiteral("historyRow:2025-01-31T14:05:09Z_Editor"))
                 ->findChild<QAction *>(QStringLiteral("deleteEntryAction"))
                 ->trigger();
         },
         nullptr, nullptr, "The entry of 'Editor' stays: the drive 'Drive' keeps it.", 3},
        {"Delete Entry of an entry only the Mac lists",
         [](HistoryView &v) {
             v.findChild<QWidget *>(QStringLiteral("historyRow:2025-02-01T08:00:00Z_Viewer"))
                 ->findChild<QAction *>(QStringLiteral("deleteEntryAction"))
                 ->trigger();
         },
         nullptr, nullptr, "The entry of 'Viewer' was deleted.", 2},
        {"Purge Test Records from the menu",
         [](HistoryView &v) {
             v.findChild<QAction *>(QStringLiteral("purgeMenuAction"))->trigger();
         },
         nullptr, nullptr,
         "Test records purged: no entry removed. 1 entry stays: the drive 'Drive' keeps it.", 3},
        {"Purge Tests", [&](HistoryView &v) { button(&v, "purgeTestsButton")->click(); },
         "purgeConfirmDialog", "1 entry stays: the drive 'Drive' keeps it.",
         "Test records purged: no entry removed. 1 entry stays: the drive 'Drive' keeps it.", 3},
        {"Clear Entire History",
         [](HistoryView &v) {
             v.findChild<QAction *>(QStringLiteral("clearHistoryAction"))->trigger();
         },
         "clearConfirmDialog",
         "Are you sure you want to clear the migration history log on this Mac? This only clears "
         "the log file; your actual applications and aliases will remain untouched. 2 entries "
         "stay: the drive 'Drive' keeps them.",
         "History cleared: 1 entry removed. 2 entries stay: the drive 'Drive' keeps them.", 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QDir(sandbox.home() + QStringLiteral("/.config")).removeRecursively();
        for (const MigrationRecord &record : written)
            ledger.recordMigration(record);
        sandbox.writeFile(
            sandbox.drive() + QStringLiteral("/.korvanthelix_ledger.json"),
            QJsonDocument(MigrationRecord::listToJson({entry("Editor"), entry("SampleApp")}))
                .toJson());
        ledger.loadRecords();
        HistoryView view(&ledger);
        view.resize(720, 460);
        view.show();
        const auto painted = [](QWidget *widget) {
            return PaintedTexts::of(widget).join(QLatin1Char(' '));
        };
        c.act(view);
        if (c.dialog) {
            QMessageBox *confirm = dialog(view, c.dialog);
            ASSERT_NE(confirm, nullptr);
            drainEvents();
            EXPECT_TRUE(painted(confirm).contains(QString::fromUtf8(c.asked)))
                << painted(confirm).toStdString();
            saveScreenshot(confirm, QStringLiteral("sheets/history-kept-by-a-drive"));
            QTest::mouseClick(button(confirm, "confirmButton"), Qt::LeftButton);
        }
        EXPECT_TRUE(waitUntil([&] { return painted(&view).contains(QString::fromUtf8(c.done)); }))
            << painted(&view).toStdString();
        // The drive's entries are listed again, as its ledger is left as it is.
        EXPECT_EQ(ledger.records().size(), c.listedAfter);
        drainEvents();
        saveScreenshot(&view, QStringLiteral("sheets/history-after-a-removal"));
        // At the smallest the layout allows, what it says is still whole inside the sheet.
        view.resize(view.minimumSizeHint());
        drainEvents();
        const QLabel *outcome = view.findChild<QLabel *>(QStringLiteral("historyOutcomeLabel"));
        ASSERT_NE(outcome, nullptr);
        EXPECT_TRUE(view.rect().contains(QRect(outcome->mapTo(&view, QPoint()), outcome->size())));
        EXPECT_GE(outcome->height(), outcome->heightForWidth(outcome->width()));
    }
}

// Another program saving the history does not let go: no action holds the window up, and
// each says why it changed nothing.
TEST_F(HistoryViewTest, NoActionWaitsForAnotherWriter)
{
    ledger.setWriterWaitLimit(std::chrono::milliseconds(800));
    HistoryView view(&ledger);
    view.show();
    const int holder = ::open(
        QFile::encodeName(sandbox.home() + QStringLiteral("/.config/korvanthelix/ledgers.lock"))
            .constData(),
        O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    // Let go in the end, so that a window that waits shows how long.
    QFuture<void> letGo = QtConcurrent::run([holder] {
        QThread::sleep(8);
        ::close(holder);
    });
    const struct
    {
        const char *name;
        std::function<void()> act;
        const char *waiting; // shown while it waits
        const char *notDone; // told with the failure
    } actions[] = {
        {"Delete Entry",
         [&] {
             view.findChild<QWidget *>(QStringLiteral("historyRow:2025-02-01T08:00:00Z_Viewer"))
                 ->findChild<QAction *>(QStringLiteral("deleteEntryAction"))
                 ->trigger();
         },
         "Waiting to delete the entry of 'Viewer'…", "The entry of 'Viewer' was not deleted."},
        {"Purge Test Records",
         [&] { view.findChild<QAction *>(QStringLiteral("purgeMenuAction"))->trigger(); },
         "Waiting to purge the test records…", "No test record was removed."},
        {"Clear All History Records",
         [&] {
             view.findChild<QAction *>(QStringLiteral("clearHistoryAction"))->trigger();
             QTest::mouseClick(button(dialog(view, "clearConfirmDialog"), "confirmButton"),
                               Qt::LeftButton);
         },
         "Waiting to clear the migration history…", "The history was not cleared."},
    };
    const auto painted = [&] { return PaintedTexts::of(&view).join(QLatin1Char(' ')); };
    for (const auto &action : actions) {
        SCOPED_TRACE(action.name);
        QElapsedTimer clock;
        clock.start();
        action.act();
        EXPECT_LT(clock.elapsed(), 300);
        // A moment later the window shows that the action waits, and then why it did nothing.
        EXPECT_TRUE(
            waitUntil([&] { return painted().contains(QString::fromUtf8(action.waiting)); }, 700))
            << painted().toStdString();
        QMessageBox *alert = nullptr;
        EXPECT_TRUE(waitUntil([&] {
            alert = view.findChild<QMessageBox *>(QStringLiteral("historyFailedAlert"));
            return alert && alert->isVisible();
        }));
        EXPECT_FALSE(painted().contains(QString::fromUtf8(action.waiting)));
        if (alert) {
            EXPECT_EQ(alert->text(), QString::fromUtf8(action.notDone) + QLatin1Char(' ') +
                                         FileLock::busyMessage());
            alert->close();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
        EXPECT_EQ(ledger.records().size(), 3);
    }
    EXPECT_TRUE(waitFor(letGo, 10000));
}

// Closing the view while an action waits for a writer that stopped, or for a drive that stopped
// answering, abandons the action: the window's thread goes on at once.
TEST_F(HistoryViewTest, ClosingWithAnActionPendingNeverWaits)
{
    ledger.setWriterWaitLimit(std::chrono::milliseconds(2500));
#ifdef KORVANTHELIX_STAND_IN_DRIVE
    const QString hungDrive = sandbox.volumesRoot() + QStringLiteral("/Hung");
    StandInDrive drive(QStringLiteral(KORVANTHELIX_STAND_IN_DRIVE),
                       sandbox.path(QStringLiteral("hung")), hungDrive, StandInDrive::Kind::hangs);
#endif
    std::unique_ptr<StoppedHolder> holder;
    const struct
    {
        const char *name;
        std::function<bool()> arrange; // false: cannot be arranged here
        std::function<void()> release;
    } cases[] = {
        {"AWriterThatStopped",
         [&] {
             holder = std::make_unique<StoppedHolder>(
                 sandbox.home() + QStringLiteral("/.config/korvanthelix/ledgers.lock"));
             return holder->holding();
         },
         [&] { holder->release(); }},
#ifdef KORVANTHELIX_STAND_IN_DRIVE
        {"ADriveThatStoppedAnswering",
         [&] {
             if (!drive.ready())
                 return false;
             // A record on it, which the refusals judge, and its ledger, which a reload reads.
             MigrationRecord onIt = ledger.records().first();
             onIt.appTargetPath = hungDrive + QStringLiteral("/Applications/Editor.app");
             Sandbox::writeFile(hungDrive + QStringLiteral("/.korvanthelix_ledger.json"),
                                QJsonDocument(MigrationRecord::listToJson({onIt})).toJson());
             ledger.loadRecords();
             drive.hang();
             return true;
         },
         [&] { drive.answer(); }},
#endif
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.arrange())
            continue;
        // Should the window wait after all, the drive answers again in the end.
        QFuture<void> watchdog = QtConcurrent::run([&c] {
            QThread::msleep(1500);
            c.release();
        });
        auto *view = new HistoryView(&ledger);
        view->show();
        // A record on a drive in a temporary folder counts as a test record.
        QTest::mouseClick(button(view, "allSegment"), Qt::LeftButton);
        drainEvents();
        QAction *remove = view->findChild<QAction *>(QStringLiteral("deleteEntryAction"));
        ASSERT_NE(remove, nullptr);
        remove->trigger();
        QTest::mouseClick(button(view, "refreshButton"), Qt::LeftButton);
        QThread::msleep(100);
        const TimerProbe probe;
        delete view;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 300)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        EXPECT_LT(probe.longestGapMs(), 100);
        c.release();
        EXPECT_TRUE(waitFor(watchdog, 10000));
        // What was abandoned ends once let go, before the sandbox goes.
        QThread::msleep(300);
    }
}

TEST_F(HistoryViewTest, LogViewerFromTheToolbar)
{
    AppLogger &logger = AppLogger::shared(); // follows the sandbox's home
    const QString logPath = logger.logFileURL().toLocalFile();
    QByteArray lines;
    for (int i = 1; i <= 40; ++i)
        lines += "2025-01-31T14:05:09.123Z [INFO] [Offload] Copied item " + QByteArray::number(i) +
                 " of 40 to the drive\n";
    sandbox.writeFile(logPath, lines);
    HistoryView view(&ledger);
    view.show();
    QTest::mouseClick(button(&view, "viewLogsButton"), Qt::LeftButton);
    auto *sheet = view.findChild<LogViewerSheet *>();
    ASSERT_NE(sheet, nullptr);
    EXPECT_TRUE(view.showingLogViewer());
    auto *area = sheet->findChild<QPlainTextEdit *>(QStringLiteral("logText"));
    EXPECT_EQ(area->toPlainText(), QString::fromUtf8(lines));
    drainEvents();
    saveScreenshot(sheet, QStringLiteral("sheets/log-viewer"));

    QTest::mouseClick(button(sheet, "revealLogButton"), Qt::LeftButton);
    EXPECT_EQ(sandbox.system().fakeWorkspace().revealRequests(),
              QList<QStringList>{QStringList{logPath}});
    QTest::mouseClick(button(sheet, "clearLogButton"), Qt::LeftButton);
    EXPECT_EQ(area->toPlainText(), QStringLiteral("No log entries recorded yet."));
    logger.info(QStringLiteral("fresh line"), QStringLiteral("Test"));
    QTest::mouseClick(button(sheet, "refreshLogButton"), Qt::LeftButton);
    EXPECT_TRUE(area->toPlainText().contains(QStringLiteral("fresh line")));

    const QPointer<LogViewerSheet> closed(sheet);
    QTest::mouseClick(button(sheet, "closeLogButton"), Qt::LeftButton);
    EXPECT_FALSE(view.showingLogViewer());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(closed.isNull());
}

// Records are data: the history lists every one, and marks those that operations refuse.
TEST(HistoryViewRefusals, MarksRecordsThatOperationsRefuse)
{
    Sandbox sandbox;
    LedgerService ledger;
    const QString ssh = sandbox.home() + QStringLiteral("/.ssh");
    const auto record = [&](const QString &name, const QString &supportSource) {
        return MigrationRecord(
            QStringLiteral("2025-03-01T09:30:00Z"), name, std::nullopt, std::nullopt,
            sandbox.applications() + QLatin1Char('/') + name + QStringLiteral(".app"),
            sandbox.drive() + QStringLiteral("/Applications/") + name + QStringLiteral(".app"),
            true, QStringLiteral("active"),
            {{supportSource, sandbox.drive() + QStringLiteral("/Application Support/") + name, name,
              true}});
    };
    ledger.recordMigration(
        record(QStringLiteral("Editor"), sandbox.userSupport() + QStringLiteral("/Editor")));
    ledger.recordMigration(record(QStringLiteral("Viewer"), ssh));

    HistoryView view(&ledger);
    view.resize(720, 460);
    view.show();
    // The sandbox lies in a temporary folder, which the history counts as a test.
    QTest::mouseClick(view.findChild<QPushButton *>(QStringLiteral("allSegment")), Qt::LeftButton);
    EXPECT_EQ(view.findChild<QLabel *>(QStringLiteral("countLabel"))->text(),
              QStringLiteral("2 recorded operation(s)"));
    // Rows are rebuilt once the records have been judged, so they are looked up afresh.
    const auto mark = [&view](const char *name) -> QLabel * {
        auto *row = view.findChild<QWidget *>(QStringLiteral("historyRow:2025-03-01T09:30:00Z_") +
                                              QLatin1String(name));
        return row ? row->findChild<QLabel *>(QStringLiteral("refusedLabel")) : nullptr;
    };
    ASSERT_TRUE(waitUntil([&] { return mark("Viewer") != nullptr; }));
    EXPECT_TRUE(mark("Viewer")->text().startsWith(
        QStringLiteral("Operations refuse this record: the support folder '") + ssh +
        QLatin1Char('\'')))
        << mark("Viewer")->text().toStdString();
    EXPECT_NE(view.findChild<QWidget *>(QStringLiteral("historyRow:2025-03-01T09:30:00Z_Editor")),
              nullptr);
    EXPECT_EQ(mark("Editor"), nullptr);
    drainEvents();
    saveScreenshot(&view, QStringLiteral("sheets/history-refused"));
}

} // namespace
