// Carrying host errors and internal failures through C++ code to the boundary.
//
// Inside the extension, a failed host call is turned into the C++ exception
// HostErrorSet while the host's error indicator stays set; an internal failure
// is cadrel::rt::Panic. The call adapter (call_adapter.hpp) is the one place
// that turns either into a null return with a pending host exception.
#pragma once

#include "binding/host_ref.hpp"

#include <Python.h>

#include <string_view>

namespace cadrel::binding {

/// The host's error indicator is set; return null to the host.
struct HostErrorSet {};

/// Turns the pending host exception into a C++ throw. If it is the
/// internal-failure exception, it is not an ordinary error: a notice and the
/// host's traceback are printed and it continues as a Panic, so that it reaches
/// the host again as the same kind of exception.
[[noreturn]] void throw_host_error();

/// Sets `type(message)` as the pending exception and throws HostErrorSet.
[[noreturn]] void raise_error(PyObject* type, const char* message);

/// Like raise_error, with the message already a host string (so text taken
/// from host objects keeps NULs and unpaired surrogates as they were).
[[noreturn]] void raise_error(PyObject* type, const HostRef& message);

/// Sets the OSError (or its subclass) for the error number `code`, as the
/// host's own system calls raise it, and throws HostErrorSet.
[[noreturn]] void raise_os_error(int code);

/// A host string of `text` (UTF-8).
HostRef host_string(std::string_view text);

/// Checks a new reference returned by a host call.
inline HostRef check(PyObject* result) {
    if (result == nullptr) throw_host_error();
    return HostRef::steal(result);
}

/// Checks an int status returned by a host call (-1 on error).
inline void check_status(int status) {
    if (status < 0) throw_host_error();
}

/// "pyo3_runtime.PanicException": derived from BaseException, created once per
/// process. Returns a borrowed reference, or null with an exception set.
PyObject* panic_exception_type() noexcept;

/// Sets a PanicException carrying `message` as the pending exception.
void set_panic_exception(std::string_view message) noexcept;

/// Takes the pending exception (normalised) off the error indicator.
HostRef fetch_exception() noexcept;

/// Puts an exception taken by fetch_exception back as pending.
void restore_exception(HostRef exception) noexcept;

}  // namespace cadrel::binding
