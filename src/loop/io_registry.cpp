// IoRegistry construction and release.
#include "loop/io_registry.hpp"

namespace cadrel::loop {

IoRegistry::IoRegistry(LoopSender sender_clone, rt::Handle handle_clone)
    : handle(std::move(handle_clone)), sender(std::move(sender_clone)) {}

IoRegistry::~IoRegistry() {
    // Abort handles go first; dropping one never cancels its watcher.
    readers.clear();
    writers.clear();
    // Then `sender`, then `handle`, by reverse declaration order.
}

}  // namespace cadrel::loop
