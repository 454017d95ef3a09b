#include "views/main/MainWindow.h"

#include "views/main/CommandCenter.h"
#include "views/main/ContentModel.h"
#include "views/main/ContentView.h"
#include "views/main/DialogsAndAlertsModifier.h"
#include "views/main/WindowTabbing.h"

#include <QGuiApplication>
#include <QScreen>
#include <QShowEvent>
#include <QTimer>

namespace {

// The frame rectangle of a window whose content is `content` and whose frame adds `frame`,
// fitted to the free area `available` of a screen: the size where it fits, no smaller than
// `minimum`, and moved onto the area, centred there when `placed` is false.
QRect fittedFrame(const QRect &content, const QMargins &frame, const QSize &minimum,
                  const QRect &available, bool placed)
{
    const QSize room = available.size().shrunkBy(frame);
    const QSize size = content.size().boundedTo(room).expandedTo(minimum);
    QRect outer(content.topLeft() - QPoint(frame.left(), frame.top()), size.grownBy(frame));
    if (!placed)
        outer.moveCenter(available.center());
    // The top left last: a window larger than the area keeps its title bar in sight.
    outer.moveRight(std::min(outer.right(), available.right()));
    outer.moveBottom(std::min(outer.bottom(), available.bottom()));
    outer.moveLeft(std::max(outer.left(), available.left()));
    outer.moveTop(std::max(outer.top(), available.top()));
    return outer;
}

} // namespace

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
    // The preferred size; fitToScreen() makes it fit the screen.
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

void MainWindow::fitToScreen()
{
    const bool placed = testAttribute(Qt::WA_Moved);
    QScreen *screen = placed ? QGuiApplication::screenAt(frameGeometry().center()) : nullptr;
    // Read before the platform window exists: that starts on the screen of its position.
    if (!screen)
        screen = this->screen();
    if (!screen)
        return;
    // The platform window knows its frame once it exists (the title bar on macOS).
    winId();
    const QRect content = geometry();
    const QRect outside = frameGeometry();
    const QMargins frame(content.left() - outside.left(), content.top() - outside.top(),
                         outside.right() - content.right(), outside.bottom() - content.bottom());
    const QSize minimum = minimumSizeHint().expandedTo(minimumSize());
    const QRect outer = fittedFrame(content, frame, minimum, screen->availableGeometry(), placed);
    resize(outer.size().shrunkBy(frame));
    // A window's position is that of its frame.
    move(outer.topLeft());
}
