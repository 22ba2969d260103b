// The native stream type `cadrelio._native.Stream`: the byte engine under
// cadrelio's stream transports (sockets and pipes).
#pragma once

#include "binding/host_ref.hpp"

#include <Python.h>

namespace cadrel::aio {

/// A new reference to a new `Stream` type, or null with an exception set.
/// `core_type` is the loop core type its constructor accepts (borrowed; the
/// module keeps it alive).
PyObject* create_stream_type(PyTypeObject* core_type) noexcept;

// For the transport's own hot calls (transport_calls.hpp). Loop thread, attached.

/// Whether `object` is a Stream.
bool is_stream(PyObject* object) noexcept;

/// Whether `object` is a Stream that reads and is not closed.
bool is_open_reading_stream(PyObject* object) noexcept;

/// When the workers reported only bytes read (nothing else is news), takes
/// them and consumes the notice; otherwise changes nothing and returns an
/// empty reference. Throws on a failed allocation. On an open Stream.
binding::HostRef take_only_read_bytes(PyObject* stream);

/// Lets the reader take its next batch. On an open Stream.
void let_read_on(PyObject* stream) noexcept;

/// Stream.write(data): a new reference to the bytes queued after it, or null
/// with an exception set. On a Stream.
PyObject* stream_write(PyObject* stream, PyObject* data) noexcept;

}  // namespace cadrel::aio
