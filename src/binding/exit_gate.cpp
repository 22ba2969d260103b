// The worker gate, its atexit hook, and parking the threads the host ends.
#include "binding/exit_gate.hpp"

#include "binding/errors.hpp"
#include "binding/host_ref.hpp"

#include <Python.h>
#include <pthread.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <thread>

namespace cadrel::binding {

namespace exit_detail {
std::atomic<bool> exit_begun{false};
}  // namespace exit_detail

namespace {

using exit_detail::exit_begun;

/// Workers between passing the gate and detaching again.
std::atomic<int> workers_inside{0};
/// The thread that ran the hook: it goes on to finalize the interpreter.
std::atomic<std::thread::id> exiting_thread{};
std::atomic<std::terminate_handler> terminate_before_exit{nullptr};

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
    // The lock holder's state against this thread's own (the one made for it by
    // the host or by PyGILState; a second, hand-made state is not recognised).
    PyThreadState* current = _PyThreadState_UncheckedGet();
    return current != nullptr && current == PyGILState_GetThisThreadState();
#endif
}

/// Installed at exit: a host thread ended inside one of our noexcept frames
/// terminates; it parks instead. Any other termination goes on as before.
[[noreturn]] void terminate_at_exit() noexcept {
    if (host_entry_depth() > 0) exit_detail::park_if_stopped_slow();
    if (std::terminate_handler previous = terminate_before_exit.load()) previous();
    std::abort();
}

PyObject* close_gate(PyObject*, PyObject*) noexcept {
    static std::atomic<bool> ran{false};
    if (ran.exchange(true)) Py_RETURN_NONE;  // registered once; run once
    exiting_thread.store(std::this_thread::get_id(), std::memory_order_seq_cst);
    terminate_before_exit.store(std::set_terminate(terminate_at_exit));
    exit_begun.store(true, std::memory_order_seq_cst);
    // A worker inside the gate may be waiting for the interpreter lock: let it
    // finish its attach without it.
    Py_BEGIN_ALLOW_THREADS
    while (workers_inside.load(std::memory_order_seq_cst) > 0)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

PyMethodDef close_gate_def = {"_cadrel_close_worker_gate", close_gate, METH_NOARGS, nullptr};

/// A forked child has only the forking thread, which is never inside the gate;
/// the counts of the parent's workers must not make its exit wait.
void forget_workers_after_fork() noexcept { workers_inside.store(0, std::memory_order_relaxed); }

}  // namespace

namespace exit_detail {

void park_if_stopped_slow() noexcept {
    if (!is_exiting_thread() && !holds_interpreter_lock()) park_thread_forever();
}

}  // namespace exit_detail

/// seq_cst pairs the increment with the hook's store and load, so either the
/// hook waits for this worker or this worker sees the gate closed.
bool enter_worker_gate() noexcept {
    workers_inside.fetch_add(1, std::memory_order_seq_cst);
    if (exit_begun.load(std::memory_order_seq_cst) || interpreter_finalizing()) {
        workers_inside.fetch_sub(1, std::memory_order_seq_cst);
        return false;
    }
    return true;
}

void leave_worker_gate() noexcept { workers_inside.fetch_sub(1, std::memory_order_seq_cst); }

void park_thread_forever() noexcept {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

void prepare_for_exit() {
    if (int error = pthread_atfork(nullptr, nullptr, forget_workers_after_fork)) {
        errno = error;
        PyErr_SetFromErrno(PyExc_OSError);
        throw_host_error();
    }
    HostRef atexit = check(PyImport_ImportModule("atexit"));
    HostRef hook = check(PyCFunction_New(&close_gate_def, nullptr));
    check(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
}

}  // namespace cadrel::binding
