// Tasks: C++20 coroutines run by the runtime's worker threads, their wakers and
// their abort handles.
//
// A task is written as an ordinary coroutine returning `Task` and reads top to
// bottom like the algorithm it implements; each `co_await` on a runtime
// awaitable (a sleep, a readiness wait) is a suspension point. Spawning hands
// the coroutine to the runtime, which keeps it in a `TaskCore`.
//
// TaskCore state word (one atomic, changed only by CAS or fetch_or):
//
//   bit 0  RUNNING    a worker is resuming the coroutine right now
//   bit 1  NOTIFIED   the task must be resumed (it is queued, or will be
//                     queued again by the worker that is running it)
//   bit 2  COMPLETE   the coroutine frame has been destroyed; final
//   bit 3  CANCELLED  abort was requested; the next time a worker picks the
//                     task up it destroys the frame instead of resuming it
//
// The worker that finds NOTIFIED takes the task exclusively (RUNNING) so a
// frame is resumed or destroyed by one thread at a time. Cancellation only ever
// takes effect at a suspension point, on a worker thread: destroying a
// suspended frame runs the destructors of everything alive in it, which is
// how a task releases what it holds.
//
// References: the runtime's list of live tasks holds one, the run queue one
// while the task is queued, every Waker and every AbortHandle one each. The
// core is freed when the last goes; the frame goes much earlier, at completion.
#pragma once

#include <atomic>
#include <coroutine>
#include <cstdint>
#include <utility>

namespace cadrel::rt {

class Scheduler;

class TaskCore {
public:
    static constexpr std::uint32_t kRunning = 1u << 0;
    static constexpr std::uint32_t kNotified = 1u << 1;
    static constexpr std::uint32_t kComplete = 1u << 2;
    static constexpr std::uint32_t kCancelled = 1u << 3;

    TaskCore(std::coroutine_handle<> coroutine, Scheduler* scheduler)
        : coroutine_(coroutine), scheduler_(scheduler) {}
    TaskCore(const TaskCore&) = delete;
    TaskCore& operator=(const TaskCore&) = delete;

    void retain() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
    void release() noexcept;

    /// Asks for the task to be resumed. Safe from any thread, any number of times.
    void wake() noexcept;
    /// Requests cancellation; carried out by a worker at the next suspension point.
    void abort() noexcept;

    Scheduler& scheduler() const noexcept { return *scheduler_; }

    bool is_complete() const noexcept {
        return (state_.load(std::memory_order_acquire) & kComplete) != 0;
    }
    bool abort_requested() const noexcept {
        return (state_.load(std::memory_order_acquire) & kCancelled) != 0;
    }

private:
    friend class Scheduler;

    std::atomic<std::uint32_t> state_{kNotified};  // born queued
    std::atomic<std::uint32_t> refs_{1};
    std::coroutine_handle<> coroutine_;
    Scheduler* scheduler_;
    // Guarded by the scheduler's lock.
    TaskCore* queue_next_ = nullptr;
    TaskCore* live_prev_ = nullptr;
    TaskCore* live_next_ = nullptr;
};

/// A reference to a task that resumes it when woken. Awaitables keep one while
/// their task is suspended on them and call wake() when the awaited event comes.
/// An empty waker (made so, or moved from) refers to no task: a slot where a
/// waker may be parked costs one pointer.
class Waker {
public:
    Waker() noexcept = default;
    explicit Waker(TaskCore* core) noexcept : core_(core) { core_->retain(); }
    Waker(const Waker& other) noexcept : core_(other.core_) {
        if (core_) core_->retain();
    }
    Waker(Waker&& other) noexcept : core_(std::exchange(other.core_, nullptr)) {}
    Waker& operator=(Waker other) noexcept {
        std::swap(core_, other.core_);
        return *this;
    }
    ~Waker() {
        if (core_) core_->release();
    }
    /// Gives up the reference without releasing it, for a slot that packs it
    /// into a word; from_raw takes it back.
    [[nodiscard]] TaskCore* into_raw() noexcept { return std::exchange(core_, nullptr); }
    static Waker from_raw(TaskCore* core) noexcept {
        Waker waker;
        waker.core_ = core;
        return waker;
    }
    /// Not on an empty waker.
    void wake() const noexcept { core_->wake(); }
    /// Whether this waker resumes the task of `core`.
    bool wakes(const TaskCore* core) const noexcept { return core_ == core; }
    explicit operator bool() const noexcept { return core_ != nullptr; }

private:
    TaskCore* core_ = nullptr;
};

/// Requests cancellation of a spawned task. Dropping it never aborts; aborting
/// twice, or a task that has already ended, is harmless.
class AbortHandle {
public:
    AbortHandle() noexcept = default;
    explicit AbortHandle(TaskCore* core) noexcept : core_(core) {
        if (core_) core_->retain();
    }
    AbortHandle(const AbortHandle& other) noexcept : AbortHandle(other.core_) {}
    AbortHandle(AbortHandle&& other) noexcept : core_(std::exchange(other.core_, nullptr)) {}
    AbortHandle& operator=(AbortHandle other) noexcept {
        std::swap(core_, other.core_);
        return *this;
    }
    ~AbortHandle() {
        if (core_) core_->release();
    }

    void abort() const noexcept {
        if (core_) core_->abort();
    }
    /// True once the task's frame is gone (it finished, or was cancelled or dropped).
    bool is_finished() const noexcept { return core_ == nullptr || core_->is_complete(); }

private:
    TaskCore* core_ = nullptr;
};

/// The coroutine type of runtime tasks. Move-only; a Task that is never spawned
/// destroys its frame unrun.
class [[nodiscard]] Task {
public:
    struct promise_type {
        TaskCore* core = nullptr;  // set when spawned

        Task get_return_object() noexcept {
            return Task(std::coroutine_handle<promise_type>::from_promise(*this));
        }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_void() noexcept {}
        /// A task that throws ends there; the failure is reported on standard
        /// error and confined to that task.
        void unhandled_exception() noexcept;
    };
    using Handle = std::coroutine_handle<promise_type>;

    Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    Task& operator=(Task&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    ~Task() { reset(); }

    /// Gives up ownership of the frame (to the runtime).
    Handle release() noexcept { return std::exchange(handle_, nullptr); }

private:
    explicit Task(Handle handle) noexcept : handle_(handle) {}
    void reset() noexcept {
        if (handle_) std::exchange(handle_, nullptr).destroy();
    }
    Handle handle_;
};

/// Awaitable that yields the current task's Waker without suspending; the
/// building block of runtime awaitables.
struct CurrentWaker {
    TaskCore* core = nullptr;
    bool await_ready() const noexcept { return false; }
    bool await_suspend(Task::Handle handle) noexcept {
        core = handle.promise().core;
        return false;  // resume at once
    }
    Waker await_resume() const noexcept { return Waker(core); }
};

/// Awaitable that tells, without suspending, whether the current task has been
/// aborted while it runs: a task whose awaits complete at once would otherwise
/// carry on past its abort until one of them really suspends.
struct AbortRequested {
    bool requested = false;
    bool await_ready() const noexcept { return false; }
    bool await_suspend(Task::Handle handle) noexcept {
        requested = handle.promise().core->abort_requested();
        return false;  // resume at once
    }
    bool await_resume() const noexcept { return requested; }
};

/// Awaitable that suspends the task once and lets other tasks run; the task is
/// queued again at once.
struct YieldNow {
    bool await_ready() const noexcept { return false; }
    void await_suspend(Task::Handle handle) noexcept { handle.promise().core->wake(); }
    void await_resume() const noexcept {}
};

}  // namespace cadrel::rt
