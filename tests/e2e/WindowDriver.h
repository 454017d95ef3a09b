#pragma once

#include <QApplication>
#include <QString>
#include <QWidget>
#include <functional>

class QAbstractButton;
class QAction;
class QListView;
class QToolButton;

// Finds and works the controls of a real window the way a user would: by clicks on what is
// shown, through its menus, waiting for what each click starts. Screenshots show the screen
// where the window lies, so that sheets and menus over it are in the picture (under a real
// X server; elsewhere only the window itself).
namespace WindowDriver {

// Pumps the event loop until a visible widget of type T named `name` is found in any window
// (sheets and alerts are windows of their own); null when none appears in time.
QWidget *waitForVisibleWidget(const QString &name, const std::function<bool(QWidget *)> &fits,
                              int timeoutMs);

template<typename T = QWidget>
T *waitForVisible(const QString &name, int timeoutMs = 10000)
{
    return static_cast<T *>(waitForVisibleWidget(
        name, [](QWidget *widget) { return qobject_cast<T *>(widget) != nullptr; }, timeoutMs));
}

// Clicks an enabled, visible button in its middle; false when it cannot be clicked.
[[nodiscard]] bool click(QAbstractButton *button);

// Clicks the row of `view` whose `role` data equals `value` (its middle, right of any
// leading control); false when no such row is shown.
[[nodiscard]] bool clickRow(QListView *view, int role, const QVariant &value);

// Opens the menu of `button` with a click, saves the screen as `screenshot` (when not
// empty) while it is open, and clicks the first action that `choose` accepts. False when the
// menu did not open or held no such action.
[[nodiscard]] bool chooseFromMenu(QToolButton *button,
                                  const std::function<bool(const QAction *)> &choose,
                                  const QString &screenshot = {});

// Saves the screen area of `window` (and of the sheets over it) as
// build/screenshots/e2e/<step>.png; returns the path.
QString saveStep(QWidget *window, const QString &step);

} // namespace WindowDriver
