// The module `cadrel`: its definition, its interpreter binding and PyInit_cadrel.
#include "binding/call_adapter.hpp"
#include "binding/errors.hpp"
#include "binding/loop_object.hpp"
#include "binding/interpreter_exit.hpp"

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace cadrel::binding {

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "cadrel",  // m_name
    "",        // m_doc: the empty string
    0,         // m_size: no per-module state
    nullptr,   // m_methods: no module-level functions
    nullptr,   // m_slots: single-phase initialisation
    nullptr,
    nullptr,
    nullptr,
};

/// The interpreter that first initialised the module; -1 until then.
std::atomic<std::int64_t> bound_interpreter{-1};
/// The module made by the first successful initialisation, kept for the process.
std::atomic<PyObject*> module_object{nullptr};

void bind_to_current_interpreter() {
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) throw_host_error();
    std::int64_t expected = -1;
    if (!bound_interpreter.compare_exchange_strong(expected, id) && expected != id)
        raise_error(PyExc_ImportError,
                    "cadrel does not support sub-interpreters: it is already initialised in "
                    "another interpreter of this process");
}

void add_class(PyObject* module) {
    PyTypeObject* type = create_loop_type();
    if (type == nullptr) throw_host_error();

    HostRef all = HostRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_host_error();
        PyErr_Clear();
        all = check(PyList_New(0));
        check_status(PyObject_SetAttrString(module, "__all__", all.get()));
    }
    HostRef name = check(PyUnicode_FromString("CadrelLoop"));
    check_status(PyList_Append(all.get(), name.get()));
    check_status(PyObject_SetAttrString(module, "CadrelLoop", reinterpret_cast<PyObject*>(type)));
}

PyObject* initialise() {
    bind_to_current_interpreter();
    if (PyObject* existing = module_object.load(std::memory_order_acquire)) {
        Py_INCREF(existing);
        return existing;
    }
    HostRef module = check(PyModule_Create2(&module_def, PYTHON_API_VERSION));
#ifdef Py_GIL_DISABLED
    // Our code relies on the interpreter lock to serialise host calls.
    check_status(PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED));
#endif
    add_class(module.get());
    prepare_for_exit();
    Py_INCREF(module.get());  // the process keeps one reference for good
    module_object.store(module.get(), std::memory_order_release);
    return module.release();
}

}  // namespace

}  // namespace cadrel::binding

PyMODINIT_FUNC PyInit_cadrel(void) {
    return cadrel::binding::call_boundary<PyObject*>(nullptr, [] {
        return cadrel::binding::initialise();
    });
}
