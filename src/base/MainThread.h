#pragma once

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <utility>

// Publishing from worker threads: published state changes only on the thread of its owner
// (the main thread for every service).

// Queued onto the owner's thread; calls from one thread keep their order. Dropped when the
// owner is gone by then.
template<typename F>
void onMainThread(QObject *owner, F &&fn)
{
    QMetaObject::invokeMethod(owner, std::forward<F>(fn), Qt::QueuedConnection);
}

// Runs `fn` on the owner's thread and waits for it; runs at once when already there.
template<typename F>
void onMainThreadAndWait(QObject *owner, F &&fn)
{
    if (QThread::currentThread() == owner->thread()) {
        fn();
        return;
    }
    QMetaObject::invokeMethod(owner, std::forward<F>(fn), Qt::BlockingQueuedConnection);
}
