// The stream transport's hottest calls, made without Python frames.
//
// A server pays, per request, a notice of bytes read and a write of the reply
// (and, with aiohttp, an is_closing()); in Python each is a frame of the
// transport's own. The transport (cadrelio._transports._StreamTransport)
// keeps its state in slots. Once its class is bound here, the loop core reads
// the slots a notice needs straight from the object and hands the bytes to
// the protocol itself, and the class's write() and is_closing() are native
// methods. Only the common case is taken here: bytes to a plain protocol of a
// transport that is reading, not paused and not closing; a bytes or bytearray
// write to a transport that is open, not after write_eof() and not sending a
// file. Everything else goes to the transport's Python methods, which keep
// every rule. Loop thread, attached.
#pragma once

#include "binding/host_ref.hpp"

#include <Python.h>

namespace cadrel::aio {

/// `_native.bind_transport_class(cls) -> (write, is_closing)`: records where
/// `cls` keeps its state and returns the native methods for the class to
/// install. The class's Python `_write` is what write() falls back to.
PyObject* bind_transport_class(PyObject* module, PyObject* cls) noexcept;

/// The context the transport's callbacks run in (its `_context`), or null
/// when it has none.
binding::HostRef transport_context(PyObject* transport);

/// Handles a StreamReady notice of `transport` when it is the common case:
/// true when done (the protocol had its bytes, or its failure went to the
/// transport), false when the caller must call `_stream_ready()`. Throws with
/// the exception that must end the run (SystemExit, KeyboardInterrupt) pending.
bool deliver_read_bytes(PyObject* transport);

}  // namespace cadrel::aio
