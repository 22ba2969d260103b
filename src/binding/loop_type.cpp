// The CadrelLoop type: its spec, slots, method table and argument descriptions.
#include "binding/arguments.hpp"
#include "binding/call_adapter.hpp"
#include "binding/conversions.hpp"
#include "binding/loop_object.hpp"
#include "loop/methods.hpp"
#include "runtime/os_error.hpp"

#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define CADREL_T_PYSSIZET T_PYSSIZET
#define CADREL_READONLY READONLY
#else
#define CADREL_T_PYSSIZET Py_T_PYSSIZET
#define CADREL_READONLY Py_READONLY
#endif

#include <array>
#include <atomic>
#include <cstddef>
#include <string_view>

namespace cadrel::binding {

namespace {

using std::string_view_literals::operator""sv;
using loop::Direction;

// ---- argument descriptions ---------------------------------------------------

constexpr std::array<std::string_view, 0> kNone{};
constexpr std::array kValue{"value"sv};
constexpr std::array kCoro{"coro"sv};
constexpr std::array kNameContext{"name"sv, "context"sv};
constexpr std::array kFuture{"future"sv};
constexpr std::array kFut{"_fut"sv};
constexpr std::array kCallback{"callback"sv};
constexpr std::array kContext{"context"sv};
constexpr std::array kDelayCallback{"delay"sv, "callback"sv};
constexpr std::array kWhenCallback{"when"sv, "callback"sv};
constexpr std::array kFdCbArgs{"fd"sv, "cb"sv, "args"sv};
constexpr std::array kFd{"fd"sv};

constexpr ArgumentSpec kNewSpec{"CadrelLoop.__new__()", kNone, kNone, false};
constexpr ArgumentSpec kSetDebugSpec{"CadrelLoop.set_debug()", kValue, kNone, false};
constexpr ArgumentSpec kCreateTaskSpec{"CadrelLoop.create_task()", kCoro, kNameContext, false};
constexpr ArgumentSpec kRunUntilCompleteSpec{"CadrelLoop.run_until_complete()", kFuture, kNone, false};
constexpr ArgumentSpec kStopCbSpec{"CadrelLoop._stop_cb()", kFut, kNone, false};
constexpr ArgumentSpec kCallSoonSpec{"CadrelLoop.call_soon()", kCallback, kContext, true};
constexpr ArgumentSpec kCallSoonThreadsafeSpec{"CadrelLoop.call_soon_threadsafe()", kCallback, kContext, true};
constexpr ArgumentSpec kCallLaterSpec{"CadrelLoop.call_later()", kDelayCallback, kContext, true};
constexpr ArgumentSpec kCallAtSpec{"CadrelLoop.call_at()", kWhenCallback, kContext, true};
constexpr ArgumentSpec kAddReaderSpec{"CadrelLoop.add_reader()", kFdCbArgs, kNone, false};
constexpr ArgumentSpec kAddWriterSpec{"CadrelLoop.add_writer()", kFdCbArgs, kNone, false};
constexpr ArgumentSpec kRemoveReaderSpec{"CadrelLoop.remove_reader()", kFd, kNone, false};
constexpr ArgumentSpec kRemoveWriterSpec{"CadrelLoop.remove_writer()", kFd, kNone, false};

// ---- adapters ----------------------------------------------------------------

using StateBody = HostRef (*)(loop::CadrelEventLoop&);

/// A no-argument method whose body borrows the native state.
template <StateBody Body>
PyObject* borrowing_noargs(PyObject* self, PyObject*) noexcept {
    return call_boundary<PyObject*>(nullptr, [&] {
        SharedBorrow borrow(as_loop(self));
        return Body(as_loop(self)->state()).release();
    });
}

/// A vector-call method: match, then run `body(self, matched)`.
template <const ArgumentSpec& Spec, class Body>
PyObject* vector_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      Body body) noexcept {
    return call_boundary<PyObject*>(nullptr, [&] {
        MatchedArguments matched = match_vector_arguments(Spec, args, nargs, kwnames);
        return body(as_loop(self), matched).release();
    });
}

#define CADREL_VECTOR_METHOD(name) \
    PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept

PyObject* run_forever_method(PyObject* self, PyObject*) noexcept {
    return call_boundary<PyObject*>(nullptr, [&] { return loop::run_forever(as_loop(self)).release(); });
}

CADREL_VECTOR_METHOD(set_debug_method) {
    return vector_call<kSetDebugSpec>(self, args, nargs, kwnames, [](LoopObject* loop, MatchedArguments& m) {
        SharedBorrow borrow(loop);
        bool value = to_bool(m.slots[0], "value");
        return loop::set_debug(loop->state(), value);
    });
}

CADREL_VECTOR_METHOD(create_task_method) {
    return vector_call<kCreateTaskSpec>(self, args, nargs, kwnames, [](LoopObject* loop, MatchedArguments& m) {
        return loop::create_task(loop, m.slots[0], to_optional(m.slots[1]), to_optional(m.slots[2]));
    });
}

CADREL_VECTOR_METHOD(run_until_complete_method) {
    return vector_call<kRunUntilCompleteSpec>(self, args, nargs, kwnames,
                                              [](LoopObject* loop, MatchedArguments& m) {
                                                  return loop::run_until_complete(loop, m.slots[0]);
                                              });
}

CADREL_VECTOR_METHOD(stop_cb_method) {
    return vector_call<kStopCbSpec>(self, args, nargs, kwnames, [](LoopObject* loop, MatchedArguments& m) {
        SharedBorrow borrow(loop);
        return loop::stop_callback(loop->state(), m.slots[0]);
    });
}

template <const ArgumentSpec& Spec>
CADREL_VECTOR_METHOD(call_soon_method) {
    return vector_call<Spec>(self, args, nargs, kwnames, [](LoopObject* loop, MatchedArguments& m) {
        return loop::call_soon(loop, m.slots[0], std::move(m.extras), to_optional(m.slots[1]));
    });
}

CADREL_VECTOR_METHOD(call_later_method) {
    return vector_call<kCallLaterSpec>(self, args, nargs, kwnames, [](LoopObject* loop, MatchedArguments& m) {
        double delay = to_double(m.slots[0], "delay");
        return loop::call_later(loop, m.slots[1], std::move(m.extras), to_optional(m.slots[2]), delay);
    });
}

CADREL_VECTOR_METHOD(call_at_method) {
    return vector_call<kCallAtSpec>(self, args, nargs, kwnames, [](LoopObject* loop, MatchedArguments& m) {
        double when = to_double(m.slots[0], "when");
        return loop::call_at(loop, m.slots[1], std::move(m.extras), to_optional(m.slots[2]), when);
    });
}

template <const ArgumentSpec& Spec, Direction Dir>
CADREL_VECTOR_METHOD(add_watcher_method) {
    return vector_call<Spec>(self, args, nargs, kwnames, [](LoopObject* loop, MatchedArguments& m) {
        SharedBorrow borrow(loop);
        std::int32_t fd = to_fd(m.slots[0], "fd");
        HostRef cb = HostRef::borrow(m.slots[1]);
        HostRef tuple = to_tuple(m.slots[2], "args");
        return loop::add_watcher(loop->state(), Dir, fd, std::move(cb), std::move(tuple));
    });
}

template <const ArgumentSpec& Spec, Direction Dir>
CADREL_VECTOR_METHOD(remove_watcher_method) {
    return vector_call<Spec>(self, args, nargs, kwnames, [](LoopObject* loop, MatchedArguments& m) {
        SharedBorrow borrow(loop);
        std::int32_t fd = to_fd(m.slots[0], "fd");
        return loop::remove_watcher(loop->state(), Dir, fd);
    });
}

#undef CADREL_VECTOR_METHOD

// ---- method table ------------------------------------------------------------

constexpr int kNoArgs = METH_NOARGS;                  // 0x4
constexpr int kVector = METH_FASTCALL | METH_KEYWORDS;  // 0x82

template <class F>
PyCFunction as_cfunction(F function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef loop_methods[] = {
    {"get_debug", borrowing_noargs<loop::get_debug>, kNoArgs, "get_debug($self)\n--\n\n"},
    {"set_debug", as_cfunction(set_debug_method), kVector, "set_debug($self, value)\n--\n\n"},
    {"run_forever", run_forever_method, kNoArgs, "run_forever($self)\n--\n\n"},
    {"create_task", as_cfunction(create_task_method), kVector,
     "create_task($self, coro, *, name=None, context=None)\n--\n\n"},
    {"run_until_complete", as_cfunction(run_until_complete_method), kVector,
     "run_until_complete($self, future)\n--\n\n"},
    {"_stop_cb", as_cfunction(stop_cb_method), kVector, "_stop_cb($self, _fut)\n--\n\n"},
    {"stop", borrowing_noargs<loop::stop>, kNoArgs, "stop($self)\n--\n\n"},
    {"is_running", borrowing_noargs<loop::is_running>, kNoArgs, "is_running($self)\n--\n\n"},
    {"is_closed", borrowing_noargs<loop::is_closed>, kNoArgs, "is_closed($self)\n--\n\n"},
    {"close", borrowing_noargs<loop::close>, kNoArgs, "close($self)\n--\n\n"},
    {"time", borrowing_noargs<loop::time>, kNoArgs, "time($self)\n--\n\n"},
    {"call_soon", as_cfunction(call_soon_method<kCallSoonSpec>), kVector,
     "call_soon($self, callback, *args, context=None)\n--\n\n"},
    {"call_soon_threadsafe", as_cfunction(call_soon_method<kCallSoonThreadsafeSpec>), kVector,
     "call_soon_threadsafe($self, callback, *args, context=None)\n--\n\n"},
    {"call_later", as_cfunction(call_later_method), kVector,
     "call_later($self, delay, callback, *args, context=None)\n--\n\n"},
    {"call_at", as_cfunction(call_at_method), kVector,
     "call_at($self, when, callback, *args, context=None)\n--\n\n"},
    {"add_reader", as_cfunction(add_watcher_method<kAddReaderSpec, Direction::kRead>), kVector,
     "add_reader($self, fd, cb, args)\n--\n\n"},
    {"remove_reader", as_cfunction(remove_watcher_method<kRemoveReaderSpec, Direction::kRead>), kVector,
     "remove_reader($self, fd)\n--\n\n"},
    {"add_writer", as_cfunction(add_watcher_method<kAddWriterSpec, Direction::kWrite>), kVector,
     "add_writer($self, fd, cb, args)\n--\n\n"},
    {"remove_writer", as_cfunction(remove_watcher_method<kRemoveWriterSpec, Direction::kWrite>), kVector,
     "remove_writer($self, fd)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef loop_members[] = {
    {"__weaklistoffset__", CADREL_T_PYSSIZET, static_cast<Py_ssize_t>(offsetof(LoopObject, weaklist)),
     CADREL_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// ---- construction and destruction --------------------------------------------

/// Returns an allocated instance whose native state was never built.
void discard_unbuilt(PyObject* object) noexcept {
    PyTypeObject* type = Py_TYPE(object);
    if (PyType_IS_GC(type)) PyObject_GC_UnTrack(object);
    type->tp_free(object);
    Py_DECREF(type);  // tp_alloc took a reference to the heap type
}

PyObject* loop_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) noexcept {
    return call_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        match_tuple_arguments(kNewSpec, args, kwargs);
        PyObject* object = subtype->tp_alloc(subtype, 0);
        if (object == nullptr) throw_host_error();
        LoopObject* loop = as_loop(object);
        loop->borrow_flag = 0;
        loop->weaklist = nullptr;
        try {
            ::new (static_cast<void*>(loop->state_storage)) loop::CadrelEventLoop();
        } catch (const rt::OsError& error) {
            discard_unbuilt(object);
            raise_error(PyExc_RuntimeError, error.what());
        } catch (...) {
            discard_unbuilt(object);
            throw;
        }
        return object;
    });
}

void loop_dealloc(PyObject* object) noexcept {
    // A deallocation may run while an exception is being raised; keep it.
    HostRef in_flight = fetch_exception();
    call_boundary<int>(0, [&] {
        LoopObject* loop = as_loop(object);
        {
            // Join the workers without the interpreter lock, so other threads
            // run meanwhile; the host references of the tasks destroyed here
            // are released once this thread has attached again.
            Detached detached;
            loop->state().runtime.shutdown();
        }
        loop->state().~CadrelEventLoop();
        if (loop->weaklist != nullptr) PyObject_ClearWeakRefs(object);
        PyTypeObject* type = Py_TYPE(object);
        type->tp_free(object);
        Py_DECREF(type);  // instances hold a reference to their heap type
        return 0;
    });
    if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
    restore_exception(std::move(in_flight));
}

PyType_Slot loop_slots[] = {
    {Py_tp_doc, const_cast<char*>("CadrelLoop()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(loop_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(loop_dealloc)},
    {Py_tp_methods, loop_methods},
    {Py_tp_members, loop_members},
    {0, nullptr},
};

PyType_Spec loop_spec = {
    "builtins.CadrelLoop",                      // name: __module__ "builtins"
    static_cast<int>(sizeof(LoopObject)),       // basicsize
    0,                                          // itemsize
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,   // no GC, subclassable
    loop_slots,
};

std::atomic<PyTypeObject*> created_type{nullptr};

}  // namespace

PyTypeObject* loop_type() noexcept { return created_type.load(std::memory_order_acquire); }

PyTypeObject* create_loop_type() noexcept {
    if (PyTypeObject* type = loop_type()) return type;
    PyObject* type = PyType_FromSpec(&loop_spec);
    if (type == nullptr) return nullptr;
    created_type.store(reinterpret_cast<PyTypeObject*>(type), std::memory_order_release);
    return reinterpret_cast<PyTypeObject*>(type);  // kept for the life of the process
}

}  // namespace cadrel::binding
