#include "app/AppDelegate.h"

#include "views/main/WindowTabbing.h"

#include <QApplication>
#include <QWidget>

void AppDelegate::applicationDidFinishLaunching()
{
    if (!WindowTabbing::disableAutomaticTabbing())
        return;
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget *window : windows) {
        if (window->isWindow())
            WindowTabbing::disallowTabbing(window);
    }
}
