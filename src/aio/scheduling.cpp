// Scheduling methods of the native core: call_soon*, call_at/call_later, the
// timer cancel hook, and the descriptor watchers. Each builds the asyncio
// handle the API returns and hands it to the ready queue, the timer heap, the
// watcher table or (from other threads) the channel.
#include "aio/scheduling.hpp"

#include "aio/futures.hpp"

#include "binding/errors.hpp"
#include "binding/handle_layout.hpp"
#include "binding/host_calls.hpp"

#include <cmath>

namespace cadrel::aio {

namespace {

const binding::InternedName kAsyncioEvents{"asyncio.events"};
const binding::InternedName kHandleClass{"Handle"};
const binding::InternedName kTimerHandleClass{"TimerHandle"};
const binding::InternedName kThreadSafeHandleClass{"_ThreadSafeHandle"};
const binding::InternedName kScheduled{"_scheduled"};
const binding::InternedName kCheckThread{"_check_thread"};
const binding::InternedName kCheckCallback{"_check_callback"};
const binding::InternedName kCancel{"cancel"};

/// asyncio.events' handle classes, looked up once and kept for the process.
/// Where asyncio has _ThreadSafeHandle (3.14, later 3.13 releases), handles
/// made by call_soon_threadsafe are of that class, as asyncio's own loops make
/// them: its lock orders a cancel() from another thread against the run.
struct HandleClasses {
    PyObject* handle;
    PyObject* timer_handle;
    PyObject* thread_safe_handle;
};

const HandleClasses& handle_classes() {
    static HandleClasses classes = [] {
        HostRef events = binding::import_module(kAsyncioEvents);
        HostRef handle = binding::get_attr(events.get(), kHandleClass);
        HostRef thread_safe = binding::get_attr_if_present(events.get(), kThreadSafeHandleClass);
        if (!thread_safe) thread_safe = handle.clone();
        return HandleClasses{handle.release(), binding::get_attr(events.get(), kTimerHandleClass).release(),
                             thread_safe.release()};
    }();
    return classes;
}

void check_open(const AioCore& core) {
    if (core.closed || !core.runtime) binding::raise_error(PyExc_RuntimeError, "Event loop is closed");
}

/// asyncio's debug-mode checks: the calling thread and the callback's kind.
void debug_checks(CoreObject* self, PyObject* callback, const char* method) {
    if (!self->core().debug) return;
    binding::call_method(self->as_object(), kCheckThread, {});
    HostRef name = binding::host_string(method);
    binding::call_method(self->as_object(), kCheckCallback, {callback, name.get()});
}

/// The layout to build a handle of `handle_class` with natively: asyncio's
/// own unchanged Handle (or TimerHandle, for a timer) whose __init__ would
/// find debug mode off. Null: call the class.
const binding::HandleLayout* native_builder(CoreObject* self, PyObject* handle_class, bool timer) {
    if (self->core().debug) return nullptr;
    const binding::HandleLayout* layout = binding::HandleLayout::builder(handle_class);
    return layout && layout->is_timer() == timer && debug_flag_answers_get_debug(self) ? layout : nullptr;
}

/// `handle_class(callback, args, loop, context)`; asyncio's own Handle is
/// filled in directly when its __init__ would find debug mode off.
HostRef make_handle(PyObject* handle_class, CoreObject* self, PyObject* callback, PyObject* args,
                    PyObject* context) {
    if (const binding::HandleLayout* layout = native_builder(self, handle_class, false))
        return layout->build(callback, args, self->as_object(), context == Py_None ? nullptr : context);
    return binding::call(handle_class, {callback, args, self->as_object(), context});
}

}  // namespace

void load_handle_classes() { (void)handle_classes(); }

HostRef call_soon(CoreObject* self, PyObject* callback, PyObject* args, PyObject* context) {
    AioCore& core = self->core();
    check_open(core);
    debug_checks(self, callback, "call_soon");
    HostRef handle = make_handle(handle_classes().handle, self, callback, args, context);
    take_posted(core);
    core.ready.push_back(ReadyItem{handle.clone(), {}, {}});
    return handle;
}

HostRef call_soon_threadsafe(CoreObject* self, PyObject* callback, PyObject* args, PyObject* context) {
    AioCore& core = self->core();
    check_open(core);
    if (core.debug) {
        HostRef name = binding::host_string("call_soon_threadsafe");
        binding::call_method(self->as_object(), kCheckCallback, {callback, name.get()});
    }
    HostRef handle = make_handle(handle_classes().thread_safe_handle, self, callback, args, context);
    if (std::optional<AioMessage> refused = core.sender.send(PostedHandle{handle.clone()})) {
        refused.reset();
        binding::raise_error(PyExc_RuntimeError, "Event loop is closed");
    }
    return handle;
}

HostRef call_at(CoreObject* self, double when, PyObject* callback, PyObject* args, PyObject* context,
                const char* method, PyObject* when_given) {
    AioCore& core = self->core();
    if (std::isnan(when)) binding::raise_error(PyExc_ValueError, "the time of a timer must not be NaN");
    check_open(core);
    debug_checks(self, callback, method);
    // The handle's when() is the caller's number as given, as asyncio's is (an int stays an int).
    HostRef when_object = when_given != nullptr && (PyLong_CheckExact(when_given) || PyFloat_CheckExact(when_given))
                              ? HostRef::borrow(when_given)
                              : binding::check(PyFloat_FromDouble(when));
    PyObject* timer_handle = handle_classes().timer_handle;
    const binding::HandleLayout* layout = native_builder(self, timer_handle, true);
    HostRef handle = layout ? layout->build_timer(when_object.get(), callback, args, self->as_object(),
                                                  context == Py_None ? nullptr : context)
                            : binding::call(timer_handle, {when_object.get(), callback, args, self->as_object(),
                                                           context});
    binding::check_status(PyObject_SetAttr(handle.get(), kScheduled.get(), Py_True));
    core.timers.push(when, handle.clone());
    return handle;
}

void timer_handle_cancelled(CoreObject* self) {
    AioCore& core = self->core();
    if (!core.closed) core.timers.note_cancelled();
}

std::int32_t descriptor_of(PyObject* file_object, const WatcherTable* watchers) {
    int fd = PyObject_AsFileDescriptor(file_object);
    if (fd >= 0) return fd;
    // A closed socket's fileno() is -1 (ValueError here): as asyncio's selector
    // does, look the object up among the registrations. An object without
    // fileno() (TypeError) was never added.
    if (watchers != nullptr && PyErr_ExceptionMatches(PyExc_ValueError)) {
        if (std::optional<std::int32_t> registered = watchers->descriptor_added_with(file_object)) {
            PyErr_Clear();
            return *registered;
        }
    } else if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "Invalid file object: %R", file_object);
    }
    binding::throw_host_error();
}

HostRef add_watcher(CoreObject* self, rt::Direction direction, PyObject* file_object, PyObject* callback,
                    PyObject* args) {
    AioCore& core = self->core();
    check_open(core);
    std::int32_t fd = descriptor_of(file_object);
    if (!core.watchers.has(direction, fd)) check_watchable(fd);
    HostRef handle = make_handle(handle_classes().handle, self, callback, args, Py_None);
    core.watchers.add(direction, fd, HostRef::borrow(file_object), handle.clone(), core.runtime->handle(),
                      core.sender);
    return handle;
}

bool remove_watcher(CoreObject* self, rt::Direction direction, PyObject* file_object) {
    AioCore& core = self->core();
    if (core.closed || !core.runtime) return false;
    const std::int32_t fd = descriptor_of(file_object, &core.watchers);
    WatcherTable::Removed removed = core.watchers.remove(direction, fd);
    if (!removed.handle) return false;
    binding::call_method(removed.handle.get(), kCancel, {});
    return true;
}

}  // namespace cadrel::aio
