// Host module, attribute and keyword names that the method bodies use.
#pragma once

#include "binding/host_calls.hpp"

namespace cadrel::loop::names {

using binding::InternedName;
using binding::KeywordNames;

inline const InternedName asyncio{"asyncio"};
inline const InternedName asyncio_events{"asyncio.events"};
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

inline const KeywordNames loop_keyword{"loop"};
inline const KeywordNames loop_context_keywords{"loop", "context"};

}  // namespace cadrel::loop::names
