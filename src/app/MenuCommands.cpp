#include "app/MenuCommands.h"

#include "views/main/CommandCenter.h"
#include "views/main/ListVocabulary.h"
#include "views/main/SidebarManager.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>

namespace {

MenuEntry command(const QString &title, const QKeySequence &shortcut, const QString &name,
                  const QVariant &object = {})
{
    return {MenuEntry::Kind::command, title, shortcut, name, object};
}

MenuEntry divider()
{
    return {MenuEntry::Kind::divider, {}, {}, {}, {}};
}

QAction *addEntry(QMenu *menu, const MenuEntry &entry, CommandCenter &commands,
                  SidebarManager &sidebar, const std::function<void()> &onNewWindow)
{
    if (entry.kind == MenuEntry::Kind::divider)
        return menu->addSeparator();
    QAction *action = menu->addAction(entry.title);
    action->setShortcut(entry.shortcut);
    switch (entry.kind) {
    case MenuEntry::Kind::command:
        QObject::connect(action, &QAction::triggered, action,
                         [&commands, name = entry.notification, object = entry.object] {
                             commands.post(name, object);
                         });
        break;
    case MenuEntry::Kind::sidebarToggle:
        action->setText(MenuCommands::sidebarTitle(sidebar.isSidebarVisible()));
        QObject::connect(action, &QAction::triggered, action, [&sidebar] { sidebar.toggle(); });
        QObject::connect(
            &sidebar, &SidebarManager::isSidebarVisibleChanged, action, [action, &sidebar] {
                action->setText(MenuCommands::sidebarTitle(sidebar.isSidebarVisible()));
            });
        break;
    case MenuEntry::Kind::newWindow:
        QObject::connect(action, &QAction::triggered, action, [onNewWindow] {
            if (onNewWindow)
                onNewWindow();
        });
        break;
    case MenuEntry::Kind::divider:
        break;
    }
    return action;
}

} // namespace

namespace MenuCommands {

QString sidebarTitle(bool sidebarVisible)
{
    return sidebarVisible ? QObject::tr("Hide Sidebar") : QObject::tr("Show Sidebar");
}

QList<MenuGroup> groups()
{
    MenuGroup file{QObject::tr("File"),
                   {{MenuEntry::Kind::newWindow,
                     QObject::tr("New Window"),
                     QKeySequence(Qt::CTRL | Qt::Key_N),
                     {},
                     {}}}};

    // The sidebar item stands in the View menu, then the sections in their order.
    MenuGroup view{QObject::tr("View"),
                   {{MenuEntry::Kind::sidebarToggle,
                     sidebarTitle(true),
                     QKeySequence(Qt::CTRL | Qt::META | Qt::Key_S),
                     {},
                     {}},
                    divider()}};
    const QList<NavigationSection> sections = allCases<NavigationSection>();
    for (int i = 0; i < sections.size(); ++i) {
        const QString title = label(sections[i]);
        view.entries.append(command(title, QKeySequence(Qt::CTRL | Qt::Key(Qt::Key_1 + i)),
                                    CommandNames::navigateSection, title));
    }

    MenuGroup actions{
        QObject::tr("Actions"),
        {command(QObject::tr("Refresh Applications"), QKeySequence(Qt::CTRL | Qt::Key_R),
                 CommandNames::refreshApps),
         command(QObject::tr("Search Applications"), QKeySequence(Qt::CTRL | Qt::Key_F),
                 CommandNames::focusSearch),
         divider(),
         command(QObject::tr("Select All Visible Apps"),
                 QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_A),
                 CommandNames::selectAllFilteredApps),
         command(QObject::tr("Clear Selection"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_D),
                 CommandNames::clearAppSelection),
         divider(),
         command(QObject::tr("Offload Selected"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O),
                 CommandNames::offloadSelectedApps),
         command(QObject::tr("Restore Selected"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_R),
                 CommandNames::restoreSelectedApps),
         divider(),
         command(QObject::tr("Safe Eject Target Drive"), QKeySequence(Qt::CTRL | Qt::Key_E),
                 CommandNames::safeEjectTarget)}};

    MenuGroup help{
        QObject::tr("Help"),
        {command(QObject::tr("Korvanthelix Guide & Status Glossary"),
                 QKeySequence(Qt::CTRL | Qt::Key_Question), CommandNames::openHelpGuide)}};

    return {file, view, actions, help};
}

void install(QMenuBar *bar, CommandCenter &commands, SidebarManager &sidebar,
             std::function<void()> onNewWindow)
{
    const QList<MenuGroup> menus = groups();
    for (const MenuGroup &group : menus) {
        QMenu *menu = bar->addMenu(group.menuTitle);
        for (const MenuEntry &entry : group.entries)
            addEntry(menu, entry, commands, sidebar, onNewWindow);
    }
}

} // namespace MenuCommands
