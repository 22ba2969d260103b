// run_forever, stop and close: the loop thread's wait-and-dispatch cycle.
//
// The thread that calls run_forever takes the channel's receiving end out of
// the loop object, detaches from the interpreter, and then sleeps on the
// channel. For each message it attaches, runs the handle or callback, releases
// the message while still attached, and detaches again. A Stop ends the run
// after everything queued before it; the receiving end then goes back into the
// loop object for the next run.
#include "binding/errors.hpp"
#include "loop/host_names.hpp"
#include "loop/methods.hpp"
#include "loop/posting.hpp"
#include "runtime/panic.hpp"

#include <mutex>

namespace cadrel::loop {

namespace {

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

/// Prints a callback's exception and carries on, except for the
/// internal-failure exception, which ends the run (throw_host_error turns it
/// back into a Panic).
void report_callback_failure() {
    try {
        binding::throw_host_error();
    } catch (const binding::HostErrorSet&) {
        PyErr_PrintEx(0);
    }
}

void dispatch(LoopMessage& message) {
    if (auto* run_handle = std::get_if<RunHandle>(&message)) {
        // Slot 0 is scratch space for the callee (PY_VECTORCALL_ARGUMENTS_OFFSET).
        PyObject* stack[] = {nullptr, run_handle->handle.get()};
        PyObject* result = PyObject_VectorcallMethod(names::run.get(), stack + 1,
                                                     1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        if (result == nullptr) report_callback_failure();
        Py_XDECREF(result);
    } else if (auto* run_callback = std::get_if<RunCallback>(&message)) {
        PyObject* result = PyObject_Call(run_callback->callback.get(), run_callback->args.get(), nullptr);
        if (result == nullptr) report_callback_failure();
        Py_XDECREF(result);
    }
}

/// Handles messages until a Stop or the channel's end. Runs detached; attaches
/// for each message. A Panic from a callback leaves with the receiver still
/// owned by the caller, which then destroys it.
void run_messages(LoopReceiver& receiver) {
    for (;;) {
        std::optional<LoopMessage> message = receiver.recv();
        if (!message || std::holds_alternative<Stop>(*message)) return;
        binding::Attached attached;
        dispatch(*message);
        message.reset();  // release the payload while attached
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

}  // namespace

HostRef run_forever(LoopObject* loop) {
    // A thread that is already inside another loop's run cannot run this one:
    // refuse before anything of this loop changes, so it stays usable.
    if (loop_run_by_this_thread != nullptr && loop_run_by_this_thread != loop)
        rt::panic("run_forever cannot run a CadrelLoop on a thread that is already running another one");

    // The package first, then its submodule: importing "asyncio.events" by name
    // while another thread's first "import asyncio" is still running would load
    // the submodule beside it and hand out half-initialised modules.
    HostRef events = binding::get_attr(binding::import_module(names::asyncio).get(), names::events);
    if (HostRef set_running = binding::get_attr_if_present(events.get(), names::set_running_loop))
        binding::call(set_running.get(), {loop->as_object()});

    LoopReceiver receiver = take_receiver(loop);
    {
        RunningOnThisThread running(loop);
        binding::Detached detached;
        run_messages(receiver);
    }
    return_receiver(loop, std::move(receiver));

    // Undone only at a normal end, and always to None. Done after the slot's
    // lock is released, so no host code ever runs under that lock.
    if (HostRef set_running = binding::get_attr_if_present(events.get(), names::set_running_loop))
        binding::call(set_running.get(), {Py_None});
    return HostRef::borrow(Py_None);
}

HostRef stop(CadrelEventLoop& state) {
    post(state.sender, Stop{});
    return HostRef::borrow(Py_None);
}

HostRef close(CadrelEventLoop&) { return HostRef::borrow(Py_None); }

}  // namespace cadrel::loop
