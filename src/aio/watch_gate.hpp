// WatchGate: the loop thread's permission for a watcher task to report again.
//
// A descriptor watcher reports readiness once, then waits for a later report
// and at its gate, which the loop thread opens once it has run the callback.
// That is what makes watchers level-triggered without spinning: a descriptor
// that stays ready is reported again after each callback, never while one is
// queued. It is a StreamGate with a lock of its own, since a watcher has no
// stream state to share one with.
//
// The loop thread usually asks the kernel itself whether the descriptor is
// still ready, for all the watchers whose callbacks ran in a pass at once; it
// queues the callback of one still ready again at once (its gate stays
// closed), and opens the gate of one found not ready with the readiness
// record's generation at the question: reports up to that one are used up.
#pragma once

#include "aio/stream_gate.hpp"
#include "runtime/small_mutex.hpp"

#include <atomic>
#include <cstdint>
#include <optional>

namespace cadrel::aio {

class WatchGate {
public:
    /// Any thread: lets the watcher pass once more; it asks the kernel itself
    /// (the caller also wakes it if it waits for a report: see let_watcher_ask).
    void open() noexcept { gate_.open(mutex_); }

    /// Loop thread: lets the watcher pass once the descriptor, found not ready
    /// when the record was at generation `asked_at`, is reported after that.
    void open_after(std::uint32_t asked_at) noexcept {
        asked_at_.store(kAsked | asked_at, std::memory_order_relaxed);  // published by the gate's lock
        gate_.open(mutex_);
    }

    /// `co_await gate.pass()`: waits until opened, then closes it again.
    auto pass() noexcept { return gate_.pass(mutex_); }

    /// After a pass: the generation open_after() gave, if it opened the gate.
    std::optional<std::uint32_t> take_asked_at() noexcept {
        const std::uint64_t asked = asked_at_.exchange(0, std::memory_order_relaxed);
        if (asked == 0) return std::nullopt;
        return static_cast<std::uint32_t>(asked);
    }

private:
    static constexpr std::uint64_t kAsked = std::uint64_t{1} << 32;

    rt::SmallMutex mutex_;
    StreamGate gate_;
    std::atomic<std::uint64_t> asked_at_{0};
};

}  // namespace cadrel::aio
