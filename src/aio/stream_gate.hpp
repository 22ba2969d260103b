// StreamGate: the loop thread's permission for a stream's worker task to go on.
//
// Guarded by a mutex the caller passes in: a stream has two gates under its
// own mutex and most streams are idle, so the gates carry no mutex of their
// own (a watcher's WatchGate pairs one with its lock). A gate is closed, open,
// or closed with one task parked at it (opening takes the task's waker), so
// the three states share one word: 0, 1, or the parked task's core, whose
// reference the gate holds. The waker is woken after the mutex is released.
#pragma once

#include "runtime/small_mutex.hpp"
#include "runtime/task.hpp"

#include <cstdint>
#include <mutex>
#include <utility>

namespace cadrel::aio {

class StreamGate {
public:
    StreamGate() noexcept = default;
    StreamGate(const StreamGate&) = delete;
    StreamGate& operator=(const StreamGate&) = delete;
    ~StreamGate() { (void)take_parked(); }

    /// Any thread, `mutex` not held: lets the task pass once more.
    void open(rt::SmallMutex& mutex) noexcept {
        rt::Waker parked;
        {
            std::lock_guard lock(mutex);
            parked = take_parked();
            word_ = kOpen;
        }
        if (parked) parked.wake();
    }

    /// `co_await gate.pass(mutex)`: waits until opened, then closes it again.
    auto pass(rt::SmallMutex& mutex) noexcept { return Passage<GateAndMutex>{{this, &mutex}}; }

    /// The same for the gate of `place`, which has `gate()` and `mutex()`: a
    /// waiting task's frame keeps the passage, and one reference to the
    /// gate's owner is a word smaller than two.
    template <class Place>
    static auto pass_at(Place place) noexcept { return Passage<Place>{place}; }

private:
    static constexpr std::uintptr_t kClosed = 0;
    static constexpr std::uintptr_t kOpen = 1;  // no core lives at address 1

    /// Under the mutex: the parked task's waker (empty if none); the gate is left closed.
    rt::Waker take_parked() noexcept {
        if (word_ == kClosed || word_ == kOpen) return rt::Waker();
        return rt::Waker::from_raw(reinterpret_cast<rt::TaskCore*>(std::exchange(word_, kClosed)));
    }
    /// Under the mutex: closes an open gate; true if it was open.
    bool close_if_open() noexcept {
        if (word_ != kOpen) return false;
        word_ = kClosed;
        return true;
    }

    struct GateAndMutex {
        StreamGate* gate_;
        rt::SmallMutex* mutex_;
        StreamGate& gate() const noexcept { return *gate_; }
        rt::SmallMutex& mutex() const noexcept { return *mutex_; }
    };

    template <class Place>
    struct Passage {
        Place place;
        bool await_ready() noexcept { return take(); }
        bool await_suspend(rt::Task::Handle handle) {
            rt::Waker replaced;  // released after the lock: it may free a core
            std::lock_guard lock(place.mutex());
            StreamGate& gate = place.gate();
            if (gate.close_if_open()) return false;
            replaced = gate.take_parked();
            gate.word_ = reinterpret_cast<std::uintptr_t>(rt::Waker(handle.promise().core).into_raw());
            return true;
        }
        void await_resume() noexcept { take(); }
        ~Passage() {
            // A task destroyed while parked (aborted) drops its waker here,
            // after the lock: releasing it may free the task's core.
            rt::Waker dropped;
            std::lock_guard lock(place.mutex());
            dropped = place.gate().take_parked();
        }
        bool take() noexcept {
            std::lock_guard lock(place.mutex());
            return place.gate().close_if_open();
        }
    };

    // Guarded by the stream's mutex. A new gate is open: a new task may go at once.
    std::uintptr_t word_ = kOpen;
};

}  // namespace cadrel::aio
