// WatchGate: the loop thread's permission for a watcher task to report again.
//
// A descriptor watcher reports readiness once, then waits at its gate until the
// loop thread has run the callback and opens it. That is what makes watchers
// level-triggered without spinning: a descriptor that stays ready is reported
// again after each callback, never while one is queued. It is a StreamGate
// with a lock of its own, since a watcher has no stream state to share one with.
#pragma once

#include "aio/stream_gate.hpp"
#include "runtime/small_mutex.hpp"

namespace cadrel::aio {

class WatchGate {
public:
    /// Any thread: lets the watcher pass once more.
    void open() noexcept { gate_.open(mutex_); }

    /// `co_await gate.pass()`: waits until opened, then closes it again.
    auto pass() noexcept { return gate_.pass(mutex_); }

private:
    rt::SmallMutex mutex_;
    StreamGate gate_;
};

}  // namespace cadrel::aio
