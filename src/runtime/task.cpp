// Task state transitions that any thread may make: wake, abort, release.
#include "runtime/task.hpp"

#include "runtime/panic.hpp"
#include "runtime/scheduler.hpp"

#include <exception>

namespace cadrel::rt {

void TaskCore::release() noexcept {
    // acq_rel: every use of the core by other owners happens before the delete.
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

void TaskCore::wake() noexcept {
    std::uint32_t state = state_.load(std::memory_order_acquire);
    for (;;) {
        if (state & (kComplete | kNotified)) return;  // finished, or already due to run
        if (state_.compare_exchange_weak(state, state | kNotified, std::memory_order_acq_rel)) break;
    }
    // A running task is queued again by its worker when the run ends.
    if (!(state & kRunning)) {
        retain();  // the queue's reference
        scheduler_->schedule(this);
    }
}

void TaskCore::abort() noexcept {
    state_.fetch_or(kCancelled, std::memory_order_acq_rel);
    wake();
}

void Task::promise_type::unhandled_exception() noexcept {
    try {
        throw;
    } catch (const Panic&) {
        // Already reported when it was raised.
    } catch (const std::exception& error) {
        report_panic(error.what());
    } catch (...) {
        report_panic("a task failed with an exception of unknown type");
    }
}

}  // namespace cadrel::rt
