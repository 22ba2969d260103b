#include "binding/slots.hpp"

#include <structmember.h>

namespace cadrel::binding {

PyObject* own_attribute(PyTypeObject* type, const char* name) noexcept {
    PyObject* key = PyUnicode_FromString(name);
    if (!key) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* value = PyDict_GetItemWithError(type->tp_dict, key);
    Py_DECREF(key);
    PyErr_Clear();
    return value;
}

Py_ssize_t slot_offset(PyTypeObject* type, const char* name) noexcept {
    PyObject* descriptor = own_attribute(type, name);
    if (!descriptor || !Py_IS_TYPE(descriptor, &PyMemberDescr_Type)) return 0;
    PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descriptor)->d_member;
#if PY_VERSION_HEX >= 0x030C0000
    if (member->type != Py_T_OBJECT_EX || (member->flags & Py_READONLY)) return 0;
#else
    if (member->type != T_OBJECT_EX || (member->flags & READONLY)) return 0;
#endif
    return member->offset;
}

}  // namespace cadrel::binding
