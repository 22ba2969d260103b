// Worker threads, run queue and shutdown.
#include "runtime/scheduler.hpp"

#include "runtime/os_error.hpp"
#include "runtime/panic.hpp"
#include "runtime/thread_util.hpp"

#include <atomic>
#include <latch>
#include <new>
#include <pthread.h>
#include <unistd.h>
#include <cerrno>
#include <ctime>

namespace cadrel::rt {

namespace {
thread_local const Scheduler* current_worker_of = nullptr;
/// Set while this thread, as the guest, handles what the driver's wait
/// brought: tasks it wakes then are kept for it to run (see leave()).
thread_local const Scheduler* collecting_for = nullptr;
// The scheduler whose guest this thread is, from begin() to done(): tasks it
// makes runnable (a wake, a spawn) while the wait is kept for it go on its
// private list too, and run on this thread in its next round in the wait, so
// that scheduling a timer or re-arming a watcher between two waits wakes no
// worker. They go to the workers instead when it cannot take the wait or stays
// away from it. Named by the scheduler's serial number, not its address: a
// thread that began and was never done must not take a later scheduler at the
// same address for its own.
thread_local std::uint64_t deferring_for = 0;

/// Schedulers made so far: the last one's serial number.
std::atomic<std::uint64_t> schedulers_made{0};

/// How long a guest may stay away from the wait before a worker takes it.
constexpr auto kGuestAwayLimit = std::chrono::milliseconds(10);

/// The monotonic clock at the kernel's tick (a few milliseconds): plenty for
/// kGuestAwayLimit, and read without the time stamp counter, in a few
/// nanoseconds rather than some twenty, twice for every event the guest handles.
std::chrono::nanoseconds coarse_now() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

/// The least timer slack the kernel takes: timed waits end when they are due.
constexpr unsigned long kExactTimers = 1;

/// The guest thread's own timer slack while its waits have it lowered (0: not lowered).
thread_local unsigned long guest_saved_timer_slack = 0;

/// Forks this process has been through, counted in each child. The guest's
/// calls, made for every wait, compare it instead of asking the kernel for
/// the process id (getpid is a system call under current C libraries).
std::atomic<std::uint64_t> forks_seen{0};

void count_fork_in_child() noexcept { forks_seen.fetch_add(1, std::memory_order_relaxed); }

void watch_forks() noexcept {
    [[maybe_unused]] static const int registered = pthread_atfork(nullptr, nullptr, &count_fork_in_child);
}
}

Scheduler::Scheduler(std::size_t worker_count, std::string thread_name,
                     std::function<void()> on_thread_stop)
    : worker_count_(worker_count == 0 ? 1 : worker_count),
      thread_name_(std::move(thread_name)),
      on_thread_stop_(std::move(on_thread_stop)),
      serial_(schedulers_made.fetch_add(1, std::memory_order_relaxed) + 1) {}

Scheduler::~Scheduler() { shutdown(); }

void Scheduler::start() {
    watch_forks();
    forks_at_start_ = forks_seen.load(std::memory_order_relaxed);
    owner_pid_ = getpid();
    threads_.reserve(worker_count_);
    // Return only once every worker has named itself, so the threads show
    // under their name as soon as the runtime exists.
    std::latch named(static_cast<std::ptrdiff_t>(worker_count_));
    try {
        for (std::size_t i = 0; i < worker_count_; ++i)
            threads_.emplace_back(
                [this, &named] {
                    set_current_thread_name(thread_name_);
                    set_current_timer_slack(kExactTimers);  // timers fire when due, not up to 50 us later
                    named.count_down();
                    worker_main();
                },
                kWorkerStackSize);
    } catch (const std::exception& error) {
        named.count_down(static_cast<std::ptrdiff_t>(worker_count_ - threads_.size()));
        named.wait();
        shutdown();
        if (const auto* os_error = dynamic_cast<const OsError*>(&error)) throw *os_error;
        throw OsError(ENOMEM);
    }
    named.wait();
}

AbortHandle Scheduler::spawn(Task task) {
    Task::Handle frame = task.release();
    auto* core = new TaskCore(frame, this);
    frame.promise().core = core;
    AbortHandle abort_handle(core);
    {
        std::unique_lock lock(mutex_);
        if (!stopping_) {
            // The creation reference becomes the live list's; the queue takes one.
            core->live_next_ = live_head_;
            if (live_head_) live_head_->live_prev_ = core;
            live_head_ = core;
            core->retain();
            lock.unlock();
            schedule(core);
            return abort_handle;
        }
    }
    // Shut down: the task never runs. Destroying the frame releases what it
    // holds; COMPLETE comes after, so is_finished() means the frame is gone.
    frame.destroy();
    core->state_.store(TaskCore::kComplete, std::memory_order_release);
    core->release();
    return abort_handle;
}

void Scheduler::schedule(TaskCore* core) noexcept {
    if (stopping_.load(std::memory_order_acquire)) {
        // Workers are gone or going; shutdown destroys the task from the live list.
        core->release();
        return;
    }
    core->queue_next_ = nullptr;
    if (collecting_for == this || (deferring_for == serial_ && guest_keeps_wait_)) {
        // Woken by the guest's own wait, or by the guest between two rounds in
        // it: it runs the task itself, no one else wakes. The list is this
        // thread's alone, and so are the writes of guest_keeps_wait_, so no
        // lock. A shutdown that begins now is seen where the list is emptied.
        if (guest_tail_) guest_tail_->queue_next_ = core;
        else guest_head_ = core;
        guest_tail_ = core;
        return;
    }
    std::unique_lock lock(mutex_);
    if (stopping_) {
        lock.unlock();
        core->release();
        return;
    }
    if (queue_tail_) queue_tail_->queue_next_ = core;
    else queue_head_ = core;
    queue_tail_ = core;
    if (idle_workers_ > 0) {
        wake_idle_worker();
        lock.unlock();
        idle_workers_cv_.notify_one();
    } else if (driver_parked() && !guest_holds_driver_) {
        set_driver_parked(false);  // one wake is enough until it parks again
        lock.unlock();
        driver_.unpark();
    }
}

/// Hands one sleeper a wake token; the caller holds mutex_ and notifies.
void Scheduler::wake_idle_worker() noexcept {
    --idle_workers_;
    ++wake_tokens_;
}

TaskCore* Scheduler::next_task(std::unique_lock<std::mutex>& lock) noexcept {
    for (;;) {
        if (stopping_) return nullptr;
        if (queue_head_) {
            TaskCore* core = queue_head_;
            queue_head_ = core->queue_next_;
            if (!queue_head_) queue_tail_ = nullptr;
            return core;
        }
        if (!driver_taken_ && guest_request_ == nullptr && !guest_keeps_wait_) {
            // Own the driver's wait while there is nothing to run.
            driver_taken_ = true;
            set_driver_parked(true);
            lock.unlock();
            driver_.park(timers_.next_deadline());
            // Fired outside the lock: waking queues tasks, which takes it.
            timers_.fire_due_now();
            lock.lock();
            set_driver_parked(false);
            driver_taken_ = false;
            // A guest asked for the wait: it is its turn (no worker takes the
            // wait until the guest has taken it or withdrawn).
            if (guest_request_ != nullptr) guest_request_->ring();
            // This worker is about to run a task: an idle worker takes the wait
            // over meanwhile. (With nothing queued, this one parks again.)
            if (idle_workers_ > 0 && queue_head_ != nullptr) {
                wake_idle_worker();
                idle_workers_cv_.notify_one();
            }
            continue;
        }
        ++idle_workers_;
        // Leave only with a wake token (or at shutdown): a spurious wake-up,
        // or a notification whose token another sleeper took, sleeps again.
        idle_workers_cv_.wait(lock, [this] { return wake_tokens_ > 0 || stopping_; });
        if (stopping_) return nullptr;
        --wake_tokens_;  // the waker already took this worker off idle_workers_
    }
}

void Scheduler::worker_main() noexcept {
    current_worker_of = this;
    std::unique_lock lock(mutex_);
    while (TaskCore* core = next_task(lock)) {
        lock.unlock();
        run(core);
        lock.lock();
    }
    lock.unlock();
    if (on_thread_stop_) {
        try {
            on_thread_stop_();
        } catch (const std::exception& error) {
            report_panic(error.what());
        }
    }
}

void Scheduler::run(TaskCore* core) noexcept {
    // Take the task: clear NOTIFIED, set RUNNING.
    std::uint32_t state = core->state_.load(std::memory_order_acquire);
    for (;;) {
        if (state & TaskCore::kComplete) {
            core->release();  // the queue's reference
            return;
        }
        std::uint32_t next = (state & ~TaskCore::kNotified) | TaskCore::kRunning;
        if (core->state_.compare_exchange_weak(state, next, std::memory_order_acq_rel)) break;
    }
    if (!(state & TaskCore::kCancelled)) {
        core->coroutine_.resume();
        if (!core->coroutine_.done()) {
            // Suspended: give the task back, queuing it again if it was woken
            // (or aborted) while it ran.
            state = core->state_.load(std::memory_order_acquire);
            for (;;) {
                std::uint32_t next = state & ~TaskCore::kRunning;
                if (core->state_.compare_exchange_weak(state, next, std::memory_order_acq_rel)) break;
            }
            if (state & TaskCore::kNotified) schedule(core);  // keeps the queue's reference
            else core->release();
            return;
        }
    }
    complete(core);
    core->release();  // the queue's reference
}

void Scheduler::complete(TaskCore* core) noexcept {
    // Destroy the frame before marking COMPLETE: is_finished() promises that
    // everything the frame held is gone (the release pairs with its acquire).
    // A wake meanwhile finds RUNNING and only sets NOTIFIED, which nobody acts
    // on once the task is complete.
    std::coroutine_handle<> frame = std::exchange(core->coroutine_, nullptr);
    frame.destroy();
    core->state_.fetch_or(TaskCore::kComplete, std::memory_order_acq_rel);
    {
        std::lock_guard lock(mutex_);
        if (core->live_prev_) core->live_prev_->live_next_ = core->live_next_;
        else live_head_ = core->live_next_;
        if (core->live_next_) core->live_next_->live_prev_ = core->live_prev_;
        core->live_prev_ = core->live_next_ = nullptr;
    }
    core->release();  // the live list's reference
}

void Scheduler::stop_and_join() noexcept {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
    }
    idle_workers_cv_.notify_all();
    driver_.io().shutdown();  // every readiness wait fails from now on
    driver_.unpark();
    {
        // A guest in the wait returns from it now; it may be running a task.
        std::unique_lock lock(mutex_);
        guest_left_cv_.wait(lock, [this] { return !guest_holds_driver_; });
    }
    for (auto& thread : threads_) {
        if (thread.is_current()) {
            // Cannot join oneself; let the thread end on its own.
            thread.detach();
        } else if (thread.joinable()) {
            thread.join();
        }
    }
    threads_.clear();
}

void Scheduler::shutdown() noexcept {
    if (current_worker_of == this) {
        report_panic("a runtime cannot be shut down from one of its own worker threads");
        abort_uncaught_panic();
    }
    if (is_forked_copy()) {
        // A child of fork() has a copy of this scheduler but none of its
        // threads, and its mutexes may have been copied locked: joining or
        // locking could hang. Leave everything as it is; the memory stays
        // with the process.
        abandon_after_fork();
        return;
    }
    // A concurrent second shutdown waits here: it must neither return before
    // the workers are joined nor destroy frames that a worker may still run.
    std::lock_guard serial(shutdown_mutex_);
    stop_and_join();
    // No worker is left, so this thread has every frame to itself. Tasks still
    // queued hold a queue reference; drop those first.
    std::unique_lock lock(mutex_);
    if (shut_down_) return;
    shut_down_ = true;
    while (TaskCore* core = queue_head_) {
        queue_head_ = core->queue_next_;
        core->release();
    }
    queue_tail_ = nullptr;
    while (TaskCore* core = live_head_) {
        live_head_ = core->live_next_;
        if (live_head_) live_head_->live_prev_ = nullptr;
        core->live_prev_ = core->live_next_ = nullptr;
        std::coroutine_handle<> frame = std::exchange(core->coroutine_, nullptr);
        // A frame's destructors may spawn or wake (which find the scheduler
        // stopping), so do not hold the lock while they run. COMPLETE after
        // the destruction, as in complete().
        lock.unlock();
        frame.destroy();
        core->state_.fetch_or(TaskCore::kComplete | TaskCore::kCancelled, std::memory_order_acq_rel);
        core->release();  // the live list's reference
        lock.lock();
    }
    lock.unlock();
    timers_.clear();  // sleepers' wakers; their tasks are gone
}

void Scheduler::add_timer(TimerQueue::Clock::time_point deadline, Waker waker) {
    if (!timers_.insert(deadline, std::move(waker))) return;
    std::unique_lock lock(mutex_);
    if (driver_parked()) {
        set_driver_parked(false);
        lock.unlock();
        driver_.unpark();  // it waits for a later deadline (or none): re-arm
    }
}

IdleReactor::Entry Scheduler::enter(ReceiverBell& bell) noexcept {
    // In a child of fork() the lock may have been copied held: do not touch it.
    if (copied_by_fork()) return Entry::kUnavailable;
    std::unique_lock lock(mutex_);
    if (stopping_) return Entry::kUnavailable;
    guest_keeps_wait_ = true;
    if (!driver_taken_) {
        driver_taken_ = true;
        set_driver_parked(true);  // from here on a new earliest timer unparks the guest
        guest_holds_driver_ = true;
        return Entry::kEntered;
    }
    guest_request_ = &bell;
    // The guest sleeps until a worker hands the wait over: what it deferred is
    // for the workers now.
    queue_guest_tasks_for_workers(lock);
    if (!lock.owns_lock()) lock.lock();
    if (driver_parked()) {
        // The worker in the wait has nothing else to do: make it hand over now.
        set_driver_parked(false);
        lock.unlock();
        driver_.unpark();
    }
    return Entry::kRequested;
}

void Scheduler::withdraw() noexcept {
    std::lock_guard lock(mutex_);
    guest_request_ = nullptr;
}

void Scheduler::run_deferred() noexcept {
    if (guest_head_ == nullptr) return;
    // A timer these runs arm needs no ring of the doorbell: the wait reads the
    // earliest deadline after them. Only this thread sets the flag while it
    // holds the wait; a timer another thread adds meanwhile is seen by that
    // read, or sees the flag set again after it (the timer queue's lock
    // orders the two).
    set_driver_parked(false);
    run_guest_tasks();
    set_driver_parked(true);
}

bool Scheduler::wait() noexcept {
    // Tasks the guest deferred run in leave(): only look for events then. (Only
    // this thread adds to or takes from the private list.)
    const auto deadline = guest_head_ != nullptr ? std::optional(TimerQueue::Clock::now()) : timers_.next_deadline();
    if (deadline && guest_saved_timer_slack == 0) {
        guest_saved_timer_slack = current_timer_slack();
        if (guest_saved_timer_slack != 0) set_current_timer_slack(kExactTimers);
    }
    collecting_for = this;
    const bool completed = driver_.park(deadline);
    timers_.fire_due_now();
    collecting_for = nullptr;
    return completed;
}

/// Runs the tasks on the guest's private list. The list is this thread's
/// alone, and the wait is still held, so a shutdown destroys no frame under
/// these runs. Tasks they wake go on a new list.
void Scheduler::run_guest_tasks() noexcept {
    TaskCore* woken = std::exchange(guest_head_, nullptr);
    guest_tail_ = nullptr;
    const bool stopping = stopping_.load(std::memory_order_acquire);
    while (woken != nullptr) {
        TaskCore* next = woken->queue_next_;
        if (stopping) woken->release();  // shutdown destroys it from the live list
        else run(woken);                 // woken again meanwhile: queued for the workers
        woken = next;
    }
}

void Scheduler::leave() noexcept {
    // Out of the wait: a new earliest timer (one these runs arm, say) needs no
    // ring of the doorbell. Without the lock: only this thread sets the flag
    // while it holds the wait, and a ring it races is merely spurious.
    set_driver_parked(false);
    run_guest_tasks();
    // The lock is needed only to give the wait back.
    std::unique_lock lock(mutex_);
    driver_taken_ = false;
    guest_holds_driver_ = false;
    // Only a shutdown waits for it (having set stopping_ first). Under the
    // lock: that shutdown may destroy the variable next.
    if (stopping_.load(std::memory_order_relaxed)) guest_left_cv_.notify_all();
    lock.unlock();
    guest_left_at_ = coarse_now();
    guest_away_handed_back_ = false;
}

void Scheduler::begin() noexcept {
    guest_left_at_ = coarse_now();
    guest_away_handed_back_ = false;
    if (copied_by_fork()) return;
    std::lock_guard lock(mutex_);
    guest_keeps_wait_ = true;
    deferring_for = serial_;
}

void Scheduler::busy() noexcept {
    if (guest_away_handed_back_) return;
    if (coarse_now() - guest_left_at_ < kGuestAwayLimit) return;
    guest_away_handed_back_ = true;
    stop_keeping_the_wait();
}

void Scheduler::done() noexcept {
    if (guest_saved_timer_slack != 0) set_current_timer_slack(std::exchange(guest_saved_timer_slack, 0));
    if (deferring_for == serial_) deferring_for = 0;
    stop_keeping_the_wait();
}

/// The guest is away: what it deferred and the free wait go to the workers.
void Scheduler::stop_keeping_the_wait() noexcept {
    if (copied_by_fork()) return;
    std::unique_lock lock(mutex_);
    guest_keeps_wait_ = false;
    queue_guest_tasks_for_workers(lock);
    if (!lock.owns_lock()) lock.lock();
    hand_free_wait_to_a_worker(lock);
}

bool Scheduler::poll_now() noexcept {
    if (copied_by_fork()) return false;
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || driver_taken_) return false;
        driver_taken_ = true;
        set_driver_parked(false);  // a zero-timeout look: nothing needs to unpark it
        guest_holds_driver_ = true;
    }
    collecting_for = this;
    driver_.park(TimerQueue::Clock::now());
    timers_.fire_due_now();
    collecting_for = nullptr;
    leave();  // runs what woke and what was deferred, then frees the wait
    return true;
}

void Scheduler::hand_deferred_to_workers() noexcept {
    if (deferring_for != serial_ || copied_by_fork()) return;
    std::unique_lock lock(mutex_);
    queue_guest_tasks_for_workers(lock);
}

/// Moves the tasks the guest deferred to the run queue and wakes workers for
/// them. Caller holds mutex_, which may be released on return. Guest thread only,
/// while it does not hold the wait (the list is then its deferrals alone).
void Scheduler::queue_guest_tasks_for_workers(std::unique_lock<std::mutex>& lock) noexcept {
    TaskCore* deferred = std::exchange(guest_head_, nullptr);
    guest_tail_ = nullptr;
    if (deferred == nullptr) return;
    if (stopping_) {
        lock.unlock();
        while (deferred != nullptr) std::exchange(deferred, deferred->queue_next_)->release();
        return;
    }
    std::size_t count = 0;
    for (TaskCore* core = deferred; core != nullptr; core = core->queue_next_) {
        if (queue_tail_) queue_tail_->queue_next_ = core;
        else queue_head_ = core;
        queue_tail_ = core;
        ++count;
    }
    bool woke = false;
    for (; count > 0 && idle_workers_ > 0; --count) {
        wake_idle_worker();
        woke = true;
    }
    const bool unpark = !woke && driver_parked() && !guest_holds_driver_;
    if (unpark) set_driver_parked(false);
    lock.unlock();
    if (woke) idle_workers_cv_.notify_all();
    if (unpark) driver_.unpark();
}

/// Wakes a sleeping worker when no one owns the wait or asks for it: it takes
/// the wait, having nothing else to do. (Without a sleeper, every worker is
/// busy and looks at the wait before it sleeps.)
void Scheduler::hand_free_wait_to_a_worker(std::unique_lock<std::mutex>& lock) noexcept {
    if (stopping_ || driver_taken_ || guest_request_ != nullptr || idle_workers_ == 0) return;
    wake_idle_worker();
    lock.unlock();
    idle_workers_cv_.notify_one();
}

bool Scheduler::is_forked_copy() const noexcept { return owner_pid_ != 0 && getpid() != owner_pid_; }

bool Scheduler::copied_by_fork() const noexcept {
    return owner_pid_ != 0 && forks_seen.load(std::memory_order_relaxed) != forks_at_start_;
}

void Scheduler::abandon_after_fork() noexcept {
    if (abandoned_) return;
    abandoned_ = true;
    // std::thread's destructor would terminate on a joinable thread and
    // join/detach would touch threads that do not exist here: leak the handles.
    new (std::nothrow) std::vector<NativeThread>(std::move(threads_));
}

bool Scheduler::is_shut_down() const {
    std::lock_guard lock(mutex_);
    return stopping_;
}

}  // namespace cadrel::rt
