#pragma once

#include "transfer/CancelState.h"
#include "transfer/IntegrityVerifier.h"

#include <QString>
#include <QUrl>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>

class LedgerService;
class RestoreEngine;

// What a restore running on a worker thread shares with its engine: the cancellation state,
// the batch flag, the ledger, the pauses, and the way back to the engine's published state.
// The workers hold it by shared_ptr, so it outlives an engine destroyed mid-restore; from
// then on nothing is published.
class RestoreContext
{
public:
    using Sleeper = std::function<void(std::chrono::nanoseconds)>;

    RestoreContext(RestoreEngine &engine, LedgerService &ledger);
    RestoreContext(const RestoreContext &) = delete;
    RestoreContext &operator=(const RestoreContext &) = delete;

    [[nodiscard]] LedgerService &ledger() const { return m_ledger; }
    [[nodiscard]] CancelState &cancel() { return m_cancel; }

    // True while a batch runs: its single restores then neither reset the cancellation
    // state nor empty the list of preserved folders.
    [[nodiscard]] bool isInBatch() const { return m_inBatch.load(); }
    void setInBatch(bool inBatch) { m_inBatch.store(inBatch); }

    // Queues `change` onto the engine's thread; changes from one thread keep their order.
    // Dropped once the engine is gone.
    void publish(std::function<void(RestoreEngine &)> change);
    // Clears the flag, forgets the running copy, and publishes isCancelling = false.
    void resetCancellationState();
    // Called by the engine's destructor: cancels and publishes nothing more.
    void detach();

    void setSleeper(Sleeper sleeper);
    // Waits `duration`; a cancel request ends the wait early (what follows then fails fast).
    void pause(std::chrono::nanoseconds duration);

    // Compares a copy on the Mac (`destination`) with the drive copy (`source`); a failure
    // with a reason is logged under "Restore". A cancel request makes it fail.
    [[nodiscard]] bool verifyCopiedItem(const QString &source, const QString &destination);

private:
    LedgerService &m_ledger;
    CancelState m_cancel;
    std::atomic<bool> m_inBatch{false};
    std::mutex m_mutex;
    RestoreEngine *m_engine; // under m_mutex; null once the engine is gone
    Sleeper m_sleeper;       // under m_mutex
};
