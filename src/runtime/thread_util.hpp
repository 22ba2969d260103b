// Small thread facts the runtime needs: how many processors this process may
// use (its affinity mask and its cgroup CPU quota), naming the current thread,
// and native threads started with a stack size of our choosing.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include <pthread.h>

namespace cadrel::rt {

/// Processors this process may use: the affinity mask (or, when it cannot be
/// read, the online processor count), lowered to the cgroup CPU quota when
/// there is one. At least 1.
std::size_t available_parallelism() noexcept;

/// The processors the cgroup CPU quota of this process allows, rounded up (at
/// least 1), or nullopt when no quota applies or none can be read. Reads
/// `root`/proc/self/cgroup and the controller files under `root`/sys/fs/cgroup
/// (cgroup v2 `cpu.max`, v1 `cpu.cfs_quota_us` / `cpu.cfs_period_us`) of the
/// process's group and of every group above it; the tightest quota wins.
std::optional<std::size_t> cgroup_cpu_limit(const std::string& root = "/");

/// Sets the current thread's name as the kernel shows it (15 bytes at most).
void set_current_thread_name(const std::string& name) noexcept;

/// The current thread's name, or "<unnamed>" when it has none.
std::string current_thread_name();

/// A joinable thread with an explicit stack size. The C library's default
/// varies (128 KiB on musl) and worker threads run host code, whose recursion
/// depth we do not control, so the runtime never relies on it.
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
