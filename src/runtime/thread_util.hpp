// Naming the current thread, its timer slack, and native threads started with a stack size of
// our choosing.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include <pthread.h>

namespace cadrel::rt {

/// Sets the current thread's name as the kernel shows it (15 bytes at most).
void set_current_thread_name(const std::string& name) noexcept;

/// The current thread's name, or "<unnamed>" when it has none.
std::string current_thread_name();

/// The current thread's timer slack in nanoseconds: how late the kernel may
/// end its timed waits to batch wake-ups (50 us unless changed).
unsigned long current_timer_slack() noexcept;

/// Sets the current thread's timer slack; 1 ns is the least the kernel takes
/// (0 would mean "back to the default").
void set_current_timer_slack(unsigned long nanoseconds) noexcept;

/// A joinable thread with an explicit stack size, started with every
/// asynchronous signal blocked. The C library's default stack varies (128 KiB
/// on musl), so the runtime never relies on it.
class NativeThread {
public:
    /// Starts `body` on a new thread with a stack of at least `stack_size`
    /// bytes; throws OsError when the system refuses.
    NativeThread(std::function<void()> body, std::size_t stack_size);
    NativeThread(NativeThread&& other) noexcept;
    NativeThread& operator=(NativeThread&&) = delete;
    NativeThread(const NativeThread&) = delete;
    NativeThread& operator=(const NativeThread&) = delete;
    /// A thread still joinable here is detached, so it cleans up after itself.
    ~NativeThread();

    bool joinable() const noexcept { return joinable_; }
    /// Whether the calling thread is this one.
    bool is_current() const noexcept;
    void join() noexcept;
    void detach() noexcept;

private:
    pthread_t handle_{};
    bool joinable_ = false;
};

}  // namespace cadrel::rt
