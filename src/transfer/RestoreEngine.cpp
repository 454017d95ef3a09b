#include "transfer/RestoreEngine.h"

#include "base/MainThread.h"
#include "model/AppItem.h"
#include "model/MigrationRecord.h"
#include "services/AppLogger.h"
#include "services/LedgerService.h"
#include "services/RecordRule.h"
#include "transfer/RecordRestore.h"
#include "transfer/RestoreContext.h"
#include "transfer/RestoreLookup.h"
#include "transfer/SupportRecovery.h"

#include <QThread>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>

namespace {

using Context = std::shared_ptr<RestoreContext>;

// Whatever ends a restore leaves it visibly ended, also a failure before any single restore
// began (a failed lookup).
void publishFailure(RestoreContext &context, const QString &message)
{
    context.publish([message](RestoreEngine &engine) {
        engine.setError(message);
        engine.setIsRestoring(false);
    });
}

// What a completion text adds, each sentence after a space.
QString withNotes(const QStringList &notes)
{
    return notes.isEmpty() ? QString() : QLatin1Char(' ') + notes.join(QLatin1Char(' '));
}

// One application from its record: the frame of start, success and failure around the run.
// Returns what the success note adds (RecordRestore::notes).
QStringList runRecordRestore(RestoreContext &context, const MigrationRecord &record,
                             const std::optional<QUrl> &targetVolumeURL)
{
    const bool inBatch = context.isInBatch();
    if (!inBatch)
        context.resetCancellationState();
    context.publish([name = record.appName, inBatch](RestoreEngine &engine) {
        engine.setIsRestoring(true);
        engine.setCurrentStep(QStringLiteral("Starting restore for ") + name +
                              QStringLiteral("..."));
        engine.setError(std::nullopt);
        if (!inBatch)
            engine.setPreservedBackupPaths({});
    });

    QStringList notes;
    try {
        RecordRestore restore(context, record, targetVolumeURL);
        restore.run();
        notes = restore.notes();
        // What an offload cut short left aside on the Mac, no record names.
        notes += SupportRecovery::putBack(context.ledger(), record, targetVolumeURL, notes);
    } catch (const OperationError &failure) {
        AppLogger::shared().log(AppLogLevel::error, QStringLiteral("Restore"),
                                QStringLiteral("Restoration failed for '") + record.appName +
                                    QStringLiteral("': ") + failure.message());
        publishFailure(context, failure.message());
        throw;
    }

    AppLogger::shared().log(AppLogLevel::info, QStringLiteral("Restore"),
                            QStringLiteral("Restoration complete for '") + record.appName +
                                QStringLiteral("'"));
    context.publish([name = record.appName, notes](RestoreEngine &engine) {
        engine.setCurrentStep(QStringLiteral("Restoration complete for ") + name +
                              QStringLiteral("!") + withNotes(notes));
        engine.setIsRestoring(false);
    });
    return notes;
}

QStringList runAppRestore(RestoreContext &context, const AppItem &app,
                          const std::optional<QUrl> &targetVolumeURL)
{
    // One snapshot of the ledger, taken on this thread.
    const MigrationRecord record = RestoreLookup::recordFor(app, context.ledger().records());
    return runRecordRestore(context, record, targetVolumeURL);
}

void runBatch(RestoreContext &context, const QList<AppItem> &apps,
              const std::optional<QUrl> &targetVolumeURL)
{
    context.setInBatch(true);
    struct BatchEnd
    {
        RestoreContext &context;
        ~BatchEnd() { context.setInBatch(false); }
    } const batchEnd{context};
    context.resetCancellationState();
    const qsizetype count = apps.size();
    context.publish([count](RestoreEngine &engine) {
        engine.setIsRestoring(true);
        engine.setProgressPercent(0.0);
        engine.setIsComplete(false);
        engine.setError(std::nullopt);
        engine.setPreservedBackupPaths({});
        engine.setCurrentStep(QStringLiteral("Preparing to restore ") + QString::number(count) +
                              QStringLiteral(" application(s)..."));
    });

    // A refused record is the drive's fault, not this batch's: the others still come back,
    // and the refusals are reported together at the end.
    QStringList refusals;
    QStringList notes;
    for (qsizetype i = 0; i < count; ++i) {
        const AppItem &app = apps.at(i);
        context.publish([i, count, name = app.name](RestoreEngine &engine) {
            engine.setCurrentStep(QStringLiteral("Restoring (") + QString::number(i + 1) +
                                  QLatin1Char('/') + QString::number(count) +
                                  QStringLiteral("): ") + name + QStringLiteral("..."));
            engine.setProgressPercent(double(i) / double(std::max<qsizetype>(count, 1)));
        });
        try {
            notes += runAppRestore(context, app, targetVolumeURL);
        } catch (const OperationError &failure) {
            publishFailure(context, failure.message());
            if (failure.code() != RecordRule::refusalCode)
                throw;
            refusals.append(failure.message());
        }
    }
    if (!refusals.isEmpty()) {
        const QString message = refusals.join(QLatin1Char('\n'));
        publishFailure(context, message);
        throw OperationError(RestoreEngine::errorDomain, RecordRule::refusalCode, message);
    }

    context.publish([count, notes](RestoreEngine &engine) {
        engine.setProgressPercent(1.0);
        engine.setIsComplete(true);
        engine.setCurrentStep(QStringLiteral("Successfully restored ") + QString::number(count) +
                              QStringLiteral(" application(s)!") + withNotes(notes));
        // Each restore ends its own busy state; a batch with none to restore ends it here.
        engine.setIsRestoring(false);
    });
}

// Runs one of the engine's entries on its worker: an error of another type than the engine's
// own ends the restore as visibly, so the engine is never left busy.
void endingVisibly(RestoreContext &context, const std::function<void()> &restore)
{
    try {
        restore();
    } catch (const OperationError &) {
        throw; // published where it was caught
    } catch (...) {
        publishFailure(context, OperationError::messageOf(std::current_exception()));
        throw;
    }
}

} // namespace

RestoreEngine::RestoreEngine(QObject *parent)
    : RestoreEngine(LedgerService::shared(), parent)
{}

RestoreEngine::RestoreEngine(LedgerService &ledger, QObject *parent)
    : QObject(parent)
    , m_context(std::make_shared<RestoreContext>(*this, ledger))
{}

RestoreEngine::~RestoreEngine()
{
    m_context->detach();
}

void RestoreEngine::setIsRestoring(bool restoring)
{
    Q_ASSERT(QThread::currentThread() == thread());
    m_isRestoring = restoring;
    emit isRestoringChanged();
}

void RestoreEngine::setCurrentStep(const QString &step)
{
    Q_ASSERT(QThread::currentThread() == thread());
    m_currentStep = step;
    emit currentStepChanged();
}

void RestoreEngine::setProgressPercent(double fraction)
{
    Q_ASSERT(QThread::currentThread() == thread());
    m_progressPercent = fraction;
    emit progressPercentChanged();
}

void RestoreEngine::setIsComplete(bool complete)
{
    Q_ASSERT(QThread::currentThread() == thread());
    m_isComplete = complete;
    emit isCompleteChanged();
}

void RestoreEngine::setError(const std::optional<QString> &error)
{
    Q_ASSERT(QThread::currentThread() == thread());
    m_error = error;
    emit errorChanged();
}

void RestoreEngine::setPreservedBackupPaths(const QStringList &paths)
{
    Q_ASSERT(QThread::currentThread() == thread());
    m_preservedBackupPaths = paths;
    emit preservedBackupPathsChanged();
}

void RestoreEngine::setIsCancelling(bool cancelling)
{
    Q_ASSERT(QThread::currentThread() == thread());
    m_isCancelling = cancelling;
    emit isCancellingChanged();
}

void RestoreEngine::cancelCurrentOperation()
{
    m_context->cancel().cancel();
    onMainThread(this, [this] {
        setIsCancelling(true);
        setCurrentStep(QStringLiteral("Cancelling restoration and cleaning up staging files..."));
    });
}

void RestoreEngine::resetCancellationState()
{
    m_context->resetCancellationState();
}

bool RestoreEngine::isCancelRequested() const
{
    return m_context->cancel().isCancelRequested();
}

CancelState &RestoreEngine::cancelState()
{
    return m_context->cancel();
}

QFuture<void> RestoreEngine::restoreBatch(const QList<AppItem> &apps,
                                          const std::optional<QUrl> &targetVolumeURL)
{
    return QtConcurrent::run([context = m_context, apps, targetVolumeURL] {
        endingVisibly(*context, [&] { runBatch(*context, apps, targetVolumeURL); });
    });
}

QFuture<void> RestoreEngine::restoreApplication(const AppItem &app,
                                                const std::optional<QUrl> &targetVolumeURL)
{
    return QtConcurrent::run([context = m_context, app, targetVolumeURL] {
        endingVisibly(*context, [&] {
            try {
                runAppRestore(*context, app, targetVolumeURL);
            } catch (const OperationError &failure) {
                publishFailure(*context, failure.message());
                throw;
            }
        });
    });
}

QFuture<void> RestoreEngine::restoreApplication(const MigrationRecord &record,
                                                const std::optional<QUrl> &targetVolumeURL)
{
    return QtConcurrent::run([context = m_context, record, targetVolumeURL] {
        endingVisibly(*context, [&] { runRecordRestore(*context, record, targetVolumeURL); });
    });
}

void RestoreEngine::setSleeper(Sleeper sleeper)
{
    m_context->setSleeper(std::move(sleeper));
}
