// The runtime: an owner that builds and shuts down the scheduler, and a cheap
// shareable Handle that spawns tasks on it from any thread.
//
// Building the runtime creates its driver (epoll instance and wake-up eventfd)
// and starts its worker threads, all named after the configuration. Dropping
// the Runtime shuts it down: workers are stopped and joined, then every task
// that has not finished is destroyed on the dropping thread. Handles may
// outlive the Runtime; spawning through them afterwards drops the task at once.
#pragma once

#include "runtime/scheduler.hpp"
#include "runtime/task.hpp"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace cadrel::rt {

struct RuntimeConfig {
    std::string thread_name = "cadrel-worker";
    /// 0 means one per processor available to the process.
    std::size_t worker_threads = 0;
    /// Run by each worker thread just before it exits (after its last task).
    std::function<void()> on_thread_stop;
};

class Handle {
public:
    /// Queues the task on a worker; never waits. Returns its abort handle,
    /// which may be dropped at once to detach the task.
    AbortHandle spawn(Task task) const { return scheduler_->spawn(std::move(task)); }

    bool is_shut_down() const { return scheduler_->is_shut_down(); }

    /// Registers `fd` with the runtime's readiness service from the calling
    /// thread (see IoDriver::register_fd); throws OsError or std::runtime_error.
    FdRegistration register_fd(int fd) const { return scheduler_->driver().io().register_fd(fd); }

    /// False in a child process made by fork(): the runtime's workers did not
    /// survive it, so tasks cannot be spawned there.
    bool is_usable_in_this_process() const noexcept { return !scheduler_->is_forked_copy(); }

private:
    friend class Runtime;
    explicit Handle(std::shared_ptr<Scheduler> scheduler) : scheduler_(std::move(scheduler)) {}
    std::shared_ptr<Scheduler> scheduler_;
};

class Runtime {
public:
    /// Builds the driver and starts the workers; throws OsError.
    explicit Runtime(const RuntimeConfig& config = {});
    ~Runtime();
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    Handle handle() const { return Handle(scheduler_); }

    /// Stops and joins the workers and destroys unfinished tasks. Idempotent.
    void shutdown() noexcept { scheduler_->shutdown(); }

    std::size_t worker_count() const noexcept { return scheduler_->worker_count(); }

    /// The driver's wait, for a receiver to spend its idle time in (see
    /// idle_reactor.hpp). Valid as long as this runtime.
    IdleReactor& idle_reactor() noexcept { return *scheduler_; }

private:
    std::shared_ptr<Scheduler> scheduler_;
};

}  // namespace cadrel::rt
