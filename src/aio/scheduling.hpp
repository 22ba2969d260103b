// The native bodies of the core's scheduling and watcher methods. Each runs on
// the caller's thread, attached; only call_soon_threadsafe may be called from a
// thread other than the loop's.
#pragma once

#include "aio/core.hpp"

namespace cadrel::aio {

/// Looks up asyncio's handle classes (at module import, so later calls never import).
void load_handle_classes();

HostRef call_soon(CoreObject* self, PyObject* callback, PyObject* args, PyObject* context);
HostRef call_soon_threadsafe(CoreObject* self, PyObject* callback, PyObject* args, PyObject* context);
/// `when` is monotonic loop time; `method` names the caller in debug checks;
/// `when_given`, if any, is the caller's own number for it, which the handle keeps.
HostRef call_at(CoreObject* self, double when, PyObject* callback, PyObject* args, PyObject* context,
                const char* method, PyObject* when_given = nullptr);
void timer_handle_cancelled(CoreObject* self);

/// The descriptor of an int or an object with fileno(); ValueError otherwise.
/// With `watchers`, a closed object that a watcher was added with gives that
/// watcher's descriptor.
std::int32_t descriptor_of(PyObject* file_object, const WatcherTable* watchers = nullptr);
HostRef add_watcher(CoreObject* self, rt::Direction direction, PyObject* file_object, PyObject* callback,
                    PyObject* args);
bool remove_watcher(CoreObject* self, rt::Direction direction, PyObject* file_object);

}  // namespace cadrel::aio
