#include "ContentModelFixture.h"

#include "transfer/OffloadEngine.h"
#include "transfer/RestoreEngine.h"
#include "transfer/StagingCleaner.h"
#include "views/main/CommandCenter.h"

namespace {

class ContentModelTest : public ContentModelFixture
{
protected:
    // Three applications: two at the top of Applications, one in Utilities.
    void threeApps()
    {
        bundle(QStringLiteral("Alpha"));
        bundle(QStringLiteral("Beta"));
        bundle(QStringLiteral("Gamma"), sandbox.applications() + QStringLiteral("/Utilities"));
        scan();
    }

    QString idOf(const QString &name) const
    {
        for (const AppItem &app : model->appScanner().apps()) {
            if (app.name == name)
                return app.id();
        }
        return {};
    }

    QSet<QString> idsOf(const QStringList &names) const
    {
        QSet<QString> ids;
        for (const QString &name : names)
            ids.insert(idOf(name));
        return ids;
    }
};

TEST_F(ContentModelTest, DerivedListsFollowTheirInputs)
{
    threeApps();
    EXPECT_EQ(model->filteredApps().size(), 3);
    EXPECT_EQ(model->availableSubfolders(), QStringList({"Utilities"}));
    model->setSearchText(QStringLiteral("alp"));
    EXPECT_EQ(namesOf(model->filteredApps()), QStringList({"Alpha"}));
    model->setSearchText({});
    model->setSelectedSubfolder(QStringLiteral("Utilities"));
    EXPECT_EQ(namesOf(model->filteredApps()), QStringList({"Gamma"}));
    model->setSelectedSection(NavigationSection::mainFolder);
    EXPECT_EQ(model->selectedSubfolder(), QStringLiteral("All"));
    EXPECT_EQ(model->filteredApps().size(), 2);
    EXPECT_EQ(model->sectionCount(NavigationSection::mainFolder), 2);
    EXPECT_EQ(model->sectionCount(NavigationSection::nestedApps), 1);

    // A new inventory replaces the cached lists.
    bundle(QStringLiteral("Delta"));
    scan();
    EXPECT_EQ(model->filteredApps().size(), 3);
    EXPECT_EQ(model->sectionCount(NavigationSection::allApps), 4);

    model->setSelectedSection(NavigationSection::history);
    EXPECT_TRUE(model->filteredApps().isEmpty());
    EXPECT_TRUE(model->availableSubfolders().isEmpty());
}

TEST_F(ContentModelTest, SelectionRules)
{
    threeApps();
    const QString alpha = idOf("Alpha");
    model->setSelectedAppIds(idsOf({"Alpha", "Beta", "Gamma"}));
    const AppItem beta = model->appScanner().apps()[1];
    model->handleRowTap(beta, false);
    EXPECT_EQ(model->selectedAppIds(), QSet<QString>({beta.id()}));
    model->handleRowTap(model->appScanner().apps().first(), true);
    EXPECT_EQ(model->selectedAppIds().size(), 2);
    model->toggleSelection(beta);
    EXPECT_EQ(model->selectedAppIds().size(), 1);

    // Select-all takes the listed rows only and drops hidden ones; the count decides the toggle.
    model->setSelectedAppIds(idsOf({"Gamma"}));
    model->setSearchText(QStringLiteral("Alpha"));
    model->handleSelectAllFilteredApps();
    EXPECT_EQ(model->selectedAppIds(), QSet<QString>({alpha}));
    model->setSelectedAppIds(idsOf({"Beta"})); // one hidden entry, one row listed
    model->toggleSelectAll();
    EXPECT_TRUE(model->selectedAppIds().isEmpty());
    model->toggleSelectAll();
    EXPECT_EQ(model->selectedAppIds(), QSet<QString>({alpha}));

    // Filters leave the selection alone; hidden entries still count as selected.
    model->setSelectedAppIds(idsOf({"Alpha", "Gamma"}));
    model->setStatusFilter(AppStatusFilter::copied);
    const QStringList selected = namesOf(model->selectedApps());
    EXPECT_EQ(QSet<QString>(selected.cbegin(), selected.cend()), QSet<QString>({"Alpha", "Gamma"}));
    EXPECT_FALSE(model->singleSelectedApp());

    model->setSelectedAppIds({QStringLiteral("/gone.app")});
    EXPECT_FALSE(model->singleSelectedApp());
    EXPECT_TRUE(model->selectedApps().isEmpty());
    model->setSelectedAppIds({alpha});
    ASSERT_TRUE(model->singleSelectedApp());
    EXPECT_EQ(model->singleSelectedApp()->name, QStringLiteral("Alpha"));
    EXPECT_EQ(model->selectedAppsTotalBytes(), model->singleSelectedApp()->totalSelectedSize());

    model->setSelectedSection(NavigationSection::history);
    EXPECT_TRUE(model->selectedAppIds().isEmpty());
    model->setSelectedAppIds({alpha});
    model->handleSelectAllFilteredApps();
    EXPECT_EQ(model->selectedAppIds(), QSet<QString>({alpha}));
    model->handleClearAppSelection();
    EXPECT_TRUE(model->selectedAppIds().isEmpty());
}

TEST_F(ContentModelTest, NavigationByTitle)
{
    threeApps();
    const struct
    {
        QString title;
        std::optional<NavigationSection> expected;
    } cases[] = {
        {"Main /Applications", NavigationSection::mainFolder},
        {"main /applications", NavigationSection::mainFolder},
        {"Offloaded Apps", NavigationSection::offloaded},
        {"Nowhere", NavigationSection::offloaded},
        {"History & Ledgers", NavigationSection::history},
    };
    for (const auto &entry : cases) {
        model->setSelectedAppIds(idsOf({"Alpha", "Beta"}));
        model->setSelectedSubfolder(QStringLiteral("Utilities"));
        const std::optional<NavigationSection> before = model->selectedSection();
        model->handleNavigateSection(entry.title);
        EXPECT_EQ(model->selectedSection(), entry.expected) << entry.title.toStdString();
        const bool moved = before != entry.expected;
        EXPECT_EQ(model->selectedAppIds().isEmpty(), moved) << entry.title.toStdString();
        EXPECT_EQ(model->selectedSubfolder() == QStringLiteral("All"), moved);
    }
    model->handleFocusSearch();
    EXPECT_EQ(model->selectedSection(), NavigationSection::allApps);
    EXPECT_TRUE(model->isSearchFocused());
}

TEST_F(ContentModelTest, CommandsReachEveryWindow)
{
    CommandCenter center;
    ContentModel second(ledger);
    model->subscribeToCommands(center);
    second.subscribeToCommands(center);

    center.post(CommandNames::openHelpGuide);
    EXPECT_TRUE(model->showingHelpSheet());
    EXPECT_TRUE(second.showingHelpSheet());

    center.post(CommandNames::navigateSection, QStringLiteral("Copied (Backup)"));
    EXPECT_EQ(model->selectedSection(), NavigationSection::copied);
    EXPECT_EQ(second.selectedSection(), NavigationSection::copied);
    center.post(CommandNames::navigateSection);
    center.post(CommandNames::navigateSection, 4);
    EXPECT_EQ(model->selectedSection(), NavigationSection::copied);

    center.post(CommandNames::safeEjectTarget);
    EXPECT_EQ(second.alertMessage(), QStringLiteral("No external drive is currently selected."));
    center.post(CommandNames::focusSearch);
    EXPECT_TRUE(second.isSearchFocused());
}

TEST_F(ContentModelTest, FirstRunSheetUntilAcknowledged)
{
    model->handleAppear();
    EXPECT_TRUE(model->showingBackupWarningSheet());
    EXPECT_TRUE(waitUntil([this] { return scans == 1 && !model->appScanner().isScanning(); }));
    model->acknowledgeBackupWarning();
    EXPECT_FALSE(model->showingBackupWarningSheet());
    EXPECT_EQ(sandbox.system().fakePreferences().value(ContentModel::backupWarningKey()), true);

    ContentModel relaunched(ledger);
    relaunched.handleAppear();
    EXPECT_FALSE(relaunched.showingBackupWarningSheet());
    sandbox.system().fakePreferences().setValue(ContentModel::backupWarningKey(), false);
    ContentModel reset(ledger);
    reset.handleAppear();
    EXPECT_TRUE(reset.showingBackupWarningSheet());
    EXPECT_TRUE(waitUntil(
        [&] { return !relaunched.appScanner().isScanning() && !reset.appScanner().isScanning(); }));
}

TEST_F(ContentModelTest, RefreshScansInventoryThenLeftoversOfTheTarget)
{
    selectDrive();
    sandbox.makeFolder(sandbox.drive() + QStringLiteral("/Applications/Foo.app.staging-") +
                       QStringLiteral("0F8E3B52-6C1D-4C55-9D57-1F6E2A5B1C3D"));
    bundle(QStringLiteral("Alpha"));
    model->handleRefreshApps();
    model->handleRefreshApps(); // dropped: a scan runs
    EXPECT_TRUE(waitUntil([this] { return model->stagingCleaner().orphanedItems().size() == 1; }));
    EXPECT_EQ(scans, 1);
    EXPECT_EQ(model->appScanner().apps().size(), 1);

    // The toolbar's refresh leaves the leftovers alone.
    model->stagingCleaner().setOrphanedItems({});
    model->startToolbarRescan();
    EXPECT_TRUE(waitUntil([this] { return scans == 2 && !model->appScanner().isScanning(); }));
    drainEvents();
    EXPECT_TRUE(model->stagingCleaner().orphanedItems().isEmpty());

    // Closing a progress sheet refreshes both.
    model->setShowingProgressSheet(true);
    model->handleProgressSheetDismiss();
    EXPECT_FALSE(model->showingProgressSheet());
    EXPECT_TRUE(waitUntil([this] { return model->stagingCleaner().orphanedItems().size() == 1; }));
    EXPECT_EQ(scans, 3);
}

TEST_F(ContentModelTest, SafeEjectNotices)
{
    model->handleSafeEjectTarget();
    expectNotice(QStringLiteral("No external drive is currently selected."));

    selectDrive();
    const struct
    {
        EjectResult result;
        QString notice;
    } cases[] = {
        {{true, QStringLiteral("ignored")},
         QStringLiteral("\"Backup\" was safely ejected and can now be unplugged.")},
        {{false, QStringLiteral("Quit Editor first.")}, QStringLiteral("Quit Editor first.")},
        {{false, std::nullopt}, QStringLiteral("Could not eject \"Backup\".")},
    };
    for (const auto &entry : cases) {
        TransferOperations operations = model->transferOperations();
        QList<TargetVolume> ejected;
        operations.safelyEject = [&](const TargetVolume &volume) {
            ejected.append(volume);
            return QtFuture::makeReadyFuture(entry.result);
        };
        model->setTransferOperations(operations);
        model->setShowAlert(false);
        model->handleSafeEjectTarget();
        EXPECT_TRUE(waitUntil([this] { return model->showAlert(); }));
        expectNotice(entry.notice);
        EXPECT_EQ(ejected, QList<TargetVolume>({drive()}));
    }
}

// --- Drive-change rescans ---

TEST_F(ContentModelTest, DriveChangesInABurstRescanOnce)
{
    TargetVolume first = drive(QStringLiteral("One"));
    model->volumeManager().applyRefreshedVolumes({first});
    first.freeBytes -= 1; // a refresh that only finds other free space counts too
    model->volumeManager().applyRefreshedVolumes({first});
    ASSERT_EQ(delay.started(), 2);
    EXPECT_EQ(model->volumeRescanTaskState(), ContentModel::RescanTaskState::pending);

    delay.elapse(0); // the cancelled one
    drainEvents();
    EXPECT_EQ(scans, 0);
    delay.elapse(1);
    EXPECT_TRUE(waitUntil([this] {
        return model->volumeRescanTaskState() == ContentModel::RescanTaskState::finished;
    }));
    EXPECT_EQ(scans, 1);

    // The same list again, or another target alone, starts nothing.
    model->volumeManager().applyRefreshedVolumes({first});
    model->volumeManager().setSelectedVolume(drive(QStringLiteral("Other")));
    EXPECT_EQ(delay.started(), 2);
}

TEST_F(ContentModelTest, DriveChangeRescanIsDroppedWhileBusy)
{
    const struct
    {
        const char *name;
        std::function<void(bool)> setBusy;
    } cases[] = {
        {"offload", [this](bool busy) { model->offloadEngine().setIsOffloading(busy); }},
        {"restore", [this](bool busy) { model->restoreEngine().setIsRestoring(busy); }},
    };
    qint64 free = 100;
    for (const auto &entry : cases) {
        entry.setBusy(true);
        TargetVolume volume = drive();
        volume.freeBytes = ++free;
        model->volumeManager().applyRefreshedVolumes({volume});
        delay.elapse(delay.started() - 1);
        EXPECT_TRUE(waitUntil([this] {
            return model->volumeRescanTaskState() == ContentModel::RescanTaskState::finished;
        })) << entry.name;
        entry.setBusy(false);
    }
    // A scan running at the end of the pause drops it as well.
    TargetVolume volume = drive();
    volume.freeBytes = ++free;
    model->volumeManager().applyRefreshedVolumes({volume});
    const QFuture<void> running = model->appScanner().scanAsync();
    delay.elapse(delay.started() - 1);
    EXPECT_TRUE(waitUntil([this] {
        return model->volumeRescanTaskState() == ContentModel::RescanTaskState::finished;
    }));
    EXPECT_TRUE(waitFor(running));
    EXPECT_EQ(scans, 1);
}

} // namespace
