#include "views/sheets/ProgressSheetPresenter.h"

#include "transfer/OffloadEngine.h"

#include <algorithm>
#include <cmath>

namespace ProgressSheetRules {

QString percentLabel(double fraction)
{
    if (!std::isfinite(fraction))
        return QStringLiteral("0%");
    // std::llround rounds halves away from zero.
    return QString::number(std::llround(fraction * 100.0)) + QLatin1Char('%');
}

QString batchFailureLine(const TaskReport &report)
{
    if (report.failures.isEmpty())
        return {};
    QStringList parts;
    for (const TaskFailure &failure : report.failures)
        parts.append(failure.message.isEmpty() ? failure.appName
                                               : failure.appName + QStringLiteral(" (") +
                                                     failure.message + QLatin1Char(')'));
    return QString::number(report.failures.size()) + QStringLiteral(" of ") +
           QString::number(report.attempted) + QStringLiteral(" failed: ") +
           parts.join(QStringLiteral(", "));
}

namespace {

ProgressSheetState running(const EngineEnd &engine)
{
    return engine.isCancelling ? ProgressSheetState::cancelling : ProgressSheetState::inProgress;
}

Choice failure(QString text)
{
    return {ProgressSheetState::failure, std::move(text), {}};
}

// The error of a batch in which every application failed.
QString allFailedText(const EngineEnd &engine, const TaskReport &report)
{
    if (report.attempted > 1)
        return batchFailureLine(report);
    const QString own = report.failures.constFirst().message;
    if (!own.isEmpty())
        return own;
    return engine.error.value_or(report.error.value_or(report.failures.constFirst().appName));
}

} // namespace

Choice choose(const EngineEnd &engine, const std::optional<TaskReport> &report,
              const QString &nothingToDoText, BatchPolicy policy)
{
    if (!report) {
        if (engine.isComplete)
            return {ProgressSheetState::success, {}, {}};
        if (!engine.error)
            return {running(engine), {}, {}};
        return failure(*engine.error);
    }
    if (report->isRunning)
        return {running(engine), {}, {}};

    // The task has ended; whatever the engine shows may be from an earlier run.
    if (report->attempted == 0)
        return failure(report->error.value_or(nothingToDoText));
    if (report->allFailed())
        return failure(allFailedText(engine, *report));
    if (!report->failures.isEmpty()) {
        if (policy == BatchPolicy::stopsAtFirstFailure && !engine.isComplete)
            return failure(engine.error.value_or(
                report->error.value_or(report->failures.constFirst().message)));
        return {ProgressSheetState::success, {}, batchFailureLine(*report)};
    }
    if (engine.isComplete)
        return {ProgressSheetState::success, {}, {}};
    if (engine.error)
        return failure(*engine.error);
    return failure(report->error.value_or(nothingToDoText));
}

} // namespace ProgressSheetRules

namespace {

void fillRunning(ProgressSheetModel &model, double fraction, bool isCancelling)
{
    model.percentText = ProgressSheetRules::percentLabel(fraction);
    model.barFraction = std::isfinite(fraction) ? std::clamp(fraction, 0.0, 1.0) : 0.0;
    model.cancelEnabled = !isCancelling;
}

} // namespace

bool MigrationProgressPresenter::isCopyOnlyCompletion(const QString &finalStep)
{
    return finalStep == QLatin1String("Copy backup complete!") ||
           finalStep == QLatin1String("Backup updated successfully!");
}

ProgressSheetModel MigrationProgressPresenter::present(const OffloadProgress &progress,
                                                       bool isCancelling,
                                                       const std::optional<TaskReport> &report)
{
    using namespace ProgressSheetRules;
    const Choice choice =
        choose({progress.isComplete, progress.error, isCancelling}, report,
               QStringLiteral("Nothing to offload."), BatchPolicy::continuesAfterFailure);
    ProgressSheetModel model;
    model.state = choice.state;
    model.canDismiss = !model.isRunningFace();
    switch (choice.state) {
    case ProgressSheetState::inProgress:
    case ProgressSheetState::cancelling:
        model.headline =
            progress.currentItem.isEmpty()
                ? QStringLiteral("Processing…")
                : QStringLiteral("Processing ") + progress.currentItem + QStringLiteral("…");
        model.stepText = progress.currentStep;
        fillRunning(model, progress.percent, isCancelling);
        break;
    case ProgressSheetState::success:
        model.title = QStringLiteral("Migration Successful!");
        // After a batch whose last application failed, the engine's item is that one.
        if (progress.isComplete) {
            model.message =
                progress.currentItem + (isCopyOnlyCompletion(progress.currentStep)
                                            ? QStringLiteral(" was safely copied to the drive.")
                                            : QStringLiteral(" was safely offloaded and linked."));
            if (!progress.notice.isEmpty())
                model.message += QLatin1Char(' ') + progress.notice;
        }
        model.batchFailureLine = choice.batchFailureLine;
        break;
    case ProgressSheetState::failure:
        model.title = QStringLiteral("Migration Failed");
        model.message = choice.failureText;
        break;
    }
    return model;
}

ProgressSheetModel RestoreProgressPresenter::present(const RestoreProgressInput &input,
                                                     const std::optional<TaskReport> &report)
{
    using namespace ProgressSheetRules;
    const Choice choice =
        choose({input.isComplete, input.error, input.isCancelling}, report,
               QStringLiteral("Nothing to restore."), BatchPolicy::stopsAtFirstFailure);
    ProgressSheetModel model;
    model.state = choice.state;
    model.canDismiss = !model.isRunningFace();
    switch (choice.state) {
    case ProgressSheetState::inProgress:
    case ProgressSheetState::cancelling:
        model.headline = QStringLiteral("Restoring Application…");
        model.stepText = input.currentStep;
        fillRunning(model, input.progressPercent, input.isCancelling);
        return model; // the preserved block waits for the end
    case ProgressSheetState::success:
        model.title = QStringLiteral("Restoration Successful!");
        model.message = input.currentStep;
        model.batchFailureLine = choice.batchFailureLine;
        break;
    case ProgressSheetState::failure:
        model.title = QStringLiteral("Restoration Failed");
        model.message = choice.failureText;
        break;
    }
    if (!input.preservedBackupPaths.isEmpty())
        model.preservedText =
            QString::number(input.preservedBackupPaths.size()) +
            QStringLiteral(" existing local support folder(s) were preserved for your inspection.");
    return model;
}
