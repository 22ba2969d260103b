// Interpreter exit: parking the host threads that the host ends.
//
// Worker threads never enter the interpreter (references they drop wait on the
// pending-release list for a host thread), so exit needs nothing from them.
//
// Host threads (a daemon thread inside run_forever, or one calling a method)
// are ended by CPython before 3.14 at their first attempt to take the
// interpreter lock once finalization has begun, by unwinding their stack
// (pthread_exit). Our frames cannot be unwound then, so such a thread parks for
// good, as 3.14 parks it itself:
// - re-attaching after a detached wait catches the unwind where it starts and
//   parks there;
// - destructors that touch the host call `park_if_stopped_by_host` first: the
//   thread was inside host code but no longer holds the lock;
// - where the unwinding meets a noexcept frame first (a release whose finalizer
//   runs Python code), the terminate handler installed at exit parks it.
// An atexit hook, which runs before the interpreter starts finalizing, marks
// the exit as begun and installs that handler.
#pragma once

#include <atomic>
#include <cstdint>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace cadrel::binding {

namespace exit_detail {
[[noreturn]] void park_forever() noexcept;
}  // namespace exit_detail

/// Blocks the calling thread until the process ends. Under AddressSanitizer it
/// first clears the shadow of the stack below its caller: the host's forced
/// unwind leaves the redzones of the frames it popped poisoned, and the
/// instrumentation's own call before a noreturn call would trip on them.
[[gnu::always_inline]] [[noreturn]] inline void park_thread_forever() noexcept {
#if defined(__SANITIZE_ADDRESS__)
    char here;
    constexpr std::uintptr_t kCleared = 64 * 1024;
    // As an address: the region lies below `here`, outside any object.
    const std::uintptr_t below = reinterpret_cast<std::uintptr_t>(&here) - kCleared;
    __asan_unpoison_memory_region(reinterpret_cast<void*>(below), kCleared);
#endif
    exit_detail::park_forever();
}

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

/// Registers the atexit hook. Called once, attached.
void prepare_for_exit();

}  // namespace cadrel::binding
