// create_task, run_until_complete and _stop_cb: coroutines on the loop.
#include "loop/host_names.hpp"
#include "loop/methods.hpp"

namespace cadrel::loop {

namespace {

/// Whether this loop is the calling thread's running loop. Any failure of
/// asyncio.get_running_loop() (no loop running) counts as "not this loop" and
/// is discarded.
bool is_running_loop_of_this_thread(PyObject* asyncio, LoopObject* loop) {
    HostRef get_running = binding::module_attr(asyncio, names::get_running_loop);
    PyObject* running = PyObject_CallNoArgs(get_running.get());
    if (running == nullptr) {
        PyErr_Clear();
        return false;
    }
    bool same = running == loop->as_object();
    Py_DECREF(running);
    return same;
}

}  // namespace

HostRef create_task(LoopObject* loop, PyObject* coro, HostRef name, HostRef context) {
    HostRef asyncio = binding::import_module(names::asyncio);
    HostRef kwargs = binding::check(PyDict_New());
    if (name) binding::check_status(PyDict_SetItemString(kwargs.get(), "name", name.get()));
    if (context) binding::check_status(PyDict_SetItemString(kwargs.get(), "context", context.get()));
    if (!is_running_loop_of_this_thread(asyncio.get(), loop))
        binding::check_status(PyDict_SetItemString(kwargs.get(), "loop", loop->as_object()));
    HostRef task_class = binding::module_attr(asyncio.get(), names::task_class);
    HostRef args = binding::check(PyTuple_Pack(1, coro));
    return binding::check(PyObject_Call(task_class.get(), args.get(), kwargs.get()));
}

HostRef run_until_complete(LoopObject* loop, PyObject* future_arg) {
    HostRef asyncio = binding::import_module(names::asyncio);
    HostRef isfuture = binding::module_attr(asyncio.get(), names::isfuture);
    HostRef verdict = binding::call(isfuture.get(), {future_arg});
    int is_future = PyObject_IsTrue(verdict.get());
    binding::check_status(is_future);

    HostRef future = is_future ? HostRef::borrow(future_arg) : create_task(loop, future_arg, {}, {});
    HostRef stop_callback = binding::get_attr(loop->as_object(), names::stop_cb);
    binding::call_method(future.get(), names::add_done_callback, {stop_callback.get()});
    run_forever(loop);
    return binding::call_method(future.get(), names::result, {});
}

HostRef stop_callback(CadrelEventLoop& state, PyObject*) { return stop(state); }

}  // namespace cadrel::loop
