// create_future, create_task and get_debug of the native core. Every task,
// and nearly every awaited operation, makes a future or a task; these make
// asyncio's own classes for the loop, exactly as BaseEventLoop's methods do,
// without their Python frames (and asyncio's future asks get_debug each time).
#pragma once

#include "aio/core.hpp"

namespace cadrel::aio {

/// asyncio.futures.Future(loop=self).
HostRef create_future(CoreObject* self);

/// create_task(coro, **kwargs): asyncio.tasks.Task(coro, loop=self, ...) when
/// no task factory is set, debug mode is off and the keywords are among name
/// and context; BaseEventLoop.create_task itself for anything else (a factory,
/// other keywords, a closed loop), so every case behaves as asyncio's.
HostRef create_task(CoreObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

/// The core's get_debug(): its debug flag, as BaseEventLoop.get_debug reads it.
PyObject* get_debug_method(PyObject* self, PyObject*) noexcept;

/// Whether the loop's get_debug answers from the core's debug flag (the
/// core's own or asyncio's). Looked up once per loop and class version.
bool debug_flag_answers_get_debug(CoreObject* self);

}  // namespace cadrel::aio
