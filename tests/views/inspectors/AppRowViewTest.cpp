#include "views/inspectors/AppRowView.h"
#include "InspectorFixture.h"
#include "support/Screenshot.h"

#include <QMenu>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

class AppRowViewTest : public InspectorFixture
{
protected:
    QStringList menuActions(const AppRowView &row)
    {
        std::unique_ptr<QMenu> menu(row.createContextMenu());
        QStringList names;
        for (QAction *action : menu->actions())
            names << (action->isSeparator() ? QStringLiteral("--") : action->objectName());
        return names;
    }

    void trigger(const AppRowView &row, const QString &action)
    {
        std::unique_ptr<QMenu> menu(row.createContextMenu());
        if (auto *found = menu->findChild<QAction *>(action))
            found->trigger();
        else
            ADD_FAILURE() << "no action " << action.toStdString();
    }
};

TEST_F(AppRowViewTest, SelectionControlOnlyWithACallback)
{
    int toggles = 0;
    const AppItem app = bundle(QStringLiteral("Applications/Editor.app"));
    AppRowView selectable(app, true, [&] { ++toggles; });
    click(selectable, QStringLiteral("selectionButton"));
    click(selectable, QStringLiteral("selectionButton"));
    EXPECT_EQ(toggles, 2); // the row never flips its own state
    AppRowView plain(app, true);
    EXPECT_FALSE(shown(plain, QStringLiteral("selectionButton")));
}

TEST_F(AppRowViewTest, ContextMenuRevealsAndLaunches)
{
    FakeWorkspace &workspace = sandbox.system().fakeWorkspace();
    const AppItem app = linked(QStringLiteral("Editor"));
    AppRowView row(app, false);
    EXPECT_EQ(menuActions(row),
              (QStringList{"revealInFinderAction", "revealOnDriveAction", "--", "launchAction"}));
    trigger(row, QStringLiteral("revealInFinderAction"));
    trigger(row, QStringLiteral("revealOnDriveAction"));
    trigger(row, QStringLiteral("launchAction"));
    EXPECT_EQ(workspace.revealRequests(), (QList<QStringList>{{app.id()}, {*app.symlinkTarget}}));
    EXPECT_EQ(workspace.openRequests(), QStringList{app.id()});

    // The drive copy is looked for as the menu opens.
    QDir(*app.symlinkTarget).removeRecursively();
    EXPECT_EQ(menuActions(row), (QStringList{"revealInFinderAction", "--", "launchAction"}));
}

TEST_F(AppRowViewTest, Screenshot)
{
    AppItem running = bundle(QStringLiteral("Applications/Editor.app"), 12'000'000);
    running.isRunning = true;
    running.supportFolders = {folder(QStringLiteral("Editor"), 4'000'000, true)};
    const AppItem nested = bundle(QStringLiteral("Applications/Utilities/Console Tools.app"), 0);
    AppItem outOfSync = bundle(QStringLiteral("Applications/Notes.app"), 9'000'000);
    outOfSync.isUpdateOutOfSync = true;
    outOfSync.externalVersion = QStringLiteral("2.0");
    AppItem aliased = linked(QStringLiteral("Photo Lab"));
    aliased.duplicateAliasPaths = {sandbox.applications() + QStringLiteral("/Photo Lab alias")};
    AppItem mixer = proxy(QStringLiteral("Mixer"));

    QWidget list;
    list.setFixedWidth(560);
    auto *layout = new QVBoxLayout(&list);
    layout->setSpacing(2);
    bool selected = true;
    for (const AppItem &app :
         {running, nested, outOfSync, aliased, mixer, linked(QStringLiteral("Old Game"), false)}) {
        layout->addWidget(new AppRowView(app, selected, [] {}));
        selected = false;
    }
    list.adjustSize();
    saveScreenshot(&list, QStringLiteral("inspectors/rows"));
}

} // namespace
