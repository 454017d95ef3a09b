#pragma once

#include "model/DuplicateLocalInstance.h"
#include "views/sheets/DismissableSheet.h"

#include <QCoroTask>
#include <QPointer>
#include <optional>

class ActivitySpinner;
class AppScanner;
class QLabel;
class QListWidget;
class QPushButton;
class QStackedWidget;
class RoundedPanel;

// The redundant local copies of offloaded applications, 640 × 460 pixels: each with its
// offloaded primary, "Reveal" and "Move to Trash", and "Move All to Trash" below. Moving to
// the Trash goes through the scanner, which refuses running copies and rescans, so the list
// follows by itself; the outcome shows in a message box until the next operation.
//
// Controls by object name: "closeButton", "moveAllToTrashButton", "statusMessage",
// "totalLabel", "duplicateList" with rows "duplicateRow:" + local path, each with
// "revealButton" and "moveToTrashButton".
class DuplicateInstancesSheet final : public DismissableSheet
{
    Q_OBJECT
public:
    // `appScanner` is the window's (not owned); "Close" calls `onDismiss`, in which the
    // window closes the sheet. Closing does not stop a running operation.
    DuplicateInstancesSheet(AppScanner *appScanner, std::function<void()> onDismiss,
                            QWidget *parent = nullptr);

    [[nodiscard]] bool isWorking() const { return m_isWorking; }
    [[nodiscard]] const std::optional<QString> &statusMessage() const { return m_statusMessage; }

signals:
    // A trash operation has ended and its message (if any) is shown.
    void trashFinished();

private:
    void build();
    void refresh();
    QCoro::Task<> trash(QList<DuplicateLocalInstance> instances);

    QPointer<AppScanner> m_scanner;
    bool m_isWorking = false;
    std::optional<QString> m_statusMessage;

    RoundedPanel *m_messageBox = nullptr;
    QLabel *m_messageText = nullptr;
    QStackedWidget *m_body = nullptr;
    QWidget *m_emptyState = nullptr;
    QListWidget *m_list = nullptr;
    QLabel *m_total = nullptr;
    ActivitySpinner *m_spinner = nullptr;
    QPushButton *m_moveAll = nullptr;
};
