#include "app/MenuCommands.h"
#include "base/Subprocess.h"
#include "e2e/SandboxChecks.h"
#include "e2e/WindowDriver.h"
#include "model/AppItem.h"
#include "platform/linux/ToolLookup.h"
#include "services/AppScanner.h"
#include "services/LedgerService.h"
#include "support/TreeDigest.h"
#include "support/Wait.h"
#include "transfer/IntegrityVerifier.h"
#include "views/QStringPrinter.h"
#include "views/inspectors/AppDetailView.h"
#include "views/main/AppListView.h"
#include "views/main/CommandCenter.h"
#include "views/main/ContentModel.h"
#include "views/main/ContentView.h"
#include "views/main/MainWindow.h"
#include "views/main/SidebarManager.h"
#include "views/main/VolumeToolbarView.h"
#include "volumes/VolumeManager.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QProcessEnvironment>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>
#include <unistd.h>

// The whole program, end to end: the complete main window with its real services and the
// real Linux backend, in the demo sandbox (scripts/demo-env: its own /Applications, home and
// a loop-mounted ext4 drive in a private mount namespace), on a virtual X server, worked with
// clicks. Nothing is faked. The test runs itself again inside the sandbox; outside it only
// starts that run and checks that nothing of it is left behind.

namespace {

using namespace WindowDriver;

const char *const sandboxVariable = "KORVANTHELIX_DEMO_SANDBOX";
const QString testName = QStringLiteral("EndToEndTest.OffloadRestoreAndEjectThroughTheWindow");

// Seeded by tools/demo_seed.cpp: an application with a support folder in each of the two
// Application Support folders, both named after it.
const QString appName = QStringLiteral("Atlas Maps");
const QString appPath = QStringLiteral("/Applications/Atlas Maps.app");
const QString driveName = QStringLiteral("DemoDrive");
const QString drivePath = QStringLiteral("/Volumes/DemoDrive");
const QString driveCopyPath = drivePath + QStringLiteral("/Applications/Atlas Maps.app");

constexpr int scanTimeoutMs = 60'000;
constexpr int transferTimeoutMs = 120'000;

QString userSupportFolder()
{
    return QDir::homePath() + QStringLiteral("/Library/Application Support/") + appName;
}

QString systemSupportFolder()
{
    return QStringLiteral("/Library/Application Support/") + appName;
}

QString homeLedger()
{
    return QDir::homePath() + QStringLiteral("/.config/korvanthelix/migration_ledger.json");
}

QString driveLedger()
{
    return drivePath + QLatin1Char('/') + LedgerService::driveLedgerFileName();
}

std::string text(const QString &value)
{
    return value.toStdString();
}

std::optional<AppItem> inventoryItem(const ContentModel &model, const QString &path)
{
    const QList<AppItem> apps = model.appScanner().apps();
    for (const AppItem &app : apps) {
        if (app.id() == path)
            return app;
    }
    return std::nullopt;
}

// No scan runs, and the window's list shows the application with `status`.
bool shows(const MainWindow &window, AppOffloadStatus status)
{
    const auto *refresh =
        window.findChild<RefreshToolbarButton *>(QStringLiteral("refreshToolbarButton"));
    const auto *list = window.findChild<AppListView *>(QStringLiteral("appList"));
    if (window.model().appScanner().isScanning() || !refresh || refresh->isScanning() || !list ||
        !list->isVisible())
        return false;
    const QList<AppItem> &rows = list->appModel()->apps();
    for (const AppItem &row : rows) {
        if (row.id() == appPath)
            return row.size > 0 && row.status() == status;
    }
    return false;
}

QStringList selectedFolders(const ContentModel &model)
{
    QStringList paths;
    const std::optional<AppItem> item = inventoryItem(model, appPath);
    for (const SupportFolder &folder : item ? item->supportFolders : QList<SupportFolder>()) {
        if (folder.isSelected)
            paths.append(folder.id());
    }
    return paths;
}

QString ledgerStatus(const QString &ledger)
{
    const std::optional<MigrationRecord> record = SandboxChecks::lastLedgerRecord(ledger, appPath);
    return record ? record->status : QStringLiteral("(no record in %1)").arg(ledger);
}

// Copies a tree with everything it holds, for comparisons after the original is gone.
bool copyTree(const QString &source, const QString &destination)
{
    return Subprocess::run(ToolLookup::systemTool(QStringLiteral("cp")),
                           {QStringLiteral("-a"), QStringLiteral("-T"), QStringLiteral("--"),
                            source, destination})
        .succeeded();
}

// The window, as KorvanthelixApp opens it, torn down at the end of the run.
struct OpenWindow
{
    QPointer<MainWindow> window;

    OpenWindow()
        : window(new MainWindow(CommandCenter::shared()))
    {
        MenuCommands::install(window->menuBar(), CommandCenter::shared(), SidebarManager::shared(),
                              [] {});
        window->move(0, 0);
        window->resize(1280, 800);
        window->show();
    }
    ~OpenWindow()
    {
        delete window.data();
        drainEvents();
    }
    OpenWindow(const OpenWindow &) = delete;
    OpenWindow &operator=(const OpenWindow &) = delete;
};

// The digests of what the offload moves and of what it must leave alone.
struct Originals
{
    TreeDigest bundle;
    TreeDigest userFolder;
    TreeDigest systemFolder;
};

// How the tree at `path` differs from `expected`; empty when it is the same.
std::string differenceFrom(const TreeDigest &expected, const QString &path)
{
    return text(describeDifference(expected, digestTree(path)));
}

void checkOffloadedOnDisk(const Originals &originals, const QString &referenceCopy)
{
    // The drive holds a verified, faithful copy of the bundle.
    EXPECT_EQ(differenceFrom(originals.bundle, driveCopyPath), "");
    const Verdict verdict = IntegrityVerifier::verifyDirectoryIntegrity(
        QUrl::fromLocalFile(referenceCopy), QUrl::fromLocalFile(driveCopyPath));
    EXPECT_TRUE(verdict.ok) << text(verdict.reason.value_or(QString()));

    // A launcher bundle stands at the old place.
    const AppItem standIn{.url = QUrl::fromLocalFile(appPath), .name = appName};
    EXPECT_FALSE(QFileInfo(appPath).isSymLink());
    EXPECT_TRUE(standIn.isProxyBundle()) << "no proxy bundle at " << text(appPath);

    // Both ledgers know the move; the selected support folder went along and is now a link
    // to its faithful copy, the other one stayed as it was.
    const std::optional<MigrationRecord> home =
        SandboxChecks::lastLedgerRecord(homeLedger(), appPath);
    const std::optional<MigrationRecord> drive =
        SandboxChecks::lastLedgerRecord(driveLedger(), appPath);
    ASSERT_TRUE(home) << "no record in " << text(homeLedger());
    ASSERT_TRUE(drive) << "no record in " << text(driveLedger());
    EXPECT_EQ(home->status, MigrationStatus::active());
    EXPECT_EQ(drive->status, MigrationStatus::active());
    EXPECT_TRUE(home->movedApp);
    EXPECT_EQ(home->appTargetPath, driveCopyPath);
    ASSERT_EQ(home->supportFolders.size(), 1);
    const SupportFolderRecord &folder = home->supportFolders.first();
    EXPECT_EQ(folder.source, userSupportFolder());
    EXPECT_TRUE(folder.symlinkCreated);
    const QFileInfo link(userSupportFolder());
    EXPECT_TRUE(link.isSymLink()) << text(userSupportFolder()) << " is no link";
    EXPECT_EQ(link.symLinkTarget(), folder.target);
    EXPECT_TRUE(folder.target.startsWith(drivePath + QLatin1Char('/'))) << text(folder.target);
    EXPECT_EQ(differenceFrom(originals.userFolder, folder.target), "");
    EXPECT_EQ(differenceFrom(originals.systemFolder, systemSupportFolder()), "");
}

void checkRestoredOnDisk(const Originals &originals)
{
    EXPECT_EQ(differenceFrom(originals.bundle, appPath), "");
    EXPECT_EQ(differenceFrom(originals.userFolder, userSupportFolder()), "");
    EXPECT_EQ(differenceFrom(originals.systemFolder, systemSupportFolder()), "");
    EXPECT_EQ(ledgerStatus(homeLedger()), MigrationStatus::restored());
    EXPECT_EQ(ledgerStatus(driveLedger()), MigrationStatus::restored());
}

// How a progress sheet ended: its Done button (Close after a failure), which goes with the
// sheet once clicked, and what the sheet says.
struct SheetEnd
{
    QPointer<QPushButton> button;
    bool succeeded = false;
    QString message;
};

SheetEnd waitForSheetEnd(const QString &name)
{
    SheetEnd end;
    const QPointer<QWidget> sheet = waitForVisible(name, 10000);
    (void)waitUntil(
        [&] {
            for (const QString &button :
                 {QStringLiteral("doneButton"), QStringLiteral("closeButton")}) {
                auto *found = sheet ? sheet->findChild<QPushButton *>(button) : nullptr;
                if (found && found->isVisible()) {
                    end.button = found;
                    end.succeeded = button == QLatin1String("doneButton");
                    return true;
                }
            }
            return false;
        },
        transferTimeoutMs);
    for (const QString &label : {QStringLiteral("titleLabel"), QStringLiteral("messageLabel"),
                                 QStringLiteral("batchFailureLabel")}) {
        const auto *shown = sheet ? sheet->findChild<QLabel *>(label) : nullptr;
        if (shown && shown->isVisible())
            end.message += shown->text() + QLatin1Char('\n');
    }
    return end;
}

// The texts of the alerts that are open, to explain a step that did not happen.
std::string openAlerts()
{
    QString texts;
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (const QWidget *window : windows) {
        if (const auto *box = qobject_cast<const QMessageBox *>(window); box && box->isVisible())
            texts += QStringLiteral("\nalert: ") + box->text();
    }
    return text(texts);
}

AppDetailView *detailPane()
{
    return waitForVisible<AppDetailView>(QStringLiteral("appDetailView"));
}

QPushButton *mainAction(const QString &expectedText)
{
    QPushButton *button = nullptr;
    (void)waitUntil([&] {
        AppDetailView *pane = waitForVisible<AppDetailView>(QStringLiteral("appDetailView"), 0);
        button =
            pane ? pane->findChild<QPushButton *>(QStringLiteral("mainActionButton")) : nullptr;
        return button && button->isVisible() && button->isEnabled() &&
               button->text().contains(expectedText);
    });
    return button;
}

// The run itself, inside the sandbox.
void driveTheWindow()
{
    ASSERT_TRUE(QFileInfo(appPath).isDir()) << "not in the demo sandbox";
    ASSERT_TRUE(SandboxChecks::isMounted(drivePath));
    const Originals originals{digestTree(appPath), digestTree(userSupportFolder()),
                              digestTree(systemSupportFolder())};
    // A copy of the bundle on the sandbox's own disk, to verify the drive's copy against
    // once the original has left.
    const QString referenceCopy = QDir::homePath() + QStringLiteral("/.e2e-reference.app");
    ASSERT_TRUE(copyTree(appPath, referenceCopy));

    OpenWindow open;
    MainWindow *window = open.window;
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    ContentModel &model = window->model();

    // First launch: the safety reminders, then the first scan.
    ASSERT_TRUE(click(waitForVisible<QPushButton>(QStringLiteral("acknowledgeButton"))));
    ASSERT_TRUE(waitUntil([&] { return shows(*window, AppOffloadStatus::local); }, scanTimeoutMs));
    saveStep(window, QStringLiteral("01-inventory"));

    // The demo drive, chosen in the toolbar's drive menu.
    auto *toolbar = waitForVisible<VolumeToolbarView>(QStringLiteral("volumeToolbar"));
    ASSERT_TRUE(toolbar);
    ASSERT_TRUE(waitUntil([&] { return !model.volumeManager().availableVolumes().isEmpty(); }));
    ASSERT_TRUE(chooseFromMenu(
        toolbar,
        [](const QAction *action) {
            return action->objectName() == QLatin1String("volumeRow") &&
                   action->text().startsWith(driveName + QStringLiteral(" ("));
        },
        QStringLiteral("02-drive-menu")));
    ASSERT_TRUE(waitUntil([&] {
        const std::optional<TargetVolume> target = model.volumeManager().selectedVolume();
        return target && target->url.toLocalFile() == drivePath &&
               toolbar->labelModel().title.startsWith(driveName);
    }));
    saveStep(window, QStringLiteral("03-drive-selected"));

    // A rescan rebuilds every item with its default folder choice, so the choice below is
    // made only once the drive change has been rescanned and nothing else is pending.
    const auto quiet = [&] {
        return !model.appScanner().isScanning() &&
               model.volumeRescanTaskState() != ContentModel::RescanTaskState::pending;
    };
    ASSERT_TRUE(waitUntil(quiet, scanTimeoutMs));
    QTest::qWait(1500);
    ASSERT_TRUE(waitUntil(quiet, scanTimeoutMs));

    // The application, selected in the list; of its two support folders, which would land at
    // one place on the drive, only the user's goes along.
    auto *list = waitForVisible<AppListView>(QStringLiteral("appList"));
    ASSERT_TRUE(list);
    ASSERT_TRUE(clickRow(list, AppListModel::PathRole, appPath));
    ASSERT_TRUE(waitUntil([&] { return model.selectedAppIds() == QSet<QString>{appPath}; }));
    AppDetailView *pane = detailPane();
    ASSERT_TRUE(pane);
    const QList<QCheckBox *> toggles =
        pane->findChildren<QCheckBox *>(QStringLiteral("supportFolderToggle"));
    ASSERT_EQ(toggles.size(), 2);
    for (QCheckBox *toggle : toggles) {
        if (toggle->property("folderPath").toString() == systemSupportFolder() &&
            toggle->isChecked()) {
            ASSERT_TRUE(click(toggle));
        }
    }
    ASSERT_TRUE(waitUntil([&] {
        return selectedFolders(model) == QStringList{userSupportFolder()};
    })) << "the user's support folder alone should be selected";
    saveStep(window, QStringLiteral("04-app-selected"));

    // Offload with the detail pane's main button.
    ASSERT_TRUE(click(mainAction(QStringLiteral("Offload"))));
    const SheetEnd offloaded = waitForSheetEnd(QStringLiteral("migrationProgressSheet"));
    ASSERT_TRUE(offloaded.succeeded) << text(offloaded.message) << openAlerts();
    // The window rescans after a transfer; the picture shows the result.
    EXPECT_TRUE(waitUntil([&] { return shows(*window, AppOffloadStatus::proxy); }, scanTimeoutMs));
    saveStep(window, QStringLiteral("05-offloaded"));
    EXPECT_FALSE(model.offloadTaskReport().isRunning);
    EXPECT_TRUE(model.offloadTaskReport().failures.isEmpty())
        << text(model.offloadTaskReport().failures.value(0).message);
    checkOffloadedOnDisk(originals, referenceCopy);
    if (::testing::Test::HasFatalFailure())
        return;
    ASSERT_TRUE(click(offloaded.button));
    ASSERT_TRUE(waitUntil([&] { return !offloaded.button || !offloaded.button->isVisible(); }));
    ASSERT_TRUE(waitUntil([&] { return shows(*window, AppOffloadStatus::proxy); }, scanTimeoutMs));

    // Restore with the same button, which now brings the application back.
    ASSERT_TRUE(click(mainAction(QStringLiteral("Restore"))));
    const SheetEnd restored = waitForSheetEnd(QStringLiteral("restoreProgressSheet"));
    ASSERT_TRUE(restored.succeeded) << text(restored.message) << openAlerts();
    EXPECT_TRUE(waitUntil([&] { return shows(*window, AppOffloadStatus::local); }, scanTimeoutMs));
    saveStep(window, QStringLiteral("06-restored"));
    EXPECT_FALSE(model.restoreTaskReport().error.has_value())
        << text(model.restoreTaskReport().error.value_or(QString()));
    checkRestoredOnDisk(originals);
    ASSERT_TRUE(click(restored.button));
    ASSERT_TRUE(waitUntil([&] { return !restored.button || !restored.button->isVisible(); }));
    ASSERT_TRUE(waitUntil([&] { return shows(*window, AppOffloadStatus::local); }, scanTimeoutMs));

    // Safe eject from the toolbar's drive menu.
    bool ejectEnded = false;
    QObject::connect(toolbar, &VolumeToolbarView::ejectFinished, toolbar,
                     [&] { ejectEnded = true; });
    ASSERT_TRUE(chooseFromMenu(toolbar, [](const QAction *action) {
        return action->objectName() == QLatin1String("ejectAction");
    }));
    ASSERT_TRUE(waitUntil([&] { return ejectEnded; }, transferTimeoutMs));
    EXPECT_FALSE(toolbar->ejectAlert()) << text(toolbar->ejectAlertMessage().value_or(QString()));
    EXPECT_FALSE(SandboxChecks::isMounted(drivePath));
    EXPECT_TRUE(waitUntil([&] {
        return model.volumeManager().availableVolumes().isEmpty() &&
               !toolbar->labelModel().hasTarget;
    }));
    saveStep(window, QStringLiteral("07-ejected"));
}

QString tool(const char *name)
{
    return ToolLookup::systemTool(QString::fromLatin1(name));
}

// Whether scripts/demo-env can make its private mount namespace here.
bool canMakeSandbox()
{
    const QString unshare = tool("unshare");
    if (unshare.isEmpty())
        return false;
    const QStringList arguments =
        ::geteuid() == 0 ? QStringList{QStringLiteral("--mount"), QStringLiteral("true")}
                         : QStringList{QStringLiteral("--user"), QStringLiteral("--map-root-user"),
                                       QStringLiteral("--mount"), QStringLiteral("true")};
    return Subprocess::run(unshare, arguments).succeeded();
}

TEST(EndToEndTest, OffloadRestoreAndEjectThroughTheWindow)
{
    if (qEnvironmentVariableIsSet(sandboxVariable)) {
        driveTheWindow();
        return;
    }
    if (tool("xvfb-run").isEmpty() || tool("xauth").isEmpty())
        GTEST_SKIP() << "needs a virtual X server: xvfb-run and xauth (packages xvfb, xauth)";
    if (!canMakeSandbox())
        GTEST_SKIP() << "the demo sandbox needs root or user namespaces";
    const QString build = QStringLiteral(KORVANTHELIX_BUILD_DIR);
    const QString demoEnv = QStringLiteral(KORVANTHELIX_SOURCE_DIR "/scripts/demo-env");
    if (!QFileInfo(build + QStringLiteral("/src/korvanthelix-demo-seed")).isExecutable())
        GTEST_SKIP() << "the demo seeder was not built (KORVANTHELIX_BUILD_TOOLS is off)";

    // The sandbox's mount point lies in here, so whatever it leaves behind can be found.
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), scratch.path());
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    SubprocessOptions options;
    options.environment = environment.toStringList();
    options.timeLimit = std::chrono::minutes(4);
    const SubprocessResult child = Subprocess::run(
        tool("xvfb-run"),
        {QStringLiteral("-a"), QStringLiteral("-s"), QStringLiteral("-screen 0 1440x900x24"),
         demoEnv, QStringLiteral("--build"), build, QCoreApplication::applicationFilePath(),
         QStringLiteral("--gtest_filter=") + testName},
        options);
    const std::string output = text(child.outputText() + child.errorText());
    // The kernel may let go of a loop device a moment after its last user.
    QStringList leftovers;
    EXPECT_TRUE(waitUntil([&] {
        leftovers = SandboxChecks::leftoversBelow(scratch.path());
        return leftovers.isEmpty();
    })) << text(leftovers.join(QStringLiteral(", ")));
    if (child.succeeded() && child.outputText().contains(QLatin1String("[  SKIPPED ]")))
        GTEST_SKIP() << output;
    EXPECT_FALSE(child.timedOut) << output;
    EXPECT_TRUE(child.succeeded()) << output;
    EXPECT_TRUE(child.outputText().contains(QLatin1String("[  PASSED  ] 1 test"))) << output;
}

} // namespace
