// time, call_later and call_at: the loop's wall clock and its timer tasks.
//
// A timer is a task of its own on the loop's runtime: it sleeps on the
// runtime's monotonic clock and then posts its asyncio.TimerHandle to the loop
// thread like call_soon would. The loop keeps no table of timers; the handle's
// `when` is wall-clock loop time, the wait itself is monotonic.
#include "binding/errors.hpp"
#include "loop/host_names.hpp"
#include "loop/methods.hpp"
#include "loop/posting.hpp"
#include "runtime/sleep.hpp"

#include <ctime>

namespace cadrel::loop {

namespace {

/// Seconds since the Unix epoch on the real-time clock.
double loop_time() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec < 0) binding::raise_error(PyExc_RuntimeError, "second time provided was later than self");
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

/// Sleeps until `delay` seconds after `scheduled_at`, the monotonic time of
/// the call (zero, negative and NaN delays do not wait), then posts the handle
/// once. Counting from the call rather than from the task's first run keeps
/// the time a worker takes to start the task out of the timer's delay. A delay
/// that no duration can hold ends the task with an internal-failure report and
/// posts nothing. A refused post (the loop is broken) is dropped with its handle.
rt::Task timer_task(LoopSender sender, HostRef handle, double delay, rt::Sleep::Clock::time_point scheduled_at) {
    if (delay > 0) co_await rt::Sleep(rt::deadline_after(scheduled_at, rt::duration_from_seconds_or_fail(delay)));
    std::optional<LoopMessage> refused = sender.send(RunHandle{std::move(handle)});
}

}  // namespace

HostRef time(CadrelEventLoop&) { return binding::check(PyFloat_FromDouble(loop_time())); }

HostRef call_later(LoopObject* loop, PyObject* callback, HostRef args, HostRef context, double delay) {
    HostRef asyncio = binding::import_module(names::asyncio);
    binding::SharedBorrow borrow(loop);
    const double now = loop_time();
    // Read after the loop time, so the handle's `when` never comes after the wake-up.
    const auto scheduled_at = rt::Sleep::Clock::now();
    HostRef timer_handle_class = binding::module_attr(asyncio.get(), names::timer_handle_class);
    HostRef when = binding::check(PyFloat_FromDouble(delay + now));
    // TimerHandle(when, callback, args, loop=loop[, context=context]).
    HostRef handle = build_handle(timer_handle_class.get(), std::array{when.get(), callback, args.get()}, loop,
                                  context.get());
    const LoopSender& sender = loop->state().sender;
    if (sender.is_closed()) binding::raise_error(PyExc_RuntimeError, "loop closed");
    require_runtime_in_this_process(loop->state());
    // The task is detached at once: no one can cancel, await or find it again.
    (void)loop->state().runtime.handle().spawn(timer_task(sender, handle.clone(), delay, scheduled_at));
    return handle;
}

HostRef call_at(LoopObject* loop, PyObject* callback, HostRef args, HostRef context, double when) {
    double delay = 0.0;
    {
        binding::SharedBorrow borrow(loop);
        const double now = loop_time();
        if (when > now) delay = when - now;  // a past or NaN `when` does not wait
    }
    return call_later(loop, callback, std::move(args), std::move(context), delay);
}

}  // namespace cadrel::loop
