#pragma once

#include <QFuture>
#include <QPromise>
#include <exception>
#include <thread>
#include <type_traits>
#include <utility>

// Runs `work` on a thread of its own that nothing waits for: neither the owner that started it
// nor the program as it quits (the global thread pool is waited for then). For work that may
// block for as long as a drive that stopped answering, or another program holding a lock, makes
// it: an owner that goes abandons it, and its future's continuations with a context object gone
// do not run. `work` must hold everything it touches by value, or touch only what lives as long
// as the program. An exception it throws reaches the future.
template<typename Work>
auto runAbandonable(Work work) -> QFuture<std::invoke_result_t<Work>>
{
    using Result = std::invoke_result_t<Work>;
    QPromise<Result> promise;
    QFuture<Result> future = promise.future();
    std::thread([promise = std::move(promise), work = std::move(work)]() mutable {
        promise.start();
        try {
            if constexpr (std::is_void_v<Result>)
                work();
            else
                promise.addResult(work());
        } catch (...) {
            promise.setException(std::current_exception());
        }
        promise.finish();
    }).detach();
    return future;
}
