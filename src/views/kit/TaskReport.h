#pragma once

#include <QList>
#include <QString>
#include <optional>

// What the window tells a progress sheet about the task behind it, so the sheet always
// reaches an end state: whether the task still runs, and what a batch did.
struct TaskFailure
{
    QString appName;
    QString message;
    friend bool operator==(const TaskFailure &, const TaskFailure &) = default;
};

struct TaskReport
{
    bool isRunning = false;
    // Applications the task tried; 0 when it found nothing to do.
    int attempted = 0;
    // Applications that failed, in order, with the error each one gave.
    QList<TaskFailure> failures;
    // The error the task itself caught, also one raised before any engine work began.
    std::optional<QString> error;
    // The user cancelled; cancellation is a state, not a failure.
    bool cancelled = false;

    [[nodiscard]] bool allFailed() const { return attempted > 0 && failures.size() >= attempted; }
    friend bool operator==(const TaskReport &, const TaskReport &) = default;
};
