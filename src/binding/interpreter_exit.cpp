// The exit hook, and parking the host threads that the host ends.
#include "binding/interpreter_exit.hpp"

#include "binding/errors.hpp"
#include "binding/host_ref.hpp"

#include <Python.h>
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

PyObject* note_exit_begun(PyObject*, PyObject*) noexcept {
    static std::atomic<bool> ran{false};
    if (ran.exchange(true)) Py_RETURN_NONE;  // registered once; run once
    exiting_thread.store(std::this_thread::get_id(), std::memory_order_seq_cst);
    terminate_before_exit.store(std::set_terminate(terminate_at_exit));
    exit_begun.store(true, std::memory_order_seq_cst);
    Py_RETURN_NONE;
}

PyMethodDef note_exit_begun_def = {"_cadrel_note_exit_begun", note_exit_begun, METH_NOARGS, nullptr};

}  // namespace

namespace exit_detail {

void park_if_stopped_slow() noexcept {
    if (!is_exiting_thread() && !holds_interpreter_lock()) park_thread_forever();
}

void park_forever() noexcept {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

}  // namespace exit_detail

void prepare_for_exit() {
    HostRef atexit = check(PyImport_ImportModule("atexit"));
    HostRef hook = check(PyCFunction_New(&note_exit_begun_def, nullptr));
    check(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
}

}  // namespace cadrel::binding
