#pragma once

#include "views/kit/TaskReport.h"

#include <QString>
#include <QStringList>
#include <optional>

struct OffloadProgress;

// Which face a progress sheet shows.
enum class ProgressSheetState {
    inProgress,
    cancelling,
    success,
    failure,
};

// Everything a progress sheet draws, decided without a display.
struct ProgressSheetModel
{
    ProgressSheetState state = ProgressSheetState::inProgress;
    // In progress and cancelling.
    QString headline;
    QString stepText;
    QString percentText;
    double barFraction = 0.0; // clamped to 0..1
    bool cancelEnabled = true;
    // Success and failure.
    QString title;
    QString message;          // success: the line under the title (empty: none); failure: the error
    QString batchFailureLine; // orange, success only; empty: none
    QString preservedText;    // the preserved-folders block; empty: no block
    // Done/Close, Escape and the window's close button end the sheet only at the end.
    bool canDismiss = false;

    [[nodiscard]] bool isRunningFace() const
    {
        return state == ProgressSheetState::inProgress || state == ProgressSheetState::cancelling;
    }
};

namespace ProgressSheetRules {

// fraction × 100 rounded to the nearest whole number, halves away from zero, then "%".
// A fraction that is not a finite number shows "0%".
[[nodiscard]] QString percentLabel(double fraction);

// "N of M failed: A (why), B (why)"; empty when nothing failed.
[[nodiscard]] QString batchFailureLine(const TaskReport &report);

// What the engine published about how its last run ended.
struct EngineEnd
{
    bool isComplete = false;
    std::optional<QString> error;
    bool isCancelling = false;
};

// Whether the engine carries on after a failed application (offload batches) or ends the
// batch there (restore batches, where the engine's error is the batch's end).
enum class BatchPolicy { continuesAfterFailure, stopsAtFirstFailure };

struct Choice
{
    ProgressSheetState state = ProgressSheetState::inProgress;
    QString failureText;      // for failure
    QString batchFailureLine; // for success
};

// The engine decides as long as the window has told nothing; once it has, a running task
// keeps the sheet in progress and an ended one always reaches success or failure.
[[nodiscard]] Choice choose(const EngineEnd &engine, const std::optional<TaskReport> &report,
                            const QString &nothingToDoText, BatchPolicy policy);

} // namespace ProgressSheetRules

// The offload progress sheet's decisions.
class MigrationProgressPresenter
{
public:
    [[nodiscard]] static ProgressSheetModel present(const OffloadProgress &progress,
                                                    bool isCancelling,
                                                    const std::optional<TaskReport> &report);
    // A backup copy or backup update leaves the local application where it was.
    [[nodiscard]] static bool isCopyOnlyCompletion(const QString &finalStep);
};

// The restore engine's published state, as the restore sheet reads it.
struct RestoreProgressInput
{
    QString currentStep;
    double progressPercent = 0.0;
    bool isComplete = false;
    std::optional<QString> error;
    QStringList preservedBackupPaths;
    bool isCancelling = false;
};

// The restore progress sheet's decisions.
class RestoreProgressPresenter
{
public:
    [[nodiscard]] static ProgressSheetModel present(const RestoreProgressInput &input,
                                                    const std::optional<TaskReport> &report);
};
