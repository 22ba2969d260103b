// Interpreter exit: keeping workers out, and parking threads the host ends.
//
// An atexit hook closes the worker gate before the interpreter starts
// finalizing; it waits, without the interpreter lock, for workers inside an
// attach, and no worker attaches afterwards (the caller reports and ends its
// task). Workers never run host code during finalization.
//
// Host threads (a daemon thread inside run_forever, or one calling a method)
// are ended by CPython before 3.14 at their first attempt to take the
// interpreter lock once finalization has begun, by unwinding their stack
// (pthread_exit). Our frames cannot be unwound then, so such a thread parks for
// good, as 3.14 parks it itself:
// - an attach of ours catches the unwind where it starts and parks there;
// - destructors that touch the host call `park_if_stopped_by_host` first: the
//   thread was inside host code but no longer holds the lock;
// - where the unwinding meets a noexcept frame first (a release whose finalizer
//   runs Python code), the terminate handler installed by the hook parks it.
#pragma once

#include <atomic>

namespace cadrel::binding {

/// Admits a worker to attach, counted until `leave_worker_gate`; false once
/// the gate is closed or the interpreter is finalizing.
bool enter_worker_gate() noexcept;
void leave_worker_gate() noexcept;

/// Blocks the calling thread until the process ends.
[[noreturn]] void park_thread_forever() noexcept;

namespace exit_detail {
extern std::atomic<bool> exit_begun;
void park_if_stopped_slow() noexcept;
}  // namespace exit_detail

/// Parks the calling thread if the host is unwinding it at exit: exit has
/// begun, the thread is not the exiting one, and it is inside host code without
/// holding the interpreter lock. One relaxed load until exit begins.
inline void park_if_stopped_by_host() noexcept {
    if (exit_detail::exit_begun.load(std::memory_order_relaxed)) exit_detail::park_if_stopped_slow();
}

/// Registers the atexit hook and the fork handler. Called once, attached.
void prepare_for_exit();

}  // namespace cadrel::binding
