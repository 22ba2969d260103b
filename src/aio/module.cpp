// The module `cadrelio._native`: the native core type of cadrelio's loops.
#include "aio/accept.hpp"
#include "aio/core_type.hpp"
#include "aio/stream_type.hpp"
#include "aio/transport_calls.hpp"
#include "binding/call_adapter.hpp"
#include "binding/errors.hpp"

#include <Python.h>

namespace cadrel::aio {

namespace {

PyMethodDef module_functions[] = {
    {"accept", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(accept_connection)), METH_FASTCALL,
     "accept($module, listening_fd, nodelay, /)\n--\n\nAccepts one connection: its non-blocking, non-inheritable "
     "descriptor."},
    {"bind_transport_class", bind_transport_class, METH_O,
     "bind_transport_class($module, cls, /)\n--\n\nReads the stream transport class's state natively; returns its "
     "native (write, is_closing)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "cadrelio._native",
    "The native core of cadrelio's event loop.",
    0,
    module_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* initialise() {
    binding::HostRef module = binding::check(PyModule_Create(&module_def));
#ifdef Py_GIL_DISABLED
    // The loop-thread structures rely on the interpreter lock against misuse
    // from other threads.
    binding::check_status(PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED));
#endif
    binding::HostRef type = binding::check(create_core_type());
    binding::check_status(PyModule_AddObjectRef(module.get(), "Core", type.get()));
    binding::HostRef stream_type =
        binding::check(create_stream_type(reinterpret_cast<PyTypeObject*>(type.get())));
    binding::check_status(PyModule_AddObjectRef(module.get(), "Stream", stream_type.get()));
    return module.release();
}

}  // namespace

}  // namespace cadrel::aio

PyMODINIT_FUNC PyInit__native(void) {
    return cadrel::binding::call_boundary<PyObject*>(nullptr, [] { return cadrel::aio::initialise(); });
}
