// StreamGate: the loop thread's permission for a stream's worker task to go on.
//
// Guarded by a mutex the caller passes in: a stream has two gates under its
// own mutex and most streams are idle, so the gates carry no mutex of their
// own (a watcher's WatchGate pairs one with its lock). One flag and at most
// one parked waker; the waker is woken after the mutex is released.
#pragma once

#include "runtime/small_mutex.hpp"
#include "runtime/task.hpp"

#include <mutex>
#include <utility>

namespace cadrel::aio {

class StreamGate {
public:
    /// Any thread, `mutex` not held: lets the task pass once more.
    void open(rt::SmallMutex& mutex) noexcept {
        rt::Waker parked;
        {
            std::lock_guard lock(mutex);
            open_ = true;
            parked = std::move(parked_);
        }
        if (parked) parked.wake();
    }

    /// `co_await gate.pass(mutex)`: waits until opened, then closes it again.
    auto pass(rt::SmallMutex& mutex) noexcept { return Passage{*this, mutex}; }

private:
    struct Passage {
        StreamGate& gate;
        rt::SmallMutex& mutex;
        bool await_ready() noexcept { return take(); }
        bool await_suspend(rt::Task::Handle handle) {
            std::lock_guard lock(mutex);
            if (std::exchange(gate.open_, false)) return false;
            gate.parked_ = rt::Waker(handle.promise().core);
            return true;
        }
        void await_resume() noexcept { take(); }
        ~Passage() {
            // A task destroyed while parked (aborted) drops its waker here,
            // after the lock: releasing it may free the task's core.
            rt::Waker dropped;
            std::lock_guard lock(mutex);
            dropped = std::move(gate.parked_);
        }
        bool take() noexcept {
            std::lock_guard lock(mutex);
            return std::exchange(gate.open_, false);
        }
    };

    bool open_ = true;   // guarded by the stream's mutex; a new task may go at once
    rt::Waker parked_;   // guarded by the stream's mutex; empty when no task waits
};

}  // namespace cadrel::aio
