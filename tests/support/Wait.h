#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFuture>
#include <QThread>
#include <functional>

// Pumps the event loop until `future` is finished (or the time runs out), so queued
// publications reach their receivers meanwhile. Returns whether it finished.
template<typename T>
bool waitFor(const QFuture<T> &future, int timeoutMs = 30000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!future.isFinished() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    QCoreApplication::processEvents();
    return future.isFinished();
}

// Pumps the event loop until `condition` holds or the time runs out.
inline bool waitUntil(const std::function<bool()> &condition, int timeoutMs = 10000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return condition();
}

// Delivers whatever is queued for this thread right now.
inline void drainEvents()
{
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents();
}
