// LoopMessage: what every producer posts to the loop thread over the loop channel.
#pragma once

#include "binding/host_ref.hpp"
#include "runtime/channel.hpp"

#include <memory>
#include <variant>

namespace cadrel::loop {

using binding::HostRef;

/// Run a host handle (asyncio.Handle or TimerHandle): call its `_run()`.
struct RunHandle {
    HostRef handle;
};

/// A descriptor callback and its argument tuple, shared by the watcher that
/// posts them and every message it has posted. Copying the pointer touches no
/// reference count of the host, so a worker posts without entering the
/// interpreter; the host references go when the last holder lets the box go
/// (through the pending-release list when that is a worker). Members are
/// released in reverse order: args, then callback.
struct WatchedCallback {
    HostRef callback;
    HostRef args;
};

/// Call `callback(*args)` of the shared box.
struct RunCallback {
    std::shared_ptr<const WatchedCallback> target;
};

/// End the run that takes this message off the channel.
struct Stop {};

/// Tag values are the variants' positions: RunHandle 0, RunCallback 1, Stop 2.
/// A RunHandle owns one reference to its handle; a RunCallback shares its box.
using LoopMessage = std::variant<RunHandle, RunCallback, Stop>;

using LoopSender = rt::Sender<LoopMessage>;
using LoopReceiver = rt::Receiver<LoopMessage>;

}  // namespace cadrel::loop
