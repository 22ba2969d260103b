// Min-heap of sleeping tasks.
#include "runtime/timer_queue.hpp"

#include <algorithm>

namespace cadrel::rt {

bool TimerQueue::insert(Clock::time_point deadline, Waker waker) {
    std::lock_guard lock(mutex_);
    const std::uint64_t sequence = next_sequence_++;
    heap_.push_back(Entry{deadline, sequence, std::move(waker)});
    std::push_heap(heap_.begin(), heap_.end(), later);
    const bool earliest = heap_.front().sequence == sequence;
    if (earliest) publish_earliest();
    return earliest;
}

void TimerQueue::publish_earliest() noexcept {
    earliest_.store(heap_.empty() ? kNoDeadline : heap_.front().deadline.time_since_epoch().count(),
                    std::memory_order_release);
}

std::optional<TimerQueue::Clock::time_point> TimerQueue::next_deadline() const {
    const Clock::rep earliest = earliest_.load(std::memory_order_acquire);
    if (earliest == kNoDeadline) return std::nullopt;
    return Clock::time_point(Clock::duration(earliest));
}

std::size_t TimerQueue::fire_due_now() {
    if (earliest_.load(std::memory_order_acquire) == kNoDeadline) return 0;
    return fire_due(Clock::now());
}

std::size_t TimerQueue::fire_due(Clock::time_point now) {
    // Nothing due: no lock. (A sleeper added meanwhile wakes the waiting
    // thread itself when it is the earliest, so it is not missed.)
    if (earliest_.load(std::memory_order_acquire) > now.time_since_epoch().count()) return 0;
    std::vector<Waker> due;
    {
        std::lock_guard lock(mutex_);
        while (!heap_.empty() && heap_.front().deadline <= now) {
            std::pop_heap(heap_.begin(), heap_.end(), later);
            due.push_back(std::move(heap_.back().waker));
            heap_.pop_back();
        }
        if (!due.empty()) publish_earliest();
    }
    // Woken outside the lock: waking queues the task on the scheduler.
    for (const Waker& waker : due) waker.wake();
    return due.size();
}

std::size_t TimerQueue::size() const {
    std::lock_guard lock(mutex_);
    return heap_.size();
}

void TimerQueue::clear() {
    std::vector<Entry> dropped;
    {
        std::lock_guard lock(mutex_);
        dropped.swap(heap_);
        publish_earliest();
    }
}

}  // namespace cadrel::rt
