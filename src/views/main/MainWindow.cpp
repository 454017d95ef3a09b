#include "views/main/MainWindow.h"

#include "views/main/CommandCenter.h"
#include "views/main/ContentModel.h"
#include "views/main/ContentView.h"
#include "views/main/DialogsAndAlertsModifier.h"
#include "views/main/WindowTabbing.h"

#include <QShowEvent>
#include <QTimer>

MainWindow::MainWindow(CommandCenter &commands, QWidget *parent)
    : MainWindow(new ContentModel, commands, parent)
{}

MainWindow::MainWindow(ContentModel *model, CommandCenter &commands, QWidget *parent)
    : QMainWindow(parent)
    , m_model(model)
    , m_dialogs(new DialogsAndAlertsModifier(*model, this))
{
    m_model->setParent(this);
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(QStringLiteral("Korvanthelix"));
    setAttribute(Qt::WA_DeleteOnClose);
    setUnifiedTitleAndToolBarOnMac(true);
    m_content = new ContentView(*m_model, this);
    m_content->setMinimumSize(minimumContentSize);
    setCentralWidget(m_content);
    addToolBar(Qt::TopToolBarArea, m_content->toolbar());
    // The first size is the content's preferred one; the platform may restore another.
    resize(sizeHint());
    m_model->subscribeToCommands(commands);
}

void MainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    // The native window exists only now; tabbing is switched off on the next turn.
    QTimer::singleShot(0, this, [this] { WindowTabbing::disallowTabbing(this); });
    if (!event->spontaneous())
        m_model->handleAppear();
}
