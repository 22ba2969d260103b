// TimerHeap: the loop thread's scheduled asyncio.TimerHandles.
//
// A binary min-heap of (when, sequence, handle); equal deadlines run in the
// order they were scheduled. Cancelling a TimerHandle only counts it here
// (asyncio calls loop._timer_handle_cancelled); once cancelled entries are more
// than half of a heap of at least kMinCompactSize, the heap is rebuilt without
// them, so the memory of cancelled timers is given back while cancelling goes
// on, at amortised O(1) per cancel, instead of at their deadlines. Loop thread
// only; the caller is attached to the interpreter.
#pragma once

#include "binding/handle_layout.hpp"
#include "binding/host_ref.hpp"

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace cadrel::aio {

class TimerHeap {
public:
    static constexpr std::size_t kMinCompactSize = 100;

    void push(double when, binding::HostRef handle);

    /// The earliest deadline, if any timer is queued (cancelled ones included).
    std::optional<double> next_when() const;

    /// Removes and returns the earliest handle if its deadline is at or before `limit`.
    binding::HostRef pop_due(double limit);

    /// A timer handle was cancelled while scheduled; compacts when worthwhile.
    void note_cancelled();

    /// Drops the count of a cancelled handle that left the heap by popping.
    void forget_cancelled() noexcept {
        if (cancelled_ > 0) --cancelled_;
    }

    std::size_t size() const noexcept { return entries_.size(); }
    std::size_t cancelled_count() const noexcept { return cancelled_; }

    /// Moves every handle out (the caller releases them where it may).
    std::vector<binding::HostRef> take_all() noexcept;

    int traverse(visitproc visit, void* arg) const;

private:
    struct Entry {
        double when;
        std::uint64_t sequence;
        binding::HostRef handle;
    };
    static bool later(const Entry& a, const Entry& b) {
        if (a.when != b.when) return a.when > b.when;
        return a.sequence > b.sequence;
    }
    void compact();

    std::vector<Entry> entries_;
    std::uint64_t next_sequence_ = 0;
    std::size_t cancelled_ = 0;
};

/// Whether an asyncio handle's `_cancelled` is true. Throws on a host error.
bool handle_cancelled(PyObject* handle);
/// The same, read through `layout` (its class's layout, or null: read the attribute).
bool handle_cancelled(PyObject* handle, const binding::HandleLayout* layout);

}  // namespace cadrel::aio
