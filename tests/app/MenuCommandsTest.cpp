#include "app/MenuCommands.h"
#include "views/main/CommandCenter.h"
#include "views/main/ContentViewFixture.h"
#include "views/main/SidebarManager.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QSignalSpy>
#include <gtest/gtest.h>

namespace {

// Title, shortcut text (portable form) and posted name of every item; "-" for a divider.
QStringList describe(const MenuGroup &group)
{
    QStringList lines;
    for (const MenuEntry &entry : group.entries) {
        if (entry.kind == MenuEntry::Kind::divider)
            lines.append(QStringLiteral("-"));
        else
            lines.append(entry.title + QLatin1Char('|') +
                         entry.shortcut.toString(QKeySequence::PortableText) + QLatin1Char('|') +
                         entry.notification);
    }
    return lines;
}

TEST(MenuCommandsTest, GroupsTitlesShortcutsAndNames)
{
    const QList<MenuGroup> groups = MenuCommands::groups();
    ASSERT_EQ(groups.size(), 4);
    EXPECT_EQ(groups[0].menuTitle, QStringLiteral("File"));
    EXPECT_EQ(describe(groups[0]), QStringList({"New Window|Ctrl+N|"}));
    EXPECT_EQ(groups[1].menuTitle, QStringLiteral("View"));
    EXPECT_EQ(
        describe(groups[1]),
        QStringList(
            {"Hide Sidebar|Meta+Ctrl+S|", "-", "All Applications|Ctrl+1|navigateSection",
             "Main /Applications|Ctrl+2|navigateSection",
             "Nested Subfolders|Ctrl+3|navigateSection", "Offloaded Apps|Ctrl+4|navigateSection",
             "Copied (Backup)|Ctrl+5|navigateSection", "Duplicate Aliases|Ctrl+6|navigateSection",
             "History & Ledgers|Ctrl+7|navigateSection"}));
    EXPECT_EQ(groups[2].menuTitle, QStringLiteral("Actions"));
    EXPECT_EQ(describe(groups[2]),
              QStringList({"Refresh Applications|Ctrl+R|refreshApps",
                           "Search Applications|Ctrl+F|focusSearch", "-",
                           "Select All Visible Apps|Ctrl+Shift+A|selectAllFilteredApps",
                           "Clear Selection|Ctrl+Shift+D|clearAppSelection", "-",
                           "Offload Selected|Ctrl+Shift+O|offloadSelectedApps",
                           "Restore Selected|Ctrl+Shift+R|restoreSelectedApps", "-",
                           "Safe Eject Target Drive|Ctrl+E|safeEjectTarget"}));
    EXPECT_EQ(groups[3].menuTitle, QStringLiteral("Help"));
    EXPECT_EQ(describe(groups[3]),
              QStringList({"Korvanthelix Guide & Status Glossary|Ctrl+?|openHelpGuide"}));
    // The section items carry their own title.
    EXPECT_EQ(groups[1].entries[3].object, QVariant(QStringLiteral("Main /Applications")));
}

TEST(MenuCommandsTest, ItemsPostTheirNames)
{
    CommandCenter center;
    SidebarManager &sidebar = SidebarManager::shared();
    sidebar.setColumnVisibility(SidebarManager::ColumnVisibility::all);
    sidebar.setWindowInquiry([] { return std::optional<bool>(); });
    int newWindows = 0;
    QMenuBar bar;
    MenuCommands::install(&bar, center, sidebar, [&] { ++newWindows; });

    QSignalSpy posts(&center, &CommandCenter::posted);
    QStringList titles;
    const QList<QAction *> menus = bar.actions();
    for (QAction *menuAction : menus) {
        const QList<QAction *> items = menuAction->menu()->actions();
        for (QAction *item : items) {
            if (item->isSeparator())
                continue;
            EXPECT_TRUE(item->isEnabled());
            titles.append(item->text());
            item->trigger();
        }
    }
    EXPECT_EQ(newWindows, 1);
    EXPECT_EQ(titles[1], QStringLiteral("Hide Sidebar"));
    EXPECT_FALSE(sidebar.isSidebarVisible());
    const QAction *sidebarItem = menus[1]->menu()->actions().first();
    EXPECT_EQ(sidebarItem->text(), QStringLiteral("Show Sidebar"));
    sidebar.setColumnVisibility(SidebarManager::ColumnVisibility::all);
    EXPECT_EQ(sidebarItem->text(), QStringLiteral("Hide Sidebar"));

    // Every command item posts its own name and object, once, in menu order.
    QStringList posted;
    for (const QList<QVariant> &post : std::as_const(posts))
        posted.append(post[0].toString() + QLatin1Char(' ') + post[1].toString());
    QStringList expected;
    for (const MenuGroup &group : MenuCommands::groups()) {
        for (const MenuEntry &entry : group.entries) {
            if (entry.kind == MenuEntry::Kind::command)
                expected.append(entry.notification + QLatin1Char(' ') + entry.object.toString());
        }
    }
    EXPECT_EQ(posted, expected);
    EXPECT_EQ(posted.size(), 15);
    sidebar.setWindowInquiry({});
}

// What a menu shows for an item: Qt drops a lone "&" as a mnemonic marker and shows "&&" as
// one "&".
QString shownText(const QAction *action)
{
    QString shown;
    const QString text = action->text();
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('&')) {
            if (++i == text.size())
                break;
        }
        shown.append(text[i]);
    }
    return shown;
}

TEST(MenuCommandsTest, MenusShowTheirTitlesAsWritten)
{
    CommandCenter center;
    QMenuBar bar;
    MenuCommands::install(&bar, center, SidebarManager::shared(), [] {});
    const QList<QAction *> menus = bar.actions();
    const QList<MenuGroup> groups = MenuCommands::groups();
    ASSERT_EQ(menus.size(), groups.size());
    for (qsizetype m = 0; m < menus.size(); ++m) {
        EXPECT_EQ(shownText(menus[m]), groups[m].menuTitle);
        const QList<QAction *> items = menus[m]->menu()->actions();
        ASSERT_EQ(items.size(), groups[m].entries.size());
        for (qsizetype i = 0; i < items.size(); ++i) {
            if (groups[m].entries[i].kind == MenuEntry::Kind::sidebarToggle)
                EXPECT_EQ(shownText(items[i]),
                          MenuCommands::sidebarTitle(SidebarManager::shared().isSidebarVisible()));
            else
                EXPECT_EQ(shownText(items[i]), groups[m].entries[i].title);
        }
    }
}

// A text field as X11's key bindings make it: it claims control keys as editing keys (Ctrl+E
// moves to the end of the line there). The window is tested offscreen, where the field claims
// none of the menu's keys, so this claims them all as the field would on a desktop.
class ClaimsControlKeys final : public QObject
{
public:
    using QObject::QObject;
    bool eventFilter(QObject *, QEvent *event) override
    {
        const bool control =
            (event->type() == QEvent::ShortcutOverride || event->type() == QEvent::KeyPress) &&
            static_cast<QKeyEvent *>(event)->modifiers().testFlag(Qt::ControlModifier);
        if (control && event->type() == QEvent::ShortcutOverride)
            event->accept();
        else if (control)
            ++editingKeys;
        return false;
    }
    int editingKeys = 0;
};

// The window with menus that post to a centre of their own (so the window does not act on
// them), active, and its search field claiming control keys as a desktop's field does.
class MenuShortcutsTest : public ContentViewFixture
{
protected:
    void openWithMenus()
    {
        open();
        MenuCommands::install(window->menuBar(), probe, SidebarManager::shared(), [] {});
        QApplication::setActiveWindow(window.get());
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
        search = find<QLineEdit>(QStringLiteral("searchField"));
        ASSERT_TRUE(search);
        search->installEventFilter(&claims);
    }

    CommandCenter probe;
    QLineEdit *search = nullptr;
    ClaimsControlKeys claims;
};

// Every menu shortcut reaches its item while the search field has the focus, and the field
// keeps its text: the shortcut is not taken as an editing key.
TEST_F(MenuShortcutsTest, ShortcutsWinOverTheSearchField)
{
    openWithMenus();
    if (HasFatalFailure())
        return;

    // Every command has something to act on: a target drive and a selection.
    selectBackupDrive(QStringLiteral("Backup"));
    QSignalSpy posts(&probe, &CommandCenter::posted);
    for (const MenuGroup &group : MenuCommands::groups()) {
        for (const MenuEntry &entry : group.entries) {
            if (entry.kind != MenuEntry::Kind::command)
                continue;
            model->setSelectedSection(NavigationSection::allApps);
            model->setSelectedAppIds({sandbox.applications() + QStringLiteral("/Notes.app")});
            settle();
            search->setFocus();
            search->setText(QStringLiteral("abc"));
            search->setCursorPosition(1);
            ASSERT_TRUE(search->hasFocus());
            posts.clear();
            const QKeyCombination key = entry.shortcut[0];
            QTest::keyClick(search, key.key(), key.keyboardModifiers());
            ASSERT_EQ(posts.size(), 1) << entry.title.toStdString();
            EXPECT_EQ(posts[0][0].toString(), entry.notification) << entry.title.toStdString();
            EXPECT_EQ(search->text(), QStringLiteral("abc")) << entry.title.toStdString();
            EXPECT_EQ(search->cursorPosition(), 1) << entry.title.toStdString();
        }
    }
}

// A command with nothing to act on, or a disabled item, leaves its key to the field: Ctrl+E
// with no target drive is the field's end-of-line key again.
TEST_F(MenuShortcutsTest, IdleCommandsLeaveTheirKeysToTheSearchField)
{
    openWithMenus();
    if (HasFatalFailure())
        return;
    QAction *refresh = nullptr;
    for (QAction *menu : window->menuBar()->actions()) {
        for (QAction *item : menu->menu()->actions()) {
            if (item->data().toString() == CommandNames::refreshApps)
                refresh = item;
        }
    }
    ASSERT_TRUE(refresh);
    const struct
    {
        const char *why;
        QKeyCombination key;
        std::function<void()> arrange;
    } rows[] = {
        {"eject without a target drive", Qt::CTRL | Qt::Key_E, [] {}},
        {"clear with nothing selected", Qt::CTRL | Qt::SHIFT | Qt::Key_D, [] {}},
        {"a disabled item", Qt::CTRL | Qt::Key_R, [refresh] { refresh->setEnabled(false); }},
    };
    QSignalSpy posts(&probe, &CommandCenter::posted);
    for (const auto &row : rows) {
        row.arrange();
        search->setFocus();
        claims.editingKeys = 0;
        posts.clear();
        QTest::keyClick(search, row.key.key(), row.key.keyboardModifiers());
        EXPECT_EQ(posts.size(), 0) << row.why;
        EXPECT_GT(claims.editingKeys, 0) << row.why;
    }
}

} // namespace
