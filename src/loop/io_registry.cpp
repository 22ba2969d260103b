// IoRegistry construction and release.
#include "loop/io_registry.hpp"

#include "loop/watcher.hpp"

namespace cadrel::loop {

IoRegistry::IoRegistry(LoopSender sender_clone, rt::Handle handle_clone)
    : handle(std::move(handle_clone)), sender(std::move(sender_clone)) {}

IoRegistry::~IoRegistry() {
    // Abort handles go first; dropping one never cancels its watcher.
    readers.clear();
    writers.clear();
    // Then `sender`, then `handle`, by reverse declaration order.
}

void IoRegistry::add_watcher(rt::Direction direction, std::int32_t fd,
                             std::shared_ptr<const WatchedCallback> target) {
    remove_watcher(direction, fd);
    // Spawning only queues the task; its registration happens on a worker.
    rt::AbortHandle watcher =
        handle.spawn(watch_descriptor(FdWrapper{fd}, direction, std::move(target), sender));
    watchers(direction).insert_or_assign(fd, std::move(watcher));
}

void IoRegistry::remove_watcher(rt::Direction direction, std::int32_t fd) {
    auto& map = watchers(direction);
    auto found = map.find(fd);
    if (found == map.end()) return;
    // A request: the watcher stops at its next suspension point, on a worker.
    found->second.abort();
    map.erase(found);
}

}  // namespace cadrel::loop
