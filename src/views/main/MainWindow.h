#pragma once

#include <QMainWindow>

class CommandCenter;
class ContentModel;
class ContentView;
class DialogsAndAlertsModifier;

// One main window: its own model (services and state), subscribed to the menu commands, with
// its dialogs and alert; its columns, toolbar and sheets are the ContentView's.
class MainWindow final : public QMainWindow
{
    Q_OBJECT

public:
    static constexpr QSize minimumContentSize{920, 620};

    // A window with a model of its own that follows `commands`.
    explicit MainWindow(CommandCenter &commands, QWidget *parent = nullptr);
    // A window over `model`, which it takes as a child.
    MainWindow(ContentModel *model, CommandCenter &commands, QWidget *parent = nullptr);

    [[nodiscard]] ContentModel &model() const { return *m_model; }
    [[nodiscard]] DialogsAndAlertsModifier &dialogs() const { return *m_dialogs; }
    [[nodiscard]] ContentView &contentView() const { return *m_content; }

    // Before the window is first shown: puts it on the screen it opens on (the one under the
    // place it was given, else its own) at its size where that fits the screen's free area,
    // smaller where not but never below its minimum, and wholly on that area (centred when it
    // was given no place). The frame counts where the platform knows it before the window is
    // shown (macOS); a window manager that frames it later keeps it on screen itself.
    void fitToScreen();

protected:
    void showEvent(QShowEvent *event) override;

private:
    ContentModel *m_model;
    DialogsAndAlertsModifier *m_dialogs;
    ContentView *m_content = nullptr;
};
