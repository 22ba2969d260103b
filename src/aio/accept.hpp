// `cadrelio._native.accept`: takes one connection off a listening socket as a
// bare descriptor, so a server's idle connection holds no socket object or
// address until a caller asks for them.
#pragma once

#include <Python.h>

namespace cadrel::aio {

/// accept(listening_fd, nodelay, /) -> fd: one connection's non-blocking,
/// non-inheritable descriptor, with TCP_NODELAY set when `nodelay` (as
/// asyncio's stream transports set it). Raises OSError as socket.accept()
/// does (BlockingIOError once the queue is empty).
PyObject* accept_connection(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

}  // namespace cadrel::aio
