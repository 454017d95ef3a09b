#pragma once

#include "views/sheets/DismissableSheet.h"
#include "views/sheets/LogViewerPresenter.h"

#include <functional>

class AppLogger;
class QPlainTextEdit;

// The diagnostic log in a sheet of 720 × 480 pixels: at most the last 400 lines of the
// activity log, monospaced and selectable, with "Reveal in Finder", "Refresh", "Clear" and
// "Close". The history view presents it.
//
// Controls by object name: "revealLogButton", "refreshLogButton", "clearLogButton",
// "closeLogButton", "logText", "logPathLabel".
class LogViewerSheet final : public DismissableSheet
{
    Q_OBJECT
public:
    // Reads the shared logger. `onDismiss` is called by "Close" and when the sheet is
    // dismissed by other means (Escape, the window's close button).
    explicit LogViewerSheet(std::function<void()> onDismiss, QWidget *parent = nullptr);
    // Reads `logger` (not owned; tests).
    LogViewerSheet(AppLogger &logger, std::function<void()> onDismiss, QWidget *parent = nullptr);

    [[nodiscard]] QString logText() const { return m_presenter.logText(); }

private:
    void build();
    void showText();

    LogViewerPresenter m_presenter;
    QPlainTextEdit *m_text = nullptr;
};
