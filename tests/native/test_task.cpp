// Unit tests of tasks: spawning, yielding, wakers, abort handles and failures,
// each run over a runtime of 1 and of 4 worker threads.
#include "runtime/panic.hpp"
#include "runtime/runtime.hpp"
#include "runtime/task.hpp"
#include "runtime/thread_util.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <coroutine>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

namespace rt = cadrel::rt;
using rt::AbortHandle;
using rt::Task;
using rt::Waker;
using namespace std::chrono_literals;

using cadrel::test_support::config_of;
using cadrel::test_support::die;
using cadrel::test_support::kBound;
using cadrel::test_support::SuspendForever;
using cadrel::test_support::wait_until;

/// A flag that one thread raises and another waits for, with a bound.
class Notification {
public:
    void notify() {
        std::lock_guard lock(mutex_);
        ++count_;
        cv_.notify_all();
    }
    void wait(const char* what) {
        std::unique_lock lock(mutex_);
        if (!cv_.wait_for(lock, kBound, [this] { return count_ > 0; })) die(what);
    }
    int count() {
        std::lock_guard lock(mutex_);
        return count_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    int count_ = 0;
};

/// What a Probe saw when it was destroyed.
class ProbeLog {
public:
    explicit ProbeLog(std::chrono::milliseconds linger = 0ms) : linger_(linger) {}

    void record() {
        // Lingering widens the window in which an observer could see the task
        // as finished while its frame is still being destroyed.
        if (linger_ > 0ms) std::this_thread::sleep_for(linger_);
        std::lock_guard lock(mutex_);
        ++destroyed_;
        thread_ = rt::current_thread_name();
        cv_.notify_all();
    }
    int destroyed() {
        std::lock_guard lock(mutex_);
        return destroyed_;
    }
    std::string thread() {
        std::lock_guard lock(mutex_);
        return thread_;
    }
    void wait_destroyed(const char* what) {
        std::unique_lock lock(mutex_);
        if (!cv_.wait_for(lock, kBound, [this] { return destroyed_ > 0; })) die(what);
    }

private:
    std::chrono::milliseconds linger_;
    std::mutex mutex_;
    std::condition_variable cv_;
    int destroyed_ = 0;
    std::string thread_;
};

/// An object that lives in a task's frame (as a parameter or a local) and
/// records when, and on which thread, the frame destroyed it.
class Probe {
public:
    explicit Probe(ProbeLog* log) : log_(log) {}
    Probe(Probe&& other) noexcept : log_(std::exchange(other.log_, nullptr)) {}
    Probe& operator=(Probe&&) = delete;
    ~Probe() {
        if (log_) log_->record();
    }

private:
    ProbeLog* log_;
};

/// A one-shot event that a task can wait for: the awaitable keeps the task's
/// Waker while it is suspended, and fire() (from any thread) wakes it.
class OneShotEvent {
public:
    class Awaiter {
    public:
        Awaiter(OneShotEvent* event, Waker waker) : event_(event), waker_(std::move(waker)) {}
        bool await_ready() const { return event_->fired(); }
        bool await_suspend(std::coroutine_handle<>) {
            std::lock_guard lock(event_->mutex_);
            if (event_->fired_) return false;  // fired meanwhile: do not suspend
            event_->waiter_ = waker_;
            ++event_->registrations_;
            return true;
        }
        void await_resume() const noexcept {}

    private:
        OneShotEvent* event_;
        Waker waker_;
    };

    Awaiter wait(Waker waker) { return Awaiter(this, std::move(waker)); }

    void fire() {
        std::optional<Waker> waiter;
        {
            std::lock_guard lock(mutex_);
            fired_ = true;
            waiter.swap(waiter_);
        }
        // Wake after releasing the lock, never while holding it.
        if (waiter) waiter->wake();
    }
    bool fired() {
        std::lock_guard lock(mutex_);
        return fired_;
    }
    int registrations() {
        std::lock_guard lock(mutex_);
        return registrations_;
    }
    /// A copy of the registered waker, if a task waits.
    std::optional<Waker> waiter() {
        std::lock_guard lock(mutex_);
        return waiter_;
    }

private:
    std::mutex mutex_;
    bool fired_ = false;
    int registrations_ = 0;
    std::optional<Waker> waiter_;
};

// ---- task bodies ------------------------------------------------------------

Task record_thread_name(std::string* name, Notification* done) {
    *name = rt::current_thread_name();
    done->notify();
    co_return;
}

Task count_and_notify(std::atomic<int>* runs, Notification* done) {
    runs->fetch_add(1);
    done->notify();
    co_return;
}

Task yield_until_flag(std::atomic<bool>* flag, std::atomic<int>* yields, Notification* done) {
    while (!flag->load()) {
        yields->fetch_add(1);
        co_await rt::YieldNow{};
    }
    done->notify();
}

Task raise_flag(std::atomic<bool>* flag) {
    flag->store(true);
    co_return;
}

Task yield_and_log(char name, int steps, std::mutex* mutex, std::string* log) {
    for (int i = 0; i < steps; ++i) {
        {
            std::lock_guard lock(*mutex);
            log->push_back(name);
        }
        co_await rt::YieldNow{};
    }
}

Task wait_for_event(OneShotEvent* event, std::atomic<int>* resumes, Notification* done) {
    Waker waker = co_await rt::CurrentWaker{};
    // A wake may come before the event fired; the task then waits again.
    while (!event->fired()) {
        co_await event->wait(waker);
        resumes->fetch_add(1);
    }
    done->notify();
}

Task hold_probe_forever([[maybe_unused]] Probe probe, Notification* started) {
    started->notify();
    co_await SuspendForever{};
    std::abort();  // never resumed
}

Task hold_probe_until_event([[maybe_unused]] Probe probe, OneShotEvent* event,
                            Notification* started, Notification* finished) {
    Waker waker = co_await rt::CurrentWaker{};
    started->notify();
    while (!event->fired()) co_await event->wait(waker);
    finished->notify();
}

Task busy_then_yield([[maybe_unused]] Probe probe, Notification* running,
                     std::atomic<bool>* release, std::atomic<bool>* after_yield) {
    running->notify();
    while (!release->load()) std::this_thread::sleep_for(100us);
    co_await rt::YieldNow{};
    after_yield->store(true);  // must not run: the task was aborted while busy
}

/// Records what AbortRequested says before its start is announced and after the
/// release: -1 until asked, then 0 or 1.
Task observe_abort(Notification* running, std::atomic<bool>* release,
                   std::atomic<int>* before, std::atomic<int>* after) {
    before->store(co_await rt::AbortRequested{} ? 1 : 0);
    running->notify();
    while (!release->load()) std::this_thread::sleep_for(100us);
    after->store(co_await rt::AbortRequested{} ? 1 : 0);
}

Task block_worker(std::atomic<int>* blocked, std::atomic<bool>* release) {
    blocked->fetch_add(1);
    while (!release->load()) std::this_thread::sleep_for(100us);
    co_return;
}

Task never_runs([[maybe_unused]] Probe probe, std::atomic<bool>* ran) {
    ran->store(true);
    co_return;
}

Task throw_runtime_error(bool fail) {
    if (fail) throw std::runtime_error("task failure for the test");
    co_return;
}

Task throw_non_std(bool fail) {
    if (fail) throw 42;
    co_return;
}

Task raise_panic(bool fail) {
    if (fail) rt::panic("invariant broken for the test");
    co_return;
}

// ---- fixture -----------------------------------------------------------------

class TaskTest : public testing::TestWithParam<std::size_t> {
protected:
    TaskTest() : runtime_(config_of("cadrel-worker", GetParam())) {}

    rt::Handle handle() const { return runtime_.handle(); }

    /// Occupies every worker with a task that blocks until release_workers().
    void block_all_workers() {
        for (std::size_t i = 0; i < runtime_.worker_count(); ++i)
            (void)handle().spawn(block_worker(&blocked_, &release_));
        wait_until("every worker blocked", [&] {
            return blocked_.load() == static_cast<int>(runtime_.worker_count());
        });
    }
    void release_workers() { release_.store(true); }

    // The blockers read these until they end, so they outlive the runtime
    // (members are destroyed in reverse order).
    std::atomic<int> blocked_{0};
    std::atomic<bool> release_{false};
    /// A log whose probes linger in their destructor; it outlives the runtime
    /// so that a frame still being destroyed never records into a dead log.
    ProbeLog lingering_log_{50ms};
    rt::Runtime runtime_;
};

std::string shape_name(const testing::TestParamInfo<std::size_t>& info) {
    return "Workers" + std::to_string(info.param);
}

INSTANTIATE_TEST_SUITE_P(Shapes, TaskTest, testing::Values<std::size_t>(1, 4), shape_name);

// ---- spawning ----------------------------------------------------------------

TEST_P(TaskTest, SpawnedTaskRunsOnANamedWorkerThread) {
    std::string name;
    Notification done;
    AbortHandle task = handle().spawn(record_thread_name(&name, &done));
    done.wait("the task's run");
    EXPECT_EQ(name, "cadrel-worker");
    wait_until("completion", [&] { return task.is_finished(); });
}

TEST_P(TaskTest, DetachedTasksRunExactlyOnce) {
    constexpr int kTasks = 200;
    std::atomic<int> runs{0};
    std::vector<Notification> done(kTasks);
    for (auto& notification : done) (void)handle().spawn(count_and_notify(&runs, &notification));
    for (auto& notification : done) notification.wait("a detached task's run");
    for (auto& notification : done) EXPECT_EQ(notification.count(), 1);
    EXPECT_EQ(runs.load(), kTasks);
}

TEST_P(TaskTest, UnspawnedTaskDestroysItsFrameWithoutRunning) {
    ProbeLog log;
    std::atomic<bool> ran{false};
    {
        Task task = never_runs(Probe(&log), &ran);
        EXPECT_EQ(log.destroyed(), 0);  // the parameter lives in the frame
    }
    EXPECT_EQ(log.destroyed(), 1);
    EXPECT_FALSE(ran.load());
}

// ---- yielding ----------------------------------------------------------------

// A task that yields in a loop until another task raises a flag: on one worker
// the other task can only run if the yield gives the worker up, and the first
// task must be resumed afterwards to finish.
TEST_P(TaskTest, YieldNowLetsOthersRunAndResumes) {
    std::atomic<bool> flag{false};
    std::atomic<int> yields{0};
    Notification done;
    (void)handle().spawn(yield_until_flag(&flag, &yields, &done));
    wait_until("the yielding task's start", [&] { return yields.load() > 0; });
    (void)handle().spawn(raise_flag(&flag));
    done.wait("the yielding task's end");
    EXPECT_GE(yields.load(), 1);
}

// With one worker and a FIFO run queue, two yielding tasks alternate strictly.
TEST(TaskOnOneWorker, YieldingTasksAlternate) {
    std::atomic<int> blocked{0};
    std::atomic<bool> release{false};
    std::mutex mutex;
    std::string log;
    rt::Runtime runtime(config_of("cadrel-worker", 1));  // destroyed first
    // Hold the worker so both tasks are queued before either runs.
    (void)runtime.handle().spawn(block_worker(&blocked, &release));
    wait_until("the worker blocked", [&] { return blocked.load() == 1; });
    AbortHandle a = runtime.handle().spawn(yield_and_log('a', 4, &mutex, &log));
    AbortHandle b = runtime.handle().spawn(yield_and_log('b', 4, &mutex, &log));
    release.store(true);
    wait_until("both tasks' end", [&] { return a.is_finished() && b.is_finished(); });
    std::lock_guard lock(mutex);
    EXPECT_EQ(log, "abababab");
}

// ---- wakers ------------------------------------------------------------------

TEST_P(TaskTest, WakerFromCurrentWakerWakesATaskFromAnotherThread) {
    OneShotEvent event;
    std::atomic<int> resumes{0};
    Notification done;
    AbortHandle task = handle().spawn(wait_for_event(&event, &resumes, &done));
    wait_until("the task's suspension", [&] { return event.registrations() == 1; });
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(done.count(), 0);  // suspended, and nothing resumed it
    EXPECT_FALSE(task.is_finished());

    std::thread waker_thread([&event] { event.fire(); });
    done.wait("the wake from another thread");
    waker_thread.join();
    EXPECT_EQ(resumes.load(), 1);
    wait_until("completion", [&] { return task.is_finished(); });
}

TEST_P(TaskTest, WakingTwiceOrAfterCompletionIsHarmless) {
    OneShotEvent event;
    std::atomic<int> resumes{0};
    Notification done;
    AbortHandle task = handle().spawn(wait_for_event(&event, &resumes, &done));
    wait_until("the task's suspension", [&] { return event.registrations() == 1; });

    std::optional<Waker> waker = event.waiter();
    ASSERT_TRUE(waker.has_value());
    // Several threads wake at once, more than once each: the task is resumed,
    // finds the event not fired and waits again; it never runs twice at once.
    std::vector<std::thread> wakers;
    for (int t = 0; t < 4; ++t)
        wakers.emplace_back([&waker] {
            for (int i = 0; i < 50; ++i) waker->wake();
        });
    for (auto& thread : wakers) thread.join();
    wait_until("the task's re-suspension", [&] { return event.registrations() >= 2; });
    EXPECT_EQ(done.count(), 0);

    event.fire();
    done.wait("the final wake");
    wait_until("completion", [&] { return task.is_finished(); });

    // The task is gone; its core lives on in our Waker. Waking it does nothing.
    waker->wake();
    waker->wake();
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(done.count(), 1);
    int after = resumes.load();
    EXPECT_GE(after, 2);

    // And the runtime still runs tasks.
    std::atomic<int> runs{0};
    Notification other;
    (void)handle().spawn(count_and_notify(&runs, &other));
    other.wait("a later task");
    EXPECT_EQ(resumes.load(), after);
}

// ---- abort handles -----------------------------------------------------------

TEST_P(TaskTest, AbortDestroysTheSuspendedFrameOnAWorker) {
    ProbeLog log;
    Notification started;
    AbortHandle task = handle().spawn(hold_probe_forever(Probe(&log), &started));
    started.wait("the task's start");
    EXPECT_FALSE(task.is_finished());
    EXPECT_EQ(log.destroyed(), 0);

    task.abort();
    log.wait_destroyed("the aborted frame's destruction");
    EXPECT_EQ(log.destroyed(), 1);
    EXPECT_EQ(log.thread(), "cadrel-worker");
    wait_until("is_finished", [&] { return task.is_finished(); });
}

// is_finished() means the frame is gone: once it answers true, everything the
// frame held has been destroyed (the probe lingers in its destructor).
TEST_P(TaskTest, IsFinishedOnlyOnceTheFrameIsDestroyed) {
    Notification started;
    AbortHandle task = handle().spawn(hold_probe_forever(Probe(&lingering_log_), &started));
    started.wait("the task's start");
    task.abort();
    wait_until("is_finished", [&] { return task.is_finished(); });
    EXPECT_EQ(lingering_log_.destroyed(), 1)
        << "is_finished() answered true before the frame was destroyed";
}

TEST_P(TaskTest, AbortingTwiceIsHarmless) {
    ProbeLog log;
    Notification started;
    AbortHandle task = handle().spawn(hold_probe_forever(Probe(&log), &started));
    started.wait("the task's start");
    AbortHandle copy = task;
    task.abort();
    copy.abort();
    task.abort();
    log.wait_destroyed("the aborted frame's destruction");
    wait_until("is_finished", [&] { return task.is_finished() && copy.is_finished(); });
    task.abort();  // after the end, too
    copy.abort();
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(log.destroyed(), 1);
}

TEST_P(TaskTest, DroppingTheAbortHandleNeverAborts) {
    ProbeLog log;
    OneShotEvent event;
    Notification started;
    Notification finished;
    {
        AbortHandle task =
            handle().spawn(hold_probe_until_event(Probe(&log), &event, &started, &finished));
        AbortHandle copy = task;
        started.wait("the task's start");
    }  // both handles dropped
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(log.destroyed(), 0);
    EXPECT_EQ(finished.count(), 0);

    event.fire();
    finished.wait("the task's normal end");
    log.wait_destroyed("the finished frame's destruction");
    EXPECT_EQ(log.destroyed(), 1);
}

TEST_P(TaskTest, IsFinishedTracksCompletion) {
    EXPECT_TRUE(AbortHandle().is_finished());  // refers to no task
    AbortHandle().abort();                     // and aborting it does nothing

    OneShotEvent event;
    std::atomic<int> resumes{0};
    Notification done;
    AbortHandle task = handle().spawn(wait_for_event(&event, &resumes, &done));
    wait_until("the task's suspension", [&] { return event.registrations() == 1; });
    EXPECT_FALSE(task.is_finished());
    event.fire();
    done.wait("the task's end");
    wait_until("is_finished", [&] { return task.is_finished(); });
    AbortHandle moved = std::move(task);
    EXPECT_TRUE(moved.is_finished());
}

// Cancellation takes effect only at a suspension point: a task aborted while it
// runs finishes its current step, then is destroyed at its next co_await instead
// of being resumed.
TEST_P(TaskTest, AbortTakesEffectAtTheNextSuspensionPoint) {
    ProbeLog log;
    Notification running;
    std::atomic<bool> release{false};
    std::atomic<bool> after_yield{false};
    AbortHandle task =
        handle().spawn(busy_then_yield(Probe(&log), &running, &release, &after_yield));
    running.wait("the task's start");
    task.abort();
    std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(task.is_finished());  // still in its first step
    EXPECT_EQ(log.destroyed(), 0);
    release.store(true);
    log.wait_destroyed("the frame's destruction at the yield");
    wait_until("is_finished", [&] { return task.is_finished(); });
    EXPECT_FALSE(after_yield.load());
    EXPECT_EQ(log.thread(), "cadrel-worker");
}

// A task whose awaits never suspend can still see that it was aborted mid-step.
TEST_P(TaskTest, AbortRequestedTellsARunningTaskItWasAborted) {
    Notification running;
    std::atomic<bool> release{false};
    std::atomic<int> before{-1};
    std::atomic<int> after{-1};
    AbortHandle task = handle().spawn(observe_abort(&running, &release, &before, &after));
    running.wait("the task's start");
    task.abort();
    release.store(true);
    wait_until("is_finished", [&] { return task.is_finished(); });
    EXPECT_EQ(before.load(), 0);
    EXPECT_EQ(after.load(), 1);
}

TEST_P(TaskTest, AbortBeforeTheFirstRunNeverRunsTheBody) {
    block_all_workers();
    ProbeLog log;
    std::atomic<bool> ran{false};
    AbortHandle task = handle().spawn(never_runs(Probe(&log), &ran));
    task.abort();
    release_workers();
    log.wait_destroyed("the unrun frame's destruction");
    wait_until("is_finished", [&] { return task.is_finished(); });
    EXPECT_FALSE(ran.load());
    EXPECT_EQ(log.thread(), "cadrel-worker");
}

// ---- failures ----------------------------------------------------------------

TEST_P(TaskTest, ExceptionInATaskIsReportedAndConfinedToIt) {
    testing::internal::CaptureStderr();
    AbortHandle failing = handle().spawn(throw_runtime_error(true));
    AbortHandle odd = handle().spawn(throw_non_std(true));
    AbortHandle panicking = handle().spawn(raise_panic(true));
    wait_until("the failing tasks' end", [&] {
        return failing.is_finished() && odd.is_finished() && panicking.is_finished();
    });
    // The runtime is still there: other tasks keep running.
    std::atomic<int> runs{0};
    std::vector<Notification> done(20);
    for (auto& notification : done) (void)handle().spawn(count_and_notify(&runs, &notification));
    for (auto& notification : done) notification.wait("a task after the failure");
    std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(runs.load(), 20);
    EXPECT_NE(err.find("thread 'cadrel-worker' panicked at "), std::string::npos) << err;
    EXPECT_NE(err.find(":\ntask failure for the test\n"), std::string::npos) << err;
    EXPECT_NE(err.find(":\na task failed with an exception of unknown type\n"), std::string::npos)
        << err;
    // A panic is reported where it is raised, and only there.
    std::size_t panic_reports = 0;
    for (std::size_t at = err.find("invariant broken for the test"); at != std::string::npos;
         at = err.find("invariant broken for the test", at + 1))
        ++panic_reports;
    EXPECT_EQ(panic_reports, 1u) << err;
    std::size_t reports = 0;
    for (std::size_t at = err.find("thread 'cadrel-worker' panicked at "); at != std::string::npos;
         at = err.find("thread 'cadrel-worker' panicked at ", at + 1))
        ++reports;
    EXPECT_EQ(reports, 3u) << err;
}

}  // namespace
