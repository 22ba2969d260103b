// Readiness records: flags from epoll events, waits and generation-checked clears.
#include "runtime/readiness.hpp"

#include <mutex>
#include <sys/epoll.h>

namespace cadrel::rt {

namespace readiness {

std::uint64_t flags_from_epoll(std::uint32_t events) noexcept {
    std::uint64_t flags = 0;
    if (events & (EPOLLIN | EPOLLPRI)) flags |= kReadable;
    if (events & EPOLLOUT) flags |= kWritable;
    if ((events & EPOLLHUP) || ((events & EPOLLIN) && (events & EPOLLRDHUP))) flags |= kReadClosed;
    if ((events & EPOLLHUP) || events == EPOLLERR || ((events & EPOLLOUT) && (events & EPOLLERR)))
        flags |= kWriteClosed;
    if (events & EPOLLPRI) flags |= kPriority;
    if (events & EPOLLERR) flags |= kError;
    return flags;
}

}  // namespace readiness

using namespace readiness;

std::uint64_t ScheduledIo::advance(std::uint64_t dropped, std::uint64_t added) noexcept {
    std::uint64_t state = state_.load(std::memory_order_acquire);
    std::uint64_t next = 0;
    do {
        const std::uint64_t generation = (generation_of(state) + 1ull) << kGenerationShift;
        next = (state & ~(kGenerationMask | dropped)) | (generation & kGenerationMask) | added;
    } while (!state_.compare_exchange_weak(state, next, std::memory_order_acq_rel, std::memory_order_acquire));
    return next;
}

void ScheduledIo::set_readiness(std::uint32_t epoll_events) noexcept {
    const std::uint64_t next = advance(0, flags_from_epoll(epoll_events));
    // Every report advances the generation, which may satisfy a waiter that
    // last saw a final state, so wake the waiters of each direction whose
    // interest is set; a waiter that is not satisfied parks again.
    wake_waiters((next & interest(Direction::kRead)) != 0, (next & interest(Direction::kWrite)) != 0);
}

void ScheduledIo::nudge(Direction direction) noexcept {
    advance(0, 0);
    wake_waiters(direction == Direction::kRead, direction == Direction::kWrite);
}

void ScheduledIo::wake_waiters(bool readers, bool writers) noexcept {
    // Wakers are moved out under the lock (into a small local buffer: no
    // allocation in the usual case) and woken after releasing it.
    constexpr std::size_t kInline = 4;
    Waker inline_woken[kInline];
    std::vector<Waker> overflow;
    std::size_t count = 0;
    {
        std::lock_guard lock(waiters_mutex_);
        for (Direction direction : {Direction::kRead, Direction::kWrite}) {
            if (!(direction == Direction::kRead ? readers : writers)) continue;
            waiters_.drain(direction, [&](Waker&& waker) {
                if (count < kInline) inline_woken[count++] = std::move(waker);
                else overflow.push_back(std::move(waker));
            });
        }
    }
    for (std::size_t i = 0; i < count; ++i) inline_woken[i].wake();
    for (const Waker& waker : overflow) waker.wake();
}

void ScheduledIo::shutdown() noexcept {
    state_.fetch_or(kShutdown, std::memory_order_acq_rel);
    std::vector<Waker> woken;
    {
        std::lock_guard lock(waiters_mutex_);
        for (Direction direction : {Direction::kRead, Direction::kWrite}) {
            waiters_.drain(direction, [&](Waker&& waker) { woken.push_back(std::move(waker)); });
        }
    }
    for (const Waker& waker : woken) waker.wake();
}

void ScheduledIo::forget_readiness() noexcept { advance(kFlagMask, 0); }

std::optional<ReadyEvent> ScheduledIo::poll(Direction direction,
                                           std::optional<std::uint32_t> reported) const noexcept {
    const std::uint64_t state = state_.load(std::memory_order_acquire);
    if (state & kShutdown) return ReadyEvent{0, generation_of(state), true};
    const std::uint64_t satisfying = state & interest(direction);
    if (satisfying == 0) return std::nullopt;
    const std::uint32_t generation = generation_of(state);
    // A final state alone satisfies the wait once per kernel report.
    if ((satisfying & ~final_flags()) == 0 && reported && *reported == generation) return std::nullopt;
    return ReadyEvent{satisfying, generation, false};
}

void ScheduledIo::clear(const ReadyEvent& event) noexcept {
    const std::uint64_t clearable = event.flags & ~final_flags();
    if (clearable == 0) return;
    std::uint64_t state = state_.load(std::memory_order_acquire);
    while (generation_of(state) == event.generation) {
        if (state_.compare_exchange_weak(state, state & ~clearable, std::memory_order_acq_rel,
                                         std::memory_order_acquire))
            return;
    }
    // A report arrived after the wait saw its flags: keep them, so the next
    // wait completes at once and nothing is lost.
}

std::uint32_t ScheduledIo::drop_flags(Direction direction) noexcept {
    const std::uint64_t dropped = interest(direction) & ~final_flags();
    return generation_of(state_.fetch_and(~dropped, std::memory_order_acq_rel));
}

bool ScheduledIo::park_unless_ready(Direction direction, std::optional<std::uint32_t> reported, Waker waker) {
    std::lock_guard lock(waiters_mutex_);
    // set_readiness updates the state before taking this lock, so a report
    // is either seen here or finds the waker parked.
    if (poll(direction, reported)) return false;
    waiters_.push(direction, std::move(waker));
    return true;
}

bool ScheduledIo::park_unless_reported_since(Direction direction, std::uint32_t generation, Waker waker) {
    std::lock_guard lock(waiters_mutex_);
    if (reported_since(generation)) return false;
    waiters_.push(direction, std::move(waker));
    return true;
}

void ScheduledIo::unpark(Direction direction, const TaskCore* core) noexcept {
    Waker withdrawn;  // released after the lock
    std::lock_guard lock(waiters_mutex_);
    withdrawn = waiters_.withdraw(direction, core);
}

void ParkedWakers::push(Direction direction, Waker waker) {
    Waker& first = first_[index(direction)];
    if (!first) {
        first = std::move(waker);
        return;
    }
    if (!more_) more_ = std::make_unique<std::vector<Parked>>();
    more_->push_back(Parked{direction, std::move(waker)});
}

Waker ParkedWakers::withdraw(Direction direction, const TaskCore* core) noexcept {
    if (Waker& first = first_[index(direction)]; first.wakes(core)) return std::move(first);
    if (!more_) return {};
    for (auto it = more_->begin(); it != more_->end(); ++it) {
        if (it->direction == direction && it->waker.wakes(core)) {
            Waker withdrawn = std::move(it->waker);
            more_->erase(it);
            if (more_->empty()) more_.reset();
            return withdrawn;
        }
    }
    return {};
}

}  // namespace cadrel::rt
