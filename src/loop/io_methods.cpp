// add_reader, add_writer, remove_reader, remove_writer: the registry under its mutex.
#include "loop/methods.hpp"
#include "loop/posting.hpp"

#include <memory>
#include <mutex>

namespace cadrel::loop {

HostRef add_watcher(CadrelEventLoop& state, Direction direction, std::int32_t fd, HostRef cb, HostRef args) {
    require_runtime_in_this_process(state);
    // Made before the lock: the allocation is the only step that can fail.
    auto target = std::make_shared<const WatchedCallback>(WatchedCallback{std::move(cb), std::move(args)});
    SharedIoRegistry& shared = *state.io_registry;
    // Nothing in the locked stretch calls the host or can fail, so holding the
    // mutex while attached never deadlocks and never leaves it poisoned.
    std::lock_guard lock(shared.mutex);
    shared.registry.add_watcher(direction, fd, std::move(target));
    return HostRef::borrow(Py_None);
}

HostRef remove_watcher(CadrelEventLoop& state, Direction direction, std::int32_t fd) {
    require_runtime_in_this_process(state);
    SharedIoRegistry& shared = *state.io_registry;
    std::lock_guard lock(shared.mutex);
    shared.registry.remove_watcher(direction, fd);
    return HostRef::borrow(Py_None);
}

}  // namespace cadrel::loop
