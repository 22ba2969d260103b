// Worker attaches through the exit gate, and the worker thread states kept between them.
#include "binding/worker_attach.hpp"

#include "binding/exit_gate.hpp"

namespace cadrel::binding {

namespace {

thread_local bool thread_state_kept = false;
thread_local PyGILState_STATE kept_outer_state;
thread_local PyThreadState* kept_thread_state = nullptr;

}  // namespace

WorkerAttached::WorkerAttached() noexcept {
    if (!enter_worker_gate()) return;
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
    leave_worker_gate();
}

void forget_worker_thread_state() noexcept {
    if (!thread_state_kept) return;
    thread_state_kept = false;
    if (!enter_worker_gate()) return;
    PyEval_RestoreThread(kept_thread_state);
    PyGILState_Release(kept_outer_state);  // the last count: deletes the state and detaches
    leave_worker_gate();
}

}  // namespace cadrel::binding
