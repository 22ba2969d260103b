// Posting a message from a host thread, where a refusal becomes "loop closed".
#pragma once

#include "binding/errors.hpp"
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

}  // namespace cadrel::loop
