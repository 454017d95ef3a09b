#include "views/main/SidebarManager.h"

#include <QLabel>
#include <QSignalSpy>
#include <QSplitter>
#include <QVBoxLayout>
#include <gtest/gtest.h>

namespace {

using Visibility = SidebarManager::ColumnVisibility;

// The shared manager, put back to its starting state around each test.
class SidebarManagerTest : public ::testing::Test
{
protected:
    SidebarManagerTest() { reset(); }
    ~SidebarManagerTest() override { reset(); }

    void reset()
    {
        manager.setWindowInquiry({});
        manager.setColumnVisibility(Visibility::all);
    }
    void windowSays(std::optional<bool> collapsed)
    {
        manager.setWindowInquiry([collapsed] { return collapsed; });
    }

    SidebarManager &manager = SidebarManager::shared();
};

TEST_F(SidebarManagerTest, VisibilityFollowsTheColumns)
{
    EXPECT_TRUE(manager.isSidebarVisible());
    const struct
    {
        Visibility columns;
        bool visible;
    } cases[] = {{Visibility::doubleColumn, false},
                 {Visibility::detailOnly, false},
                 {Visibility::automatic, true},
                 {Visibility::all, true}};
    for (const auto &entry : cases) {
        manager.setColumnVisibility(entry.columns);
        EXPECT_EQ(manager.isSidebarVisible(), entry.visible);
    }
}

TEST_F(SidebarManagerTest, ToggleAsksTheWindowFirst)
{
    const struct
    {
        std::optional<bool> collapsed;
        bool visibleBefore;
        Visibility columns;
        bool visible;
    } cases[] = {
        {true, true, Visibility::all, true},
        {false, false, Visibility::doubleColumn, false},
        {std::nullopt, true, Visibility::doubleColumn, false},
        {std::nullopt, false, Visibility::all, true},
    };
    for (const auto &entry : cases) {
        manager.setColumnVisibility(entry.visibleBefore ? Visibility::all
                                                        : Visibility::doubleColumn);
        windowSays(entry.collapsed);
        QSignalSpy toggles(&manager, &SidebarManager::sidebarToggleRequested);
        manager.toggle();
        EXPECT_EQ(manager.columnVisibility(), entry.columns);
        EXPECT_EQ(manager.isSidebarVisible(), entry.visible);
        EXPECT_EQ(toggles.count(), 1);
    }
}

TEST_F(SidebarManagerTest, UpdateStateReadsTheWindow)
{
    const struct
    {
        Visibility before;
        std::optional<bool> collapsed;
        Visibility columns;
        bool visible;
    } cases[] = {
        {Visibility::doubleColumn, false, Visibility::all, true},
        {Visibility::all, true, Visibility::doubleColumn, false},
        {Visibility::detailOnly, true, Visibility::detailOnly, false},
        {Visibility::automatic, false, Visibility::automatic, true},
        {Visibility::doubleColumn, std::nullopt, Visibility::doubleColumn, false},
    };
    for (const auto &entry : cases) {
        manager.setColumnVisibility(entry.before);
        windowSays(entry.collapsed);
        manager.updateState();
        EXPECT_EQ(manager.columnVisibility(), entry.columns);
        EXPECT_EQ(manager.isSidebarVisible(), entry.visible);
    }
}

TEST_F(SidebarManagerTest, FindsTheFirstSplitterDepthFirst)
{
    QWidget window;
    EXPECT_FALSE(SidebarManager::isSidebarCollapsedIn(&window));
    auto *layout = new QVBoxLayout(&window);
    auto *holder = new QWidget;
    layout->addWidget(holder);
    auto *inner = new QVBoxLayout(holder);
    auto *nested = new QSplitter;
    inner->addWidget(nested);
    auto *later = new QSplitter;
    layout->addWidget(later);
    EXPECT_FALSE(SidebarManager::isSidebarCollapsedIn(&window)); // no panes yet

    auto *sidebar = new QLabel(QStringLiteral("sidebar"));
    nested->addWidget(sidebar);
    nested->addWidget(new QLabel(QStringLiteral("list")));
    later->addWidget(new QLabel(QStringLiteral("other")));
    later->widget(0)->hide();
    EXPECT_EQ(SidebarManager::isSidebarCollapsedIn(&window), false);
    sidebar->hide();
    EXPECT_EQ(SidebarManager::isSidebarCollapsedIn(&window), true);
}

} // namespace
