// The scheduler: worker threads, the run queue and the list of live tasks.
//
// Workers take tasks from one FIFO run queue guarded by a mutex. A worker that
// finds the queue empty either takes the driver's wait (at most one worker at
// a time; see driver.hpp) or sleeps on a condition variable. Queuing a task
// wakes a sleeping worker when there is one, otherwise the worker in the
// driver's wait; a worker that is busy needs no wake, it looks at the queue
// again before it sleeps.
//
// Waking a sleeper hands it a wake token: the waker moves one count from
// `idle_workers_` to `wake_tokens_`, and a sleeper leaves its wait only by
// taking a token. So `idle_workers_` counts exactly the sleepers nobody has
// woken yet, and tasks queued back to back wake distinct sleepers (or, once
// every sleeper has its token, the driver's worker) instead of spending
// several notifications on one sleeper that has not yet left its wait.
// Spurious wake-ups find no token and sleep again. When the worker in the
// driver's wait returns to run tasks, it hands the wait over the same way.
//
// Timers: the worker that owns the driver's wait sleeps until the earliest
// deadline of the timer queue and fires what is due each time it wakes.
//
// Lending the wait (idle_reactor.hpp): a thread that is not a worker may own
// the driver's wait instead of a worker, which `guest_holds_driver_` records.
// Tasks its wait wakes on its own thread go on a private list instead of the
// run queue (no worker is woken for them) and run on that thread in leave().
// While it holds the wait, queuing a task never unparks the driver: a task
// queued then is for the workers, who are either asleep on the condition
// variable (and get a wake token) or busy (and look at the queue before they
// sleep). While a guest's request for the wait stands, no worker takes it, and
// the worker that lets go of it rings the guest. Once a guest has begun, the
// free wait is kept for it (workers do not take it) until it stays away for a
// while or is done receiving: then a worker is woken to take it. Shutdown
// waits for a guest to leave before it destroys any frame, since the guest may
// be running one.
//
// Every task that has been spawned and has not completed is on the live list,
// so shutdown can find the ones that sleep elsewhere (in a timer or on a
// descriptor): shutdown stops and joins the workers first, then destroys the
// frame of every live task on the calling thread. Shutdowns are serialised, so
// a second caller returns only after the first has joined the workers.
#pragma once

#include "runtime/driver.hpp"
#include "runtime/idle_reactor.hpp"
#include "runtime/task.hpp"
#include "runtime/thread_util.hpp"
#include "runtime/timer_queue.hpp"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace cadrel::rt {

/// Worker threads run host code, so they get a stack of this size (at least)
/// rather than the C library's default, which is as small as 128 KiB on musl.
inline constexpr std::size_t kWorkerStackSize = std::size_t{2} << 20;

class Scheduler final : public IdleReactor {
public:
    Scheduler(std::size_t worker_count, std::string thread_name,
              std::function<void()> on_thread_stop = {});
    ~Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    /// Starts the worker threads; throws OsError (after stopping the ones that
    /// did start) when the system refuses a thread.
    void start();

    /// Takes over a task's frame and queues it. On a scheduler that has shut
    /// down the frame is destroyed at once instead. Returns an abort handle.
    AbortHandle spawn(Task task);

    /// Stops and joins every worker, then destroys every unfinished task.
    /// Idempotent. Must not be called from one of this scheduler's workers.
    void shutdown() noexcept;

    bool is_shut_down() const;

    /// True in a child process made by fork() after this scheduler started:
    /// the child has none of its worker threads, so nothing may be spawned.
    bool is_forked_copy() const noexcept;

    /// The same, from a count of forks kept by a fork handler: no system call,
    /// for the calls a receiver makes around every wait.
    bool copied_by_fork() const noexcept;

    /// Queues a sleeper on the time driver, waking the worker that waits in
    /// the driver when the new deadline is the earliest.
    void add_timer(TimerQueue::Clock::time_point deadline, Waker waker);
    std::size_t worker_count() const noexcept { return worker_count_; }
    Driver& driver() noexcept { return driver_; }

    // IdleReactor: the driver's wait lent to a receiver (see idle_reactor.hpp).
    Entry enter(ReceiverBell& bell) noexcept override;
    void withdraw() noexcept override;
    void run_deferred() noexcept override;
    bool wait() noexcept override;
    void leave() noexcept override;
    void begin() noexcept override;
    void busy() noexcept override;
    void done() noexcept override;
    void hand_deferred_to_workers() noexcept override;
    bool poll_now() noexcept override;
    const std::shared_ptr<const EventFd>& doorbell() const noexcept override { return driver_.doorbell(); }

private:
    friend class TaskCore;

    void schedule(TaskCore* core) noexcept;
    void wake_idle_worker() noexcept;
    void hand_free_wait_to_a_worker(std::unique_lock<std::mutex>& lock) noexcept;
    void queue_guest_tasks_for_workers(std::unique_lock<std::mutex>& lock) noexcept;
    void stop_keeping_the_wait() noexcept;
    void worker_main() noexcept;
    TaskCore* next_task(std::unique_lock<std::mutex>& lock) noexcept;
    void run(TaskCore* core) noexcept;
    void run_guest_tasks() noexcept;
    void complete(TaskCore* core) noexcept;
    void stop_and_join() noexcept;

    const std::size_t worker_count_;
    const std::string thread_name_;
    const std::function<void()> on_thread_stop_;
    /// Distinct for every scheduler the process makes (none is 0).
    const std::uint64_t serial_;
    Driver driver_;
    TimerQueue timers_;

    /// Held for a whole shutdown; recursive so that a frame destroyed by the
    /// shutdown may call it again (it then returns at once).
    std::recursive_mutex shutdown_mutex_;
    mutable std::mutex mutex_;
    std::condition_variable idle_workers_cv_;
    /// Signalled when a guest gives the driver's wait back (shutdown waits for it).
    std::condition_variable guest_left_cv_;
    // Guarded by mutex_.
    TaskCore* queue_head_ = nullptr;
    TaskCore* queue_tail_ = nullptr;
    TaskCore* live_head_ = nullptr;
    /// Workers asleep on idle_workers_cv_ that no one has woken yet.
    std::size_t idle_workers_ = 0;
    /// Wakes handed to sleepers and not yet taken (see the top comment).
    std::size_t wake_tokens_ = 0;
    /// The owner of the wait sleeps in it: a new earliest timer must ring it.
    /// Written under the lock, except that a guest clears it when it leaves;
    /// the lock orders everything else, so every access is relaxed (a plain
    /// store of an atomic would be a locked instruction on each wait).
    std::atomic<bool> driver_parked_ = false;
    bool driver_parked() const noexcept { return driver_parked_.load(std::memory_order_relaxed); }
    void set_driver_parked(bool parked) noexcept { driver_parked_.store(parked, std::memory_order_relaxed); }
    bool driver_taken_ = false;
    /// The driver's wait is lent to a thread that is not a worker.
    bool guest_holds_driver_ = false;
    /// A guest waiting for a worker to hand the wait over, rung when it does.
    ReceiverBell* guest_request_ = nullptr;
    /// From a guest's begin() or entry until it stays away (busy()) or is
    /// done(), the free wait is kept for it: no worker takes it. A worker that
    /// did would keep the guest's channel fed, so that the guest would never be
    /// idle to take the wait back, and every event would cross threads again.
    /// Only the guest writes it (under the lock), so it reads it without.
    bool guest_keeps_wait_ = false;
    /// Guest thread only: when it last left the wait, and whether busy() has
    /// handed the wait to a worker since.
    std::chrono::nanoseconds guest_left_at_{};  // on the coarse monotonic clock
    bool guest_away_handed_back_ = false;
    /// Guest thread only: the tasks its waits woke or it deferred, for it to
    /// run in leave() (or hand to the workers).
    TaskCore* guest_head_ = nullptr;
    TaskCore* guest_tail_ = nullptr;
    /// Written under mutex_; the guest also reads it without the lock.
    std::atomic<bool> stopping_ = false;
    bool shut_down_ = false;

    std::vector<NativeThread> threads_;
    pid_t owner_pid_ = 0;     // the process that started the workers
    std::uint64_t forks_at_start_ = 0;  // forks the process had been through then
    bool abandoned_ = false;  // shutdown in a forked child gave up the scheduler

    void abandon_after_fork() noexcept;
};

/// `co_await CurrentScheduler{}` inside a task yields the scheduler running it,
/// without suspending.
struct CurrentScheduler {
    Scheduler* scheduler = nullptr;
    bool await_ready() const noexcept { return false; }
    bool await_suspend(Task::Handle handle) noexcept {
        scheduler = &handle.promise().core->scheduler();
        return false;  // resume at once
    }
    Scheduler& await_resume() const noexcept { return *scheduler; }
};

}  // namespace cadrel::rt
