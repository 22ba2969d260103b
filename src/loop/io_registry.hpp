// IoRegistry: which descriptors a loop watches for reading and for writing.
//
// For each descriptor and direction the registry keeps the abort handle of one
// watcher task on the loop's runtime. It never owns descriptors. The caller
// holds the registry's mutex (SharedIoRegistry) for every operation.
#pragma once

#include "loop/messages.hpp"
#include "runtime/readiness.hpp"
#include "runtime/runtime.hpp"

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace cadrel::loop {

struct IoRegistry {
    IoRegistry(LoopSender sender, rt::Handle handle);
    /// Releases every abort handle (cancelling nothing), then the sender clone,
    /// then the runtime handle clone.
    ~IoRegistry();
    IoRegistry(const IoRegistry&) = delete;
    IoRegistry& operator=(const IoRegistry&) = delete;

    /// Cancels any earlier watcher of `fd` in `direction` and starts a new one
    /// that shares `target`. Cannot fail (the caller made the box); the
    /// descriptor is registered later, by the watcher on a worker thread.
    void add_watcher(rt::Direction direction, std::int32_t fd,
                     std::shared_ptr<const WatchedCallback> target);

    /// Cancels the watcher of `fd` in `direction`, if there is one.
    void remove_watcher(rt::Direction direction, std::int32_t fd);

    /// A clone of the loop runtime's handle; every watcher is spawned through it.
    rt::Handle handle;
    /// The reader watcher of each descriptor that has one.
    std::unordered_map<std::int32_t, rt::AbortHandle> readers;
    /// The writer watcher of each descriptor that has one.
    std::unordered_map<std::int32_t, rt::AbortHandle> writers;
    /// The registry's own sending end; each watcher gets a further clone.
    LoopSender sender;

private:
    std::unordered_map<std::int32_t, rt::AbortHandle>& watchers(rt::Direction direction) {
        return direction == rt::Direction::kRead ? readers : writers;
    }
};

/// The registry behind the mutex that the descriptor methods hold.
struct SharedIoRegistry {
    SharedIoRegistry(LoopSender sender, rt::Handle handle)
        : registry(std::move(sender), std::move(handle)) {}
    std::mutex mutex;
    IoRegistry registry;  // guarded by mutex
};

}  // namespace cadrel::loop
