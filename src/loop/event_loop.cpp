// Building and tearing down CadrelEventLoop.
#include "loop/event_loop.hpp"

#include <pthread.h>
#include <signal.h>

namespace cadrel::loop {

namespace {

/// Blocks every asynchronous signal on the calling thread for its lifetime.
/// Threads started meanwhile inherit the mask, so the runtime's workers never
/// take a signal meant for the process: the kernel delivers it to a host thread
/// (the main thread, where Python runs its handlers, whenever it does not block
/// it itself). Signals that report a fault of the thread itself stay open.
class AsyncSignalsBlocked {
public:
    AsyncSignalsBlocked() noexcept {
        sigset_t blocked;
        sigfillset(&blocked);
        for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS})
            sigdelset(&blocked, fault);
        pthread_sigmask(SIG_BLOCK, &blocked, &previous_);
    }
    ~AsyncSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    AsyncSignalsBlocked(const AsyncSignalsBlocked&) = delete;
    AsyncSignalsBlocked& operator=(const AsyncSignalsBlocked&) = delete;

private:
    sigset_t previous_;
};

rt::RuntimeConfig loop_runtime_config() {
    rt::RuntimeConfig config;
    config.thread_name = "cadrel-worker";
    config.worker_threads = 0;  // one per processor available to the process
    return config;
}

/// The runtime, its workers started with asynchronous signals blocked.
rt::Runtime start_runtime() {
    AsyncSignalsBlocked blocked;
    return rt::Runtime(loop_runtime_config());
}

}  // namespace

CadrelEventLoop::CadrelEventLoop() : CadrelEventLoop(rt::make_channel<LoopMessage>()) {}

CadrelEventLoop::CadrelEventLoop(std::pair<LoopSender, LoopReceiver> channel)
    : runtime(start_runtime()),
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
