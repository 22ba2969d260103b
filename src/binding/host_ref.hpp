// Owned references to host objects, and when they may be released.
//
// A thread may only touch a reference count while attached to the interpreter.
// Each thread keeps a count of its entries into the host (the call adapter,
// tp_dealloc). A HostRef dropped on a thread whose count is zero (a worker
// thread, which never enters the host, or the loop thread while it sleeps) goes
// on a process-wide pending-release list instead; the next entry into the host
// on a host thread releases the whole list. So no finalizer ever runs on a
// worker thread.
#pragma once

#include "binding/interpreter_exit.hpp"

#include <Python.h>

#include <utility>

namespace cadrel::binding {

namespace host_ref_detail {
/// This thread's count of entries into the host.
extern constinit thread_local long entry_count;
/// release_reference's other cases: exit has begun, or the release is deferred.
void release_reference_uncommon(PyObject* object) noexcept;
}  // namespace host_ref_detail

/// Releases `object` now if this thread has entered the host, else later.
/// Inline for the common case: every HostRef ends here.
inline void release_reference(PyObject* object) noexcept {
    if (host_ref_detail::entry_count > 0 && !exit_detail::exit_begun.load(std::memory_order_relaxed)) {
        Py_DECREF(object);
        return;
    }
    host_ref_detail::release_reference_uncommon(object);
}

/// Releases everything on the pending-release list. Caller is attached.
void release_pending_references() noexcept;

/// This thread's count of entries into the host (0 outside it).
long host_entry_depth() noexcept;

/// An owned (strong) reference; null allowed. Move-only.
class HostRef {
public:
    HostRef() noexcept = default;
    /// Takes over a new reference (nullptr allowed).
    static HostRef steal(PyObject* object) noexcept { return HostRef(object); }
    /// Adds a reference to a borrowed object. Caller is attached.
    static HostRef borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return HostRef(object);
    }

    HostRef(HostRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    HostRef& operator=(HostRef&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    HostRef(const HostRef&) = delete;
    HostRef& operator=(const HostRef&) = delete;
    ~HostRef() { reset(); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    /// Gives the reference to the caller (for returning to the host).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    /// A second owned reference to the same object. Caller is attached.
    HostRef clone() const noexcept { return borrow(object_); }

    void reset() noexcept {
        if (PyObject* object = std::exchange(object_, nullptr)) release_reference(object);
    }

private:
    explicit HostRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

/// Marks this thread as inside the host for its lifetime and releases pending
/// references on entry. The thread must already be attached.
class EnteredHost {
public:
    EnteredHost() noexcept;
    ~EnteredHost();
    EnteredHost(const EnteredHost&) = delete;
    EnteredHost& operator=(const EnteredHost&) = delete;
};

/// For a stretch of native work that must not run host code: host references
/// dropped meanwhile are deferred, and released at the end. Alone, for work
/// that need not give up the interpreter (a look at the kernel's events that
/// does not block); cheaper than detaching and attaching again.
class HostCodeDeferred {
public:
    HostCodeDeferred() noexcept;
    ~HostCodeDeferred();
    HostCodeDeferred(const HostCodeDeferred&) = delete;
    HostCodeDeferred& operator=(const HostCodeDeferred&) = delete;

private:
    long saved_entry_count_;
};

/// Detaches the calling thread (PyEval_SaveThread) for its lifetime, host code
/// deferred meanwhile. On re-attaching (parking if the host ends the thread
/// there, see interpreter_exit.hpp) the pending list is released: the member
/// ends after the destructor's body has re-attached.
class Detached {
public:
    Detached() noexcept;
    ~Detached();
    Detached(const Detached&) = delete;
    Detached& operator=(const Detached&) = delete;

private:
    HostCodeDeferred deferred_;
    PyThreadState* thread_state_;
};

}  // namespace cadrel::binding
