#include "e2e/WindowDriver.h"

#include "support/Screenshot.h"
#include "support/Wait.h"

#include <QAbstractButton>
#include <QGuiApplication>
#include <QListView>
#include <QMenu>
#include <QScreen>
#include <QScrollArea>
#include <QTest>
#include <QTimer>
#include <QToolButton>

namespace WindowDriver {

namespace {

QWidget *findVisible(const QString &name, const std::function<bool(QWidget *)> &fits)
{
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget *window : windows) {
        QList<QWidget *> candidates = window->findChildren<QWidget *>(name);
        if (window->objectName() == name)
            candidates.prepend(window);
        for (QWidget *candidate : std::as_const(candidates)) {
            if (candidate->isVisible() && fits(candidate))
                return candidate;
        }
    }
    return nullptr;
}

// Lets the windows that just changed paint and reach the display.
void settle()
{
    for (int turn = 0; turn < 5; ++turn) {
        drainEvents();
        QTest::qWait(20);
    }
}

} // namespace

QWidget *waitForVisibleWidget(const QString &name, const std::function<bool(QWidget *)> &fits,
                              int timeoutMs)
{
    QWidget *found = nullptr;
    (void)waitUntil([&] { return (found = findVisible(name, fits)) != nullptr; }, timeoutMs);
    return found;
}

bool click(QAbstractButton *button)
{
    if (!button || !button->isVisible() || !button->isEnabled())
        return false;
    // In a scrolling pane, bring the button into view first, as a user would.
    for (QWidget *parent = button->parentWidget(); parent; parent = parent->parentWidget()) {
        if (auto *scroll = qobject_cast<QScrollArea *>(parent)) {
            scroll->ensureWidgetVisible(button);
            break;
        }
    }
    QTest::mouseClick(button, Qt::LeftButton, {}, button->rect().center());
    return true;
}

bool clickRow(QListView *view, int role, const QVariant &value)
{
    if (!view || !view->model())
        return false;
    const QAbstractItemModel *model = view->model();
    for (int row = 0; row < model->rowCount(); ++row) {
        const QModelIndex index = model->index(row, 0);
        if (index.data(role) != value)
            continue;
        view->scrollTo(index);
        const QRect rect = view->visualRect(index);
        if (rect.isEmpty())
            return false;
        // Two thirds across: on the row's text, clear of its selection control.
        const QPoint point(rect.left() + rect.width() * 2 / 3, rect.center().y());
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, point);
        return true;
    }
    return false;
}

bool chooseFromMenu(QToolButton *button, const std::function<bool(const QAction *)> &choose,
                    const QString &screenshot)
{
    if (!button || !button->isVisible() || !button->isEnabled())
        return false;
    bool done = false;
    bool chosen = false;
    // The menu runs its own loop while it is open, so the choice is made from a timer.
    QTimer poll;
    poll.setInterval(20);
    int attempts = 0;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        if (!menu || !menu->isVisible()) {
            if (++attempts > 250) {
                poll.stop();
                done = true;
            }
            return;
        }
        poll.stop();
        if (!screenshot.isEmpty())
            saveStep(button->window(), screenshot);
        const QList<QAction *> actions = menu->actions();
        for (QAction *action : actions) {
            if (action->isVisible() && action->isEnabled() && choose(action)) {
                QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(action).center());
                chosen = true;
                break;
            }
        }
        if (!chosen)
            menu->close();
        done = true;
    });
    poll.start();
    QTest::mouseClick(button, Qt::LeftButton, {}, button->rect().center());
    (void)waitUntil([&] { return done; }, 10000);
    poll.stop();
    return chosen;
}

QString saveStep(QWidget *window, const QString &step)
{
    const QString path = screenshotPath(QStringLiteral("e2e/") + step);
    settle();
    QScreen *screen = window->screen();
    if (QGuiApplication::platformName() != QLatin1String("xcb") || !screen) {
        window->grab().save(path);
        return path;
    }
    // The window with whatever other window (sheet, alert, menu) shows over it.
    QRect area = window->frameGeometry();
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (const QWidget *other : windows) {
        if (other != window && other->isVisible() && other->windowHandle())
            area |= other->frameGeometry();
    }
    area &= screen->geometry();
    screen->grabWindow(0, area.x(), area.y(), area.width(), area.height()).save(path);
    return path;
}

} // namespace WindowDriver
