// CadrelEventLoop: the native state of each CadrelLoop instance.
#pragma once

#include "loop/io_registry.hpp"
#include "loop/messages.hpp"
#include "runtime/runtime.hpp"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

namespace cadrel::loop {

/// Holds the channel's receiving end while no run is in progress; a run takes
/// it out for its duration.
struct ReceiverSlot {
    explicit ReceiverSlot(LoopReceiver receiver_end) : receiver(std::move(receiver_end)) {}
    std::mutex mutex;
    std::optional<LoopReceiver> receiver;  // guarded by mutex
};

/// Fields in declaration order, which is also their destruction order.
struct CadrelEventLoop {
    /// Builds the runtime (starting its "cadrel-worker" threads), the loop
    /// channel and the empty registry. Throws rt::OsError when the runtime
    /// cannot be built.
    CadrelEventLoop();
    /// Shuts the runtime down (joining its workers), then drops the sender, the
    /// receiver slot (discarding queued messages) and the registry. Callers that
    /// must not hold the interpreter lock while workers are joined call
    /// runtime.shutdown() first.
    ~CadrelEventLoop();
    CadrelEventLoop(const CadrelEventLoop&) = delete;
    CadrelEventLoop& operator=(const CadrelEventLoop&) = delete;

    rt::Runtime runtime;
    LoopSender sender;
    std::shared_ptr<ReceiverSlot> receiver;
    std::shared_ptr<SharedIoRegistry> io_registry;
    std::atomic<bool> debug{false};

private:
    explicit CadrelEventLoop(std::pair<LoopSender, LoopReceiver> channel);
};

}  // namespace cadrel::loop
