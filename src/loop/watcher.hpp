// Reader and writer watchers: tasks that turn descriptor readiness into
// RunCallback messages for the loop thread.
#pragma once

#include "loop/fd_wrapper.hpp"
#include "loop/messages.hpp"
#include "runtime/readiness.hpp"
#include "runtime/task.hpp"

#include <memory>

namespace cadrel::loop {

/// Registers `fd` on its worker thread, then posts `target` once per
/// readiness it observes in `direction`, until cancelled, refused by the
/// channel, or the runtime shuts down.
rt::Task watch_descriptor(FdWrapper fd, rt::Direction direction,
                          std::shared_ptr<const WatchedCallback> target, LoopSender sender);

}  // namespace cadrel::loop
