// call_soon and call_soon_threadsafe: build an asyncio.Handle and post it.
#include "loop/host_names.hpp"
#include "loop/methods.hpp"
#include "loop/posting.hpp"

namespace cadrel::loop {

HostRef call_soon(LoopObject* loop, PyObject* callback, HostRef args, HostRef context) {
    HostRef asyncio = binding::import_module(names::asyncio);
    HostRef handle_class = binding::get_attr(asyncio.get(), names::handle_class);
    // Handle(callback, args, loop=loop[, context=context]); "context" only when given.
    HostRef handle =
        context ? binding::call(handle_class.get(), {callback, args.get(), loop->as_object(), context.get()},
                                names::loop_context_keywords.get())
                : binding::call(handle_class.get(), {callback, args.get(), loop->as_object()},
                                names::loop_keyword.get());
    binding::SharedBorrow borrow(loop);
    post(loop->state().sender, RunHandle{handle.clone()});
    return handle;
}

}  // namespace cadrel::loop
