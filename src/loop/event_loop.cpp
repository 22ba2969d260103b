// Building and tearing down CadrelEventLoop.
#include "loop/event_loop.hpp"

namespace cadrel::loop {

namespace {

rt::RuntimeConfig loop_runtime_config() {
    rt::RuntimeConfig config;
    config.thread_name = "cadrel-worker";
    config.worker_threads = 0;  // one per processor available to the process
    return config;
}


}  // namespace

CadrelEventLoop::CadrelEventLoop() : CadrelEventLoop(rt::make_channel<LoopMessage>()) {}

CadrelEventLoop::CadrelEventLoop(std::pair<LoopSender, LoopReceiver> channel)
    : runtime(loop_runtime_config()),
      sender(std::move(channel.first)),
      receiver(std::make_shared<ReceiverSlot>(std::move(channel.second))),
      io_registry(std::make_shared<SharedIoRegistry>(sender, runtime.handle())) {}

CadrelEventLoop::~CadrelEventLoop() {
    // Tasks go first, so none is left to send, then the fields in order.
    runtime.shutdown();
    { LoopSender dropped = std::move(sender); }
    { std::shared_ptr<ReceiverSlot> dropped = std::move(receiver); }
    { std::shared_ptr<SharedIoRegistry> dropped = std::move(io_registry); }
}

}  // namespace cadrel::loop
