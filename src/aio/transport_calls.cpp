#include "aio/transport_calls.hpp"

#include "aio/stream_type.hpp"
#include "binding/call_adapter.hpp"
#include "binding/errors.hpp"
#include "binding/host_calls.hpp"
#include "binding/slots.hpp"

#include <optional>

namespace cadrel::aio {

namespace {

using binding::HostRef;

/// Where the bound transport class keeps the state the fast paths read.
struct TransportLayout {
    PyTypeObject* cls = nullptr;  // strong reference, kept for the process
    Py_ssize_t protocol = 0, stream = 0, buffered = 0, paused = 0, closing = 0, ended = 0, eof = 0, sendfile = 0,
               conn_lost = 0, context = 0;

    /// The slot's value (borrowed), or null while it is unset.
    PyObject* read(PyObject* transport, Py_ssize_t offset) const noexcept {
        return binding::slot_at(transport, offset).load(std::memory_order_relaxed);
    }
    bool is_false(PyObject* transport, Py_ssize_t offset) const noexcept { return read(transport, offset) == Py_False; }
};

std::optional<TransportLayout> layout;  // set at the transports module's import

bool is_bound_transport(PyObject* object) noexcept { return layout && PyObject_TypeCheck(object, layout->cls); }

/// Whether the connection-lost count is the int 0 (any other value, or a
/// subclass of int, takes the Python method).
bool no_connection_lost(PyObject* count) noexcept {
    if (count == nullptr || !PyLong_CheckExact(count)) return false;
    int overflow = 0;
    return PyLong_AsLongAndOverflow(count, &overflow) == 0 && overflow == 0;
}

/// The pending exception is an ordinary one (not SystemExit or KeyboardInterrupt,
/// which end the run): takes it off the indicator and hands it to the transport's
/// Python `handler`; otherwise throws with it pending.
void hand_failure_to(PyObject* transport, const binding::InternedName& handler) {
    if (PyErr_ExceptionMatches(PyExc_SystemExit) || PyErr_ExceptionMatches(PyExc_KeyboardInterrupt))
        binding::throw_host_error();
    HostRef exception = binding::fetch_exception();
    binding::call_method(transport, handler, {exception.get()});
}

/// write(data): the Python `_write` unless the common case.
PyObject* write_method(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    return binding::call_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        PyObject* data = nargs == 1 && kwnames == nullptr ? args[0] : nullptr;
        PyObject* stream = data != nullptr && is_bound_transport(self) ? layout->read(self, layout->stream) : nullptr;
        const bool common = stream != nullptr && is_stream(stream) &&
                            ((PyBytes_CheckExact(data) && PyBytes_GET_SIZE(data) > 0) ||
                             (PyByteArray_CheckExact(data) && PyByteArray_GET_SIZE(data) > 0)) &&
                            layout->is_false(self, layout->eof) && layout->read(self, layout->sendfile) == Py_None &&
                            layout->is_false(self, layout->closing) &&
                            no_connection_lost(layout->read(self, layout->conn_lost));
        if (!common) {
            static const binding::InternedName checked_write{"_write"};
            HostRef bound = binding::get_attr(self, checked_write);
            return binding::check(PyObject_Vectorcall(bound.get(), args, static_cast<size_t>(nargs), kwnames))
                .release();
        }
        PyObject* queued = stream_write(stream, data);  // runs no Python code: the stream stays
        if (queued == nullptr) {
            static const binding::InternedName write_failed{"_write_failed"};
            hand_failure_to(self, write_failed);
            return Py_NewRef(Py_None);
        }
        HostRef queued_ref = HostRef::steal(queued);
        if (PyObject_IsTrue(queued)) {
            static const binding::InternedName after_write{"_after_write"};
            binding::call_method(self, after_write, {queued});
        }
        return Py_NewRef(Py_None);
    });
}

PyObject* is_closing_method(PyObject* self, PyObject*) noexcept {
    return binding::call_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        static const binding::InternedName closing{"_closing"};
        PyObject* value = is_bound_transport(self) ? layout->read(self, layout->closing) : nullptr;
        if (value != nullptr) return Py_NewRef(value);
        return binding::get_attr(self, closing).release();  // raises as the attribute would
    });
}

PyMethodDef write_def = {"write", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write_method)),
                         METH_FASTCALL | METH_KEYWORDS,
                         "write($self, data)\n--\n\nWrites `data` (bytes-like) to the transport, or queues it."};
PyMethodDef is_closing_def = {"is_closing", is_closing_method, METH_NOARGS,
                              "is_closing($self, /)\n--\n\nWhether the transport is closing or closed."};

}  // namespace

PyObject* bind_transport_class(PyObject*, PyObject* cls) noexcept {
    return binding::call_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!PyType_Check(cls)) binding::raise_error(PyExc_TypeError, "a transport class is required");
        auto* type = reinterpret_cast<PyTypeObject*>(cls);
        TransportLayout found;
        struct Slot {
            const char* name;
            Py_ssize_t TransportLayout::*offset;
        };
        static constexpr Slot kSlots[] = {
            {"_protocol", &TransportLayout::protocol}, {"_stream", &TransportLayout::stream},
            {"_buffered", &TransportLayout::buffered}, {"_paused", &TransportLayout::paused},
            {"_closing", &TransportLayout::closing},   {"_ended", &TransportLayout::ended},
            {"_eof", &TransportLayout::eof},           {"_sendfile", &TransportLayout::sendfile},
            {"_conn_lost", &TransportLayout::conn_lost}, {"_context", &TransportLayout::context},
        };
        for (const Slot& slot : kSlots) {
            const Py_ssize_t offset = binding::slot_offset(type, slot.name);
            if (offset == 0) binding::raise_error(PyExc_TypeError, "the transport class lacks a slot the native calls read");
            found.*slot.offset = offset;
        }
        HostRef write = binding::check(PyDescr_NewMethod(type, &write_def));
        HostRef is_closing = binding::check(PyDescr_NewMethod(type, &is_closing_def));
        HostRef methods = binding::check(PyTuple_Pack(2, write.get(), is_closing.get()));
        // A reloaded transports module binds its new class; transports of the
        // old one then take their Python methods.
        found.cls = reinterpret_cast<PyTypeObject*>(Py_NewRef(cls));
        HostRef replaced = HostRef::steal(layout ? reinterpret_cast<PyObject*>(layout->cls) : nullptr);
        layout = found;
        return methods.release();
    });
}

HostRef transport_context(PyObject* transport) {
    HostRef context;
    if (is_bound_transport(transport)) {
        context = HostRef::borrow(layout->read(transport, layout->context));
    } else {
        static const binding::InternedName name{"_context"};
        context = binding::get_attr_if_present(transport, name);
    }
    if (context && !PyContext_CheckExact(context.get())) return {};
    return context;
}

bool deliver_read_bytes(PyObject* transport) {
    if (!is_bound_transport(transport)) return false;
    const TransportLayout slots = *layout;  // a copy: the protocol may bind a reloaded class
    if (!(slots.is_false(transport, slots.ended) && slots.is_false(transport, slots.buffered) &&
          slots.is_false(transport, slots.paused) && slots.is_false(transport, slots.closing)))
        return false;
    PyObject* stream = slots.read(transport, slots.stream);
    PyObject* protocol = slots.read(transport, slots.protocol);
    if (stream == nullptr || protocol == nullptr || !is_open_reading_stream(stream)) return false;
    static const binding::InternedName failed{"_data_received_failed"};
    HostRef data;
    try {
        data = take_only_read_bytes(stream);
    } catch (const binding::HostErrorSet&) {
        hand_failure_to(transport, failed);  // no memory for the bytes
        return true;
    }
    if (!data) return false;
    // The protocol may replace itself or the stream, or close the transport.
    HostRef keep_stream = HostRef::borrow(stream);
    HostRef keep_protocol = HostRef::borrow(protocol);
    static const binding::InternedName data_received{"data_received"};
    PyObject* call[] = {protocol, data.get()};
    PyObject* result = PyObject_VectorcallMethod(data_received.get(), call, 2, nullptr);
    if (result == nullptr) {
        hand_failure_to(transport, failed);
        return true;
    }
    Py_DECREF(result);
    // Read on, unless the protocol paused or closed the transport or became a
    // buffered one: the Python method sorts those out.
    if (slots.is_false(transport, slots.paused) && slots.is_false(transport, slots.closing) &&
        slots.is_false(transport, slots.buffered) && slots.read(transport, slots.stream) == stream &&
        is_open_reading_stream(stream)) {
        let_read_on(stream);
    } else {
        static const binding::InternedName delivered{"_read_delivered"};
        binding::call_method(transport, delivered, {});
    }
    return true;
}

}  // namespace cadrel::aio
