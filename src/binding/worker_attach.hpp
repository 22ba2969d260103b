// Attaching runtime worker threads to the interpreter.
//
// A worker attaches only to add references for a message. Its thread state is
// made on the first attach and kept (later attaches cost no allocation); it is
// deleted when the worker exits. Every attach passes the exit gate, so no worker
// attaches once the interpreter has begun to exit.
#pragma once

#include "binding/host_ref.hpp"

#include <Python.h>

namespace cadrel::binding {

class WorkerAttached {
public:
    /// Attaches unless the gate is closed or the interpreter is finalizing;
    /// check `attached()`.
    WorkerAttached() noexcept;
    ~WorkerAttached();
    WorkerAttached(const WorkerAttached&) = delete;
    WorkerAttached& operator=(const WorkerAttached&) = delete;

    bool attached() const noexcept { return attached_; }

private:
    bool attached_ = false;
    PyGILState_STATE state_{};
};

/// Run by each worker thread as it exits: deletes its kept thread state,
/// unless the gate is closed (the interpreter then deletes every state itself).
void forget_worker_thread_state() noexcept;

}  // namespace cadrel::binding
