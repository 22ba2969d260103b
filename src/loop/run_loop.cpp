// run_forever, stop and close: the loop thread's wait-and-dispatch cycle.
//
// The thread that calls run_forever takes the channel's receiving end out of
// the loop object and handles messages, attached, for as long as any are
// queued; only when the channel is empty does it detach and sleep. So a busy
// loop pays one attach per batch, not per message, and other Python threads
// still get the interpreter at its switch interval while callbacks run. Each
// message is released while attached. A Stop ends the run after everything
// queued before it; what was queued after it stays for the next run.
//
// As in asyncio's loop, SystemExit and KeyboardInterrupt from a callback, and
// whatever a signal handler raises, end the run and reach the caller of
// run_forever; the receiving end goes back into the loop object, so the loop
// stays usable. Any other callback exception is printed and the run goes on.
// Only an internal failure breaks the loop (its receiving end is destroyed).
//
// The sleep on an empty channel is spent in the runtime's event wait when no
// worker owns it: readiness and due timers then wake their tasks on the loop
// thread itself, whose messages are queued by the time it looks again, with no
// other thread woken. While it runs callbacks the wait is free for workers.
//
// Signals: the runtime's workers block them, so a signal for the process
// interrupts the main thread's sleep (futex or epoll) when the main thread runs
// the loop; it re-attaches and runs Python's handlers at once.
#include "binding/errors.hpp"
#include "binding/handle_layout.hpp"
#include "loop/host_names.hpp"
#include "loop/methods.hpp"
#include "loop/posting.hpp"
#include "runtime/panic.hpp"

#include <mutex>

namespace cadrel::loop {

namespace {

using Poll = LoopReceiver::Poll;

/// The loop whose run this thread is inside, if any.
thread_local LoopObject* loop_run_by_this_thread = nullptr;

class RunningOnThisThread {
public:
    explicit RunningOnThisThread(LoopObject* loop)
        : previous_(std::exchange(loop_run_by_this_thread, loop)) {}
    ~RunningOnThisThread() { loop_run_by_this_thread = previous_; }
    RunningOnThisThread(const RunningOnThisThread&) = delete;
    RunningOnThisThread& operator=(const RunningOnThisThread&) = delete;

private:
    LoopObject* previous_;
};

/// Deals with the pending exception of a callback. SystemExit and
/// KeyboardInterrupt stay pending and end the run. The internal-failure
/// exception ends it too (throw_host_error turns it back into a Panic).
/// Anything else is printed and the run goes on.
void report_callback_failure() {
    if (PyErr_ExceptionMatches(PyExc_SystemExit) || PyErr_ExceptionMatches(PyExc_KeyboardInterrupt))
        throw binding::HostErrorSet{};
    try {
        binding::throw_host_error();
    } catch (const binding::HostErrorSet&) {
        PyErr_PrintEx(0);
    }
}

/// Runs Python's signal handlers if a signal has arrived (only the main thread
/// runs them; elsewhere this does nothing). What a handler raises ends the run.
void run_signal_handlers() {
    if (PyErr_CheckSignals() < 0) binding::throw_host_error();
}

/// Whether the handle was cancelled. asyncio's loop skips such handles, and
/// running one fails (cancel() drops its callback). A handle without the flag
/// counts as not cancelled; one whose flag cannot be read is reported like a
/// failing callback and skipped.
bool is_cancelled(PyObject* handle) {
    HostRef flag = HostRef::steal(PyObject_GetAttr(handle, names::cancelled.get()));
    if (!flag) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            report_callback_failure();
            return true;
        }
        PyErr_Clear();
        return false;
    }
    int truth = PyObject_IsTrue(flag.get());
    if (truth < 0) report_callback_failure();
    return truth != 0;
}

void dispatch(LoopMessage& message) {
    HostRef result;
    if (auto* run_handle = std::get_if<RunHandle>(&message)) {
        PyObject* handle = run_handle->handle.get();
        // asyncio's own Handle runs here as its _run would run it.
        if (const auto* layout = binding::HandleLayout::of(reinterpret_cast<PyObject*>(Py_TYPE(handle)))) {
            if (int cancelled = layout->cancelled(handle); cancelled >= 0) {
                if (cancelled) return;
                if (std::optional<bool> ran = layout->run(handle)) {
                    if (!*ran) report_callback_failure();
                    return;
                }
            }
        }
        if (is_cancelled(handle)) return;
        // Slot 0 is scratch space for the callee (PY_VECTORCALL_ARGUMENTS_OFFSET).
        PyObject* stack[] = {nullptr, handle};
        result = HostRef::steal(PyObject_VectorcallMethod(names::run.get(), stack + 1,
                                                          1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    } else if (auto* run_callback = std::get_if<RunCallback>(&message)) {
        // The message's share of the box keeps both references alive for the call.
        const WatchedCallback& target = *run_callback->target;
        result = HostRef::steal(PyObject_Call(target.callback.get(), target.args.get(), nullptr));
    } else {
        return;
    }
    if (!result) report_callback_failure();
}

/// Handles messages until a Stop or the channel's end. Called attached; it
/// detaches only to wait on an empty channel, in the runtime's event wait
/// when that is free (the tasks it wakes, all native, run there too). A host
/// exception that ends the run leaves as HostErrorSet, an internal failure as
/// a Panic.
void run_messages(LoopReceiver& receiver, rt::IdleReactor& reactor) {
    // However the run ends, the workers own the event wait until the next one.
    struct DoneWithTheReactor {
        rt::IdleReactor& reactor;
        ~DoneWithTheReactor() { reactor.done(); }
    } done_at_exit{reactor};
    reactor.begin();  // a worker in the event wait lets go of it after its current round
    std::optional<LoopMessage> message;
    for (;;) {
        Poll poll = receiver.try_recv(message);
        if (poll == Poll::kEmpty) {
            {
                binding::Detached detached;
                poll = receiver.recv_or_interrupt(message, &reactor);
            }
            if (poll == Poll::kEmpty) {  // a signal ended the sleep
                run_signal_handlers();
                continue;
            }
        }
        if (poll == Poll::kClosed || std::holds_alternative<Stop>(*message)) return;
        dispatch(*message);
        message.reset();  // release the payload while attached
        reactor.busy();   // a long stretch of callbacks lets a worker wait for events
        // Handlers of signals that arrived while a callback ran no Python code.
        run_signal_handlers();
    }
}

LoopReceiver take_receiver(LoopObject* loop) {
    binding::SharedBorrow borrow(loop);
    ReceiverSlot& slot = *loop->state().receiver;
    std::lock_guard lock(slot.mutex);
    if (!slot.receiver) rt::panic("run_forever called more than once or concurrently");
    LoopReceiver receiver = std::move(*slot.receiver);
    slot.receiver.reset();
    return receiver;
}

void return_receiver(LoopObject* loop, LoopReceiver receiver) {
    binding::SharedBorrow borrow(loop);
    ReceiverSlot& slot = *loop->state().receiver;
    std::lock_guard lock(slot.mutex);
    slot.receiver.emplace(std::move(receiver));
}

/// Sets the thread's running loop back to None. Done after the slot's lock is
/// released, so no host code ever runs under that lock.
void clear_running_loop(PyObject* events) {
    if (HostRef set_running = binding::get_attr_if_present(events, names::set_running_loop))
        binding::call(set_running.get(), {Py_None});
}

}  // namespace

bool runs_on_this_thread(const LoopObject* loop) noexcept { return loop_run_by_this_thread == loop; }

HostRef run_forever(LoopObject* loop) {
    // A thread that is already inside another loop's run cannot run this one:
    // refuse before anything of this loop changes, so it stays usable.
    if (loop_run_by_this_thread != nullptr && loop_run_by_this_thread != loop)
        rt::panic("run_forever cannot run a CadrelLoop on a thread that is already running another one");

    // The package first, then its submodule: importing "asyncio.events" by name
    // while another thread's first "import asyncio" is still running would load
    // the submodule beside it and hand out half-initialised modules.
    HostRef events = binding::module_attr(binding::import_module(names::asyncio).get(), names::events);
    if (HostRef set_running = binding::get_attr_if_present(events.get(), names::set_running_loop))
        binding::call(set_running.get(), {loop->as_object()});

    LoopReceiver receiver = take_receiver(loop);
    try {
        RunningOnThisThread running(loop);
        // The run holds the loop, so its runtime outlives the run.
        rt::IdleReactor& reactor = [loop]() -> rt::IdleReactor& {
            binding::SharedBorrow borrow(loop);
            return loop->state().runtime.idle_reactor();
        }();
        run_messages(receiver, reactor);
    } catch (const binding::HostErrorSet&) {
        // The run ends as asyncio's does: the loop usable again, no running loop.
        HostRef raised = binding::fetch_exception();
        return_receiver(loop, std::move(receiver));
        clear_running_loop(events.get());
        binding::restore_exception(std::move(raised));
        throw;
    }
    return_receiver(loop, std::move(receiver));
    clear_running_loop(events.get());
    return HostRef::borrow(Py_None);
}

HostRef stop(CadrelEventLoop& state) {
    post(state.sender, Stop{});
    return HostRef::borrow(Py_None);
}

HostRef close(CadrelEventLoop&) { return HostRef::borrow(Py_None); }

}  // namespace cadrel::loop
