// Sleeping inside a task: an awaitable that suspends until a deadline of the
// runtime's monotonic clock.
#pragma once

#include "runtime/duration.hpp"
#include "runtime/scheduler.hpp"
#include "runtime/task.hpp"

#include <chrono>

namespace cadrel::rt {

/// `co_await Sleep(deadline)`: resumes at or after `deadline`, never before.
/// A deadline already passed does not suspend at all.
class Sleep {
public:
    using Clock = std::chrono::steady_clock;

    explicit Sleep(Clock::time_point deadline) noexcept : deadline_(deadline) {}

    bool await_ready() const noexcept { return deadline_ <= Clock::now(); }
    void await_suspend(Task::Handle handle) {
        TaskCore* core = handle.promise().core;
        core->scheduler().add_timer(deadline_, Waker(core));
    }
    void await_resume() const noexcept {}

private:
    Clock::time_point deadline_;
};

/// Sleeps for `span` counted from now.
inline Sleep sleep_for(SecondsAndNanos span) noexcept {
    return Sleep(deadline_after(Sleep::Clock::now(), span));
}

}  // namespace cadrel::rt
