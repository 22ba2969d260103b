// The readiness record of one descriptor registration, and waiting on it.
//
// State word (one atomic, changed by CAS):
//
//   bits 0-5    readiness set   READABLE WRITABLE READ_CLOSED WRITE_CLOSED PRIORITY ERROR
//   bits 8-39   generation      advanced by one for every kernel report
//   bit  63     shutdown        the runtime is going away: every wait fails
//
// The driver thread turns each epoll event into flags (`flags_from_epoll`),
// ORs them in and advances the generation, then wakes the waiters whose
// direction the event satisfies; wakers are taken under the waiter lock and
// woken after releasing it. A wait for one direction completes when that
// direction is ready or closed. A completed wait yields the flags and the
// generation it saw; `clear` with that result removes the non-final flags it
// reported only if the generation is unchanged, so an event that arrived in
// between is never lost. READ_CLOSED and WRITE_CLOSED are final and never
// cleared; a waiter that has already reported a final state is satisfied again
// only by a new kernel report (a new generation), so a hung-up descriptor
// produces one pass per report instead of a busy loop.
#pragma once

#include "runtime/small_mutex.hpp"
#include "runtime/task.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace cadrel::rt {

enum class Direction { kRead, kWrite };

namespace readiness {
inline constexpr std::uint64_t kReadable = 1u << 0;
inline constexpr std::uint64_t kWritable = 1u << 1;
inline constexpr std::uint64_t kReadClosed = 1u << 2;
inline constexpr std::uint64_t kWriteClosed = 1u << 3;
inline constexpr std::uint64_t kPriority = 1u << 4;
inline constexpr std::uint64_t kError = 1u << 5;
inline constexpr std::uint64_t kFlagMask = 0x3f;
inline constexpr int kGenerationShift = 8;
inline constexpr std::uint64_t kGenerationMask = 0xffffffffull << kGenerationShift;
inline constexpr std::uint64_t kShutdown = 1ull << 63;

/// The flags an epoll event sets.
std::uint64_t flags_from_epoll(std::uint32_t events) noexcept;

/// The flags that satisfy a wait in `direction` (its ready and closed flags).
/// A pending socket error wakes readers too: epoll reports it beside EPOLLOUT
/// only (a datagram socket's ICMP error), and the next read is what returns it.
constexpr std::uint64_t interest(Direction direction) {
    return direction == Direction::kRead ? (kReadable | kReadClosed | kError) : (kWritable | kWriteClosed);
}
constexpr std::uint64_t final_flags() { return kReadClosed | kWriteClosed; }
}  // namespace readiness

/// What a completed wait saw.
struct ReadyEvent {
    std::uint64_t flags = 0;       // the satisfying flags of the waited direction
    std::uint32_t generation = 0;  // the generation when they were seen
    bool shutdown = false;         // the wait failed: the runtime is going away
};

/// The wakers parked at a record, by direction. Usually one per direction,
/// kept inline; a list (shared by both directions) is made only while more
/// tasks wait at once (a replaced watcher not yet torn down beside its
/// successor), so an idle descriptor's waiting task costs no allocation here.
class ParkedWakers {
public:
    /// May throw std::bad_alloc for a second waker; nothing changes then.
    void push(Direction direction, Waker waker);
    /// Moves every waker of `direction` out through `take(Waker&&)`.
    template <class Take>
    void drain(Direction direction, Take&& take) {
        if (Waker& first = first_[index(direction)]) take(std::move(first));
        if (!more_) return;
        std::erase_if(*more_, [&](Parked& parked) {
            if (parked.direction != direction) return false;
            take(std::move(parked.waker));
            return true;
        });
        if (more_->empty()) more_.reset();
    }
    /// Removes the waker of the task `core` parked for `direction`, if any,
    /// and returns it (empty if not).
    Waker withdraw(Direction direction, const TaskCore* core) noexcept;

private:
    struct Parked {
        Direction direction;
        Waker waker;
    };
    static int index(Direction direction) noexcept { return direction == Direction::kRead ? 0 : 1; }

    Waker first_[2];
    std::unique_ptr<std::vector<Parked>> more_;
};

class ScheduledIo {
public:
    /// Driver thread: records one kernel report and wakes satisfied waiters.
    void set_readiness(std::uint32_t epoll_events) noexcept;

    /// Marks the record shut down and wakes every waiter.
    void shutdown() noexcept;

    /// Advances the generation and wakes the waiters of `direction` without a
    /// kernel report: for one that must look at the descriptor again.
    void nudge(Direction direction) noexcept;

    /// Drops the readiness flags (not the shutdown mark) and advances the
    /// generation: the registration now stands for another open file, and
    /// what the earlier one reported (a hang-up above all, which is never
    /// cleared) says nothing about it.
    void forget_readiness() noexcept;

    /// The wait's verdict on the current state: a completed event, or nullopt
    /// while it must keep waiting. `reported` is the generation of the last
    /// event this waiter handled (none before its first).
    std::optional<ReadyEvent> poll(Direction direction, std::optional<std::uint32_t> reported) const noexcept;

    /// Removes the non-final flags `event` reported, if no kernel report came since.
    void clear(const ReadyEvent& event) noexcept;

    /// Drops the non-final flags that satisfy `direction`, whatever reported
    /// them, and returns the generation: for a waiter about to ask the kernel
    /// for the descriptor's state itself, so that a flag set from here on
    /// stands for a report that came after that question.
    std::uint32_t drop_flags(Direction direction) noexcept;

    /// Parks `waker` for `direction` unless the wait is already satisfied
    /// (returns false then). The check and the parking happen under the
    /// waiter lock, so a report cannot slip between them.
    bool park_unless_ready(Direction direction, std::optional<std::uint32_t> reported, Waker waker);

    /// The generation as it stands: for a waiter about to look at the
    /// descriptor itself and then wait for the reports after that look
    /// (ReportAfter), leaving the flags to the record's other waiters.
    std::uint32_t generation() const noexcept { return generation_of(state_.load(std::memory_order_acquire)); }

    bool is_shut_down() const noexcept { return (state_.load(std::memory_order_acquire) & readiness::kShutdown) != 0; }

    /// Whether a report came, or the record was shut down, since it was at `generation`.
    bool reported_since(std::uint32_t generation) const noexcept {
        const std::uint64_t state = state_.load(std::memory_order_acquire);
        return (state & readiness::kShutdown) != 0 || generation_of(state) != generation;
    }

    /// Parks `waker` for `direction` unless reported_since(`generation`)
    /// (returns false then), under the waiter lock as park_unless_ready. A
    /// report wakes it when it leaves a flag of `direction` set.
    bool park_unless_reported_since(Direction direction, std::uint32_t generation, Waker waker);

    /// Withdraws the parked waker of the task `core` (a wait destroyed while
    /// suspended); other tasks' wakers stay.
    void unpark(Direction direction, const TaskCore* core) noexcept;

private:
    static std::uint32_t generation_of(std::uint64_t state) {
        return static_cast<std::uint32_t>((state & readiness::kGenerationMask) >> readiness::kGenerationShift);
    }

    /// Advances the generation, dropping then adding flags, in one CAS; returns the new state.
    std::uint64_t advance(std::uint64_t dropped, std::uint64_t added) noexcept;
    /// Wakes every waiter of the directions named, after the waiter lock.
    void wake_waiters(bool readers, bool writers) noexcept;

    std::atomic<std::uint64_t> state_{0};
    SmallMutex waiters_mutex_;
    // Usually one waiter per direction; two while a replaced watcher has not
    // yet been torn down. Guarded by waiters_mutex_.
    ParkedWakers waiters_;
};

/// The waker a suspended readiness wait parked, kept by the wait: whoever
/// wakes the task takes the waker, and a wait destroyed while suspended (its
/// task aborted) withdraws it. One word, as it lives in the frame of every
/// task waiting on a descriptor.
class ParkedTask {
public:
    /// Parks the task of `handle` unless the wait is already satisfied
    /// (returns false then: the task goes on).
    bool park(ScheduledIo& io, Direction direction, std::optional<std::uint32_t> reported, Task::Handle handle) {
        TaskCore* core = handle.promise().core;
        if (!io.park_unless_ready(direction, reported, Waker(core))) return false;
        core_ = core;
        return true;
    }
    /// Parks the task of `handle` until a report after `generation` (returns
    /// false if one came already: the task goes on).
    bool park_until_report(ScheduledIo& io, Direction direction, std::uint32_t generation, Task::Handle handle) {
        TaskCore* core = handle.promise().core;
        if (!io.park_unless_reported_since(direction, generation, Waker(core))) return false;
        core_ = core;
        return true;
    }
    /// The task runs again: whoever woke it took the waker.
    void woken() noexcept { core_ = nullptr; }
    /// Withdraws the waker if the task is still parked. The owning wait's destructor.
    void withdraw(ScheduledIo& io, Direction direction) noexcept {
        if (core_) io.unpark(direction, core_);
    }

private:
    TaskCore* core_ = nullptr;
};

/// `co_await ReadinessWait(io, direction, reported)`: suspends until `poll`
/// would complete and yields what it saw. Destroying the suspended wait (task
/// cancellation) withdraws its waker.
class ReadinessWait {
public:
    ReadinessWait(ScheduledIo& io, Direction direction, std::optional<std::uint32_t> reported) noexcept
        : io_(io), direction_(direction), reported_(reported) {}
    ReadinessWait(const ReadinessWait&) = delete;
    ReadinessWait& operator=(const ReadinessWait&) = delete;
    ~ReadinessWait() { parked_.withdraw(io_, direction_); }

    bool await_ready() const noexcept { return io_.poll(direction_, reported_).has_value(); }
    bool await_suspend(Task::Handle handle) { return parked_.park(io_, direction_, reported_, handle); }
    /// The event, or nullopt for a wake that did not satisfy the wait (the
    /// caller waits again).
    std::optional<ReadyEvent> await_resume() noexcept {
        parked_.woken();
        return io_.poll(direction_, reported_);
    }

private:
    ScheduledIo& io_;
    Direction direction_;
    std::optional<std::uint32_t> reported_;
    ParkedTask parked_;
};

/// `co_await ReportAfter(io, direction, generation)`: suspends until a report
/// after `generation` that leaves a flag of `direction` set (or a nudge of
/// `direction`, or a shutdown),
/// and yields whether one came (false: a wake without one; await again). For
/// a task that has handed on what it saw and waits for news before it does
/// anything else. Destroying the suspended wait withdraws its waker.
class ReportAfter {
public:
    ReportAfter(ScheduledIo& io, Direction direction, std::uint32_t generation) noexcept
        : io_(io), direction_(direction), generation_(generation) {}
    ReportAfter(const ReportAfter&) = delete;
    ReportAfter& operator=(const ReportAfter&) = delete;
    ~ReportAfter() { parked_.withdraw(io_, direction_); }

    bool await_ready() const noexcept { return io_.reported_since(generation_); }
    bool await_suspend(Task::Handle handle) {
        return parked_.park_until_report(io_, direction_, generation_, handle);
    }
    bool await_resume() noexcept {
        parked_.woken();
        return io_.reported_since(generation_);
    }

private:
    ScheduledIo& io_;
    Direction direction_;
    std::uint32_t generation_;
    ParkedTask parked_;
};

}  // namespace cadrel::rt
