#pragma once

#include "base/OperationError.h"
#include "transfer/CancelState.h"
#include "transfer/IntegrityVerifier.h"

#include <QObject>
#include <QString>
#include <QUrl>
#include <chrono>
#include <functional>
#include <optional>

struct AppItem;
struct SupportFolder;
struct TargetVolume;

// What the offload progress sheet shows of the running operation.
struct OffloadProgress
{
    QString currentItem;
    QString currentStep;
    double percent = 0.0; // a fraction, 0.0 to 1.0
    bool isComplete = false;
    std::optional<QString> error;

    friend bool operator==(const OffloadProgress &, const OffloadProgress &) = default;
};

// Runs the transfers towards the drive, one operation at a time, and lets the user cancel
// the running one. Lives on the main thread: the published state below changes only there,
// and every assignment emits its signal. The staged-copy steps run on the calling
// background thread and never on the main thread.
//
// Every operation opens with resetCancellationState(). A cancel request stays in force
// (isCancelling true, no further copy of the operation starts) until the next reset.
class OffloadEngine final : public QObject
{
    Q_OBJECT
    Q_PROPERTY(OffloadProgress progress READ progress WRITE setProgress NOTIFY progressChanged)
    Q_PROPERTY(bool isOffloading READ isOffloading WRITE setIsOffloading NOTIFY isOffloadingChanged)
    Q_PROPERTY(bool isCancelling READ isCancelling WRITE setIsCancelling NOTIFY isCancellingChanged)

public:
    // The free-space margin the preflight adds to what is copied ("500 MB" in messages).
    static constexpr qint64 safetyBufferBytes = 524'288'000;
    static inline const QString errorDomain = QStringLiteral("OffloadEngine");

    // Pauses between verification attempts; tests install one that does not wait.
    using Sleeper = std::function<void(std::chrono::nanoseconds)>;

    explicit OffloadEngine(QObject *parent = nullptr);
    ~OffloadEngine() override;

    [[nodiscard]] const OffloadProgress &progress() const { return m_progress; }
    [[nodiscard]] bool isOffloading() const { return m_isOffloading; }
    [[nodiscard]] bool isCancelling() const { return m_isCancelling; }
    // Main thread only.
    void setProgress(const OffloadProgress &progress);
    void setIsOffloading(bool offloading);
    void setIsCancelling(bool cancelling);

    // Main thread. Sets the cancel flag, terminates the running copy and publishes
    // "Cancelling…" through the event queue; returns at once.
    void cancelCurrentOperation();
    // Any thread. Clears the flag, forgets the running copy, and queues isCancelling = false.
    void resetCancellationState();
    [[nodiscard]] bool isCancelRequested() const;
    // For the verifier: answers the flag at each call; false once the engine is gone.
    [[nodiscard]] IntegrityVerifier::CancelProbe makeCancelProbe() const;
    [[nodiscard]] CancelState &cancelState() { return m_cancel; }

    // Throws the first failed check (codes 201 to 205); judges only the two records.
    void validateOffloadPreflight(const AppItem &app, const TargetVolume &target) const;

    // --- Staged copy and commit (background thread) ---

    // Copies source to destination with the platform's copy tool, retrying with
    // administrator rights when it fails. Throws 3072 when cancelled (removing what was
    // copied, never prompting), 301 when both copies fail (the partial copy stays), or the
    // launch error.
    void runDittoCopy(const QString &source, const QString &destination);
    // Verifies the copy against its source; logs the reason of a failure.
    [[nodiscard]] bool verifyCopiedItem(const QUrl &source, const QUrl &destination);
    // Verifies a support folder's staged copy and commits it; 101 (staged copy removed)
    // when it does not verify.
    void verifySupportFolderCopy(const SupportFolder &folder, const QUrl &staged,
                                 const QUrl &finalLocation);
    // Flushes, verifies a bundle's staged copy (once more after a pause when that fails) and
    // commits it; throws `failure` (staged copy removed) when both attempts fail.
    void verifyBundleCopy(const QUrl &bundle, const QUrl &staged, const QUrl &finalLocation,
                          const OperationError &failure);
    // Moves the staged copy to its final name; an earlier item there is moved aside first
    // and deleted after, or put back when the move fails.
    void commitStagedItem(const QUrl &staged, const QUrl &finalLocation);

    [[nodiscard]] static OperationError cancellationError();
    // 102, the offload's and the backup copy's bundle verification failure.
    [[nodiscard]] static OperationError bundleVerificationError(const QString &appName);

    void setSleeper(Sleeper sleeper);

signals:
    void progressChanged();
    void isOffloadingChanged();
    void isCancellingChanged();

private:
    void pause(std::chrono::nanoseconds duration) const;

    OffloadProgress m_progress;
    bool m_isOffloading = false;
    bool m_isCancelling = false;
    CancelState m_cancel;
    Sleeper m_sleeper;
};
