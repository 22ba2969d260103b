// The call adapter: the one boundary between the host and C++ code.
//
// Every method body, the constructor, the deallocator and the module
// initialiser run inside `call_boundary`. It enters the host (releasing
// deferred references), runs the body, and turns what escapes into a null
// return with the right pending exception: HostErrorSet leaves the host's own
// exception; a Panic (already reported on standard error) becomes
// "pyo3_runtime.PanicException"; any other C++ exception is reported as an
// internal failure first. If even that conversion fails, the process aborts
// with "uncaught panic at ffi boundary": nothing may unwind into the host.
#pragma once

#include "binding/errors.hpp"
#include "binding/host_ref.hpp"
#include "runtime/panic.hpp"

#include <Python.h>

#include <exception>
#include <new>

namespace cadrel::binding {

namespace adapter_detail {
void raise_internal_failure(const char* message) noexcept;
}

template <class Result, class Body>
Result call_boundary(Result failure, Body&& body) noexcept {
    try {
        EnteredHost entered;
        try {
            return body();
        } catch (const HostErrorSet&) {
        } catch (const rt::Panic& failure_raised) {
            set_panic_exception(failure_raised.message());
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::exception& error) {
            adapter_detail::raise_internal_failure(error.what());
        }
        return failure;
    } catch (...) {
        rt::abort_uncaught_panic();
    }
}

}  // namespace cadrel::binding
