// The native stream type `cadrelio._native.Stream`: the byte engine under
// cadrelio's stream transports (sockets and pipes).
#pragma once

#include <Python.h>

namespace cadrel::aio {

/// A new reference to a new `Stream` type, or null with an exception set.
/// `core_type` is the loop core type its constructor accepts (borrowed; the
/// module keeps it alive).
PyObject* create_stream_type(PyTypeObject* core_type) noexcept;

}  // namespace cadrel::aio
