// asyncio.Handle built, inspected and run without its Python methods.
//
// Every call_soon builds one asyncio.Handle and every dispatch runs one. The
// class's Python __init__ only stores its arguments in the handle's slots
// (and copies the current context when none is given), and its _run calls the
// callback in the handle's context, handing an exception to the loop's
// exception handler. While the class is asyncio's own and unchanged, doing
// both here gives the same objects and effects without two Python frames per
// callback. The check is the class's type version, which the interpreter
// renews whenever anything in the class changes; a replaced or patched class,
// or a handle whose slots hold what its own methods would not expect, takes
// the ordinary calls.
#pragma once

#include "binding/host_ref.hpp"

#include <Python.h>

#include <atomic>
#include <optional>

namespace cadrel::binding {

/// The class's current type version (0: none assigned yet); the interpreter
/// renews it whenever the class or one of its bases changes.
unsigned type_version(PyTypeObject* type) noexcept;

class HandleLayout;

namespace handle_layout_detail {
/// The class's version as it stands (0: none assigned yet).
inline unsigned version_of(PyTypeObject* type) noexcept {
    return std::atomic_ref<unsigned>(type->tp_version_tag).load(std::memory_order_relaxed);
}
/// asyncio's Handle layout once read (null before).
extern constinit std::atomic<HandleLayout*> handle_layout;
}  // namespace handle_layout_detail

class HandleLayout {
public:
    /// The layout of `handle_class` if it is asyncio's unchanged Handle or
    /// TimerHandle class, null otherwise (then call the handle's methods).
    /// Caller is attached. Every handle run asks, so the common answer (Handle,
    /// not changed since it was last verified) is given inline.
    static const HandleLayout* of(PyObject* handle_class) noexcept {
        const HandleLayout* handle = handle_layout_detail::handle_layout.load(std::memory_order_acquire);
        if (handle && handle_class == reinterpret_cast<PyObject*>(handle->class_) && handle->verified()) return handle;
        return of_uncommon(handle_class);
    }
    /// As `of`, for building.
    static const HandleLayout* builder(PyObject* handle_class) noexcept;

    /// What `Handle(callback, args, loop, context)` builds when the loop's
    /// debug mode is off: `context` null means the current context's copy.
    /// Throws on a failed allocation or copy. On Handle's layout.
    HostRef build(PyObject* callback, PyObject* args, PyObject* loop, PyObject* context) const;
    /// `TimerHandle(when, callback, args, loop, context)` likewise, on TimerHandle's layout.
    HostRef build_timer(PyObject* when, PyObject* callback, PyObject* args, PyObject* loop,
                        PyObject* context) const;
    bool is_timer() const noexcept { return base_ != nullptr; }

    /// The `_cancelled` flag of a handle of this class: 1 or 0, or -1 when it
    /// is not a bool (read it as an attribute then).
    int cancelled(PyObject* handle) const noexcept;

    /// Runs a handle of this class that is not cancelled, as its _run does:
    /// true when done, false with the exception _run would let escape pending
    /// (SystemExit, KeyboardInterrupt, or one raised while reporting a failure
    /// to the loop's call_exception_handler), nullopt when the handle must be
    /// run through its _run method instead. Caller is attached.
    std::optional<bool> run(PyObject* handle) const noexcept;

private:
    HandleLayout() = default;
    HandleLayout(const HandleLayout& other)
        : class_(other.class_), base_(other.base_), init_(other.init_), run_(other.run_),
          callback_(other.callback_), args_(other.args_), cancelled_(other.cancelled_), loop_(other.loop_),
          source_traceback_(other.source_traceback_), repr_(other.repr_), context_(other.context_) {}
    static const HandleLayout* of_uncommon(PyObject* handle_class) noexcept;
    /// The class's current version is the one last verified.
    bool verified() const noexcept {
        const unsigned version = handle_layout_detail::version_of(class_);
        return version != 0 && version == verified_version_.load(std::memory_order_relaxed);
    }
    bool unchanged() const noexcept;
    /// What _run does with an exception its callback raised (pending now): the
    /// loop's call_exception_handler gets it. False with the exception that
    /// reporting raised pending.
    bool report_failure(PyObject* handle, PyObject* callback, PyObject* args) const noexcept;
    bool call_exception_handler(PyObject* handle, PyObject* callback, PyObject* args,
                                PyObject* exception) const;

    PyTypeObject* class_ = nullptr;
    const HandleLayout* base_ = nullptr;  // a subclass's: Handle's layout
    // The class's own __init__ and Handle's _run, to re-check after a version change.
    PyObject* init_ = nullptr;
    PyObject* run_ = nullptr;
    Py_ssize_t callback_ = 0, args_ = 0, cancelled_ = 0, loop_ = 0, source_traceback_ = 0, repr_ = 0,
               context_ = 0;
    Py_ssize_t when_ = 0, scheduled_ = 0;  // TimerHandle's own slots
    /// The class version last found unchanged (0: none yet).
    mutable std::atomic<unsigned> verified_version_{0};
    friend struct HandleLayoutProbe;
};

}  // namespace cadrel::binding
