#pragma once

#include <QObject>
#include <functional>
#include <optional>

class QWidget;

// Whether the window's sidebar column is shown, shared by every window and the menu item
// that shows or hides it. The window's splitter may also collapse the sidebar on its own;
// updateState() reads that back. One instance for the process; main thread only.
class SidebarManager final : public QObject
{
    Q_OBJECT
    Q_PROPERTY(ColumnVisibility columnVisibility READ columnVisibility WRITE setColumnVisibility
                   NOTIFY columnVisibilityChanged)
    Q_PROPERTY(bool isSidebarVisible READ isSidebarVisible WRITE setIsSidebarVisible NOTIFY
                   isSidebarVisibleChanged)

public:
    // The columns of the three-column window that are shown.
    enum class ColumnVisibility {
        automatic,
        all,
        doubleColumn,
        detailOnly,
    };
    Q_ENUM(ColumnVisibility)

    // Whether the sidebar of the current window is collapsed; nothing when that cannot be
    // found out.
    using WindowInquiry = std::function<std::optional<bool>()>;

    [[nodiscard]] static SidebarManager &shared();

    [[nodiscard]] ColumnVisibility columnVisibility() const { return m_columnVisibility; }
    [[nodiscard]] bool isSidebarVisible() const { return m_isSidebarVisible; }
    // Also sets isSidebarVisible: false for doubleColumn and detailOnly, true otherwise.
    void setColumnVisibility(ColumnVisibility visibility);
    void setIsSidebarVisible(bool visible);

    // Shows the sidebar when it is hidden and hides it when it is shown, judged by the
    // window when it can tell and by isSidebarVisible otherwise; then asks the windows to
    // toggle their sidebar (sidebarToggleRequested).
    void toggle();
    // Takes the window's real state, when it can be found out.
    void updateState();

    // The key window (else the first visible main window): the collapsed state of the
    // first pane of its first splitter in depth-first order.
    [[nodiscard]] static std::optional<bool> isSidebarCollapsedInWindow();
    // The same inquiry on one window.
    [[nodiscard]] static std::optional<bool> isSidebarCollapsedIn(const QWidget *window);
    // Tests answer for the window; an empty inquiry asks the windows again.
    void setWindowInquiry(WindowInquiry inquiry);

signals:
    void columnVisibilityChanged();
    void isSidebarVisibleChanged();
    // The windows toggle their own sidebar splitter; sent even when none listens.
    void sidebarToggleRequested();

private:
    SidebarManager() = default;
    [[nodiscard]] std::optional<bool> collapsedInWindow() const;

    ColumnVisibility m_columnVisibility = ColumnVisibility::all;
    bool m_isSidebarVisible = true;
    WindowInquiry m_inquiry;
};
