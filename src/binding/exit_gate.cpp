// The exit gate and its atexit hook.
#include "binding/exit_gate.hpp"

#include "binding/errors.hpp"
#include "binding/host_ref.hpp"

#include <Python.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <thread>

namespace cadrel::binding {

namespace {

std::atomic<bool> gate_closed{false};
/// Threads between passing the gate and holding the interpreter lock.
std::atomic<int> threads_inside{0};
/// The thread that ran the hook: it goes on to finalize the interpreter.
std::atomic<std::thread::id> exiting_thread{};

bool is_exiting_thread() noexcept {
    return exiting_thread.load(std::memory_order_seq_cst) == std::this_thread::get_id();
}

/// Whether this thread holds the interpreter lock. Not PyGILState_Check: it
/// answers yes for every thread once the host has switched its checks off.
bool holds_interpreter_lock() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
    return _PyThreadState_UncheckedGet() != nullptr;  // this thread's attached state
#else
    PyThreadState* current = _PyThreadState_UncheckedGet();  // the lock holder's state
    return current != nullptr && current == PyGILState_GetThisThreadState();
#endif
}

/// Counts the caller in, then checks the gate. seq_cst pairs the increment with
/// the hook's store and load, so either the hook waits for this thread or this
/// thread sees the gate closed.
bool enter_unless(bool (*refused)()) noexcept {
    threads_inside.fetch_add(1, std::memory_order_seq_cst);
    if (refused()) {
        threads_inside.fetch_sub(1, std::memory_order_seq_cst);
        return false;
    }
    return true;
}

std::atomic<std::terminate_handler> terminate_before_exit{nullptr};

/// Installed at exit: the host may end a thread inside one of our noexcept
/// frames (a reference release whose finalizer runs Python code), and the
/// unwinding then stops there with std::terminate. Such a thread parks; any
/// other termination goes on as before.
[[noreturn]] void terminate_at_exit() noexcept {
    park_if_stopped_by_host();
    if (std::terminate_handler previous = terminate_before_exit.load()) previous();
    std::abort();
}

PyObject* close_gate(PyObject*, PyObject*) noexcept {
    exiting_thread.store(std::this_thread::get_id(), std::memory_order_seq_cst);
    terminate_before_exit.store(std::set_terminate(terminate_at_exit));
    gate_closed.store(true, std::memory_order_seq_cst);
    // A thread inside the gate may be waiting for the interpreter lock: let it
    // finish its attach without it.
    Py_BEGIN_ALLOW_THREADS
    while (threads_inside.load(std::memory_order_seq_cst) > 0)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

PyMethodDef close_gate_def = {"_cadrel_close_attach_gate", close_gate, METH_NOARGS, nullptr};

}  // namespace

bool enter_worker_gate() noexcept {
    return enter_unless([] { return gate_closed.load(std::memory_order_seq_cst) || interpreter_finalizing(); });
}

bool enter_host_thread_gate() noexcept {
    return enter_unless([] { return gate_closed.load(std::memory_order_seq_cst) && !is_exiting_thread(); });
}

void leave_attach_gate() noexcept { threads_inside.fetch_sub(1, std::memory_order_seq_cst); }

bool attach_gate_closed() noexcept { return gate_closed.load(std::memory_order_relaxed); }

void park_thread_forever() noexcept {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

void park_if_stopped_by_host() noexcept {
    if (attach_gate_closed() && !is_exiting_thread() && !holds_interpreter_lock()) park_thread_forever();
}

void close_attach_gate_at_exit() {
    HostRef atexit = check(PyImport_ImportModule("atexit"));
    HostRef hook = check(PyCFunction_New(&close_gate_def, nullptr));
    check(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
}

}  // namespace cadrel::binding
