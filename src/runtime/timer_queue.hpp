// The time driver's queue of sleeping tasks.
//
// A binary min-heap of (deadline, sequence, waker), guarded by a mutex.
// Equal deadlines fire in the order they were added (the sequence breaks
// ties). Inserting and firing cost O(log n); a pending timer costs one heap
// entry (24 bytes) besides its task. The worker that owns the driver's wait
// sleeps until `next_deadline()`; after every wait it calls `fire_due()`, which
// pops what is due under the lock and wakes those tasks after releasing it.
// The earliest deadline is also published in an atomic, so the waits that
// happen around every event read it, and find nothing due, without the lock.
#pragma once

#include "runtime/task.hpp"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace cadrel::rt {

class TimerQueue {
public:
    using Clock = std::chrono::steady_clock;

    /// Adds a sleeper. Returns true when it is now the earliest deadline, so
    /// the worker waiting in the driver must wake up and wait less.
    bool insert(Clock::time_point deadline, Waker waker);

    /// The earliest deadline, if any sleeper is queued. A sleeper at the
    /// clock's last instant, which never comes, counts as no deadline.
    std::optional<Clock::time_point> next_deadline() const;

    /// Wakes every sleeper whose deadline is at or before `now`; returns how many.
    std::size_t fire_due(Clock::time_point now);

    /// fire_due(Clock::now()), without reading the clock when nothing is queued.
    std::size_t fire_due_now();

    std::size_t size() const;

    /// Drops every entry (their tasks are destroyed elsewhere), on shutdown.
    void clear();

private:
    struct Entry {
        Clock::time_point deadline;
        std::uint64_t sequence;
        Waker waker;
    };
    /// Heap order: the earliest (deadline, sequence) on top.
    static bool later(const Entry& a, const Entry& b) {
        if (a.deadline != b.deadline) return a.deadline > b.deadline;
        return a.sequence > b.sequence;
    }

    /// Publishes the top of the heap; caller holds mutex_.
    void publish_earliest() noexcept;

    static constexpr Clock::rep kNoDeadline = Clock::duration::max().count();

    mutable std::mutex mutex_;
    /// The earliest deadline's count of clock ticks (kNoDeadline: none),
    /// written under mutex_ whenever the heap's top changes.
    std::atomic<Clock::rep> earliest_{kNoDeadline};
    std::vector<Entry> heap_;           // guarded by mutex_
    std::uint64_t next_sequence_ = 0;   // guarded by mutex_
};

}  // namespace cadrel::rt
