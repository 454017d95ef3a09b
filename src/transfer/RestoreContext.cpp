#include "transfer/RestoreContext.h"

#include "base/PathUtils.h"
#include "services/AppLogger.h"
#include "transfer/RestoreEngine.h"

#include <QMetaObject>

RestoreContext::RestoreContext(RestoreEngine &engine, LedgerService &ledger)
    : m_ledger(ledger)
    , m_engine(&engine)
{}

void RestoreContext::publish(std::function<void(RestoreEngine &)> change)
{
    // Posting under the lock keeps the engine from being destroyed in between; a change
    // still queued when it goes is discarded with the engine's other posted events.
    const std::lock_guard lock(m_mutex);
    if (!m_engine)
        return;
    RestoreEngine *engine = m_engine;
    QMetaObject::invokeMethod(
        engine, [engine, change = std::move(change)] { change(*engine); }, Qt::QueuedConnection);
}

void RestoreContext::resetCancellationState()
{
    m_cancel.reset();
    publish([](RestoreEngine &engine) { engine.setIsCancelling(false); });
}

void RestoreContext::detach()
{
    {
        const std::lock_guard lock(m_mutex);
        m_engine = nullptr;
    }
    m_cancel.cancel();
}

void RestoreContext::setSleeper(Sleeper sleeper)
{
    const std::lock_guard lock(m_mutex);
    m_sleeper = std::move(sleeper);
}

void RestoreContext::pause(std::chrono::nanoseconds duration)
{
    Sleeper sleeper;
    {
        const std::lock_guard lock(m_mutex);
        sleeper = m_sleeper;
    }
    if (sleeper) {
        sleeper(duration);
        return;
    }
    (void)m_cancel.waitFor(duration);
}

bool RestoreContext::verifyCopiedItem(const QString &source, const QString &destination)
{
    IntegrityVerifier::Report report;
    const Verdict verdict = IntegrityVerifier::verifyDirectoryIntegrity(
        QUrl::fromLocalFile(source), QUrl::fromLocalFile(destination), m_cancel.makeProbe(),
        IntegrityVerifier::DestinationRead::mayBeCached, &report);
    if (verdict.ok && report.leftOutCount > 0)
        AppLogger::shared().log(AppLogLevel::info, QStringLiteral("Restore"),
                                report.leftOutLine(source));
    if (!verdict.ok && verdict.reason) {
        AppLogger::shared().log(AppLogLevel::error, QStringLiteral("Restore"),
                                QStringLiteral("Integrity verification failed (") +
                                    PathUtils::lastComponent(source) + QStringLiteral(" -> ") +
                                    destination + QStringLiteral("): ") + *verdict.reason);
    }
    return verdict.ok;
}
