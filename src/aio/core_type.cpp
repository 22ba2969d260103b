// The native core type `cadrelio._native.Core`: its spec, slots, methods and
// attributes. cadrelio.Loop inherits it first, so these methods are the loop's
// own, with no Python wrapper in between.
#include "aio/core_type.hpp"

#include "aio/core.hpp"
#include "aio/futures.hpp"
#include "aio/loop_clock.hpp"
#include "aio/scheduling.hpp"
#include "binding/arguments.hpp"
#include "binding/call_adapter.hpp"
#include "binding/conversions.hpp"
#include "runtime/os_error.hpp"

#include <array>
#include <climits>
#include <string_view>

namespace cadrel::aio {

namespace {

using binding::ArgumentSpec;
using binding::call_boundary;
using binding::MatchedArguments;
using std::string_view_literals::operator""sv;

constexpr std::array<std::string_view, 0> kNone{};
constexpr std::array kCallback{"callback"sv};
constexpr std::array kContext{"context"sv};
constexpr std::array kDelayCallback{"delay"sv, "callback"sv};
constexpr std::array kWhenCallback{"when"sv, "callback"sv};
constexpr std::array kFdCallback{"fd"sv, "callback"sv};
constexpr std::array kFd{"fd"sv};
constexpr std::array kHandle{"handle"sv};

constexpr ArgumentSpec kNewSpec{"Core.__new__()", kNone, kNone, false};
constexpr ArgumentSpec kCallSoonSpec{"call_soon()", kCallback, kContext, true};
constexpr ArgumentSpec kCallSoonThreadsafeSpec{"call_soon_threadsafe()", kCallback, kContext, true};
constexpr ArgumentSpec kCallLaterSpec{"call_later()", kDelayCallback, kContext, true};
constexpr ArgumentSpec kCallAtSpec{"call_at()", kWhenCallback, kContext, true};
constexpr ArgumentSpec kAddReaderSpec{"add_reader()", kFdCallback, kNone, true};
constexpr ArgumentSpec kAddWriterSpec{"add_writer()", kFdCallback, kNone, true};
constexpr ArgumentSpec kRemoveSpec{"remove_reader()", kFd, kNone, false};
constexpr ArgumentSpec kCancelledSpec{"_timer_handle_cancelled()", kHandle, kNone, false};

#define AIO_VECTOR_METHOD(name) \
    PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept

template <const ArgumentSpec& Spec, class Body>
PyObject* vector_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      Body body) noexcept {
    return call_boundary<PyObject*>(nullptr, [&] {
        MatchedArguments matched = binding::match_vector_arguments(Spec, args, nargs, kwnames);
        return body(as_core(self), matched).release();
    });
}

PyObject* context_or_none(PyObject* given) { return given != nullptr ? given : Py_None; }

template <const ArgumentSpec& Spec, HostRef (*Body)(CoreObject*, PyObject*, PyObject*, PyObject*)>
AIO_VECTOR_METHOD(call_soon_method) {
    return vector_call<Spec>(self, args, nargs, kwnames, [](CoreObject* core, MatchedArguments& m) {
        return Body(core, m.slots[0], m.extras.get(), context_or_none(m.slots[1]));
    });
}

/// A time argument: None is refused with asyncio's message, the rest converted as a float.
double time_argument(PyObject* value, const char* none_message, std::string_view name) {
    if (value == Py_None) binding::raise_error(PyExc_TypeError, none_message);
    return binding::to_double(value, name);
}

AIO_VECTOR_METHOD(call_later_method) {
    return vector_call<kCallLaterSpec>(self, args, nargs, kwnames, [](CoreObject* core, MatchedArguments& m) {
        double delay = time_argument(m.slots[0], "delay must not be None", "delay");
        return call_at(core, read_clock(core).loop_now + delay, m.slots[1], m.extras.get(),
                       context_or_none(m.slots[2]), "call_later");
    });
}

AIO_VECTOR_METHOD(call_at_method) {
    return vector_call<kCallAtSpec>(self, args, nargs, kwnames, [](CoreObject* core, MatchedArguments& m) {
        double when = time_argument(m.slots[0], "when cannot be None", "when");
        return call_at(core, when, m.slots[1], m.extras.get(), context_or_none(m.slots[2]), "call_at", m.slots[0]);
    });
}

/// add_reader/add_writer return None as asyncio's do; _add_reader/_add_writer
/// return the handle, for callers that must tell later whether it was replaced.
template <const ArgumentSpec& Spec, rt::Direction Direction, bool ReturnHandle>
AIO_VECTOR_METHOD(add_watcher_method) {
    return vector_call<Spec>(self, args, nargs, kwnames, [](CoreObject* core, MatchedArguments& m) {
        HostRef handle = add_watcher(core, Direction, m.slots[0], m.slots[1], m.extras.get());
        return ReturnHandle ? std::move(handle) : HostRef::borrow(Py_None);
    });
}

template <rt::Direction Direction>
AIO_VECTOR_METHOD(remove_watcher_method) {
    return vector_call<kRemoveSpec>(self, args, nargs, kwnames, [](CoreObject* core, MatchedArguments& m) {
        return HostRef::borrow(remove_watcher(core, Direction, m.slots[0]) ? Py_True : Py_False);
    });
}

AIO_VECTOR_METHOD(timer_handle_cancelled_method) {
    return vector_call<kCancelledSpec>(self, args, nargs, kwnames, [](CoreObject* core, MatchedArguments&) {
        timer_handle_cancelled(core);
        return HostRef::borrow(Py_None);
    });
}

/// create_task(coro, **kwargs): the arguments go as they came, to asyncio's own
/// create_task when the native path does not apply.
AIO_VECTOR_METHOD(create_task_method) {
    return call_boundary<PyObject*>(nullptr, [&] {
        return create_task(as_core(self), args, PyVectorcall_NARGS(static_cast<std::size_t>(nargs)), kwnames).release();
    });
}

#undef AIO_VECTOR_METHOD

template <class Body>
PyObject* no_args(PyObject* self, Body body) noexcept {
    return call_boundary<PyObject*>(nullptr, [&] { return body(as_core(self)).release(); });
}

PyObject* create_future_method(PyObject* self, PyObject*) noexcept {
    return no_args(self, [](CoreObject* core) { return create_future(core); });
}

PyObject* stop_method(PyObject* self, PyObject*) noexcept {
    return no_args(self, [](CoreObject* core) {
        core->core().stopping = true;
        return HostRef::borrow(Py_None);
    });
}

PyObject* run_method(PyObject* self, PyObject*) noexcept {
    return no_args(self, [](CoreObject* core) {
        run(core);
        return HostRef::borrow(Py_None);
    });
}

PyObject* shut_down_method(PyObject* self, PyObject*) noexcept {
    return no_args(self, [](CoreObject* core) {
        if (core->core().running) binding::raise_error(PyExc_RuntimeError, "Cannot close a running event loop");
        core->core().closed = true;
        core->core().shut_down();
        return HostRef::borrow(Py_None);
    });
}

PyObject* timer_counts_method(PyObject* self, PyObject*) noexcept {
    return no_args(self, [](CoreObject* core) {
        const TimerHeap& timers = core->core().timers;
        return binding::check(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(timers.size()),
                                            static_cast<Py_ssize_t>(timers.cancelled_count())));
    });
}

/// _socket_transport(fd): the transport of a live socket stream on `fd`, or None.
PyObject* socket_transport_method(PyObject* self, PyObject* fd_object) noexcept {
    return call_boundary<PyObject*>(nullptr, [&] {
        int overflow = 0;
        const long fd = PyLong_AsLongAndOverflow(fd_object, &overflow);
        if (fd == -1 && PyErr_Occurred()) binding::throw_host_error();
        PyObject* transport = nullptr;
        if (overflow == 0 && fd >= 0 && fd <= INT_MAX) transport = as_core(self)->core().streams.socket_on(static_cast<int>(fd));
        return HostRef::borrow(transport != nullptr ? transport : Py_None).release();
    });
}

template <class F>
PyCFunction as_cfunction(F function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int kVector = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef core_methods[] = {
    {"time", native_time_method, METH_NOARGS, "time($self)\n--\n\nThe loop's monotonic clock, in seconds."},
    {"call_soon", as_cfunction(call_soon_method<kCallSoonSpec, call_soon>), kVector,
     "call_soon($self, callback, *args, context=None)\n--\n\n"},
    {"call_soon_threadsafe", as_cfunction(call_soon_method<kCallSoonThreadsafeSpec, call_soon_threadsafe>),
     kVector, "call_soon_threadsafe($self, callback, *args, context=None)\n--\n\n"},
    {"call_later", as_cfunction(call_later_method), kVector,
     "call_later($self, delay, callback, *args, context=None)\n--\n\n"},
    {"call_at", as_cfunction(call_at_method), kVector, "call_at($self, when, callback, *args, context=None)\n--\n\n"},
    {"_timer_handle_cancelled", as_cfunction(timer_handle_cancelled_method), kVector,
     "_timer_handle_cancelled($self, handle)\n--\n\n"},
    {"add_reader", as_cfunction(add_watcher_method<kAddReaderSpec, rt::Direction::kRead, false>), kVector,
     "add_reader($self, fd, callback, *args)\n--\n\n"},
    {"add_writer", as_cfunction(add_watcher_method<kAddWriterSpec, rt::Direction::kWrite, false>), kVector,
     "add_writer($self, fd, callback, *args)\n--\n\n"},
    {"_add_reader", as_cfunction(add_watcher_method<kAddReaderSpec, rt::Direction::kRead, true>), kVector,
     "_add_reader($self, fd, callback, *args)\n--\n\nadd_reader, returning the watcher's handle."},
    {"_add_writer", as_cfunction(add_watcher_method<kAddWriterSpec, rt::Direction::kWrite, true>), kVector,
     "_add_writer($self, fd, callback, *args)\n--\n\nadd_writer, returning the watcher's handle."},
    {"remove_reader", as_cfunction(remove_watcher_method<rt::Direction::kRead>), kVector,
     "remove_reader($self, fd)\n--\n\n"},
    {"remove_writer", as_cfunction(remove_watcher_method<rt::Direction::kWrite>), kVector,
     "remove_writer($self, fd)\n--\n\n"},
    {"_socket_transport", socket_transport_method, METH_O,
     "_socket_transport($self, fd)\n--\n\nThe transport of an open socket stream on fd, or None."},
    {"create_future", create_future_method, METH_NOARGS,
     "create_future($self)\n--\n\nCreate a Future object attached to the loop."},
    {"create_task", as_cfunction(create_task_method), kVector,
     "create_task($self, coro, **kwargs)\n--\n\nSchedule or begin executing a coroutine object."},
    {"get_debug", get_debug_method, METH_NOARGS, "get_debug($self)\n--\n\n"},
    {"stop", stop_method, METH_NOARGS, "stop($self)\n--\n\n"},
    {"_run_native", run_method, METH_NOARGS, "_run_native($self)\n--\n\nRuns until stop()."},
    {"_shut_down", shut_down_method, METH_NOARGS,
     "_shut_down($self)\n--\n\nJoins the workers and releases every pending handle."},
    {"_timer_counts", timer_counts_method, METH_NOARGS,
     "_timer_counts($self)\n--\n\n(queued timers, cancelled among them)."},
    {nullptr, nullptr, 0, nullptr},
};

// ---- flags shared with the Python side -------------------------------------

template <bool AioCore::*Flag>
PyObject* get_flag(PyObject* self, void*) noexcept {
    return PyBool_FromLong(as_core(self)->core().*Flag);
}

template <bool AioCore::*Flag>
int set_flag(PyObject* self, PyObject* value, void*) noexcept {
    if (value == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "cannot delete a loop flag");
        return -1;
    }
    int truth = PyObject_IsTrue(value);
    if (truth < 0) return -1;
    as_core(self)->core().*Flag = truth != 0;
    return 0;
}

PyGetSetDef core_getset[] = {
    {"_stopping", get_flag<&AioCore::stopping>, set_flag<&AioCore::stopping>, nullptr, nullptr},
    {"_closed", get_flag<&AioCore::closed>, set_flag<&AioCore::closed>, nullptr, nullptr},
    {"_debug", get_flag<&AioCore::debug>, set_flag<&AioCore::debug>, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- construction, garbage collection, destruction ---------------------------

PyObject* core_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) noexcept {
    return call_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        (void)kwargs;
        (void)args;  // subclasses take their own arguments in __init__
        load_handle_classes();
        HostRef object = binding::check(subtype->tp_alloc(subtype, 0));
        CoreObject* core = as_core(object.get());
        core->built = false;
        try {
            ::new (static_cast<void*>(core->storage)) AioCore();
        } catch (const rt::OsError& error) {
            binding::raise_error(PyExc_RuntimeError, error.what());
        }
        core->built = true;
        return object.release();
    });
}

int core_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    CoreObject* core = as_core(self);
    if (!core->built) return 0;
    AioCore& state = core->core();
    if (int result = state.timers.traverse(visit, arg)) return result;
    if (int result = state.watchers.traverse(visit, arg)) return result;
    for (const ReadyItem& item : state.ready) Py_VISIT(item.handle.get());
    return state.streams.traverse(visit, arg);
}

int core_clear(PyObject* self) noexcept {
    return call_boundary<int>(-1, [&] {
        CoreObject* core = as_core(self);
        if (core->built && !core->core().running) {
            core->core().closed = true;
            core->core().shut_down();
        }
        return 0;
    });
}

void core_dealloc(PyObject* self) noexcept {
    HostRef in_flight = binding::fetch_exception();
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    call_boundary<int>(0, [&] {
        CoreObject* core = as_core(self);
        if (core->built) core->core().~AioCore();
        core->built = false;
        return 0;
    });
    if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
    type->tp_free(self);
    Py_DECREF(type);
    binding::restore_exception(std::move(in_flight));
}

PyType_Slot core_slots[] = {
    {Py_tp_doc, const_cast<char*>("The native core of a cadrelio loop.")},
    {Py_tp_new, reinterpret_cast<void*>(core_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(core_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(core_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(core_clear)},
    {Py_tp_setattro, reinterpret_cast<void*>(core_setattro)},
    {Py_tp_methods, core_methods},
    {Py_tp_getset, core_getset},
    {0, nullptr},
};

PyType_Spec core_spec = {
    "cadrelio._native.Core",
    static_cast<int>(sizeof(CoreObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    core_slots,
};

}  // namespace

PyObject* create_core_type() noexcept { return PyType_FromSpec(&core_spec); }

}  // namespace cadrel::aio
