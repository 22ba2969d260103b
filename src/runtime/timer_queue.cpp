// Min-heap of sleeping tasks.
#include "runtime/timer_queue.hpp"

#include <algorithm>

namespace cadrel::rt {

bool TimerQueue::insert(Clock::time_point deadline, Waker waker) {
    std::lock_guard lock(mutex_);
    const std::uint64_t sequence = next_sequence_++;
    heap_.push_back(Entry{deadline, sequence, std::move(waker)});
    std::push_heap(heap_.begin(), heap_.end(), later);
    return heap_.front().sequence == sequence;
}

std::optional<TimerQueue::Clock::time_point> TimerQueue::next_deadline() const {
    std::lock_guard lock(mutex_);
    if (heap_.empty()) return std::nullopt;
    return heap_.front().deadline;
}

std::size_t TimerQueue::fire_due(Clock::time_point now) {
    std::vector<Waker> due;
    {
        std::lock_guard lock(mutex_);
        while (!heap_.empty() && heap_.front().deadline <= now) {
            std::pop_heap(heap_.begin(), heap_.end(), later);
            due.push_back(std::move(heap_.back().waker));
            heap_.pop_back();
        }
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
    }
}

}  // namespace cadrel::rt
