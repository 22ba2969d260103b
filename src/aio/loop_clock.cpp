// Reading a cadrelio loop's clock: natively, or through a replaced time().
#include "aio/loop_clock.hpp"

#include "aio/class_method.hpp"
#include "binding/errors.hpp"
#include "binding/host_calls.hpp"

namespace cadrel::aio {

namespace {

const binding::InternedName kTime{"time"};

/// Whether the loop's class answers time() with the core's own method.
bool class_keeps_native_time(CoreObject* self) {
    return class_keeps_method(self, kTime, self->core().time_answers_version,
                              [](PyObject* method) { return is_native_method(method, &native_time_method); });
}

}  // namespace

ClockReading read_clock(CoreObject* self) {
    if (!self->core().time_set_on_instance && class_keeps_native_time(self)) {
        const double now = monotonic_seconds();
        return {now, now, false};
    }
    HostRef answer = binding::call_method(self->as_object(), kTime, {});
    const double loop_now = PyFloat_AsDouble(answer.get());
    if (loop_now == -1.0 && PyErr_Occurred()) binding::throw_host_error();
    return {loop_now, monotonic_seconds(), true};
}

PyObject* native_time_method(PyObject*, PyObject*) noexcept { return PyFloat_FromDouble(monotonic_seconds()); }

int core_setattro(PyObject* self, PyObject* name, PyObject* value) noexcept {
    if (PyObject_GenericSetAttr(self, name, value) < 0) return -1;
    CoreObject* core = as_core(self);
    if (core->built && PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "time") == 0)
        core->core().time_set_on_instance = value != nullptr;
    return 0;
}

}  // namespace cadrel::aio
