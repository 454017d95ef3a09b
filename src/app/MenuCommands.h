#pragma once

#include <QKeySequence>
#include <QList>
#include <QString>
#include <QVariant>
#include <functional>

class CommandCenter;
class QMenuBar;
class SidebarManager;

// One item of the menu bar, or a divider between items.
struct MenuEntry
{
    enum class Kind {
        command, // posts `notification` with `object`
        divider,
        sidebarToggle, // calls SidebarManager::toggle(); its title follows the sidebar
        newWindow,     // opens another main window
    };

    Kind kind = Kind::command;
    QString title;
    QKeySequence shortcut;
    QString notification;
    QVariant object;

    friend bool operator==(const MenuEntry &, const MenuEntry &) = default;
};

struct MenuGroup
{
    QString menuTitle;
    QList<MenuEntry> entries;

    friend bool operator==(const MenuGroup &, const MenuGroup &) = default;
};

// The program's menus. Apart from the sidebar item and the standard new-window item, every
// item only posts a command to the command centre; the windows decide what it does. No item
// is ever disabled.
namespace MenuCommands {

// The menus in menu-bar order: File (the standard "New Window"), View (the sidebar item, a
// divider and the seven sections), Actions, Help.
[[nodiscard]] QList<MenuGroup> groups();
// "Hide Sidebar" while the sidebar is shown, "Show Sidebar" otherwise.
[[nodiscard]] QString sidebarTitle(bool sidebarVisible);

// Fills `bar` with the menus. Neither `commands` nor `sidebar` is owned; both outlive the
// bar. `onNewWindow` runs for "New Window".
void install(QMenuBar *bar, CommandCenter &commands, SidebarManager &sidebar,
             std::function<void()> onNewWindow);

} // namespace MenuCommands
