#include "views/main/SidebarManager.h"

#include <QApplication>
#include <QMainWindow>
#include <QSplitter>

namespace {

const QSplitter *firstSplitter(const QObject *object)
{
    if (const auto *splitter = qobject_cast<const QSplitter *>(object))
        return splitter;
    for (const QObject *child : object->children()) {
        if (const QSplitter *found = firstSplitter(child))
            return found;
    }
    return nullptr;
}

} // namespace

SidebarManager &SidebarManager::shared()
{
    // Thread-safe first use; lives until the program ends.
    static SidebarManager instance;
    return instance;
}

void SidebarManager::setColumnVisibility(ColumnVisibility visibility)
{
    m_columnVisibility = visibility;
    emit columnVisibilityChanged();
    setIsSidebarVisible(visibility != ColumnVisibility::doubleColumn &&
                        visibility != ColumnVisibility::detailOnly);
}

void SidebarManager::setIsSidebarVisible(bool visible)
{
    m_isSidebarVisible = visible;
    emit isSidebarVisibleChanged();
}

void SidebarManager::toggle()
{
    const bool collapsed = collapsedInWindow().value_or(!m_isSidebarVisible);
    if (collapsed) {
        setColumnVisibility(ColumnVisibility::all);
        setIsSidebarVisible(true);
    } else {
        setColumnVisibility(ColumnVisibility::doubleColumn);
        setIsSidebarVisible(false);
    }
    emit sidebarToggleRequested();
}

void SidebarManager::updateState()
{
    const std::optional<bool> collapsed = collapsedInWindow();
    if (!collapsed)
        return;
    setIsSidebarVisible(!*collapsed);
    if (!*collapsed && m_columnVisibility == ColumnVisibility::doubleColumn)
        setColumnVisibility(ColumnVisibility::all);
    else if (*collapsed && m_columnVisibility == ColumnVisibility::all)
        setColumnVisibility(ColumnVisibility::doubleColumn);
}

std::optional<bool> SidebarManager::isSidebarCollapsedInWindow()
{
    const QWidget *window = QApplication::activeWindow();
    if (!window) {
        const QWidgetList windows = QApplication::topLevelWidgets();
        for (const QWidget *candidate : windows) {
            if (candidate->isVisible() && qobject_cast<const QMainWindow *>(candidate)) {
                window = candidate;
                break;
            }
        }
    }
    if (!window)
        return std::nullopt;
    return isSidebarCollapsedIn(window);
}

std::optional<bool> SidebarManager::isSidebarCollapsedIn(const QWidget *window)
{
    const QSplitter *splitter = firstSplitter(window);
    if (!splitter || splitter->count() == 0)
        return std::nullopt;
    // A splitter not laid out yet reports no sizes worth reading.
    const QList<int> sizes = splitter->sizes();
    return splitter->widget(0)->isHidden() ||
           (splitter->isVisible() && !sizes.isEmpty() && sizes.first() == 0);
}

void SidebarManager::setWindowInquiry(WindowInquiry inquiry)
{
    m_inquiry = std::move(inquiry);
}

std::optional<bool> SidebarManager::collapsedInWindow() const
{
    return m_inquiry ? m_inquiry() : isSidebarCollapsedInWindow();
}
