// Reading and writing a Python class's __slots__ entries by their offsets.
//
// A class's __slots__ entry is a member descriptor holding the entry's offset
// in the instance. Code that runs per callback or per message reads such
// entries directly instead of through attribute lookups.
#pragma once

#include <Python.h>

#include <atomic>

namespace cadrel::binding {

/// An entry of the class's own dictionary (borrowed), or null.
PyObject* own_attribute(PyTypeObject* type, const char* name) noexcept;

/// The offset of a writable object slot of `type` (a __slots__ entry of the
/// class itself), or 0.
Py_ssize_t slot_offset(PyTypeObject* type, const char* name) noexcept;

/// The slot `offset` bytes into `object`, as an atomic: in a free-threaded
/// build another thread may write it while the loop thread reads it.
inline std::atomic_ref<PyObject*> slot_at(PyObject* object, Py_ssize_t offset) noexcept {
    return std::atomic_ref<PyObject*>(*reinterpret_cast<PyObject**>(reinterpret_cast<char*>(object) + offset));
}

}  // namespace cadrel::binding
