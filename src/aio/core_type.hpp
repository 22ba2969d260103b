// The native core type of cadrelio loops.
#pragma once

#include <Python.h>

namespace cadrel::aio {

/// A new reference to a new `Core` type, or null with an exception set.
PyObject* create_core_type() noexcept;

}  // namespace cadrel::aio
