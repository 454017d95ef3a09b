#include "app/KorvanthelixApp.h"

#include "app/MenuCommands.h"
#include "views/main/CommandCenter.h"
#include "views/main/MainWindow.h"
#include "views/main/SidebarManager.h"

#include <QMenuBar>

KorvanthelixApp::KorvanthelixApp(int &argc, char **argv)
    : QApplication(argc, argv)
{
    setOrganizationName(QStringLiteral("Korvanthelix"));
    setApplicationName(QStringLiteral("Korvanthelix"));
}

MainWindow *KorvanthelixApp::openWindow()
{
    auto *window = new MainWindow(CommandCenter::shared());
    MenuCommands::install(window->menuBar(), CommandCenter::shared(), SidebarManager::shared(),
                          [this] { openWindow(); });
    window->fitToScreen();
    window->show();
    return window;
}

int KorvanthelixApp::run()
{
    openWindow();
    m_delegate.applicationDidFinishLaunching();
    return exec();
}
