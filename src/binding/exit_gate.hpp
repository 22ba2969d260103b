// The exit gate: once the interpreter begins to exit, no thread but the exiting
// one attaches to it again.
//
// An atexit hook closes the gate before the interpreter starts finalizing; it
// waits, without the interpreter lock, for threads that are inside an attach.
// After that:
// - a worker skips its attach (the caller reports and ends its task);
// - any other thread that would attach (a loop thread woken by a message, a
//   thread leaving a detached wait) parks for good instead. Versions before
//   3.14 end such a thread from inside the attach by unwinding its stack, which
//   our frames cannot survive; 3.14 parks it the same way.
// A thread that was running host code when finalization began is unwound by the
// host from its next attempt to take the interpreter lock. Destructors that
// touch the host call `park_if_stopped_by_host` first: without the lock they
// may not touch anything, so the thread parks there. Where the unwinding meets
// a noexcept frame first, the terminate handler that the hook installs parks
// the thread instead.
#pragma once

namespace cadrel::binding {

/// Admits a worker to attach, counted until `leave_attach_gate`; false once the
/// gate is closed or the interpreter is finalizing.
bool enter_worker_gate() noexcept;

/// Admits a host thread to attach, counted until `leave_attach_gate`; false
/// once the gate is closed, except for the thread that runs the exit.
bool enter_host_thread_gate() noexcept;

void leave_attach_gate() noexcept;

/// Whether the gate has closed (exit has begun).
bool attach_gate_closed() noexcept;

/// Blocks the calling thread until the process ends.
[[noreturn]] void park_thread_forever() noexcept;

/// Parks the calling thread if it is being unwound by the host at exit: the
/// gate is closed and the thread no longer holds the interpreter lock although
/// it was inside host code. Cheap while the gate is open.
void park_if_stopped_by_host() noexcept;

/// Registers the atexit hook that closes the gate. Called once, attached.
void close_attach_gate_at_exit();

}  // namespace cadrel::binding
