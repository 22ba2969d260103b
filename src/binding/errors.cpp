// Host errors, the internal-failure exception class, and their conversions.
#include "binding/errors.hpp"

#include "runtime/panic.hpp"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>

namespace cadrel::binding {

namespace {

constexpr const char* kPanicDoc =
    "Raised when an internal invariant of cadrel fails.\n\n"
    "Derived from BaseException, so handlers for Exception do not catch it.";

std::atomic<PyObject*> panic_type{nullptr};

/// The failure's message: str() of the exception's first argument.
std::string panic_message(PyObject* exception) {
    std::string message = "Unwrapped panic from Python code";
    HostRef args = HostRef::steal(PyObject_GetAttrString(exception, "args"));
    if (args && PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) > 0) {
        HostRef text = HostRef::steal(PyObject_Str(PyTuple_GET_ITEM(args.get(), 0)));
        if (text) {
            if (const char* utf8 = PyUnicode_AsUTF8(text.get())) message = utf8;
        }
    }
    PyErr_Clear();
    return message;
}

}  // namespace

PyObject* panic_exception_type() noexcept {
    if (PyObject* type = panic_type.load(std::memory_order_acquire)) return type;
    PyObject* created = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                                  PyExc_BaseException, nullptr);
    if (created == nullptr) return nullptr;
    PyObject* expected = nullptr;
    if (!panic_type.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
        Py_DECREF(created);  // another thread made it first; theirs is the one
        return expected;
    }
    return created;  // kept for the life of the process
}

void set_panic_exception(std::string_view message) noexcept {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // its creation left an exception pending
    HostRef text = HostRef::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

HostRef fetch_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return HostRef::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return {};
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return HostRef::steal(value);
#endif
}

void restore_exception(HostRef exception) noexcept {
    if (!exception) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* value = exception.release();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

void throw_host_error() {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        throw HostErrorSet{};
    }
    // Only a class already made can match: no instance exists before it. It is
    // not made here, which would call into the host with the error pending.
    PyObject* panic_class = panic_type.load(std::memory_order_acquire);
    if (panic_class == nullptr || !PyErr_ExceptionMatches(panic_class)) throw HostErrorSet{};

    HostRef exception = fetch_exception();
    std::string message = panic_message(exception.get());
    std::fputs(
        "--- cadrel is resuming an internal failure after fetching a PanicException from "
        "Python. ---\nPython stack trace below:\n",
        stderr);
    std::fflush(stderr);
    restore_exception(std::move(exception));
    PyErr_PrintEx(0);
    throw rt::Panic(std::move(message));
}

void raise_error(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw HostErrorSet{};
}

void raise_os_error(int code) {
    errno = code;
    PyErr_SetFromErrno(PyExc_OSError);
    throw HostErrorSet{};
}

void raise_error(PyObject* type, const HostRef& message) {
    PyErr_SetObject(type, message.get());
    throw HostErrorSet{};
}

HostRef host_string(std::string_view text) {
    return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace cadrel::binding

namespace cadrel::binding::adapter_detail {

void raise_internal_failure(const char* message) noexcept {
    rt::report_panic(message);
    set_panic_exception(message);
}

}  // namespace cadrel::binding::adapter_detail
