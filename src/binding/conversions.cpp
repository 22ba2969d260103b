// Argument conversions and the TypeError re-raise that names the argument.
#include "binding/conversions.hpp"

#include "binding/errors.hpp"

#include <climits>
#include <string>

namespace cadrel::binding {

namespace {

/// The qualified name of the object's type as a host string.
HostRef qualified_type_name(PyObject* object) {
    if (HostRef name = HostRef::steal(PyType_GetQualName(Py_TYPE(object)))) return name;
    PyErr_Clear();
    return host_string(Py_TYPE(object)->tp_name);
}

/// Re-raises the pending conversion error for parameter `name`.
[[noreturn]] void raise_argument_error(std::string_view name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_host_error();
    HostRef original = fetch_exception();
    if (Py_TYPE(original.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        restore_exception(std::move(original));  // a TypeError subclass passes unchanged
        throw_host_error();
    }
    // Built as host strings, so the original text arrives whole.
    HostRef prefix = host_string("argument '" + std::string(name) + "': ");
    HostRef message = check(PyUnicode_FromFormat("%U%S", prefix.get(), original.get()));
    HostRef renamed = check(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    // PyException_SetCause steals the cause; GetCause gives a new reference.
    PyException_SetCause(renamed.get(), PyException_GetCause(original.get()));
    restore_exception(std::move(renamed));
    throw HostErrorSet{};
}

[[noreturn]] void raise_cast_error(PyObject* object, const char* target, std::string_view name) {
    HostRef type_name = qualified_type_name(object);
    HostRef message = check(PyUnicode_FromFormat("'%U' object cannot be cast as '%s'", type_name.get(), target));
    PyErr_SetObject(PyExc_TypeError, message.get());
    raise_argument_error(name);
}

bool is_numpy_bool(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    HostRef module = HostRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0)
        return false;
    HostRef type_name = HostRef::steal(PyType_GetName(type));
    if (!type_name) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_CompareWithASCIIString(type_name.get(), "bool_") == 0 ||
           PyUnicode_CompareWithASCIIString(type_name.get(), "bool") == 0;
}

}  // namespace

bool to_bool(PyObject* object, std::string_view name) {
    if (PyBool_Check(object)) return object == Py_True;
    if (is_numpy_bool(object)) {
        inquiry truth = Py_TYPE(object)->tp_as_number ? Py_TYPE(object)->tp_as_number->nb_bool : nullptr;
        if (truth != nullptr) {
            int value = truth(object);
            if (value < 0) raise_argument_error(name);
            return value != 0;
        }
    }
    raise_cast_error(object, "bool", name);
}

double to_double(PyObject* object, std::string_view name) {
    double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) raise_argument_error(name);
    return value;
}

std::int32_t to_fd(PyObject* object, std::string_view name) {
    long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred()) raise_argument_error(name);
    if (value < INT32_MIN || value > INT32_MAX)
        raise_error(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<std::int32_t>(value);
}

HostRef to_tuple(PyObject* object, std::string_view name) {
    if (!PyTuple_Check(object)) raise_cast_error(object, "tuple", name);
    return HostRef::borrow(object);
}

HostRef to_optional(PyObject* object) noexcept {
    if (object == nullptr || object == Py_None) return {};
    return HostRef::borrow(object);
}

}  // namespace cadrel::binding
