// Whether a loop's class keeps one of the core's own methods.
//
// The core answers some calls natively only while the loop's class (which a
// program may subclass or patch) still has the core's method under that name.
// A class found to keep it is remembered by its version, so the attribute is
// looked up once per loop and class version: a version names one class in one
// state, and any change to the class gives it a new one.
#pragma once

#include "aio/core.hpp"
#include "binding/handle_layout.hpp"
#include "binding/host_calls.hpp"

#include <atomic>

namespace cadrel::aio {

/// Whether `attribute` is the method descriptor of the native `function`.
inline bool is_native_method(PyObject* attribute, PyCFunction function) noexcept {
    return PyObject_TypeCheck(attribute, &PyMethodDescr_Type) &&
           reinterpret_cast<PyMethodDescrObject*>(attribute)->d_method->ml_meth == function;
}

/// Whether the loop class's attribute `name` passes `keeps(attribute)`;
/// `answered` remembers the class version that last did (0: none yet).
template <class Keeps>
bool class_keeps_method(CoreObject* self, const binding::InternedName& name, std::atomic<unsigned>& answered,
                        Keeps keeps) {
    PyTypeObject* loop_class = Py_TYPE(self->as_object());
    const unsigned version = binding::type_version(loop_class);
    if (version != 0 && version == answered.load(std::memory_order_relaxed)) return true;
    HostRef attribute = binding::get_attr(reinterpret_cast<PyObject*>(loop_class), name);
    if (!keeps(attribute.get())) return false;
    answered.store(binding::type_version(loop_class), std::memory_order_relaxed);
    return true;
}

}  // namespace cadrel::aio
