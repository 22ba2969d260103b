// Building the runtime.
#include "runtime/runtime.hpp"

#include "runtime/thread_util.hpp"

namespace cadrel::rt {

Runtime::Runtime(const RuntimeConfig& config)
    : scheduler_(std::make_shared<Scheduler>(
          config.worker_threads == 0 ? available_parallelism() : config.worker_threads,
          config.thread_name, config.on_thread_stop)) {
    scheduler_->start();
}

}  // namespace cadrel::rt
