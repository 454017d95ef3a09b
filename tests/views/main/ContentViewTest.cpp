#include "ContentViewFixture.h"

#include "services/AppScanner.h"
#include "transfer/StagingCleaner.h"
#include "views/inspectors/AppDetailView.h"
#include "views/inspectors/BatchInspectorView.h"
#include "views/kit/Palette.h"
#include "views/kit/Pill.h"
#include "views/main/AppListColumn.h"
#include "views/main/AppListView.h"
#include "views/main/BackupWarningSheet.h"
#include "views/main/DetailColumn.h"
#include "views/main/SidebarManager.h"
#include "views/main/SidebarView.h"
#include "views/sheets/HelpGuideView.h"
#include "views/sheets/HistoryView.h"
#include "views/sheets/LogViewerSheet.h"
#include "views/sheets/MigrationProgressSheet.h"
#include "views/sheets/OffloadedListView.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSplitter>
#include <QStackedWidget>
#include <QTimer>
#include <QToolButton>

namespace {

class ContentViewTest : public ContentViewFixture
{
protected:
    // Alpha and Beta at the top of Applications, Tool in Utilities.
    void threeApps()
    {
        bundle(QStringLiteral("Alpha"));
        bundle(QStringLiteral("Beta"));
        bundle(QStringLiteral("Tool"), sandbox.applications() + QStringLiteral("/Utilities"));
    }

    AppListView *list() const { return view().appListColumn()->listView(); }

    QModelIndex rowOf(const QString &name) const
    {
        const AppListModel *rows = list()->appModel();
        for (int i = 0; i < rows->rowCount(); ++i) {
            if (rows->appAt(i).name == name)
                return rows->index(i);
        }
        return {};
    }

    void clickRow(const QString &name, Qt::KeyboardModifiers modifiers = {})
    {
        const QModelIndex index = rowOf(name);
        ASSERT_TRUE(index.isValid()) << name.toStdString();
        QTest::mouseClick(list()->viewport(), Qt::LeftButton, modifiers,
                          list()->visualRect(index).center());
        settle();
    }

    void clickSelectionControl(const QString &name)
    {
        const QModelIndex index = rowOf(name);
        ASSERT_TRUE(index.isValid()) << name.toStdString();
        const QRect control = list()->rowDelegate()->selectionControlRect(
            list()->appModel()->appAt(index.row()), list()->appModel()->isSelected(index.row()),
            list()->visualRect(index));
        ASSERT_FALSE(control.isEmpty());
        QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, control.center());
        settle();
    }

    void clickSection(NavigationSection section)
    {
        SidebarView *sidebar = view().sidebar();
        const int row = int(allCases<NavigationSection>().indexOf(section));
        QTest::mouseClick(sidebar->viewport(), Qt::LeftButton, {},
                          sidebar->visualItemRect(sidebar->item(row)).center());
        settle();
    }

    void click(QAbstractButton *button)
    {
        ASSERT_TRUE(button);
        QTest::mouseClick(button, Qt::LeftButton);
        settle();
    }

    QSet<QString> ids(const QStringList &names) const
    {
        QSet<QString> result;
        for (const QString &name : names)
            result.insert(idOf(name));
        return result;
    }

    QString chipCounts() const
    {
        QStringList counts;
        const QList<AppStatusFilter> filters = allCases<AppStatusFilter>();
        for (const AppStatusFilter filter : filters)
            counts.append(QString::number(
                find<StatusChipButton>(QStringLiteral("statusChip:") + label(filter))
                    ->chip()
                    .count));
        return counts.join(QLatin1Char(' '));
    }

    QString text(const QString &name) const
    {
        const auto *label = find<QLabel>(name);
        return label ? label->text() : QStringLiteral("<missing>");
    }

    bool shown(const QString &name) const
    {
        const auto *widget = find<QWidget>(name);
        return widget && widget->isVisible();
    }

    QAction *menuAction(QToolButton *button, const QString &title) const
    {
        const QList<QAction *> actions = button->menu()->actions();
        for (QAction *action : actions) {
            if (action->text() == title)
                return action;
        }
        return nullptr;
    }
};

TEST_F(ContentViewTest, SidebarShowsCountsAndPills)
{
    open();
    // An empty inventory: the three folder sections read 0, the others show nothing.
    using Look = SectionBadge::Look;
    QList<Look> looks;
    for (const NavigationSection section : allCases<NavigationSection>())
        looks.append(view().sidebar()->badge(section).look);
    EXPECT_EQ(looks, (QList<Look>{Look::plain, Look::plain, Look::plain, Look::hidden, Look::hidden,
                                  Look::hidden, Look::hidden}));

    threeApps();
    offloaded(QStringLiteral("Studio"), {QStringLiteral("Studio"), QStringLiteral("Studio 2")});
    offloaded(QStringLiteral("Mail"), {QStringLiteral("Mail")});
    copied(QStringLiteral("Keep"));
    rescan();

    struct Expected
    {
        NavigationSection section;
        const char *text; // nullptr: no badge shown
    };
    const QList<Expected> expected{
        {NavigationSection::allApps, "6"},     {NavigationSection::mainFolder, "5"},
        {NavigationSection::nestedApps, "1"},  {NavigationSection::offloaded, "2"},
        {NavigationSection::copied, "1"},      {NavigationSection::duplicates, "1"},
        {NavigationSection::history, nullptr},
    };
    for (const Expected &e : expected) {
        SCOPED_TRACE(label(e.section).toStdString());
        auto *row = find<QWidget>(QStringLiteral("sidebarRow:") + label(e.section));
        ASSERT_TRUE(row);
        auto *badge = row->findChild<Pill *>(QStringLiteral("sectionBadge"));
        EXPECT_EQ(badge->isVisible(), e.text != nullptr);
        if (e.text) {
            EXPECT_EQ(badge->text(), QString::fromUtf8(e.text));
        }
    }
    EXPECT_EQ(view().sidebar()->badge(NavigationSection::offloaded).look, Look::pill);
    EXPECT_EQ(view().sidebar()->badge(NavigationSection::duplicates).color, Palette::orange());
}

TEST_F(ContentViewTest, ChoosingASectionClearsSelectionAndSubfolder)
{
    threeApps();
    open();
    clickRow(QStringLiteral("Alpha"));
    clickRow(QStringLiteral("Beta"), Qt::ControlModifier);
    auto *subfolders = find<QToolButton>(QStringLiteral("subfolderMenuButton"));
    ASSERT_TRUE(subfolders->isVisible());
    menuAction(subfolders, QStringLiteral("Utilities"))->trigger();
    settle();
    EXPECT_EQ(subfolders->text(), QStringLiteral("Utilities"));
    EXPECT_EQ(model->selectedAppIds().size(), 2);

    clickSection(NavigationSection::mainFolder);
    EXPECT_EQ(model->selectedSection(), NavigationSection::mainFolder);
    EXPECT_TRUE(model->selectedAppIds().isEmpty());
    EXPECT_EQ(model->selectedSubfolder(), QStringLiteral("All"));
    EXPECT_EQ(text(QStringLiteral("appCountLabel")), QStringLiteral("2 apps"));

    // The section command does the same, and the sidebar follows it.
    clickRow(QStringLiteral("Alpha"));
    commands.post(CommandNames::navigateSection, label(NavigationSection::nestedApps));
    settle();
    EXPECT_TRUE(model->selectedAppIds().isEmpty());
    EXPECT_EQ(view().sidebar()->currentRow(), 2);

    // The offloaded and history sections bring their own middle column.
    clickSection(NavigationSection::offloaded);
    EXPECT_EQ(view().contentStack()->currentWidget(),
              static_cast<QWidget *>(view().offloadedList()));
    EXPECT_FALSE(shown(QStringLiteral("searchField")));
    clickSection(NavigationSection::history);
    EXPECT_EQ(view().contentStack()->currentWidget(), static_cast<QWidget *>(view().historyView()));
    EXPECT_FALSE(view().offloadedList());
    // "Search Applications" leaves the history for the list and puts the focus in the field.
    QApplication::setActiveWindow(window.get());
    commands.post(CommandNames::focusSearch);
    settle();
    EXPECT_EQ(model->selectedSection(), NavigationSection::allApps);
    EXPECT_TRUE(shown(QStringLiteral("searchField")));
    EXPECT_TRUE(find<QLineEdit>(QStringLiteral("searchField"))->hasFocus());
}

TEST_F(ContentViewTest, RowClicksFollowTheSelectionRules)
{
    threeApps();
    open();
    enum class Gesture { click, commandClick, control };
    struct Step
    {
        Gesture gesture;
        const char *row;
        QStringList selected;
    };
    const QList<Step> steps{
        {Gesture::click, "Alpha", {"Alpha"}},
        {Gesture::commandClick, "Beta", {"Alpha", "Beta"}},
        {Gesture::commandClick, "Tool", {"Alpha", "Beta", "Tool"}},
        {Gesture::click, "Beta", {"Beta"}},
        {Gesture::commandClick, "Beta", {}},
        {Gesture::control, "Tool", {"Tool"}},
        {Gesture::control, "Alpha", {"Tool", "Alpha"}},
        {Gesture::control, "Alpha", {"Tool"}},
    };
    for (const Step &step : steps) {
        const QString row = QString::fromUtf8(step.row);
        switch (step.gesture) {
        case Gesture::click:
            clickRow(row);
            break;
        case Gesture::commandClick:
            clickRow(row, Qt::ControlModifier);
            break;
        case Gesture::control:
            clickSelectionControl(row);
            break;
        }
        EXPECT_EQ(model->selectedAppIds(), ids(step.selected)) << "after " << step.row;
    }
    // The bar counts the whole selection against the listed rows.
    EXPECT_TRUE(shown(QStringLiteral("selectionBar")));
    EXPECT_TRUE(text(QStringLiteral("selectionBarText")).startsWith("1 of 3 apps selected ("));
    click(find<QPushButton>(QStringLiteral("clearSelectionButton")));
    EXPECT_TRUE(model->selectedAppIds().isEmpty());
    EXPECT_FALSE(shown(QStringLiteral("selectionBar")));
}

TEST_F(ContentViewTest, ScanStateShowsInTheToolbarAndTheList)
{
    open();
    RefreshToolbarButton *refresh = view().refreshButton();
    EXPECT_TRUE(refresh->isEnabled());
    EXPECT_EQ(refresh->text(), QStringLiteral("Refresh"));

    // Nothing known yet: the placeholder stands in for the list.
    QFuture<void> running = model->appScanner().scanAsync();
    view().refreshNow();
    EXPECT_FALSE(refresh->isEnabled());
    EXPECT_EQ(refresh->shownText(), QStringLiteral("Scanning\u2026"));
    EXPECT_TRUE(shown(QStringLiteral("scanningPlaceholder")));
    EXPECT_FALSE(shown(QStringLiteral("scanProgressStrip")));
    saveScreenshot(window.get(), QStringLiteral("mainwindow-first-scan"));
    const int before = scans;
    QTest::mouseClick(refresh, Qt::LeftButton);
    EXPECT_EQ(scans, before);
    ASSERT_TRUE(waitFor(running));
    settle();
    EXPECT_TRUE(refresh->isEnabled());
    EXPECT_TRUE(shown(QStringLiteral("noMatchingAppsView")));

    // A rescan keeps the list and shows the strip above it.
    bundle(QStringLiteral("Alpha"));
    rescan();
    running = model->appScanner().scanAsync();
    view().refreshNow();
    EXPECT_TRUE(shown(QStringLiteral("scanProgressStrip")));
    EXPECT_EQ(text(QStringLiteral("scanPercentLabel")), QStringLiteral("5%"));
    EXPECT_TRUE(shown(QStringLiteral("appList")));
    saveScreenshot(window.get(), QStringLiteral("mainwindow-rescanning"));
    ASSERT_TRUE(waitFor(running));
    settle();
    EXPECT_FALSE(shown(QStringLiteral("scanProgressStrip")));

    const int settled = scans;
    click(refresh);
    EXPECT_EQ(scans, settled + 1);
}

TEST_F(ContentViewTest, ChipCountsIgnoreTheSearch)
{
    threeApps();
    offloaded(QStringLiteral("Studio"), {QStringLiteral("Studio")});
    open();
    const QString counts = chipCounts();
    EXPECT_EQ(counts, QStringLiteral("4 3 1 0 0 0 0 0 0"));

    auto *search = find<QLineEdit>(QStringLiteral("searchField"));
    QTest::keyClicks(search, QStringLiteral("alp"));
    settle();
    EXPECT_EQ(model->searchText(), QStringLiteral("alp"));
    EXPECT_EQ(text(QStringLiteral("appCountLabel")), QStringLiteral("1 apps"));
    EXPECT_EQ(chipCounts(), counts);
    EXPECT_TRUE(shown(QStringLiteral("clearSearchButton")));

    // A chip without matches can still be chosen; the list then shows the empty state.
    click(find<StatusChipButton>(QStringLiteral("statusChip:Offloaded")));
    EXPECT_EQ(model->statusFilter(), AppStatusFilter::offloaded);
    EXPECT_TRUE(shown(QStringLiteral("noMatchingAppsView")));
    EXPECT_TRUE(find<StatusChipButton>(QStringLiteral("statusChip:Offloaded"))->chip().isCurrent);

    click(find<QToolButton>(QStringLiteral("clearSearchButton")));
    EXPECT_TRUE(model->searchText().isEmpty());
    EXPECT_TRUE(search->text().isEmpty());
    EXPECT_EQ(text(QStringLiteral("appCountLabel")), QStringLiteral("1 apps"));

    clickSection(NavigationSection::nestedApps);
    EXPECT_EQ(chipCounts(), QStringLiteral("1 1 0 0 0 0 0 0 0"));
}

TEST_F(ContentViewTest, SelectAllFollowsTheListedCount)
{
    threeApps();
    open();
    auto *selectAll = find<QPushButton>(QStringLiteral("selectAllButton"));
    EXPECT_EQ(selectAll->text(), QStringLiteral("Select All"));
    click(selectAll);
    EXPECT_EQ(model->selectedAppIds(), ids({"Alpha", "Beta", "Tool"}));
    EXPECT_EQ(selectAll->text(), QStringLiteral("Deselect All"));

    // Narrowed to one row, three selected: the button selects exactly the row.
    model->setSearchText(QStringLiteral("Beta"));
    settle();
    EXPECT_EQ(selectAll->text(), QStringLiteral("Select All"));
    click(selectAll);
    EXPECT_EQ(model->selectedAppIds(), ids({"Beta"}));
    EXPECT_EQ(selectAll->text(), QStringLiteral("Deselect All"));
    click(selectAll);
    EXPECT_TRUE(model->selectedAppIds().isEmpty());

    // No subfolder among the section's applications: no subfolder menu.
    clickSection(NavigationSection::mainFolder);
    EXPECT_FALSE(shown(QStringLiteral("subfolderMenuButton")));
    auto *sort = find<QToolButton>(QStringLiteral("sortMenuButton"));
    menuAction(sort, QStringLiteral("Name (Z\u2013A)"))->trigger();
    settle();
    EXPECT_EQ(model->sortOrder(), AppSortOrder::nameDesc);
    EXPECT_EQ(sort->text(), QStringLiteral("Name (Z\u2013A)"));
    EXPECT_TRUE(menuAction(sort, QStringLiteral("Name (Z\u2013A)"))->isChecked());
}

TEST_F(ContentViewTest, BannersFollowTheirConditions)
{
    bundle(QStringLiteral("Alpha"));
    offloaded(QStringLiteral("Studio"), {QStringLiteral("Studio"), QStringLiteral("Studio 2")});
    const QString leftover = sandbox.writeFile(
        sandbox.applications() +
            QStringLiteral("/Old.app.staging-123E4567-E89B-42D3-A456-426614174000/file"),
        QByteArray(1200, 'x'));
    open();
    // The leftovers are looked for after the inventory.
    ASSERT_TRUE(waitUntil([this] { return !model->stagingCleaner().orphanedItems().isEmpty(); }));
    settle();
    const QString duplicates = QStringLiteral("banner:duplicateAliases");
    const QString leftovers = QStringLiteral("banner:stagingLeftovers");
    const auto message = [this](const QString &banner) {
        return find<QWidget>(banner)->findChild<QLabel *>(QStringLiteral("bannerMessage"))->text();
    };
    ASSERT_TRUE(shown(duplicates));
    ASSERT_TRUE(shown(leftovers));
    EXPECT_EQ(message(duplicates), QStringLiteral("1 redundant duplicate aliases detected"));
    EXPECT_EQ(message(leftovers),
              QStringLiteral("Found 1 leftover staging/rollback item(s) (1 KB)"));
    EXPECT_LT(find<QWidget>(duplicates)->y(), find<QWidget>(leftovers)->y());
    for (const QString &other : {QStringLiteral("reoffload"), QStringLiteral("backupUpdate"),
                                 QStringLiteral("redundantCopies")})
        EXPECT_FALSE(shown(QStringLiteral("banner:") + other));

    click(find<QPushButton>(QStringLiteral("revealLeftoversButton")));
    EXPECT_EQ(sandbox.system().fakeWorkspace().revealRequests(),
              QList<QStringList>{{QFileInfo(leftover).path()}});
    click(find<QPushButton>(QStringLiteral("cleanUpLeftoversButton")));
    EXPECT_TRUE(model->showingCleanStagingConfirm());
    model->setShowingCleanStagingConfirm(false);

    clickSection(NavigationSection::duplicates);
    EXPECT_FALSE(shown(duplicates));
    EXPECT_TRUE(shown(leftovers));
    model->setSelectedSection(std::nullopt);
    settle();
    EXPECT_TRUE(shown(duplicates));
    click(find<QPushButton>(QStringLiteral("cleanDuplicatesButton")));
    EXPECT_TRUE(model->showingCleanDuplicatesConfirm());
    model->setShowingCleanDuplicatesConfirm(false);
}

TEST_F(ContentViewTest, DetailColumnFollowsTheSelection)
{
    threeApps();
    open();
    DetailColumn *detail = view().detailColumn();
    struct Case
    {
        QStringList selected;
        DetailContent content;
    };
    const QList<Case> cases{
        {{}, DetailContent::storageOverview},
        {{"Alpha"}, DetailContent::appDetail},
        {{"Alpha", "Tool"}, DetailContent::batchInspector},
        {{"Beta"}, DetailContent::appDetail},
    };
    for (const Case &c : cases) {
        model->setSelectedAppIds(ids(c.selected));
        settle();
        EXPECT_EQ(detail->content(), c.content) << c.selected.join(',').toStdString();
    }
    // The pane of the same application survives a rescan.
    AppDetailView *pane = detail->detailView();
    ASSERT_TRUE(pane);
    EXPECT_EQ(detail->currentWidget(), static_cast<QWidget *>(pane));
    rescan();
    EXPECT_EQ(detail->detailView(), pane);

    model->setSelectedAppIds(ids({"Alpha", "Beta"}));
    settle();
    ASSERT_TRUE(detail->batchInspector());
    EXPECT_EQ(detail->batchInspector()->model().rows.size(), 2);
    EXPECT_FALSE(detail->detailView());

    model->setSelectedAppIds({sandbox.applications() + QStringLiteral("/Gone.app")});
    settle();
    EXPECT_EQ(detail->currentWidget()->objectName(), QStringLiteral("storageOverview"));
    EXPECT_EQ(text(QStringLiteral("localCaption")), QStringLiteral("3 On Mac (Reclaimable)"));

    clickSection(NavigationSection::history);
    model->setSelectedAppIds(ids({"Alpha"}));
    settle();
    EXPECT_EQ(detail->content(), DetailContent::historyPlaceholder);
    EXPECT_EQ(detail->currentWidget()->objectName(), QStringLiteral("historyPlaceholder"));
}

TEST_F(ContentViewTest, SheetsFollowTheirFlags)
{
    open();
    click(find<QToolButton>(QStringLiteral("helpToolbarButton")));
    ASSERT_TRUE(view().helpSheet());
    EXPECT_TRUE(view().helpSheet()->isVisible());
    click(view().helpSheet()->findChild<QPushButton *>(QStringLiteral("doneButton")));
    EXPECT_FALSE(model->showingHelpSheet());
    EXPECT_FALSE(view().helpSheet());

    // The progress sheet is told what the model knows of its task; closing it rescans.
    model->setShowingProgressSheet(true);
    MigrationProgressSheet *sheet = view().progressSheet();
    ASSERT_TRUE(sheet);
    EXPECT_EQ(sheet->taskReport(), model->offloadTaskReport());
    const int before = scans;
    sheet->reject();
    settle();
    EXPECT_FALSE(model->showingProgressSheet());
    EXPECT_FALSE(view().progressSheet());
    EXPECT_TRUE(waitUntil([&] { return scans == before + 1; }));
}

TEST_F(ContentViewTest, FirstRunSheetStaysUntilAcknowledged)
{
    sandbox.system().fakePreferences().setValue(ContentModel::backupWarningKey(), QVariant());
    open();
    BackupWarningSheet *sheet = view().backupWarningSheet();
    ASSERT_TRUE(sheet);
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_EQ(sheet->size(), QSize(500, 360));
    const QList<QLabel *> reminders = sheet->findChildren<QLabel *>(QStringLiteral("reminder"));
    ASSERT_EQ(reminders.size(), 3);
    // Markdown: the lead words are bold and the asterisks are not shown.
    EXPECT_TRUE(reminders[0]->text().startsWith(QStringLiteral("**Back Up First:**")));
    EXPECT_EQ(reminders[0]->textFormat(), Qt::MarkdownText);
    saveScreenshot(sheet, QStringLiteral("first-run-sheet"));

    QTest::keyClick(sheet, Qt::Key_Escape);
    settle();
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_TRUE(model->showingBackupWarningSheet());
    EXPECT_FALSE(
        sandbox.system().fakePreferences().value(ContentModel::backupWarningKey()).toBool());

    click(sheet->findChild<QPushButton *>(QStringLiteral("acknowledgeButton")));
    EXPECT_FALSE(view().backupWarningSheet());
    EXPECT_FALSE(model->showingBackupWarningSheet());
    EXPECT_TRUE(
        sandbox.system().fakePreferences().value(ContentModel::backupWarningKey()).toBool());

    // The next window does not show it again.
    model->setParent(nullptr);
    window.reset();
    window = std::make_unique<MainWindow>(model.get(), commands);
    window->show();
    settle();
    EXPECT_FALSE(view().backupWarningSheet());
    EXPECT_TRUE(waitUntil([this] { return !model->appScanner().isScanning(); }));
}

TEST_F(ContentViewTest, SidebarFollowsTheSplitterAndTheCommand)
{
    open();
    SidebarManager &sidebar = SidebarManager::shared();
    QSplitter *splitter = view().splitter();
    sidebar.setColumnVisibility(SidebarManager::ColumnVisibility::doubleColumn);
    EXPECT_EQ(splitter->sizes().value(0), 0);
    sidebar.setColumnVisibility(SidebarManager::ColumnVisibility::all);
    EXPECT_GE(splitter->sizes().value(0), 200);

    // The user drags the sidebar shut.
    QList<int> sizes = splitter->sizes();
    sizes[1] += sizes[0];
    sizes[0] = 0;
    splitter->setSizes(sizes);
    emit splitter->splitterMoved(0, 1);
    EXPECT_FALSE(sidebar.isSidebarVisible());
    sidebar.toggle();
    EXPECT_TRUE(sidebar.isSidebarVisible());
    EXPECT_GE(splitter->sizes().value(0), 200);
    sidebar.setColumnVisibility(SidebarManager::ColumnVisibility::all);
}

TEST_F(ContentViewTest, ClosingTheWindowEndsTheProgram)
{
    // The list draws its rows through a hidden row widget; it must not keep the program
    // running once the window has closed.
    bundle(QStringLiteral("Alpha"));
    open();
    window->setAttribute(Qt::WA_DeleteOnClose, false);
    QTimer::singleShot(0, window.get(), [this] { window->close(); });
    // Only a bound on the wait: the program either quits by itself or is stopped here.
    QTimer::singleShot(10'000, qApp, [] { QCoreApplication::exit(7); });
    EXPECT_EQ(QApplication::exec(), 0);
}

} // namespace

namespace {

// A support folder the user unticked stays unticked across rescans (a drive plugged in
// triggers one), and the offload leaves it on the Mac; once the folder is gone, its choice
// goes with it.
TEST_F(ContentViewTest, SupportFolderChoicesSurviveRescans)
{
    bundle(QStringLiteral("Alpha"));
    const QString userFolder = sandbox.userSupport() + QStringLiteral("/Alpha");
    const QString systemFolder = sandbox.systemSupport() + QStringLiteral("/Alpha");
    for (const QString &folder : {userFolder, systemFolder})
        ASSERT_TRUE(QDir().mkpath(folder));
    QHash<QString, bool> offloadedFolders;
    TransferOperations operations = model->transferOperations();
    operations.executeOffload = [&](const AppItem &app, const TargetVolume &, bool) {
        for (const SupportFolder &folder : app.supportFolders)
            offloadedFolders.insert(folder.id(), folder.isSelected);
        return QtFuture::makeReadyFuture();
    };
    operations.delay = [](std::chrono::milliseconds) { return QtFuture::makeReadyFuture(); };
    model->setTransferOperations(operations);
    open();
    TargetVolume roomy = drive();
    roomy.totalBytes = 1'000'000'000'000;
    roomy.freeBytes = 500'000'000'000;
    model->volumeManager().setSelectedVolume(roomy);
    model->setSelectedAppIds(ids({"Alpha"}));
    settle();

    const auto toggles = [this] {
        QHash<QString, QCheckBox *> byPath;
        const QList<QCheckBox *> boxes =
            window->findChildren<QCheckBox *>(QStringLiteral("supportFolderToggle"));
        for (QCheckBox *box : boxes)
            byPath.insert(box->property("folderPath").toString(), box);
        return byPath;
    };
    ASSERT_EQ(toggles().size(), 2);
    const bool preselected = toggles().value(userFolder)->isChecked();
    click(toggles().value(userFolder));
    ASSERT_NE(toggles().value(userFolder)->isChecked(), preselected);

    for (int i = 0; i < 2; ++i)
        rescan();
    ASSERT_EQ(toggles().size(), 2);
    EXPECT_NE(toggles().value(userFolder)->isChecked(), preselected);

    QPushButton *offload = find<QPushButton>(QStringLiteral("mainActionButton"));
    ASSERT_TRUE(offload && offload->isEnabled());
    click(offload);
    ASSERT_TRUE(waitUntil([&] { return !offloadedFolders.isEmpty(); }));
    EXPECT_EQ(offloadedFolders.value(userFolder), !preselected);
    ASSERT_TRUE(waitUntil([this] { return !model->offloadTaskReport().isRunning; }));
    settle();

    // Gone and back: the folder is found afresh, as first found.
    ASSERT_TRUE(QDir(userFolder).removeRecursively());
    rescan();
    ASSERT_TRUE(QDir().mkpath(userFolder));
    rescan();
    model->setSelectedAppIds(ids({"Alpha"}));
    settle();
    ASSERT_TRUE(toggles().value(userFolder));
    EXPECT_EQ(toggles().value(userFolder)->isChecked(), preselected);
}

} // namespace
