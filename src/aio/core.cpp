// AioCore: building the runtime and channel, and shutting them down.
#include "aio/core.hpp"

#include <chrono>

namespace cadrel::aio {

namespace {

rt::RuntimeConfig worker_config() {
    rt::RuntimeConfig config;
    config.thread_name = "cadrel-worker";
    return config;
}
/// The runtime's threads start with asynchronous signals blocked, so a
/// process's signal goes to a host thread, where the interpreter's handler
/// runs promptly and wakes the loop through its wake-up descriptor.
std::optional<rt::Runtime> start_runtime() {
    return std::optional<rt::Runtime>(std::in_place, worker_config());
}

}  // namespace

AioCore::AioCore() : AioCore(rt::make_channel<AioMessage>()) {}

AioCore::AioCore(std::pair<AioSender, AioReceiver> channel)
    : runtime(start_runtime()), sender(std::move(channel.first)), receiver(std::move(channel.second)) {}

AioCore::~AioCore() { shut_down(); }

void AioCore::shut_down() noexcept {
    const bool forked_copy = runtime && !runtime->handle().is_usable_in_this_process();
    // Workers never enter the interpreter, so joining them while attached is safe.
    if (runtime) runtime->shutdown();
    timer_wake = rt::AbortHandle();
    {
        // Release in a fixed order, each while attached (the caller is).
        std::vector<HostRef> timer_handles = timers.take_all();
        std::vector<HostRef> watcher_handles = watchers.take_all(forked_copy);
        StreamTable stream_transports = std::move(streams);
        streams = StreamTable();
        std::deque<ReadyItem> queued = std::move(ready);
        ready.clear();
        early_reports.clear();
    }
    // No send is in progress: the workers are joined, and host threads post
    // attached, as this thread is. Later sends find no receiver and ring nothing.
    if (receiver) receiver->unbind_reactor();
    receiver.reset();  // refuses later posts and drops queued messages
    runtime.reset();   // closes the driver's descriptors
}

double monotonic_seconds() noexcept {
    auto since_epoch = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration<double>(since_epoch).count();
}

}  // namespace cadrel::aio
