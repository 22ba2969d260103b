// Checked host calls and interned names.
#include "binding/host_calls.hpp"

#include "runtime/panic.hpp"

#include <cstddef>

namespace cadrel::binding {

namespace {

/// Publishes `made` unless another thread published first; returns the winner.
PyObject* publish_once(std::atomic<PyObject*>& slot, PyObject* made) {
    PyObject* expected = nullptr;
    if (slot.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) return made;
    Py_DECREF(made);
    return expected;
}

}  // namespace

PyObject* InternedName::get() const {
    if (PyObject* name = object_.load(std::memory_order_acquire)) return name;
    PyObject* made = PyUnicode_InternFromString(text_);
    if (made == nullptr) throw_host_error();
    return publish_once(object_, made);
}

PyObject* KeywordNames::get() const {
    if (PyObject* tuple = tuple_.load(std::memory_order_acquire)) return tuple;
    Py_ssize_t count = 0;
    while (count < 3 && names_[count] != nullptr) ++count;
    HostRef made = check(PyTuple_New(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* name = PyUnicode_InternFromString(names_[i]);
        if (name == nullptr) throw_host_error();
        PyTuple_SET_ITEM(made.get(), i, name);
    }
    return publish_once(tuple_, made.release());
}

namespace {

/// sys.modules[name] as a new reference, or null (no error) when absent or
/// when sys.modules is not a plain dict.
PyObject* loaded_module(PyObject* name) noexcept {
    PyObject* modules = PyImport_GetModuleDict();
    if (!modules || !PyDict_CheckExact(modules)) return nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* module = nullptr;
    if (PyDict_GetItemRef(modules, name, &module) < 0) PyErr_Clear();
    return module;
#else
    PyObject* module = PyDict_GetItemWithError(modules, name);
    if (!module) PyErr_Clear();
    return Py_XNewRef(module);
#endif
}

}  // namespace

HostRef import_module(const InternedName& name) {
    // Once a module has been seen fully loaded, finding the same object in
    // sys.modules again is all the import system would do for it; only a
    // module not seen before is checked for an initialisation still running.
    if (PyObject* known = name.module_seen_loaded()) {
        HostRef module = HostRef::steal(loaded_module(name.get()));
        if (module.get() == known) return module;
    }
    // PyImport_GetModule is the import system's own first step: the module from
    // sys.modules, waiting for another thread that is still initialising it.
    // A module not loaded yet (or blocked) takes the full import path.
    HostRef module = HostRef::steal(PyImport_GetModule(name.get()));
    if (!module && PyErr_Occurred()) throw_host_error();
    // None in sys.modules blocks the import; the full path raises for it.
    if (!module || module.get() == Py_None) module = check(PyImport_Import(name.get()));
    name.remember_loaded(module.get());
    return module;
}

void InternedName::remember_loaded(PyObject* module) const {
    // The reference kept is only compared with, never used: holding it keeps
    // the address from naming another object.
    PyObject* previous = module_.exchange(Py_NewRef(module), std::memory_order_acq_rel);
    Py_XDECREF(previous);
}

HostRef get_attr(PyObject* object, const InternedName& name) {
    return check(PyObject_GetAttr(object, name.get()));
}

HostRef module_attr(PyObject* module, const InternedName& name) {
    if (Py_IS_TYPE(module, &PyModule_Type)) {
        PyObject* dict = PyModule_GetDict(module);  // borrowed; never null for a module object
#if PY_VERSION_HEX >= 0x030D0000
        PyObject* value = nullptr;
        const int found = PyDict_GetItemRef(dict, name.get(), &value);
        if (found < 0) throw_host_error();
        if (found > 0) return HostRef::steal(value);
#else
        if (PyObject* value = PyDict_GetItemWithError(dict, name.get())) return HostRef::borrow(value);
        if (PyErr_Occurred()) throw_host_error();
#endif
    }
    return get_attr(module, name);
}

HostRef get_attr_if_present(PyObject* object, const InternedName& name) {
    PyObject* value = PyObject_GetAttr(object, name.get());
    if (value != nullptr) return HostRef::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_host_error();
    PyErr_Clear();
    return {};
}

HostRef call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames) {
    Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    auto positional = static_cast<Py_ssize_t>(args.size()) - keywords;
    return check(PyObject_Vectorcall(callable, const_cast<PyObject* const*>(args.begin()),
                                     static_cast<size_t>(positional), kwnames));
}

HostRef call_method(PyObject* object, const InternedName& name, std::initializer_list<PyObject*> args) {
    // Slot 0 is scratch space the callee may use (PY_VECTORCALL_ARGUMENTS_OFFSET),
    // slot 1 the object, then the arguments.
    constexpr std::size_t kMaxArgs = 3;
    if (args.size() > kMaxArgs) rt::panic("call_method takes at most three arguments");
    PyObject* stack[kMaxArgs + 2] = {nullptr, object};
    std::size_t count = 1;
    for (PyObject* arg : args) stack[1 + count++] = arg;
    return check(PyObject_VectorcallMethod(name.get(), stack + 1, count | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                           nullptr));
}

}  // namespace cadrel::binding
