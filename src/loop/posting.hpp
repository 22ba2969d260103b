// Posting a message from a host thread, where a refusal becomes "loop closed".
#pragma once

#include "binding/errors.hpp"
#include "loop/event_loop.hpp"
#include "loop/messages.hpp"

namespace cadrel::loop {

/// Sends `message`; when the channel refuses it, releases it and raises
/// RuntimeError "loop closed". Caller is attached.
inline void post(const LoopSender& sender, LoopMessage message) {
    if (std::optional<LoopMessage> refused = sender.send(std::move(message))) {
        refused.reset();
        binding::raise_error(PyExc_RuntimeError, "loop closed");
    }
}

/// Refuses work that needs the runtime's workers in a child process made by
/// fork(), where those threads do not exist. Caller is attached.
inline void require_runtime_in_this_process(const CadrelEventLoop& state) {
    if (!state.runtime.handle().is_usable_in_this_process())
        binding::raise_error(PyExc_RuntimeError,
                             "this CadrelLoop was created before os.fork(): its worker threads do not "
                             "exist in this process; create a new CadrelLoop here");
}

}  // namespace cadrel::loop
