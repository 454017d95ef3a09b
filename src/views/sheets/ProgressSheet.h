#pragma once

#include "views/kit/TaskReport.h"
#include "views/sheets/DismissableSheet.h"
#include "views/sheets/ProgressSheetPresenter.h"

#include <functional>
#include <optional>

class ActivitySpinner;
class QLabel;
class QProgressBar;
class QPushButton;
class QWidget;

// The frame both progress sheets share: a window-modal sheet 450 pixels wide, as high as
// its content, showing one ProgressSheetModel. While the sheet shows a running task,
// Escape and the window's close button do nothing; at the end they act like Done/Close.
//
// Controls by object name: "cancelButton", "doneButton", "closeButton",
// "revealPreservedButton"; texts: "headlineLabel", "stepLabel", "percentLabel",
// "titleLabel", "messageLabel", "batchFailureLabel", "preservedLabel".
class ProgressSheet : public DismissableSheet
{
    Q_OBJECT
public:
    // What the window knows of the task behind the sheet; until it is told, the engine's
    // published state alone decides what shows.
    void setTaskReport(const TaskReport &report);
    [[nodiscard]] const std::optional<TaskReport> &taskReport() const { return m_report; }
    [[nodiscard]] const ProgressSheetModel &model() const { return m_model; }

protected:
    ProgressSheet(std::function<void()> onDismiss, QWidget *parent);

    [[nodiscard]] virtual ProgressSheetModel present() const = 0;
    virtual void cancelRequested() = 0;
    virtual void revealPreservedRequested() {}

    // Reads the engine again; subclasses call it from their engine's signals.
    void refresh();

    [[nodiscard]] bool canDismiss() const override { return m_model.canDismiss; }

private:
    void build();
    void apply(const ProgressSheetModel &model);

    std::optional<TaskReport> m_report;
    ProgressSheetModel m_model;

    QWidget *m_runningBox = nullptr;
    ActivitySpinner *m_spinner = nullptr;
    QLabel *m_headline = nullptr;
    QProgressBar *m_bar = nullptr;
    QLabel *m_step = nullptr;
    QLabel *m_percent = nullptr;
    QPushButton *m_cancel = nullptr;

    QWidget *m_endBox = nullptr;
    QLabel *m_successSymbol = nullptr;
    QLabel *m_failureSymbol = nullptr;
    QLabel *m_title = nullptr;
    QLabel *m_message = nullptr;
    QLabel *m_batchFailure = nullptr;
    QWidget *m_preservedBlock = nullptr;
    QLabel *m_preservedText = nullptr;
    QPushButton *m_done = nullptr;
    QPushButton *m_close = nullptr;
};
