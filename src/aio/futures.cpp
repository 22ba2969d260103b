// Futures and tasks for the loop, made natively.
#include "aio/futures.hpp"

#include "aio/class_method.hpp"
#include "binding/errors.hpp"
#include "binding/handle_layout.hpp"
#include "binding/host_calls.hpp"

#include <atomic>
#include <vector>

namespace cadrel::aio {

namespace {

const binding::InternedName kFuturesModule{"asyncio.futures"};
const binding::InternedName kTasksModule{"asyncio.tasks"};
const binding::InternedName kBaseEventsModule{"asyncio.base_events"};
const binding::InternedName kFutureClass{"Future"};
const binding::InternedName kTaskClass{"Task"};
const binding::InternedName kBaseLoopClass{"BaseEventLoop"};
const binding::InternedName kCreateTask{"create_task"};
const binding::InternedName kGetDebug{"get_debug"};
const binding::InternedName kTaskFactory{"_task_factory"};
const binding::KeywordNames kLoop{"loop"};
const binding::KeywordNames kLoopName{"loop", "name"};
const binding::KeywordNames kLoopContext{"loop", "context"};
const binding::KeywordNames kLoopNameContext{"loop", "name", "context"};

/// The module imported under `name` when first asked, kept for the process:
/// base_events binds asyncio.futures and asyncio.tasks once, at its own
/// import, and looks up Future and Task on them at each call. Borrowed.
PyObject* bound_module(std::atomic<PyObject*>& bound, const binding::InternedName& name) {
    if (PyObject* known = bound.load(std::memory_order_acquire)) return known;
    HostRef module = binding::import_module(name);
    PyObject* first = nullptr;
    if (bound.compare_exchange_strong(first, module.get(), std::memory_order_acq_rel)) return module.release();
    return first;  // another thread bound it meanwhile
}

constinit std::atomic<PyObject*> futures_module{nullptr};
constinit std::atomic<PyObject*> tasks_module{nullptr};

bool is_keyword(PyObject* key, const char* name) {
    return PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0;
}

HostRef base_create_task(CoreObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    HostRef base_loop = binding::module_attr(binding::import_module(kBaseEventsModule).get(), kBaseLoopClass);
    HostRef method = binding::get_attr(base_loop.get(), kCreateTask);
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    std::vector<PyObject*> stack;
    stack.reserve(static_cast<std::size_t>(1 + nargs + keywords));
    stack.push_back(self->as_object());
    stack.insert(stack.end(), args, args + nargs + keywords);
    return binding::check(PyObject_Vectorcall(method.get(), stack.data(), static_cast<std::size_t>(1 + nargs), kwnames));
}

}  // namespace

HostRef create_future(CoreObject* self) {
    HostRef future_class = binding::module_attr(bound_module(futures_module, kFuturesModule), kFutureClass);
    return binding::call(future_class.get(), {self->as_object()}, kLoop.get());
}

HostRef create_task(CoreObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const AioCore& core = self->core();
    if (nargs != 1 || core.closed || core.debug || !debug_flag_answers_get_debug(self))
        return base_create_task(self, args, nargs, kwnames);
    PyObject* name = nullptr;
    PyObject* context = nullptr;
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        PyObject** slot = is_keyword(key, "name") ? &name : is_keyword(key, "context") ? &context : nullptr;
        if (slot == nullptr || *slot != nullptr)
            return base_create_task(self, args, nargs, kwnames);  // another keyword: asyncio decides
        *slot = args[nargs + i];
    }
    HostRef factory = binding::get_attr_if_present(self->as_object(), kTaskFactory);
    if (factory.get() != Py_None) return base_create_task(self, args, nargs, kwnames);
    HostRef task_class = binding::module_attr(bound_module(tasks_module, kTasksModule), kTaskClass);
    // Task(coro, loop=self[, name=...][, context=...]).
    PyObject* stack[4] = {args[0], self->as_object(), nullptr, nullptr};
    PyObject* names;
    if (name && context) {
        stack[2] = name;
        stack[3] = context;
        names = kLoopNameContext.get();
    } else if (name || context) {
        stack[2] = name ? name : context;
        names = name ? kLoopName.get() : kLoopContext.get();
    } else {
        names = kLoop.get();
    }
    return binding::check(PyObject_Vectorcall(task_class.get(), stack, 1, names));
}

PyObject* get_debug_method(PyObject* self, PyObject*) noexcept {
    return PyBool_FromLong(as_core(self)->core().debug);
}

bool debug_flag_answers_get_debug(CoreObject* self) {
    return class_keeps_method(self, kGetDebug, self->core().get_debug_answers_version, [](PyObject* loops) {
        if (is_native_method(loops, &get_debug_method)) return true;
        // asyncio's own get_debug reads the same flag.
        HostRef base_loop = binding::module_attr(binding::import_module(kBaseEventsModule).get(), kBaseLoopClass);
        return loops == binding::get_attr(base_loop.get(), kGetDebug).get();
    });
}

}  // namespace cadrel::aio
