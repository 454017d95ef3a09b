#pragma once

#include "transfer/CancelState.h"

#include <QFuture>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

struct AppItem;
struct MigrationRecord;
class LedgerService;
class RestoreContext;

// Brings offloaded applications and their support folders back from the drive to the Mac.
// Lives on the main thread: the published state below changes only there, and every
// assignment emits its signal. The restores themselves run on the thread pool, one
// application after another, and publish in order through the event queue.
//
// A batch (and a restore started on its own) opens by clearing the cancellation state; a
// cancel request then stays in force (isCancelling true) until the next one opens. Errors are
// OperationError with the domain "RestoreEngine" (400 to 413, 3072 cancelled) or passed
// through from the file operations, the copy tool and the ledger. A support folder an
// offload cut short left aside on the Mac is put back once its application is restored
// (transfer/SupportRecovery.h); one that cannot be is 413, which says where it is.
class RestoreEngine final : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isRestoring READ isRestoring WRITE setIsRestoring NOTIFY isRestoringChanged)
    Q_PROPERTY(QString currentStep READ currentStep WRITE setCurrentStep NOTIFY currentStepChanged)
    Q_PROPERTY(double progressPercent READ progressPercent WRITE setProgressPercent NOTIFY
                   progressPercentChanged)
    Q_PROPERTY(bool isComplete READ isComplete WRITE setIsComplete NOTIFY isCompleteChanged)
    Q_PROPERTY(std::optional<QString> error READ error WRITE setError NOTIFY errorChanged)
    Q_PROPERTY(QStringList preservedBackupPaths READ preservedBackupPaths WRITE
                   setPreservedBackupPaths NOTIFY preservedBackupPathsChanged)
    Q_PROPERTY(bool isCancelling READ isCancelling WRITE setIsCancelling NOTIFY isCancellingChanged)

public:
    static inline const QString errorDomain = QStringLiteral("RestoreEngine");

    // Pauses between a copy and its verifications; tests install one that does not wait.
    using Sleeper = std::function<void(std::chrono::nanoseconds)>;

    // Uses the shared ledger service.
    explicit RestoreEngine(QObject *parent = nullptr);
    // Uses `ledger` (not owned; must outlive every restore started here).
    explicit RestoreEngine(LedgerService &ledger, QObject *parent = nullptr);
    // Requests the cancellation of a running restore and returns without waiting; the
    // restore stops at its next check and publishes nothing more.
    ~RestoreEngine() override;

    [[nodiscard]] bool isRestoring() const { return m_isRestoring; }
    [[nodiscard]] const QString &currentStep() const { return m_currentStep; }
    // A fraction of the batch, 0.0 to 1.0.
    [[nodiscard]] double progressPercent() const { return m_progressPercent; }
    [[nodiscard]] bool isComplete() const { return m_isComplete; }
    [[nodiscard]] const std::optional<QString> &error() const { return m_error; }
    // Local folders a restore set aside (".preserved-local-") instead of deleting them.
    [[nodiscard]] const QStringList &preservedBackupPaths() const { return m_preservedBackupPaths; }
    [[nodiscard]] bool isCancelling() const { return m_isCancelling; }
    // Main thread only.
    void setIsRestoring(bool restoring);
    void setCurrentStep(const QString &step);
    void setProgressPercent(double fraction);
    void setIsComplete(bool complete);
    void setError(const std::optional<QString> &error);
    void setPreservedBackupPaths(const QStringList &paths);
    void setIsCancelling(bool cancelling);

    // Main thread. Sets the cancel flag, terminates the running copy and publishes
    // "Cancelling…" through the event queue; returns at once.
    void cancelCurrentOperation();
    // Any thread. Clears the flag, forgets the running copy, and queues isCancelling = false.
    void resetCancellationState();
    [[nodiscard]] bool isCancelRequested() const;
    [[nodiscard]] CancelState &cancelState();

    // Main thread. Restores `apps` in order; the first failure ends the batch and is the
    // future's exception, except a refused record (407), after which the batch goes on and
    // ends with one 407 that lists every refusal. `targetVolumeURL` only tells the ledger which
    // drive ledger to update. The one entry the window uses; a single application is a batch of
    // one.
    QFuture<void> restoreBatch(const QList<AppItem> &apps,
                               const std::optional<QUrl> &targetVolumeURL);
    // Main thread. One application outside a batch: its ledger record, or one built from the
    // inventory when it links to a copy on a drive; 400 when neither is found.
    QFuture<void> restoreApplication(const AppItem &app,
                                     const std::optional<QUrl> &targetVolumeURL);
    // Main thread. One application from its ledger record, outside a batch.
    QFuture<void> restoreApplication(const MigrationRecord &record,
                                     const std::optional<QUrl> &targetVolumeURL);

    void setSleeper(Sleeper sleeper);

signals:
    void isRestoringChanged();
    void currentStepChanged();
    void progressPercentChanged();
    void isCompleteChanged();
    void errorChanged();
    void preservedBackupPathsChanged();
    void isCancellingChanged();

private:
    bool m_isRestoring = false;
    QString m_currentStep;
    double m_progressPercent = 0.0;
    bool m_isComplete = false;
    std::optional<QString> m_error;
    QStringList m_preservedBackupPaths;
    bool m_isCancelling = false;
    // What the running restores share with the engine; they keep it alive past the engine.
    std::shared_ptr<RestoreContext> m_context;
};
