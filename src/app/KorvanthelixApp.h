#pragma once

#include "app/AppDelegate.h"

#include <QApplication>

class MainWindow;

// The program: the application object with its delegate, and its one kind of window. Every
// window has its own model and state and the full menu bar; one command reaches them all.
class KorvanthelixApp final : public QApplication
{
    Q_OBJECT

public:
    KorvanthelixApp(int &argc, char **argv);

    // Opens and shows another main window.
    MainWindow *openWindow();
    // Opens the first window, finishes launching and runs the event loop until the last
    // window closes.
    int run();

private:
    AppDelegate m_delegate;
};
