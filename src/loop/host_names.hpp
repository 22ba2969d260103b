// Host module, attribute and keyword names that the method bodies use.
#pragma once

#include "binding/handle_layout.hpp"
#include "binding/host_calls.hpp"
#include "binding/loop_object.hpp"

#include <algorithm>
#include <array>
#include <cstddef>

namespace cadrel::loop::names {

using binding::InternedName;
using binding::KeywordNames;

inline const InternedName asyncio{"asyncio"};
inline const InternedName events{"events"};
inline const InternedName set_running_loop{"_set_running_loop"};
inline const InternedName handle_class{"Handle"};
inline const InternedName timer_handle_class{"TimerHandle"};
inline const InternedName task_class{"Task"};
inline const InternedName get_running_loop{"get_running_loop"};
inline const InternedName isfuture{"isfuture"};
inline const InternedName add_done_callback{"add_done_callback"};
inline const InternedName result{"result"};
inline const InternedName stop_cb{"_stop_cb"};
inline const InternedName run{"_run"};
inline const InternedName cancelled{"_cancelled"};

inline const KeywordNames loop_keyword{"loop"};
inline const KeywordNames loop_context_keywords{"loop", "context"};

}  // namespace cadrel::loop::names

namespace cadrel::loop {

/// `handle_class(*positional, loop=loop[, context=context])`: how every handle
/// is built; "context" is passed only when one was given.
template <std::size_t N>
binding::HostRef make_handle(PyObject* handle_class, const std::array<PyObject*, N>& positional,
                             PyObject* loop, PyObject* context) {
    std::array<PyObject*, N + 2> stack{};
    std::copy(positional.begin(), positional.end(), stack.begin());
    stack[N] = loop;
    stack[N + 1] = context;
    PyObject* keywords = context ? names::loop_context_keywords.get() : names::loop_keyword.get();
    return binding::check(PyObject_Vectorcall(handle_class, stack.data(), N, keywords));
}

/// Whether a handle's __init__ would find debug mode off on `loop`: a loop of
/// exactly this type answers get_debug from its state.
inline bool init_sees_debug_off(binding::LoopObject* loop) {
    if (!Py_IS_TYPE(loop->as_object(), binding::loop_type())) return false;
    binding::SharedBorrow borrow(loop);
    return !loop->state().debug.load(std::memory_order_relaxed);
}

/// As make_handle, for Handle (callback, args) and TimerHandle (when,
/// callback, args): asyncio's own unchanged classes are filled in directly
/// with what their __init__ would store when it finds debug mode off (debug
/// mode keeps the call, which records where the handle was made).
template <std::size_t N>
binding::HostRef build_handle(PyObject* handle_class, const std::array<PyObject*, N>& positional,
                              binding::LoopObject* loop, PyObject* context) {
    static_assert(N == 2 || N == 3, "Handle takes (callback, args), TimerHandle (when, callback, args)");
    const binding::HandleLayout* layout = binding::HandleLayout::builder(handle_class);
    if (layout && layout->is_timer() == (N == 3) && init_sees_debug_off(loop)) {
        if constexpr (N == 3)
            return layout->build_timer(positional[0], positional[1], positional[2], loop->as_object(), context);
        else
            return layout->build(positional[0], positional[1], loop->as_object(), context);
    }
    return make_handle(handle_class, positional, loop->as_object(), context);
}

}  // namespace cadrel::loop
