// LoopMessage: what every producer posts to the loop thread over the loop channel.
#pragma once

#include "binding/host_ref.hpp"
#include "runtime/channel.hpp"

#include <variant>

namespace cadrel::loop {

using binding::HostRef;

/// Run a host handle (asyncio.Handle or TimerHandle): call its `_run()`.
struct RunHandle {
    HostRef handle;
};

/// Call `callback(*args)`. Members are released in reverse order: args, then callback.
struct RunCallback {
    HostRef callback;
    HostRef args;
};

/// End the run that takes this message off the channel.
struct Stop {};

/// Tag values are the variants' positions: RunHandle 0, RunCallback 1, Stop 2.
/// A message owns one reference to each host object it carries.
using LoopMessage = std::variant<RunHandle, RunCallback, Stop>;

using LoopSender = rt::Sender<LoopMessage>;
using LoopReceiver = rt::Receiver<LoopMessage>;

}  // namespace cadrel::loop
