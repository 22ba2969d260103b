// call_soon and call_soon_threadsafe: build an asyncio.Handle and post it.
#include "binding/handle_layout.hpp"
#include "binding/loop_object.hpp"
#include "loop/host_names.hpp"
#include "loop/methods.hpp"
#include "loop/posting.hpp"

namespace cadrel::loop {

namespace {
bool debug_mode(LoopObject* loop) {
    binding::SharedBorrow borrow(loop);
    return loop->state().debug.load(std::memory_order_relaxed);
}
}  // namespace

HostRef call_soon(LoopObject* loop, PyObject* callback, HostRef args, HostRef context) {
    HostRef asyncio = binding::import_module(names::asyncio);
    HostRef handle_class = binding::get_attr(asyncio.get(), names::handle_class);
    HostRef handle;
    // asyncio's own, unchanged Handle class is filled in directly; its __init__
    // would store the same values (it asks the loop for its debug mode, which
    // a CadrelLoop of this exact type answers from its state; debug mode keeps
    // the call, which records where the handle was made).
    const binding::HandleLayout* layout = binding::HandleLayout::builder(handle_class.get());
    if (layout && Py_IS_TYPE(loop->as_object(), binding::loop_type()) && !debug_mode(loop)) {
        handle = layout->build(callback, args.get(), loop->as_object(), context.get());
    } else {
        // Handle(callback, args, loop=loop[, context=context]).
        handle = make_handle(handle_class.get(), std::array{callback, args.get()}, loop->as_object(),
                             context.get());
    }
    binding::SharedBorrow borrow(loop);
    post(loop->state().sender, RunHandle{handle.clone()});
    return handle;
}

}  // namespace cadrel::loop
