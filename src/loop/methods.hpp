// The bodies of CadrelLoop's methods, called by the binding layer with their
// arguments matched and converted. Each returns a new reference or throws.
#pragma once

#include "binding/host_ref.hpp"
#include "binding/loop_object.hpp"
#include "runtime/readiness.hpp"

#include <cstdint>

namespace cadrel::loop {

using binding::HostRef;
using binding::LoopObject;

// Accessors of the loop object (bodies hold a shared borrow).
HostRef get_debug(CadrelEventLoop& state);
HostRef set_debug(CadrelEventLoop& state, bool value);
HostRef is_running(CadrelEventLoop& state);
HostRef is_closed(CadrelEventLoop& state);

// Running and stopping.
HostRef run_forever(LoopObject* loop);
HostRef stop(CadrelEventLoop& state);
HostRef close(CadrelEventLoop& state);

// Tasks.
HostRef create_task(LoopObject* loop, PyObject* coro, HostRef name, HostRef context);
HostRef run_until_complete(LoopObject* loop, PyObject* future);
HostRef stop_callback(CadrelEventLoop& state, PyObject* future);

// Callbacks and timers.
HostRef time(CadrelEventLoop& state);
HostRef call_soon(LoopObject* loop, PyObject* callback, HostRef args, HostRef context);
HostRef call_later(LoopObject* loop, PyObject* callback, HostRef args, HostRef context, double delay);
HostRef call_at(LoopObject* loop, PyObject* callback, HostRef args, HostRef context, double when);

// Descriptor watching.
using rt::Direction;
HostRef add_watcher(CadrelEventLoop& state, Direction direction, std::int32_t fd, HostRef cb,
                    HostRef args);
HostRef remove_watcher(CadrelEventLoop& state, Direction direction, std::int32_t fd);

}  // namespace cadrel::loop
