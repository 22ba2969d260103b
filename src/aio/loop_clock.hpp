// The clock a cadrelio loop schedules and runs its timers by.
//
// asyncio's loops read self.time() wherever they need the time: call_later
// adds the delay to it, and a timer is due once it reaches the timer's `when`.
// Programs and test suites rely on that when they replace `time` on a loop (a
// patched clock) or override it in a subclass. The core reads its native
// monotonic clock unless `time` is replaced on the instance or overridden in
// the class; then it asks `self.time()`, as asyncio does. The native timer
// wake-up still sleeps on the monotonic clock, for the replaced clock's
// distance to the earliest deadline, and is re-armed on every idle pass.
#pragma once

#include "aio/core.hpp"

namespace cadrel::aio {

/// One reading of the loop's clock beside the monotonic one.
struct ClockReading {
    double loop_now;       // what self.time() answers
    double monotonic_now;  // the native clock at the same moment
    bool replaced;         // loop_now came from a replaced or overridden time()

    /// A deadline on the loop's clock, as a deadline on the monotonic clock.
    double monotonic_deadline(double when) const noexcept {
        return replaced ? monotonic_now + (when - loop_now) : when;
    }
};

/// Reads the loop's clock. Caller is attached; throws on a host error from
/// a replaced time().
ClockReading read_clock(CoreObject* self);

/// The core's own time(): the monotonic clock, in seconds.
PyObject* native_time_method(PyObject* self, PyObject*) noexcept;

/// The core's attribute setter: the generic one, noting whether `time` is
/// now set on the instance.
int core_setattro(PyObject* self, PyObject* name, PyObject* value) noexcept;

}  // namespace cadrel::aio
