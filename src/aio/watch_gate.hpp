// WatchGate: the loop thread's permission for a watcher task to report again.
//
// A descriptor watcher reports readiness once, then waits at its gate until the
// loop thread has run the callback and opens it. That is what makes watchers
// level-triggered without spinning: a descriptor that stays ready is reported
// again after each callback, never while one is queued. The gate is one flag and
// at most one parked waker, guarded by a mutex; the waker is woken after the
// mutex is released.
#pragma once

#include "runtime/task.hpp"

#include <mutex>
#include <optional>

namespace cadrel::aio {

class WatchGate {
public:
    /// Any thread: lets the watcher pass once more.
    void open() noexcept {
        std::optional<rt::Waker> parked;
        {
            std::lock_guard lock(mutex_);
            open_ = true;
            parked.swap(parked_);
        }
        if (parked) parked->wake();
    }

    /// `co_await gate.pass()`: waits until opened, then closes it again.
    auto pass() noexcept { return Passage{*this}; }

private:
    struct Passage {
        WatchGate& gate;
        bool await_ready() noexcept { return gate.take(); }
        bool await_suspend(rt::Task::Handle handle) {
            std::lock_guard lock(gate.mutex_);
            if (gate.open_) {
                gate.open_ = false;
                return false;
            }
            gate.parked_.emplace(handle.promise().core);
            return true;
        }
        void await_resume() noexcept { gate.take(); }
        ~Passage() {
            // A watcher destroyed while parked (aborted) drops its waker here.
            std::lock_guard lock(gate.mutex_);
            gate.parked_.reset();
        }
    };

    bool take() noexcept {
        std::lock_guard lock(mutex_);
        return std::exchange(open_, false);
    }

    std::mutex mutex_;
    bool open_ = true;                // guarded by mutex_; a new watcher may report at once
    std::optional<rt::Waker> parked_;  // guarded by mutex_
};

}  // namespace cadrel::aio
