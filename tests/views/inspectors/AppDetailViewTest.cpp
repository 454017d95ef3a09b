#include "views/inspectors/AppDetailView.h"

#include "../PaintedTexts.h"
#include "InspectorFixture.h"
#include "services/AppScanner.h"
#include "services/LedgerService.h"
#include "support/Screenshot.h"
#include "support/Wait.h"
#include "views/inspectors/AppItemBinding.h"
#include "views/kit/ProxyJobGuard.h"
#include "volumes/VolumeManager.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>

namespace {

class AppDetailViewTest : public InspectorFixture
{
protected:
    void SetUp() override { drainEvents(); } // the volume manager's first refresh

    std::unique_ptr<AppDetailView> makeView(const AppItem &app)
    {
        binding = new ValueAppItemBinding(app);
        const auto record = [this](const char *what) {
            return [this, what](const AppItem &a) { log << QString::fromLatin1(what) + a.name; };
        };
        auto view = std::make_unique<AppDetailView>(
            binding, &volumes,
            [this](const AppItem &a, bool copyOnly) {
                log << QStringLiteral("offload:%1:%2").arg(a.name).arg(copyOnly);
                handedOver = a;
            },
            record("restore:"), record("resolve:"),
            [this](const QString &path) { log << QStringLiteral("remove:") + path; },
            [this] { log << QStringLiteral("proxyCreated"); }, record("update:"),
            record("reoffload:"));
        view->resize(640, 900);
        return view;
    }

    LedgerService ledger;
    VolumeManager volumes{&ledger};
    ValueAppItemBinding *binding = nullptr; // owned by the view
    AppItem handedOver;
};

TEST_F(AppDetailViewTest, MainButtonHandsOverTheCurrentChoiceOfModeAndFolders)
{
    volumes.setSelectedVolume(drive());
    AppItem app = bundle(QStringLiteral("Applications/Editor.app"));
    app.supportFolders = {folder(QStringLiteral("Editor"), 3'000'000)};
    auto view = makeView(app);

    click(*view, QStringLiteral("copyModeButton"));
    EXPECT_EQ(child<QPushButton>(*view, QStringLiteral("mainActionButton"))->text(),
              QStringLiteral("Copy to Drive"));
    click(*view, QStringLiteral("supportFolderToggle"));
    click(*view, QStringLiteral("mainActionButton"));
    click(*view, QStringLiteral("offloadModeButton"));
    click(*view, QStringLiteral("mainActionButton"));
    EXPECT_EQ(log, (QStringList{"offload:Editor:1", "offload:Editor:0"}));
    EXPECT_EQ(handedOver.totalSelectedSize(), 51'000'000);

    volumes.setSelectedVolume(std::nullopt);
    drainEvents();
    auto *button = child<QPushButton>(*view, QStringLiteral("mainActionButton"));
    EXPECT_EQ(button->text(), QStringLiteral("Offload to External Drive"));
    EXPECT_FALSE(button->isEnabled());
}

TEST_F(AppDetailViewTest, ButtonsReportTheirItemOrPath)
{
    struct Case
    {
        const char *name;
        std::function<AppItem()> make;
        QString button;
        int index;
        QString expected;
    };
    const auto local = [this](std::function<void(AppItem &)> change) {
        return [this, change] {
            AppItem app = bundle(QStringLiteral("Applications/Editor.app"));
            change(app);
            return app;
        };
    };
    const auto aliases = local([](AppItem &a) {
        a.duplicateAliasPaths = {QStringLiteral("/Applications/E2.app"), "/Applications/E3.app"};
    });
    const QString drivePath = sandbox.drive() + QStringLiteral("/Applications/Editor.app");
    const Case cases[] = {
        {"re-offload in the banner", local([](AppItem &a) { a.isOverwrittenOffload = true; }),
         "reoffloadUpdateButton", 0, "reoffload:Editor"},
        {"re-offload in the bar", local([](AppItem &a) { a.isOverwrittenOffload = true; }),
         "mainActionButton", 0, "reoffload:Editor"},
        {"backup update", local([](AppItem &a) { a.isUpdateOutOfSync = true; }),
         "updateBackupButton", 0, "update:Editor"},
        {"resolve aliases", aliases, "resolveDuplicatesButton", 0, "resolve:Editor"},
        {"remove one alias", aliases, "removeDuplicateButton", 1, "remove:/Applications/E3.app"},
        {"restore needs no drive", [this] { return linked(QStringLiteral("Editor")); },
         "mainActionButton", 0, "restore:Editor"},
        {"reveal on the drive", [this] { return linked(QStringLiteral("Editor")); },
         "revealOnDriveButton", 0, "reveal:" + drivePath},
    };
    const FakeWorkspace &workspace = sandbox.system().fakeWorkspace();
    volumes.setSelectedVolume(drive());
    for (const Case &c : cases) {
        log.clear();
        QDir(sandbox.applications()).removeRecursively();
        auto view = makeView(c.make());
        const qsizetype revealed = workspace.revealRequests().size();
        click(*view, c.button, c.index);
        for (const QStringList &paths : workspace.revealRequests().mid(revealed))
            log << QStringLiteral("reveal:") + paths.join(QLatin1Char(','));
        EXPECT_EQ(log, QStringList{c.expected}) << c.name;
    }
    // Without its drive copy there is nothing to reveal on the drive.
    auto view = makeView(linked(QStringLiteral("Other"), false));
    EXPECT_FALSE(shown(*view, QStringLiteral("revealOnDriveButton")));
}

TEST_F(AppDetailViewTest, TerminateWaitsUntilTheApplicationHasGone)
{
    volumes.setSelectedVolume(drive());
    AppItem app = bundle(QStringLiteral("Applications/Editor.app"));
    app.isRunning = true;
    FakeWorkspace &workspace = sandbox.system().fakeWorkspace();
    workspace.setRunningApplicationBundles({app.id()});
    auto view = makeView(app);
    view->setQuitPolling({std::chrono::milliseconds(10), 1000});
    auto *terminate = child<QPushButton>(*view, QStringLiteral("terminateButton"));

    QTest::mouseClick(terminate, Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return !workspace.quitRequests().isEmpty(); }));
    EXPECT_EQ(workspace.quitRequests(), QStringList{app.id()});
    EXPECT_FALSE(terminate->isEnabled());
    EXPECT_TRUE(binding->value().isRunning);
    EXPECT_FALSE(child<QPushButton>(*view, QStringLiteral("mainActionButton"))->isEnabled());

    workspace.setRunningApplicationBundles({});
    ASSERT_TRUE(waitUntil([&] { return !view->paneState().isAwaitingQuit; }));
    EXPECT_FALSE(binding->value().isRunning);
    EXPECT_FALSE(shown(*view, QStringLiteral("runningNotice")));
    EXPECT_TRUE(child<QPushButton>(*view, QStringLiteral("mainActionButton"))->isEnabled());
}

TEST_F(AppDetailViewTest, RefusedQuitLeavesTheApplicationRunning)
{
    AppItem app = linked(QStringLiteral("Editor"));
    app.isRunning = true;
    FakeWorkspace &workspace = sandbox.system().fakeWorkspace();
    // It runs from the drive copy, which is asked to quit as well.
    workspace.setRunningApplicationBundles({*app.symlinkTarget});
    auto view = makeView(app);
    view->setQuitPolling({std::chrono::milliseconds(1), 3});

    click(*view, QStringLiteral("terminateButton"));
    ASSERT_TRUE(waitUntil([&] { return !view->paneState().isAwaitingQuit; }));
    EXPECT_EQ(workspace.quitRequests(), (QStringList{app.id(), *app.symlinkTarget}));
    EXPECT_TRUE(binding->value().isRunning);
    EXPECT_TRUE(shown(*view, QStringLiteral("runningNotice")));
    EXPECT_TRUE(child<QPushButton>(*view, QStringLiteral("terminateButton"))->isEnabled());
}

TEST_F(AppDetailViewTest, ProxyJobReportsItsOutcomeInTheNotice)
{
    for (const bool onDrive : {true, false}) {
        log.clear();
        QDir(sandbox.applications()).removeRecursively();
        QDir(sandbox.drive() + QStringLiteral("/Applications")).removeRecursively();
        auto view = makeView(linked(QStringLiteral("Editor"), onDrive));
        click(*view, QStringLiteral("proxyButton"));
        ASSERT_TRUE(waitUntil([&] { return !view->paneState().isGeneratingProxy; }));
        const QString notice = view->paneState().proxyNotice.value_or(QString());
        EXPECT_TRUE(notice.startsWith(onDrive ? AppDetailPresenter::proxySuccessNotice()
                                              : "Proxy creation error: Target application does "
                                                "not exist on disk: "))
            << notice.toStdString();
        EXPECT_EQ(child<QLabel>(*view, QStringLiteral("proxyNotice"))->text(), notice);
        EXPECT_EQ(log.contains(QStringLiteral("proxyCreated")), onDrive);
    }
}

TEST_F(AppDetailViewTest, SecondProxyJobIsRefusedWhileOneRuns)
{
    auto view = makeView(bundle(QStringLiteral("Applications/Tools/Editor.app")));
    {
        std::optional<ProxyJobGuard::Lease> other = ProxyJobGuard::shared().tryAcquire();
        ASSERT_TRUE(other);
        click(*view, QStringLiteral("promoteButton"));
        EXPECT_EQ(view->paneState().proxyNotice, ProxyJobGuard::refusalNotice());
        EXPECT_FALSE(view->paneState().isGeneratingProxy);
        EXPECT_FALSE(PathUtils::existsNoFollow(sandbox.applications() + "/Editor.app"));
    }
    click(*view, QStringLiteral("promoteButton"));
    ASSERT_TRUE(waitUntil([&] { return !view->paneState().isGeneratingProxy; }));
    EXPECT_NE(view->paneState().proxyNotice, ProxyJobGuard::refusalNotice());
    EXPECT_FALSE(ProxyJobGuard::shared().isBusy());
}

TEST_F(AppDetailViewTest, ScannerBindingWritesIntoTheInventory)
{
    bundle(QStringLiteral("Applications/Editor.app"));
    sandbox.makeFolder(sandbox.userSupport() + QStringLiteral("/Editor"));
    AppScanner scanner(ledger);
    ASSERT_TRUE(waitFor(scanner.scanAsync()));
    ASSERT_EQ(scanner.apps().size(), 1);
    ASSERT_EQ(scanner.apps().first().supportFolders.size(), 1);

    auto *scannerBinding = new ScannerAppItemBinding(&scanner, scanner.apps().first().id());
    AppDetailView view(scannerBinding, &volumes, {}, {});
    auto *toggle = child<QCheckBox>(view, QStringLiteral("supportFolderToggle"));
    const bool before = toggle->isChecked();
    QTest::mouseClick(toggle->parentWidget(), Qt::LeftButton); // anywhere on the row
    EXPECT_EQ(scanner.apps().first().supportFolders.first().isSelected, !before);
    scannerBinding->setRunning(true);
    EXPECT_TRUE(scanner.apps().first().isRunning);
    drainEvents();
    EXPECT_TRUE(shown(view, QStringLiteral("runningNotice")));
}

// Folders that share a name on the drive: the pane paints why only one of them is selected.
TEST_F(AppDetailViewTest, FoldersOfOneNameSayWhyOneIsSelected)
{
    AppItem app = bundle(QStringLiteral("Applications/Atlas Maps.app"));
    SupportFolder system = folder(QStringLiteral("Atlas Maps"), 2'000'000);
    system.url = QUrl::fromLocalFile(sandbox.systemSupport() + QStringLiteral("/Atlas Maps"));
    system.displayName = QStringLiteral("/Library.../Atlas Maps");
    app.supportFolders = {folder(QStringLiteral("Atlas Maps"), 6'000'000, true), system};
    app.supportFolders.first().displayName = QStringLiteral("~/Library.../Atlas Maps");
    auto view = makeView(app);
    view->widget()->resize(520, 900);
    view->show();
    drainEvents();
    const QString painted = PaintedTexts::of(view->widget()).join(QLatin1Char(' '));
    EXPECT_TRUE(painted.contains(QStringLiteral("Only one of ~/Library.../Atlas Maps and")))
        << painted.toStdString();
    EXPECT_TRUE(painted.contains(QStringLiteral("stored at the same place on the drive.")));
}

TEST_F(AppDetailViewTest, Screenshots)
{
    volumes.setSelectedVolume(drive(600'000'000));
    const std::pair<const char *, std::function<AppItem()>> shots[] = {
        {"detail-local",
         [this] {
             AppItem app = bundle(QStringLiteral("Applications/Tools/Editor [Beta].app"));
             app.isRunning = true;
             app.supportFolders = {folder(QStringLiteral("Editor"), 120'000'000, true),
                                   folder(QStringLiteral("com.acme.editor"), 8'400'000)};
             return app;
         }},
        {"detail-offloaded",
         [this] {
             AppItem app = linked(QStringLiteral("Editor"));
             app.duplicateAliasPaths = {sandbox.applications() + QStringLiteral("/Editor alias")};
             app.supportFolders = {folder(QStringLiteral("Editor"), 120'000'000, true)};
             app.supportFolders.first().isSymlink = app.supportFolders.first().isAlias = true;
             return app;
         }},
        {"detail-protected",
         [this] {
             AppItem app = bundle(QStringLiteral("Applications/Safari.app"));
             app.isProtected = true;
             app.protectedReason = QStringLiteral("Apple system applications stay on the Mac.");
             return app;
         }},
        {"detail-out-of-sync",
         [this] {
             AppItem app = bundle(QStringLiteral("Applications/Notes Plus.app"));
             app.isUpdateOutOfSync = true;
             app.externalVersion = QStringLiteral("2.1");
             return app;
         }},
    };
    for (const auto &[file, make] : shots) {
        auto view = makeView(make());
        view->show();
        drainEvents();
        saveScreenshot(view->widget(), QStringLiteral("inspectors/") + QString::fromLatin1(file));
    }
}

} // namespace
