// call_soon and call_soon_threadsafe: build an asyncio.Handle and post it.
#include "loop/host_names.hpp"
#include "loop/methods.hpp"
#include "loop/posting.hpp"

namespace cadrel::loop {

HostRef call_soon(LoopObject* loop, PyObject* callback, HostRef args, HostRef context) {
    HostRef asyncio = binding::import_module(names::asyncio);
    HostRef handle_class = binding::module_attr(asyncio.get(), names::handle_class);
    // Handle(callback, args, loop=loop[, context=context]).
    HostRef handle = build_handle(handle_class.get(), std::array{callback, args.get()}, loop, context.get());
    let_a_deep_queue_drain(loop);
    binding::SharedBorrow borrow(loop);
    post(loop->state().sender, RunHandle{handle.clone()});
    return handle;
}

}  // namespace cadrel::loop
