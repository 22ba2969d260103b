// Host module, attribute and keyword names that the method bodies use.
#pragma once

#include "binding/host_calls.hpp"

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

}  // namespace cadrel::loop
