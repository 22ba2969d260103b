// Building the runtime.
#include "runtime/runtime.hpp"

#include "runtime/cpu_quota.hpp"

namespace cadrel::rt {

Runtime::Runtime(const RuntimeConfig& config)
    : scheduler_(std::make_shared<Scheduler>(
          config.worker_threads == 0 ? available_parallelism() : config.worker_threads,
          config.thread_name, config.on_thread_stop)) {
    scheduler_->start();
}

Runtime::~Runtime() {
    if (scheduler_->is_forked_copy()) {
        // In a child of fork() the scheduler's condition variable still counts
        // the parent's sleeping workers, and destroying it would wait for them
        // for ever: keep the scheduler alive for the rest of the process.
        scheduler_->shutdown();
        new std::shared_ptr<Scheduler>(std::move(scheduler_));
        return;
    }
    shutdown();
}

}  // namespace cadrel::rt
