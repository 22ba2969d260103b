// Method bodies of CadrelLoop.
#include "loop/methods.hpp"

#include "binding/errors.hpp"

#include <string>

namespace cadrel::loop {

namespace {

HostRef host_bool(bool value) { return HostRef::borrow(value ? Py_True : Py_False); }
HostRef host_none() { return HostRef::borrow(Py_None); }

/// Bodies that later work fills in: the call was matched and converted, and
/// does nothing.
[[noreturn]] void not_built(const char* method) {
    std::string message = std::string("CadrelLoop.") + method + "() is not implemented yet";
    binding::raise_error(PyExc_NotImplementedError, message.c_str());
}

}  // namespace

HostRef get_debug(CadrelEventLoop& state) {
    return host_bool(state.debug.load(std::memory_order_relaxed));
}

HostRef set_debug(CadrelEventLoop& state, bool value) {
    state.debug.store(value, std::memory_order_relaxed);
    return host_none();
}

HostRef is_running(CadrelEventLoop&) { return host_bool(true); }
HostRef is_closed(CadrelEventLoop&) { return host_bool(false); }

HostRef run_forever(LoopObject*) { not_built("run_forever"); }
HostRef stop(CadrelEventLoop&) { not_built("stop"); }
HostRef close(CadrelEventLoop&) { not_built("close"); }
HostRef create_task(LoopObject*, PyObject*, HostRef, HostRef) { not_built("create_task"); }
HostRef run_until_complete(LoopObject*, PyObject*) { not_built("run_until_complete"); }
HostRef stop_callback(CadrelEventLoop&, PyObject*) { not_built("_stop_cb"); }
HostRef time(CadrelEventLoop&) { not_built("time"); }
HostRef call_soon(LoopObject*, PyObject*, HostRef, HostRef) { not_built("call_soon"); }
HostRef call_later(LoopObject*, PyObject*, HostRef, HostRef, double) { not_built("call_later"); }
HostRef call_at(LoopObject*, PyObject*, HostRef, HostRef, double) { not_built("call_at"); }

HostRef add_watcher(CadrelEventLoop&, Direction direction, std::int32_t, HostRef, HostRef) {
    not_built(direction == Direction::kRead ? "add_reader" : "add_writer");
}

HostRef remove_watcher(CadrelEventLoop&, Direction direction, std::int32_t) {
    not_built(direction == Direction::kRead ? "remove_reader" : "remove_writer");
}

}  // namespace cadrel::loop
