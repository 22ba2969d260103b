// The worker attach gate, kept worker thread states and the atexit hook.
#include "binding/worker_attach.hpp"

#include "binding/errors.hpp"

#include <atomic>
#include <chrono>
#include <thread>

namespace cadrel::binding {

namespace {

std::atomic<bool> gate_closed{false};
/// Workers between passing the gate and detaching again.
std::atomic<int> workers_inside{0};

thread_local bool thread_state_kept = false;
thread_local PyGILState_STATE kept_outer_state;
thread_local PyThreadState* kept_thread_state = nullptr;

/// Passes the gate, or returns false. seq_cst pairs the increment with the
/// hook's store and load, so either the hook waits for this worker or this
/// worker sees the gate closed.
bool enter_gate() noexcept {
    workers_inside.fetch_add(1, std::memory_order_seq_cst);
    if (gate_closed.load(std::memory_order_seq_cst) || interpreter_finalizing()) {
        workers_inside.fetch_sub(1, std::memory_order_seq_cst);
        return false;
    }
    return true;
}

void leave_gate() noexcept { workers_inside.fetch_sub(1, std::memory_order_seq_cst); }

PyObject* close_gate(PyObject*, PyObject*) noexcept {
    gate_closed.store(true, std::memory_order_seq_cst);
    // A worker inside the gate may be waiting for the interpreter lock: let it
    // finish its attach without it.
    Py_BEGIN_ALLOW_THREADS
    while (workers_inside.load(std::memory_order_seq_cst) > 0)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

PyMethodDef close_gate_def = {"_cadrel_close_worker_gate", close_gate, METH_NOARGS, nullptr};

}  // namespace

WorkerAttached::WorkerAttached() noexcept {
    if (!enter_gate()) return;
    if (!thread_state_kept) {
        // Make the thread state once and detach again; the outer count keeps
        // PyGILState_Release below from deleting it.
        kept_outer_state = PyGILState_Ensure();
        kept_thread_state = PyEval_SaveThread();
        thread_state_kept = true;
    }
    state_ = PyGILState_Ensure();
    attached_ = true;
    enter_host_count();
}

WorkerAttached::~WorkerAttached() {
    if (!attached_) return;
    leave_host_count();
    PyGILState_Release(state_);
    leave_gate();
}

void forget_worker_thread_state() noexcept {
    if (!thread_state_kept) return;
    thread_state_kept = false;
    if (!enter_gate()) return;
    PyEval_RestoreThread(kept_thread_state);
    PyGILState_Release(kept_outer_state);  // the last count: deletes the state and detaches
    leave_gate();
}

void close_workers_at_exit() {
    HostRef atexit = check(PyImport_ImportModule("atexit"));
    HostRef hook = check(PyCFunction_New(&close_gate_def, nullptr));
    check(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
}

}  // namespace cadrel::binding
