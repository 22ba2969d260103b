// The run loop of a cadrelio loop: one iteration per pass, as asyncio's loops do.
//
// Each pass collects what other threads posted (sleeping on the channel only
// when nothing is ready, nothing is due and no stop was asked for), lets the
// interpreter run its signal handlers, moves the due timers to the ready queue
// and runs the handles that were ready when the pass began; handles they
// schedule run in the next pass. stop() ends the run after the current pass.
//
// While it sleeps the loop thread is detached from the interpreter. The earliest
// timer wakes it through one runtime task that sleeps until that deadline and
// posts TimerWake; the task is replaced only when an earlier deadline appears,
// so scheduling a timer costs a heap push and nothing on the worker threads.
#include "aio/core.hpp"

#include "aio/loop_clock.hpp"
#include "aio/timer_heap.hpp"
#include "aio/transport_calls.hpp"
#include "binding/errors.hpp"
#include "binding/handle_layout.hpp"
#include "binding/host_calls.hpp"
#include "runtime/sleep.hpp"

#include <algorithm>
#include <chrono>

namespace cadrel::aio {

namespace {

const binding::InternedName kRun{"_run"};
const binding::InternedName kReportIfSlow{"_report_if_slow"};

/// The monotonic clock's resolution: a timer this close to now is due.
constexpr double kClockResolution = 1e-9;
/// Deadlines further out than this (in seconds of monotonic time) are clamped;
/// the wake-up task is simply replaced before then.
constexpr double kLatestWake = 1e9;

rt::Task wake_at(double when, AioSender sender) {
    using Clock = std::chrono::steady_clock;
    const auto since_epoch = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(std::min(when, kLatestWake)));
    co_await rt::Sleep(Clock::time_point(since_epoch));
    (void)sender.send(TimerWake{});  // refused only once the loop has closed
}

/// Makes sure a wake-up task sleeps until `deadline`, the earliest timer's
/// (both on the monotonic clock).
void arm_timer_wake(AioCore& core, double deadline, double now) {
    // A wake-up for a deadline still ahead has not fired yet: it sleeps, or it
    // was never spawned. One for a deadline already past may have posted.
    const bool pending = !core.timer_wake.is_finished() && core.timer_wake_when > now;
    if (pending && core.timer_wake_when <= deadline) return;
    core.timer_wake.abort();
    core.timer_wake = core.runtime->handle().spawn(wake_at(deadline, core.sender));
    core.timer_wake_when = deadline;
}

/// Queues a posted message: handles in `core.ready`, I/O news in `io` (the ready
/// queue itself during a pass's collection, the early reports from call_soon).
void accept(AioCore& core, AioMessage& message, std::deque<ReadyItem>& io) {
    if (auto* posted = std::get_if<PostedHandle>(&message)) {
        core.ready.push_back(ReadyItem{std::move(posted->handle), {}, {}});
    } else if (auto* report = std::get_if<DescriptorReady>(&message)) {
        io.push_back(ReadyItem{{}, *report, {}});
    } else if (auto* news = std::get_if<StreamReady>(&message)) {
        io.push_back(ReadyItem{{}, {}, StreamNotice{news->id, false}});
    } else if (auto* released = std::get_if<StreamReleased>(&message)) {
        io.push_back(ReadyItem{{}, {}, StreamNotice{released->id, true}});
    }
}

/// Collects posted messages; when `may_sleep`, first waits for one, in the
/// runtime's event wait when that is free: the watcher and timer tasks that
/// its events wake run on this thread, so their reports are queued without
/// waking a worker. A signal ends the wait early (the caller runs the handlers).
void collect_messages(AioCore& core, bool may_sleep, std::deque<ReadyItem>& io) {
    std::optional<AioMessage> message;
    if (may_sleep) {
        AioReceiver::Poll poll;
        {
            binding::Detached detached;
            poll = core.receiver->recv_or_interrupt(message, &core.runtime->idle_reactor());
        }
        if (poll == AioReceiver::Poll::kValue) accept(core, *message, io);
        message.reset();
    }
    while (core.receiver->try_recv(message) == AioReceiver::Poll::kValue) {
        accept(core, *message, io);
        message.reset();
    }
}

/// Appends the reports call_soon collected early, after the handles already ready.
void release_early_reports(AioCore& core) {
    while (!core.early_reports.empty()) {
        core.ready.push_back(std::move(core.early_reports.front()));
        core.early_reports.pop_front();
    }
}

}  // namespace

void take_posted(AioCore& core) {
    if (!core.receiver) return;
    if (core.running && core.loop_thread != std::this_thread::get_id()) return;
    // Handles posted from other threads keep their place before the caller's; I/O
    // news waits for the next pass, as a selector's events would.
    collect_messages(core, false, core.early_reports);
}

namespace {

void move_due_timers(CoreObject* self) {
    AioCore& core = self->core();
    if (core.timers.size() == 0) return;  // no clock read for a loop without timers
    const double limit = read_clock(self).loop_now + kClockResolution;
    static const binding::InternedName scheduled{"_scheduled"};
    while (HostRef handle = core.timers.pop_due(limit)) {
        if (handle_cancelled(handle.get())) {
            core.timers.forget_cancelled();
            continue;
        }
        binding::check_status(PyObject_SetAttr(handle.get(), scheduled.get(), Py_False));
        core.ready.push_back(ReadyItem{std::move(handle), {}, {}});
    }
}

/// Notes a watcher's callback as over, however it ended: the start of the
/// next pass asks whether its descriptor is still ready.
class CheckLevelAfter {
public:
    CheckLevelAfter(WatcherTable& watchers, const DescriptorReady& report) : watchers_(watchers), report_(report) {}
    ~CheckLevelAfter() { watchers_.callback_ran(report_); }
    CheckLevelAfter(const CheckLevelAfter&) = delete;
    CheckLevelAfter& operator=(const CheckLevelAfter&) = delete;

private:
    WatcherTable& watchers_;
    DescriptorReady report_;
};

/// Hands a stream's notice to its transport; a stream released since is gone.
/// It runs in the transport's own context, copied when the transport was made,
/// as asyncio's reader callback does: what a protocol sets there stays with
/// its connection, and neither other connections nor the code that runs the
/// loop see it.
void run_stream_notice(AioCore& core, const StreamNotice& notice) {
    static const binding::InternedName ready{"_stream_ready"};
    static const binding::InternedName released{"_stream_released"};
    HostRef transport = notice.released ? core.streams.take(notice.id) : HostRef::borrow(core.streams.find(notice.id));
    if (!transport) return;
    const HostRef context = transport_context(transport.get());
    if (context) binding::check_status(PyContext_Enter(context.get()));
    try {
        if (notice.released || !deliver_read_bytes(transport.get()))
            binding::call_method(transport.get(), notice.released ? released : ready, {});
    } catch (...) {
        // As Context.run: left with the error pending (a failure to leave replaces it).
        if (context) (void)PyContext_Exit(context.get());
        throw;
    }
    if (context) binding::check_status(PyContext_Exit(context.get()));
}

void run_item(CoreObject* self, ReadyItem& item) {
    AioCore& core = self->core();
    if (item.stream.id != 0) {
        run_stream_notice(core, item.stream);
        return;
    }
    if (item.handle) {
        run_handle(self, item.handle.get());
        return;
    }
    Watcher* watcher = core.watchers.current(item.report);
    if (watcher == nullptr) return;  // removed or replaced since it reported
    CheckLevelAfter check_level(core.watchers, item.report);
    HostRef handle = watcher->handle.clone();
    run_handle(self, handle.get());
}

class RunningFlag {
public:
    explicit RunningFlag(AioCore& core) : core_(core) {
        core_.running = true;
        core_.loop_thread = std::this_thread::get_id();
        core_.runtime->idle_reactor().begin();  // the event wait is kept for this thread
    }
    ~RunningFlag() {
        core_.runtime->idle_reactor().done();  // workers wait for events between runs
        core_.running = false;
        core_.loop_thread = {};
        core_.stopping = false;
    }
    RunningFlag(const RunningFlag&) = delete;
    RunningFlag& operator=(const RunningFlag&) = delete;

private:
    AioCore& core_;
};

}  // namespace

void run_handle(CoreObject* self, PyObject* handle) {
    // One look at the class serves both the flag and the run.
    const binding::HandleLayout* layout =
        self->core().debug ? nullptr : binding::HandleLayout::of(reinterpret_cast<PyObject*>(Py_TYPE(handle)));
    if (handle_cancelled(handle, layout)) return;
    if (!self->core().debug) {
        // asyncio's own Handle runs here as its _run would run it.
        if (layout) {
            if (std::optional<bool> ran = layout->run(handle)) {
                if (!*ran) binding::throw_host_error();
                return;
            }
        }
        // Handle._run reports ordinary exceptions itself; what escapes it
        // (KeyboardInterrupt, SystemExit) ends the run.
        binding::check(PyObject_VectorcallMethod(kRun.get(), &handle, 1, nullptr));
        return;
    }
    // Debug mode: the handle is the loop's current one while it runs, and a
    // slow one is reported.
    static const binding::InternedName current{"_current_handle"};
    binding::check_status(PyObject_SetAttr(self->as_object(), current.get(), handle));
    const double started = monotonic_seconds();
    PyObject* result = PyObject_VectorcallMethod(kRun.get(), &handle, 1, nullptr);
    const double elapsed = monotonic_seconds() - started;
    HostRef failure = result == nullptr ? binding::fetch_exception() : HostRef();
    Py_XDECREF(result);
    binding::check_status(PyObject_SetAttr(self->as_object(), current.get(), Py_None));
    if (failure) {
        binding::restore_exception(std::move(failure));
        binding::throw_host_error();
    }
    HostRef seconds = binding::check(PyFloat_FromDouble(elapsed));
    PyObject* stack[] = {self->as_object(), handle, seconds.get()};
    binding::check(PyObject_VectorcallMethod(kReportIfSlow.get(), stack, 3, nullptr));
}

void run(CoreObject* self) {
    AioCore& core = self->core();
    if (core.closed || !core.receiver || !core.runtime) binding::raise_error(PyExc_RuntimeError, "Event loop is closed");
    if (core.running) binding::raise_error(PyExc_RuntimeError, "This event loop is already running");
    RunningFlag running(core);
    for (;;) {
        release_early_reports(core);
        core.watchers.check_levels(core.ready);
        bool may_sleep = core.ready.empty() && !core.stopping;
        if (may_sleep) {
            // Without timers there is no deadline to look at, nor a wake-up to arm.
            if (std::optional<double> next = core.timers.next_when()) {
                const ClockReading clock = read_clock(self);
                if (*next <= clock.loop_now + kClockResolution) may_sleep = false;
                else arm_timer_wake(core, clock.monotonic_deadline(*next), clock.monotonic_now);
            }
        }
        if (!may_sleep) {
            // Handles are waiting: look at the kernel's events without blocking, as
            // a loop that polls its selector every pass does, so a connection
            // accepted or a reply read is not left for the next idle moment. The
            // look and the tasks it wakes never wait for the interpreter (workers
            // never attach), so the loop thread keeps it.
            binding::HostCodeDeferred native_only;
            core.runtime->idle_reactor().poll_now();
        }
        collect_messages(core, may_sleep, core.ready);
        binding::check_status(PyErr_CheckSignals());
        move_due_timers(self);
        for (std::size_t count = core.ready.size(); count > 0 && !core.ready.empty(); --count) {
            ReadyItem item = std::move(core.ready.front());
            core.ready.pop_front();
            run_item(self, item);
            core.runtime->idle_reactor().busy();  // a long stretch hands the event wait to a worker
        }
        if (core.stopping) return;
    }
}

}  // namespace cadrel::aio
