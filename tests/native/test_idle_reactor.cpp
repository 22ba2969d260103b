// Unit tests of a channel receiver that waits in the runtime's event wait:
// readiness and timers handled on the receiver's own thread while it is idle,
// on workers while it is busy or done, in deadline order across both; the
// wait handed back when it begins again; a shutdown reaching a receiver that
// waits there. (Signals and CPU while waiting: the Python loop's tests.)
// Each body runs on runtimes of 1 and of 4 worker threads.
#include "runtime/channel.hpp"
#include "runtime/readiness.hpp"
#include "runtime/runtime.hpp"
#include "runtime/scheduler.hpp"
#include "runtime/sleep.hpp"
#include "runtime/task.hpp"
#include "runtime/thread_util.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

namespace rt = cadrel::rt;
namespace support = cadrel::test_support;
using rt::Direction;
using rt::Task;
using support::config_of;
using support::kBound;
using support::SocketPair;
using support::wait_until;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kWorkerName = "idle-test";

/// What a task posts: which event, on which thread, when.
struct Report {
    int index = 0;
    std::thread::id thread;
    Clock::time_point at;
};

using ReportSender = rt::Sender<Report>;
using ReportReceiver = rt::Receiver<Report>;

Report report(int index) { return Report{index, std::this_thread::get_id(), Clock::now()}; }

/// Posts a report each time `fd` turns readable, counting the posts.
Task report_readiness(int fd, ReportSender sender, std::atomic<int>& posted) {
    rt::Scheduler& scheduler = co_await rt::CurrentScheduler{};
    rt::FdRegistration registration = scheduler.driver().io().register_fd(fd);
    std::optional<std::uint32_t> reported;
    for (int index = 0;; ++index) {
        std::optional<rt::ReadyEvent> event;
        while (!event) event = co_await rt::ReadinessWait(registration.io(), Direction::kRead, reported);
        if (event->shutdown) co_return;
        posted.fetch_add(1);
        (void)sender.send(report(index));
        registration.io().clear(*event);
        reported = event->generation;
    }
}

/// Posts one report at `deadline`.
Task report_at(Clock::time_point deadline, int index, ReportSender sender) {
    co_await rt::Sleep(deadline);
    (void)sender.send(report(index));
}

/// The next report, waiting in `reactor` when it is free; a signal's
/// interruption is waited through.
Report receive(ReportReceiver& receiver, rt::IdleReactor& reactor) {
    std::optional<Report> out;
    for (;;) {
        auto poll = receiver.recv_or_interrupt(out, &reactor);
        if (poll == ReportReceiver::Poll::kValue) return *out;
        if (poll == ReportReceiver::Poll::kClosed) support::die("a report");
    }
}

void drain(int fd) {
    char buffer[64];
    while (read(fd, buffer, sizeof buffer) > 0) {
    }
}

/// Receives reports until the one with `index` (a descriptor left unread may
/// be reported more than once before it).
Report receive_index(ReportReceiver& receiver, rt::IdleReactor& reactor, int index) {
    for (;;) {
        Report next = receive(receiver, reactor);
        if (next.index >= index) return next;
    }
}

/// Ends the process when a test outlives twice the bound: a receiver that
/// misses its wake-up would otherwise wait for ever.
class Watchdog {
public:
    Watchdog()
        : thread_([this] {
              std::unique_lock lock(mutex_);
              if (!done_cv_.wait_for(lock, 2 * kBound, [this] { return done_; })) support::die("the test's end");
          }) {}
    ~Watchdog() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        done_cv_.notify_one();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable done_cv_;
    bool done_ = false;
    std::thread thread_;
};

class IdleReactorTest : public testing::TestWithParam<std::size_t> {
protected:
    Watchdog watchdog;
    // Declared before the runtime, so they outlive the watcher task.
    SocketPair pair;
    std::atomic<int> posted{0};
    rt::Runtime runtime{config_of(kWorkerName, GetParam())};
    std::pair<ReportSender, ReportReceiver> channel = rt::make_channel<Report>();
    ReportSender& sender = channel.first;
    ReportReceiver& receiver = channel.second;
    rt::IdleReactor& reactor = runtime.idle_reactor();

    /// Spawns a watcher that reports each time `pair`'s local end turns readable.
    void watch_pair() { (void)runtime.handle().spawn(report_readiness(pair.local.get(), sender, posted)); }

    /// Makes `pair` readable `rounds` times, each time waiting until a worker
    /// has posted a report while this thread stays away from the channel;
    /// then receives every report and expects none from this thread.
    void expect_workers_to_report(int rounds) {
        for (int round = 1; round <= rounds; ++round) {
            std::this_thread::sleep_for(20ms);
            const int next = posted.load();
            support::send_byte(pair.peer.get());
            wait_until("a worker's report", [&] { return posted.load() > next; });
            drain(pair.local.get());
        }
        const int last = posted.load() - 1;
        for (int index = 0; index <= last; ++index)
            EXPECT_NE(receive_index(receiver, reactor, index).thread, std::this_thread::get_id());
    }

    /// Receives a report that another thread sends while this one waits: the
    /// receiver has owned the wait (and left it) once this returns.
    void receive_after_waiting() {
        std::thread other([this] {
            std::this_thread::sleep_for(30ms);
            (void)sender.send(Report{});
        });
        receive(receiver, reactor);
        other.join();
    }
};

TEST_P(IdleReactorTest, ReadinessOnAnIdleReceiverIsHandledOnItsOwnThread) {
    watch_pair();
    constexpr int kRounds = 20;
    std::thread peer([&] {
        for (int round = 0; round < kRounds; ++round) {
            // The receiver is back in its wait long before this.
            std::this_thread::sleep_for(5ms);
            wait_until("the previous report", [&] { return posted.load() == round; });
            support::send_byte(pair.peer.get());
        }
    });
    std::vector<std::thread::id> handled_on;
    for (int round = 0; round < kRounds; ++round) {
        handled_on.push_back(receive(receiver, reactor).thread);
        drain(pair.local.get());
    }
    peer.join();
    // The first may have come before the wait was handed over; the rest
    // must not have woken any other thread.
    EXPECT_EQ(std::count(handled_on.begin() + 1, handled_on.end(), std::this_thread::get_id()), kRounds - 1);
}

TEST_P(IdleReactorTest, WhileTheReceiverIsBusyAWorkerHandlesReadiness) {
    watch_pair();
    receive_after_waiting();

    // Callbacks that run for a while: the wait goes to a worker, for as long
    // as the receiver stays away.
    std::this_thread::sleep_for(20ms);
    reactor.busy();
    expect_workers_to_report(3);
}

TEST_P(IdleReactorTest, AReceiverBusyOnlyBrieflyKeepsTheWait) {
    watch_pair();
    receive_after_waiting();

    reactor.busy();  // back at once: no worker is woken to take the wait
    std::this_thread::sleep_for(20ms);
    support::send_byte(pair.peer.get());
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(posted.load(), 0) << "a worker took the wait";
    EXPECT_EQ(receive_index(receiver, reactor, 0).thread, std::this_thread::get_id());
}

TEST_P(IdleReactorTest, OnceTheReceiverIsDoneWorkersHandleEveryEvent) {
    watch_pair();
    receive_after_waiting();

    reactor.done();
    expect_workers_to_report(3);
}

TEST_P(IdleReactorTest, AWorkerInTheWaitLetsGoOfItOnceTheReceiverBegins) {
    watch_pair();
    receive_after_waiting();
    reactor.done();  // a worker takes the wait
    std::this_thread::sleep_for(20ms);

    reactor.begin();
    support::send_byte(pair.peer.get());
    wait_until("the worker's report", [&] { return posted.load() > 0; });
    drain(pair.local.get());
    const int next = posted.load();
    std::this_thread::sleep_for(20ms);
    support::send_byte(pair.peer.get());
    std::this_thread::sleep_for(50ms);
    // Had the worker taken the wait again, it would have fed the channel, and
    // the receiver would never have been idle to take the wait back.
    EXPECT_EQ(posted.load(), next) << "the worker kept the wait";
    EXPECT_EQ(receive_index(receiver, reactor, next).thread, std::this_thread::get_id());
}

TEST_P(IdleReactorTest, TimersFireInDeadlineOrderOnBothPaths) {
    constexpr int kTimers = 24;
    constexpr auto kSpacing = 20ms;
    const Clock::time_point start = Clock::now() + 100ms;
    std::vector<int> order(kTimers);
    for (int i = 0; i < kTimers; ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    for (int index : order) (void)runtime.handle().spawn(report_at(start + index * kSpacing, index, sender));

    std::vector<Report> reports;
    for (int i = 0; i < kTimers; ++i) {
        reports.push_back(receive(receiver, reactor));
        if (i % 4 == 1) {
            // Busy past the next two deadlines: a worker fires them meanwhile.
            // (Away for twice the limit: the guest's clock runs at the kernel's tick.)
            std::this_thread::sleep_for(kSpacing);
            reactor.busy();
            std::this_thread::sleep_for(2 * kSpacing);
        }
    }
    int on_this_thread = 0;
    for (int i = 0; i < kTimers; ++i) {
        EXPECT_EQ(reports[i].index, i);
        EXPECT_GE(reports[i].at, start + reports[i].index * kSpacing) << "timer " << reports[i].index;
        if (reports[i].thread == std::this_thread::get_id()) ++on_this_thread;
    }
    EXPECT_GT(on_this_thread, 0);
    EXPECT_LT(on_this_thread, kTimers);
}

TEST_P(IdleReactorTest, ShutdownWhileTheReceiverWaitsReturnsAndTheChannelStillWorks) {
    watch_pair();
    support::send_byte(pair.peer.get());
    receive(receiver, reactor);

    std::atomic<bool> received{false};
    std::thread waiter([&] {
        receive(receiver, reactor);
        received.store(true);
    });
    std::this_thread::sleep_for(50ms);  // into the wait
    runtime.shutdown();                 // joins the workers, destroys the watcher
    EXPECT_FALSE(received.load());
    (void)sender.send(Report{});
    waiter.join();
    EXPECT_TRUE(received.load());
}

TEST(IdleReactorOwnership, AThreadNeverDoneWithOneRuntimeKeepsNothingOfTheNext) {
    {
        rt::Runtime first{config_of(kWorkerName, 1)};
        first.idle_reactor().begin();  // and never done()
    }
    // The next runtime may well be made in the first one's memory. While
    // another thread is its receiver, a task this thread spawns on it must
    // reach that receiver, not a list of tasks kept for this thread.
    rt::Runtime second{config_of(kWorkerName, 1)};
    auto [sender, receiver] = rt::make_channel<Report>();
    std::atomic<bool> received{false};
    std::thread receiving([&, &receiver = receiver] {
        rt::IdleReactor& reactor = second.idle_reactor();
        reactor.begin();
        receive(receiver, reactor);
        received.store(true);
        reactor.done();
    });
    std::this_thread::sleep_for(20ms);  // into the wait
    (void)second.handle().spawn(report_at(Clock::now(), 0, sender));
    wait_until("the task's report", [&] { return received.load(); });
    receiving.join();
}

std::string shape_name(const testing::TestParamInfo<std::size_t>& info) {
    return std::to_string(info.param) + "_workers";
}

INSTANTIATE_TEST_SUITE_P(Shapes, IdleReactorTest, testing::Values(std::size_t{1}, std::size_t{4}), shape_name);

}  // namespace
