// The small methods that only read or write the loop object.
#include "loop/methods.hpp"

namespace cadrel::loop {

namespace {
HostRef host_bool(bool value) { return HostRef::borrow(value ? Py_True : Py_False); }
}  // namespace

HostRef get_debug(CadrelEventLoop& state) {
    return host_bool(state.debug.load(std::memory_order_relaxed));
}

HostRef set_debug(CadrelEventLoop& state, bool value) {
    state.debug.store(value, std::memory_order_relaxed);
    return HostRef::borrow(Py_None);
}

// The loop keeps no running or closed state: these answers are fixed.
HostRef is_running(CadrelEventLoop&) { return host_bool(true); }
HostRef is_closed(CadrelEventLoop&) { return host_bool(false); }

}  // namespace cadrel::loop
