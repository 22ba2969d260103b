// Conversions of matched arguments into native values.
//
// Every conversion names its parameter: a failure whose exception class is
// exactly TypeError is re-raised as TypeError "argument '<name>': <text>" with
// the original's cause; any other exception passes unchanged.
#pragma once

#include "binding/host_ref.hpp"

#include <Python.h>

#include <cstdint>
#include <string_view>

namespace cadrel::binding {

/// A host bool, or a numpy boolean scalar read through its truth slot.
bool to_bool(PyObject* object, std::string_view name);

/// The host's float conversion (floats, ints, __float__, __index__).
double to_double(PyObject* object, std::string_view name);

/// A C long (ints and __index__ objects) that must fit in 32 bits.
std::int32_t to_fd(PyObject* object, std::string_view name);

/// A tuple or tuple subclass instance, as a new reference.
HostRef to_tuple(PyObject* object, std::string_view name);

/// A new reference; None (or not given) becomes null.
HostRef to_optional(PyObject* object) noexcept;

}  // namespace cadrel::binding
