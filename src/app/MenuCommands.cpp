#include "app/MenuCommands.h"

#include "views/kit/Controls.h"
#include "views/main/CommandCenter.h"
#include "views/main/ContentModel.h"
#include "views/main/ListVocabulary.h"
#include "views/main/MainWindow.h"
#include "views/main/SidebarManager.h"

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMenuBar>

namespace {

// Text fields claim some control keys as editing keys (Ctrl+E moves to the end of the line
// here), which would silence a menu item while a field has focus. The shortcut of a command
// that has something to act on wins: the field never hears of it, so it goes to its menu
// item. Any other key stays the field's (Ctrl+E with no target drive edits the text).
class MenuShortcutPriority final : public QObject
{
public:
    MenuShortcutPriority(QMenuBar *bar)
        : QObject(bar)
        , m_bar(bar)
    {
        qApp->installEventFilter(this);
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::ShortcutOverride)
            return false;
        auto *widget = qobject_cast<QWidget *>(watched);
        if (!widget || widget->window() != m_bar->window())
            return false;
        const auto *key = static_cast<QKeyEvent *>(event);
        const QKeySequence pressed(key->keyCombination());
        const QList<QAction *> menus = m_bar->actions();
        for (const QAction *menu : menus) {
            if (!menu->menu())
                continue;
            const QList<QAction *> items = menu->menu()->actions();
            for (const QAction *item : items) {
                if (!item->shortcut().isEmpty() &&
                    item->shortcut().matches(pressed) == QKeySequence::ExactMatch &&
                    applies(item)) {
                    event->ignore();
                    return true;
                }
            }
        }
        return false;
    }

private:
    [[nodiscard]] bool applies(const QAction *item) const
    {
        if (!item->isEnabled())
            return false;
        const auto *window = qobject_cast<const MainWindow *>(m_bar->window());
        const QString command = item->data().toString();
        return !window || command.isEmpty() || window->model().commandApplies(command);
    }

    QMenuBar *m_bar;
};

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
    QAction *action = menu->addAction(Controls::literalText(entry.title));
    action->setShortcut(entry.shortcut);
    switch (entry.kind) {
    case MenuEntry::Kind::command:
        action->setData(entry.notification);
        QObject::connect(action, &QAction::triggered, action,
                         [&commands, name = entry.notification, object = entry.object] {
                             commands.post(name, object);
                         });
        break;
    case MenuEntry::Kind::sidebarToggle:
        action->setText(
            Controls::literalText(MenuCommands::sidebarTitle(sidebar.isSidebarVisible())));
        QObject::connect(action, &QAction::triggered, action, [&sidebar] { sidebar.toggle(); });
        QObject::connect(
            &sidebar, &SidebarManager::isSidebarVisibleChanged, action, [action, &sidebar] {
                action->setText(
                    Controls::literalText(MenuCommands::sidebarTitle(sidebar.isSidebarVisible())));
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
        QMenu *menu = bar->addMenu(Controls::literalText(group.menuTitle));
        for (const MenuEntry &entry : group.entries)
            addEntry(menu, entry, commands, sidebar, onNewWindow);
    }
    new MenuShortcutPriority(bar);
}

} // namespace MenuCommands
