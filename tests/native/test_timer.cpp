// Unit tests of the time driver: float seconds to duration, deadlines, the
// timer queue, and sleeping tasks on runtimes of 1 and of 4 worker threads.
#include "runtime/duration.hpp"
#include "runtime/panic.hpp"
#include "runtime/runtime.hpp"
#include "runtime/sleep.hpp"
#include "runtime/task.hpp"
#include "runtime/thread_util.hpp"
#include "runtime/timer_queue.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <coroutine>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <sys/epoll.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

namespace rt = cadrel::rt;
using rt::AbortHandle;
using rt::Runtime;
using rt::RuntimeConfig;
using rt::SecondsAndNanos;
using rt::Task;
using rt::TimerQueue;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

using cadrel::test_support::kBound;
using cadrel::test_support::kUnderSanitizer;
/// How late a sleeper may resume before a test calls it lost; far beyond any
/// real lateness, so it only catches a sleeper that nothing wakes.
constexpr auto kLateBound = 5s;
/// The granularity the driver's wait works at.
constexpr auto kTick = 1ms;

const std::string kUnconvertible = "cannot convert float seconds to Duration: value is either too big or NaN";

RuntimeConfig runtime_config(std::size_t workers) {
    RuntimeConfig config;
    config.worker_threads = workers;
    return config;
}

using cadrel::test_support::wait_until;

std::size_t count_of(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
    return count;
}

bool same(std::optional<SecondsAndNanos> got, SecondsAndNanos want) {
    return got && got->seconds == want.seconds && got->nanos == want.nanos;
}

std::string show(std::optional<SecondsAndNanos> span) {
    if (!span) return "nullopt";
    return std::to_string(span->seconds) + " s + " + std::to_string(span->nanos) + " ns";
}

// ---- float seconds to duration ----------------------------------------------------

/// An independent reference: the exact decimal expansion of `seconds` (printf
/// prints every digit of a double when asked for enough), cut after the ninth
/// fractional digit and rounded half to even by looking at the rest.
SecondsAndNanos reference_duration(double seconds) {
    std::vector<char> text(1400);
    std::snprintf(text.data(), text.size(), "%.1100f", seconds);
    std::string digits(text.data());
    const std::size_t point = digits.find('.');
    SecondsAndNanos result;
    result.seconds = std::stoull(digits.substr(0, point));
    const std::string fraction = digits.substr(point + 1);
    result.nanos = static_cast<unsigned>(std::stoul(fraction.substr(0, 9)));
    const std::string rest = fraction.substr(9);
    const bool beyond_half_digit = rest.find_first_not_of('0', 1) != std::string::npos;
    bool up = rest[0] > '5' || (rest[0] == '5' && (beyond_half_digit || result.nanos % 2 == 1));
    if (up && ++result.nanos == 1'000'000'000) {
        result.nanos = 0;
        ++result.seconds;
    }
    return result;
}

struct ExactCase {
    double seconds;
    SecondsAndNanos expected;
};

TEST(DurationFromSeconds, ConvertsExactValues) {
    const double two_pow_64 = 18446744073709551616.0;
    const ExactCase cases[] = {
        {0.0, {0, 0}},
        {-0.0, {0, 0}},  // negative zero is zero, not a negative delay
        {0.5, {0, 500'000'000}},
        {1.0, {1, 0}},
        {1e-10, {0, 0}},                         // below half a nanosecond
        {std::numeric_limits<double>::denorm_min(), {0, 0}},
        {std::numeric_limits<double>::min(), {0, 0}},
        {5e-10, {0, 1}},                         // the double lies just above half a nanosecond
        {1e-9, {0, 1}},
        {1.5e-9, {0, 1}},                        // the double lies just below 1.5 ns
        {2.5e-9, {0, 3}},                        // just above 2.5 ns
        {0.1, {0, 100'000'000}},
        {1.0000000005, {1, 1}},
        {123.456789012, {123, 456'789'012}},
        {2251799813685248.5, {2251799813685248, 500'000'000}},  // 2^51 + 0.5
        {1e19, {10'000'000'000'000'000'000ull, 0}},
        {std::nextafter(two_pow_64, 0.0), {18'446'744'073'709'549'568ull, 0}},  // 2^64 - 2048
    };
    for (const ExactCase& c : cases) {
        auto got = rt::duration_from_seconds(c.seconds);
        EXPECT_TRUE(same(got, c.expected)) << c.seconds << " gave " << show(got);
        EXPECT_TRUE(same(got, reference_duration(c.seconds))) << c.seconds;
    }
}

// k/1024 s is exactly k * 976562.5 ns, so every odd k is a tie.
TEST(DurationFromSeconds, RoundsHalfANanosecondToEven) {
    const ExactCase ties[] = {
        {1.0 / 1024, {0, 976'562}},  // 976562.5 down to even
        {3.0 / 1024, {0, 2'929'688}},  // 2929687.5 up to even
        {5.0 / 1024, {0, 4'882'812}},
        {7.0 / 1024, {0, 6'835'938}},
        {8589934592.0 + 1.0 / 1024, {8'589'934'592, 976'562}},  // 2^33 s and a tie
        {std::nextafter(1.0 / 1024, 0.0), {0, 976'562}},        // just below the tie
        {std::nextafter(1.0 / 1024, 1.0), {0, 976'563}},        // just above it
        {std::nextafter(3.0 / 1024, 0.0), {0, 2'929'687}},
    };
    for (const ExactCase& c : ties) {
        auto got = rt::duration_from_seconds(c.seconds);
        EXPECT_TRUE(same(got, c.expected)) << c.seconds << " gave " << show(got);
    }
    std::mt19937_64 random(1024);
    for (int i = 0; i < 20'000; ++i) {
        const std::uint64_t k = (random() >> 24) | 1;  // odd, below 2^40
        const double seconds = static_cast<double>(k) / 1024;
        const std::uint64_t floor_nanos = k * 976'562 + k / 2;  // k * 976562.5 rounded down
        const std::uint64_t nanos = floor_nanos % 2 == 0 ? floor_nanos : floor_nanos + 1;
        const SecondsAndNanos expected{nanos / 1'000'000'000, static_cast<unsigned>(nanos % 1'000'000'000)};
        auto got = rt::duration_from_seconds(seconds);
        ASSERT_TRUE(same(got, expected)) << "k = " << k << " gave " << show(got);
    }
}

// Random doubles of every magnitude from 2^-80 s to just under 2^64 s agree
// with the exact decimal expansion.
TEST(DurationFromSeconds, AgreesWithTheExactDecimalExpansion) {
    std::mt19937_64 random(64);
    std::uniform_int_distribution<int> exponent(-80, 63);
    const int count = kUnderSanitizer ? 5'000 : 50'000;
    for (int i = 0; i < count; ++i) {
        const double mantissa = 1.0 + static_cast<double>(random() >> 12) * 0x1p-52;  // [1, 2)
        const double seconds = std::ldexp(mantissa, exponent(random));
        auto got = rt::duration_from_seconds(seconds);
        SecondsAndNanos expected = reference_duration(seconds);
        ASSERT_TRUE(same(got, expected)) << std::hexfloat << seconds << std::defaultfloat << " gave " << show(got)
                                         << ", expected " << show(expected);
    }
}

TEST(DurationFromSeconds, RefusesNegativeValuesNaNAnd2To64SecondsOrMore) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double refused[] = {-1e-300, -std::numeric_limits<double>::denorm_min(), -1.0, -inf, nan, -nan,
                              18446744073709551616.0, 1e20, std::numeric_limits<double>::max(), inf};
    for (double seconds : refused)
        EXPECT_FALSE(rt::duration_from_seconds(seconds).has_value()) << seconds;
}

class DurationOrFail : public testing::TestWithParam<double> {};

std::string unconvertible_name(const testing::TestParamInfo<double>& info) {
    const double value = info.param;
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return "Infinity";
    return value < 0 ? "Negative" : "TwoPow64";
}

INSTANTIATE_TEST_SUITE_P(Unconvertible, DurationOrFail,
                         testing::Values(std::numeric_limits<double>::infinity(),
                                         std::numeric_limits<double>::quiet_NaN(), 18446744073709551616.0, -1.0),
                         unconvertible_name);

TEST_P(DurationOrFail, ReportsOnStandardErrorAndThrowsPanic) {
    testing::internal::CaptureStderr();
    std::optional<std::string> thrown;
    try {
        (void)rt::duration_from_seconds_or_fail(GetParam());
    } catch (const rt::Panic& failure) {
        thrown = failure.message();
    }
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(thrown.has_value()) << "no Panic was thrown";
    EXPECT_EQ(*thrown, kUnconvertible);
    // Exactly one report: the header line, then the message.
    const std::regex report("^thread '" + rt::current_thread_name() +
                            "' panicked at src/runtime/duration\\.cpp:[0-9]+:[0-9]+:\n" + kUnconvertible + "\n$");
    EXPECT_TRUE(std::regex_match(err, report)) << err;
}

TEST(DurationOrFailAccepts, ConvertibleValuesQuietly) {
    testing::internal::CaptureStderr();
    SecondsAndNanos span = rt::duration_from_seconds_or_fail(2.25);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(span.seconds, 2u);
    EXPECT_EQ(span.nanos, 250'000'000u);
}

// ---- deadlines ---------------------------------------------------------------------

TEST(DeadlineAfter, AddsTheSpanExactly) {
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(rt::deadline_after(start, {0, 0}), start);
    EXPECT_EQ(rt::deadline_after(start, {0, 1}), start + 1ns);
    EXPECT_EQ(rt::deadline_after(start, {1, 5}), start + 1s + 5ns);
    EXPECT_EQ(rt::deadline_after(start, {86'400, 999'999'999}), start + 86'400s + 999'999'999ns);
    EXPECT_EQ(rt::deadline_after(Clock::time_point{}, {1'000'000'000, 7}),
              Clock::time_point{} + 1'000'000'000s + 7ns);
}

TEST(DeadlineAfter, SaturatesAtTheClocksMaximumAndIsExactJustBelowIt) {
    const auto max = Clock::time_point::max();
    const Clock::time_point origin{};
    const Clock::time_point start = Clock::now();
    // From the clock's origin, the largest representable span is max's count.
    const auto room = std::chrono::duration_cast<std::chrono::nanoseconds>(max - origin).count();
    const SecondsAndNanos largest{static_cast<unsigned long long>(room / 1'000'000'000),
                                  static_cast<unsigned>(room % 1'000'000'000)};
    EXPECT_EQ(rt::deadline_after(origin, largest), max);
    SecondsAndNanos one_below = largest;
    --one_below.nanos;
    EXPECT_EQ(rt::deadline_after(origin, one_below), max - 1ns);
    SecondsAndNanos a_second_below = largest;
    --a_second_below.seconds;
    EXPECT_EQ(rt::deadline_after(origin, a_second_below), max - 1s);
    SecondsAndNanos one_above = largest;
    ++one_above.nanos;
    EXPECT_EQ(rt::deadline_after(origin, one_above), max);

    const SecondsAndNanos beyond[] = {{largest.seconds + 1, 0},
                                      {18'446'744'073'709'549'568ull, 0},
                                      {std::numeric_limits<unsigned long long>::max(), 999'999'999}};
    for (const SecondsAndNanos& span : beyond) {
        EXPECT_EQ(rt::deadline_after(origin, span), max) << span.seconds;
        EXPECT_EQ(rt::deadline_after(start, span), max) << span.seconds;
    }
    EXPECT_EQ(rt::deadline_after(max, {0, 1}), max);
    EXPECT_EQ(rt::deadline_after(max - 1ns, {0, 1}), max);
}

// ---- the timer queue -----------------------------------------------------------------

/// Suspends the task, handing its Waker to `queue` with `deadline`; records
/// what insert returned.
struct EnterQueue {
    TimerQueue* queue;
    Clock::time_point deadline;
    std::atomic<int>* earliest;  // 1 when insert said "new earliest", 0 otherwise

    bool await_ready() const noexcept { return false; }
    void await_suspend(Task::Handle handle) const {
        earliest->store(queue->insert(deadline, rt::Waker(handle.promise().core)) ? 1 : 0);
    }
    void await_resume() const noexcept {}
};

/// Records the order in which tasks come back from the queue.
class ResumeLog {
public:
    void add(int id) {
        std::lock_guard lock(mutex_);
        ids_.push_back(id);
    }
    std::vector<int> ids() {
        std::lock_guard lock(mutex_);
        return ids_;
    }
    std::size_t size() {
        std::lock_guard lock(mutex_);
        return ids_.size();
    }

private:
    std::mutex mutex_;
    std::vector<int> ids_;
};

Task wait_in_queue(int id, TimerQueue* queue, Clock::time_point deadline, std::atomic<int>* earliest,
                   ResumeLog* log) {
    co_await EnterQueue{queue, deadline, earliest};
    log->add(id);
}

/// A queue whose sleepers are tasks on a one-worker runtime: the worker takes
/// them in the order they were woken, so their log shows the queue's firing
/// order. Deadlines are points of a made-up time line; only fire_due's `now`
/// decides what is due.
class QueueOrder : public testing::Test {
protected:
    static Clock::time_point at(int ms) { return Clock::time_point{} + 1h + std::chrono::milliseconds(ms); }

    /// Queues one sleeper per deadline, in order, and returns what each insert said.
    std::vector<int> insert_all(const std::vector<int>& deadlines_ms) {
        const std::size_t first = earliest_.size();
        for (std::size_t i = 0; i < deadlines_ms.size(); ++i) earliest_.push_back(std::make_unique<std::atomic<int>>(-1));
        for (std::size_t i = 0; i < deadlines_ms.size(); ++i) {
            const int id = static_cast<int>(first + i);
            (void)runtime_.handle().spawn(
                wait_in_queue(id, &queue_, at(deadlines_ms[i]), earliest_[first + i].get(), &log_));
            // One at a time, so that the sequence follows this order.
            wait_until("the sleeper's insertion", [&] { return earliest_[first + i]->load() >= 0; });
        }
        std::vector<int> said;
        for (std::size_t i = first; i < earliest_.size(); ++i) said.push_back(earliest_[i]->load());
        return said;
    }

    /// Fires what is due at `now_ms`; returns the ids that resumed, in order.
    std::vector<int> fire(int now_ms, std::size_t* fired) {
        const std::size_t before = log_.size();
        *fired = queue_.fire_due(at(now_ms));
        wait_until("the woken sleepers' resumption", [&] { return log_.size() == before + *fired; });
        std::vector<int> ids = log_.ids();
        return {ids.begin() + static_cast<std::ptrdiff_t>(before), ids.end()};
    }

    std::vector<std::unique_ptr<std::atomic<int>>> earliest_;
    ResumeLog log_;
    TimerQueue queue_;
    Runtime runtime_{runtime_config(1)};  // first to go: its tasks point at the above
};

TEST(TimerQueueEmpty, HasNoDeadlineAndFiresNothing) {
    TimerQueue queue;
    EXPECT_EQ(queue.size(), 0u);
    EXPECT_FALSE(queue.next_deadline().has_value());
    EXPECT_EQ(queue.fire_due(Clock::time_point::max()), 0u);
    EXPECT_EQ(queue.fire_due_now(), 0u);
    queue.clear();
    EXPECT_EQ(queue.size(), 0u);
}

TEST_F(QueueOrder, InsertSaysTrueOnlyForANewEarliestDeadline) {
    //                          new   later  equal  earlier  equal again  later  earliest
    std::vector<int> said = insert_all({50, 70, 50, 40, 40, 45, 10});
    EXPECT_EQ(said, (std::vector<int>{1, 0, 0, 1, 0, 0, 1}));
    EXPECT_EQ(queue_.size(), 7u);
    EXPECT_EQ(queue_.next_deadline(), at(10));
    std::size_t fired = 0;
    (void)fire(100, &fired);
    EXPECT_EQ(fired, 7u);
    // Empty again: the next sleeper is the earliest whatever its deadline.
    EXPECT_EQ(insert_all({1000}), std::vector<int>{1});
    (void)fire(1000, &fired);
}

TEST_F(QueueOrder, FiresOnlyWhatIsDueInDeadlineOrderAndTiesInInsertionOrder) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> deadline(0, 19);  // 60 sleepers on 20 deadlines: many ties
    std::vector<int> deadlines;
    for (int i = 0; i < 60; ++i) deadlines.push_back(deadline(random) * 10);
    (void)insert_all(deadlines);
    ASSERT_EQ(queue_.size(), deadlines.size());

    std::vector<int> expected(deadlines.size());
    for (std::size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<int>(i);
    std::stable_sort(expected.begin(), expected.end(), [&](int a, int b) { return deadlines[a] < deadlines[b]; });

    std::vector<int> resumed;
    std::size_t fired = 0;
    for (int now = -5; now <= 200; now += 5) {
        const std::size_t before = queue_.size();
        std::vector<int> batch = fire(now, &fired);
        // Due means "at or before now": exactly the sleepers with such deadlines.
        std::size_t due = 0;
        for (std::size_t i = resumed.size(); i < expected.size() && deadlines[expected[i]] <= now; ++i) ++due;
        EXPECT_EQ(fired, due) << "at " << now;
        EXPECT_EQ(queue_.size(), before - fired);
        for (int id : batch) EXPECT_LE(deadlines[id], now) << "sleeper " << id << " fired early";
        resumed.insert(resumed.end(), batch.begin(), batch.end());
        if (queue_.size() > 0) {
            EXPECT_EQ(queue_.next_deadline(), at(deadlines[expected[resumed.size()]]));
            EXPECT_GT(*queue_.next_deadline(), at(now));
        }
    }
    EXPECT_EQ(resumed, expected);
    EXPECT_EQ(queue_.size(), 0u);
    EXPECT_FALSE(queue_.next_deadline().has_value());
}

TEST_F(QueueOrder, ADeadlineIsDueAtItsInstantNotANanosecondBefore) {
    (void)insert_all({30});
    std::size_t fired = 0;
    EXPECT_TRUE(fire(29, &fired).empty());
    EXPECT_EQ(queue_.fire_due(at(30) - 1ns), 0u);
    EXPECT_EQ(fire(30, &fired), std::vector<int>{0});
}

TEST_F(QueueOrder, ClearDropsEverySleeperWithoutWakingIt) {
    (void)insert_all({10, 20, 30});
    queue_.clear();
    EXPECT_EQ(queue_.size(), 0u);
    EXPECT_FALSE(queue_.next_deadline().has_value());
    EXPECT_EQ(queue_.fire_due(Clock::time_point::max()), 0u);
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(log_.size(), 0u);  // nobody was woken; the runtime's shutdown destroys them
}

Task wait_forever(std::optional<rt::Waker>* waker, std::atomic<bool>* ready) {
    *waker = co_await rt::CurrentWaker{};
    ready->store(true);
    for (;;) co_await std::suspend_always{};  // woken any number of times; suspends again
}

// Several threads insert while another fires: every entry fires exactly once.
TEST(TimerQueueThreads, ConcurrentInsertsAndFiresLoseNothing) {
    constexpr int kThreads = 4;
    const int per_thread = kUnderSanitizer ? 2'000 : 20'000;
    std::optional<rt::Waker> waker;
    std::atomic<bool> ready{false};
    TimerQueue queue;
    Runtime runtime(runtime_config(2));
    (void)runtime.handle().spawn(wait_forever(&waker, &ready));
    wait_until("the sleeper's start", [&] { return ready.load(); });

    std::atomic<int> inserting{kThreads};
    std::size_t fired = 0;
    std::thread firer([&] {
        while (inserting.load() > 0) fired += queue.fire_due(Clock::now());
    });
    std::vector<std::thread> inserters;
    for (int t = 0; t < kThreads; ++t)
        inserters.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t));
            std::uniform_int_distribution<int> offset_us(-100, 2'000);
            for (int i = 0; i < per_thread; ++i)
                queue.insert(Clock::now() + std::chrono::microseconds(offset_us(random)), *waker);
            inserting.fetch_sub(1);
        });
    for (auto& thread : inserters) thread.join();
    firer.join();
    fired += queue.fire_due(Clock::time_point::max());
    EXPECT_EQ(fired, static_cast<std::size_t>(kThreads * per_thread));
    EXPECT_EQ(queue.size(), 0u);
}

// ---- sleeping tasks on a runtime ----------------------------------------------------

/// Destructions of the Probes that point to it, and the thread of the last one.
class ProbeCount {
public:
    void record() {
        destroyed_.fetch_add(1, std::memory_order_acq_rel);
        if (track_thread_) {
            std::lock_guard lock(mutex_);
            last_thread_ = rt::current_thread_name();
        }
    }
    int destroyed() const { return destroyed_.load(std::memory_order_acquire); }
    std::string last_thread() {
        std::lock_guard lock(mutex_);
        return last_thread_;
    }
    void track_thread() { track_thread_ = true; }

private:
    std::atomic<int> destroyed_{0};
    bool track_thread_ = false;
    std::mutex mutex_;
    std::string last_thread_;
};

/// Lives in a task's frame; counts its destruction.
class Probe {
public:
    explicit Probe(ProbeCount* count) : count_(count) {}
    Probe(Probe&& other) noexcept : count_(std::exchange(other.count_, nullptr)) {}
    Probe& operator=(Probe&&) = delete;
    ~Probe() {
        if (count_) count_->record();
    }

private:
    ProbeCount* count_;
};

/// What one sleeper saw.
struct SleepRecord {
    Clock::time_point deadline;
    Clock::time_point started;
    Clock::time_point resumed;
    int ticket = -1;
};

Task sleep_until(SleepRecord* record, std::atomic<int>* tickets, std::atomic<int>* done) {
    record->started = Clock::now();
    co_await rt::Sleep(record->deadline);
    record->resumed = Clock::now();
    record->ticket = tickets->fetch_add(1);
    done->fetch_add(1, std::memory_order_release);
}

Task sleep_for_span(SecondsAndNanos span, SleepRecord* record, std::atomic<int>* done) {
    record->started = Clock::now();  // sleep_for counts from a later instant than this
    co_await rt::sleep_for(span);
    record->resumed = Clock::now();
    done->fetch_add(1, std::memory_order_release);
}

Task sleep_with_probe(SecondsAndNanos span, [[maybe_unused]] Probe probe, std::atomic<int>* started,
                      std::atomic<bool>* resumed) {
    started->fetch_add(1, std::memory_order_release);
    co_await rt::sleep_for(span);
    resumed->store(true);
}

/// The timer task's shape: sleep `delay` seconds (positive delays only), then
/// "post" by counting.
Task delayed_post(double delay, std::atomic<int>* posted) {
    if (delay > 0) co_await rt::sleep_for(rt::duration_from_seconds_or_fail(delay));
    posted->fetch_add(1);
}

Task block_until(std::atomic<bool>* release, std::atomic<int>* blocked) {
    blocked->fetch_add(1);
    while (!release->load()) std::this_thread::sleep_for(100us);
    co_return;
}

Task sleep_past_and_log(std::mutex* mutex, std::string* log) {
    const Clock::time_point deadlines[] = {Clock::now() - 1s, Clock::time_point::min(), Clock::time_point{}};
    for (Clock::time_point deadline : deadlines) {
        co_await rt::Sleep(deadline);
        std::lock_guard lock(*mutex);
        log->push_back('a');
    }
    co_await rt::sleep_for({0, 0});
    std::lock_guard lock(*mutex);
    log->push_back('a');
}

Task log_once(std::mutex* mutex, std::string* log) {
    std::lock_guard lock(*mutex);
    log->push_back('b');
    co_return;
}

class SleepShape : public testing::TestWithParam<std::size_t> {
protected:
    RuntimeConfig config() const { return runtime_config(GetParam()); }
    int workers() const { return static_cast<int>(GetParam()); }
};

std::string shape_name(const testing::TestParamInfo<std::size_t>& info) {
    return "Workers" + std::to_string(info.param);
}

INSTANTIATE_TEST_SUITE_P(Shapes, SleepShape, testing::Values<std::size_t>(1, 4), shape_name);

// Spans around the driver's millisecond granularity included: a wait rounded
// down to whole milliseconds would resume these early.
TEST_P(SleepShape, SleepersNeverResumeBeforeTheirDeadline) {
    std::vector<SecondsAndNanos> spans = {{0, 1},         {0, 999'999},   {0, 1'000'000}, {0, 1'000'001},
                                          {0, 1'500'000}, {0, 2'999'999}, {0, 10'000'000}, {0, 50'000'001}};
    std::mt19937 random(11);
    std::uniform_int_distribution<unsigned> nanos(0, 80'000'000);
    while (spans.size() < 200) spans.push_back({0, nanos(random)});
    std::vector<SleepRecord> records(spans.size());
    std::atomic<int> done{0};
    Runtime runtime(config());
    for (std::size_t i = 0; i < spans.size(); ++i)
        (void)runtime.handle().spawn(sleep_for_span(spans[i], &records[i], &done));
    wait_until("every sleeper's resumption", [&] { return done.load(std::memory_order_acquire) == 200; });
    for (std::size_t i = 0; i < spans.size(); ++i) {
        const auto span = std::chrono::nanoseconds(spans[i].nanos);
        const auto slept = records[i].resumed - records[i].started;
        EXPECT_GE(slept, span) << "a sleep of " << span.count() << " ns resumed early";
        EXPECT_LT(slept, span + kLateBound) << "a sleep of " << span.count() << " ns";
    }
}

/// Whether this kernel has epoll_pwait2, the wait that takes a nanosecond timeout.
bool kernel_waits_in_nanoseconds() {
#if defined(SYS_epoll_pwait2)
    const int epoll = epoll_create1(EPOLL_CLOEXEC);
    if (epoll < 0) return false;
    timespec zero{};
    epoll_event event{};
    const long result = syscall(SYS_epoll_pwait2, epoll, &event, 1, &zero, nullptr, 0);
    close(epoll);
    return result >= 0;
#else
    return false;
#endif
}

Task sleep_repeatedly(SecondsAndNanos span, std::vector<Clock::duration>* slept, std::atomic<int>* done) {
    for (auto& each : *slept) {
        const auto start = Clock::now();
        co_await rt::sleep_for(span);
        each = Clock::now() - start;
    }
    done->fetch_add(1, std::memory_order_release);
}

// Where the kernel takes nanosecond timeouts, a sleep shorter than a
// millisecond is not rounded up to one: the median of many 200 us sleeps stays
// well below a millisecond, and none ends early.
TEST_P(SleepShape, SubMillisecondSleepsAreNotRoundedUpToAMillisecond) {
    if (!kernel_waits_in_nanoseconds()) GTEST_SKIP() << "no epoll_pwait2 here: waits round up to milliseconds";
    constexpr auto kSpan = 200us;
    std::vector<Clock::duration> slept(60);
    std::atomic<int> done{0};
    Runtime runtime(config());
    (void)runtime.handle().spawn(sleep_repeatedly({0, 200'000}, &slept, &done));
    wait_until("the sleeper's last resumption", [&] { return done.load(std::memory_order_acquire) == 1; });
    for (const auto& each : slept) EXPECT_GE(each, kSpan) << "a sleep resumed early";
    std::sort(slept.begin(), slept.end());
    EXPECT_LT(slept[slept.size() / 2], 800us) << "sub-millisecond deadlines were rounded up";
}

// With one worker the tasks run in the order the driver fires them; with
// several, tasks woken together may start on different workers in either
// order, so there only a few inversions beyond a tick are tolerated.
TEST_P(SleepShape, ManySleepersResumeInDeadlineOrder) {
    constexpr int kSleepers = 1'000;
    std::vector<SleepRecord> records(kSleepers);
    std::atomic<int> tickets{0};
    std::atomic<int> done{0};
    std::mt19937 random(1'000);
    std::uniform_int_distribution<long> offset_ns(0, 200'000'000);
    const Clock::time_point base = Clock::now() + 300ms;  // every sleeper is queued well before
    for (auto& record : records) record.deadline = base + std::chrono::nanoseconds(offset_ns(random));
    Runtime runtime(config());
    for (auto& record : records) (void)runtime.handle().spawn(sleep_until(&record, &tickets, &done));
    wait_until("every sleeper's resumption", [&] { return done.load(std::memory_order_acquire) == kSleepers; });

    std::vector<const SleepRecord*> by_ticket(kSleepers);
    for (const auto& record : records) {
        ASSERT_LT(record.started, base) << "a sleeper started after the first deadline; the order says nothing";
        EXPECT_GE(record.resumed, record.deadline) << "a sleeper resumed early";
        EXPECT_LT(record.resumed, record.deadline + kLateBound);
        by_ticket[static_cast<std::size_t>(record.ticket)] = &record;
    }
    // An inversion: a sleeper resumed before one whose deadline is more than a tick earlier.
    int inversions = 0;
    Clock::time_point latest_deadline = Clock::time_point::min();
    for (const SleepRecord* record : by_ticket) {
        if (record->deadline + kTick < latest_deadline) ++inversions;
        latest_deadline = std::max(latest_deadline, record->deadline);
    }
    if (workers() == 1) EXPECT_EQ(inversions, 0);
    else EXPECT_LE(inversions, kSleepers / 20);
}

// The worker in the driver's wait sleeps until the earliest deadline it knows
// of; a new earlier deadline (or a first one) must cut that wait short.
TEST_P(SleepShape, ANewEarliestDeadlineCutsTheDriversWaitShort) {
    ProbeCount probes;
    std::atomic<int> started{0};
    std::atomic<bool> long_resumed{false};
    std::vector<SleepRecord> records(2);
    std::atomic<int> done{0};
    Runtime runtime(config());
    // No timers yet: the driver waits without a deadline.
    std::this_thread::sleep_for(20ms);
    (void)runtime.handle().spawn(sleep_for_span({0, 30'000'000}, &records[0], &done));
    wait_until("the first sleeper's resumption", [&] { return done.load() == 1; });
    // Now a sleeper of an hour: the driver waits an hour.
    (void)runtime.handle().spawn(sleep_with_probe({3600, 0}, Probe(&probes), &started, &long_resumed));
    wait_until("the long sleeper's start", [&] { return started.load() == 1; });
    std::this_thread::sleep_for(20ms);
    (void)runtime.handle().spawn(sleep_for_span({0, 30'000'000}, &records[1], &done));
    wait_until("the short sleeper's resumption", [&] { return done.load() == 2; }, 10s);
    for (const auto& record : records) {
        EXPECT_GE(record.resumed - record.started, 30ms);
        EXPECT_LT(record.resumed - record.started, kLateBound);
    }
    EXPECT_FALSE(long_resumed.load());
    runtime.shutdown();
    EXPECT_EQ(probes.destroyed(), 1);
}

TEST_P(SleepShape, ASleeperAbortedWhileAsleepIsDestroyedOnAWorkerAndNeverResumes) {
    ProbeCount probes;
    probes.track_thread();
    std::atomic<int> started{0};
    std::atomic<bool> short_resumed{false};
    std::atomic<bool> long_resumed{false};
    Runtime runtime(config());
    // One that would wake soon and one that would sleep an hour.
    AbortHandle short_sleeper =
        runtime.handle().spawn(sleep_with_probe({0, 100'000'000}, Probe(&probes), &started, &short_resumed));
    AbortHandle long_sleeper =
        runtime.handle().spawn(sleep_with_probe({3600, 0}, Probe(&probes), &started, &long_resumed));
    wait_until("both sleepers' start", [&] { return started.load(std::memory_order_acquire) == 2; });
    std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(short_sleeper.is_finished());
    EXPECT_FALSE(long_sleeper.is_finished());
    const Clock::time_point aborted_at = Clock::now();
    short_sleeper.abort();
    long_sleeper.abort();
    wait_until("the aborted frames' destruction", [&] { return probes.destroyed() == 2; });
    EXPECT_LT(Clock::now() - aborted_at, kLateBound) << "the abort waited for the sleep";
    EXPECT_EQ(probes.last_thread(), "cadrel-worker");
    wait_until("is_finished", [&] { return short_sleeper.is_finished() && long_sleeper.is_finished(); });

    // The short sleeper's deadline passes: its stale queue entry wakes nothing,
    // and the runtime's timers go on working.
    std::this_thread::sleep_for(150ms);
    EXPECT_FALSE(short_resumed.load());
    EXPECT_FALSE(long_resumed.load());
    SleepRecord later;
    std::atomic<int> done{0};
    (void)runtime.handle().spawn(sleep_for_span({0, 20'000'000}, &later, &done));
    wait_until("a later sleeper's resumption", [&] { return done.load() == 1; });
    EXPECT_GE(later.resumed - later.started, 20ms);
    EXPECT_EQ(probes.destroyed(), 2);
}

TEST_P(SleepShape, ShutdownWithAHundredThousandSleepersIsFastAndDestroysEveryFrame) {
    constexpr int kSleepers = 100'000;
    ProbeCount probes;
    probes.track_thread();
    std::atomic<int> started{0};
    std::atomic<bool> resumed{false};
    auto runtime = std::make_unique<Runtime>(config());
    std::mt19937 random(5);
    std::uniform_int_distribution<unsigned long long> seconds(60, 86'400);
    for (int i = 0; i < kSleepers; ++i)
        (void)runtime->handle().spawn(sleep_with_probe({seconds(random), 0}, Probe(&probes), &started, &resumed));
    wait_until("every sleeper's start", [&] { return started.load(std::memory_order_acquire) == kSleepers; }, 120s);
    EXPECT_EQ(probes.destroyed(), 0);
    const Clock::time_point before = Clock::now();
    runtime.reset();
    const auto took = Clock::now() - before;
    EXPECT_LT(took, 5s) << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
    EXPECT_EQ(probes.destroyed(), kSleepers);
    EXPECT_EQ(probes.last_thread(), rt::current_thread_name());  // destroyed by the dropping thread
    EXPECT_FALSE(resumed.load());
}

// A past or zero deadline does not suspend: the task runs straight through
// its sleeps before the task queued behind it gets the worker. Every worker
// but one is kept busy, so one worker takes both tasks in queue order.
TEST_P(SleepShape, PastAndZeroDeadlinesDoNotSuspend) {
    std::vector<std::unique_ptr<std::atomic<bool>>> release;
    for (int i = 0; i < workers(); ++i) release.push_back(std::make_unique<std::atomic<bool>>(false));
    std::atomic<int> blocked{0};
    std::mutex mutex;
    std::string log;
    Runtime runtime(config());
    std::vector<AbortHandle> blockers;
    for (int i = 0; i < workers(); ++i) blockers.push_back(runtime.handle().spawn(block_until(release[i].get(), &blocked)));
    wait_until("every worker blocked", [&] { return blocked.load() == workers(); });
    AbortHandle sleeper = runtime.handle().spawn(sleep_past_and_log(&mutex, &log));
    AbortHandle other = runtime.handle().spawn(log_once(&mutex, &log));
    release[0]->store(true);
    wait_until("both tasks' end", [&] { return sleeper.is_finished() && other.is_finished(); });
    for (auto& flag : release) flag->store(true);
    wait_until("the blockers' end", [&] {
        return std::all_of(blockers.begin(), blockers.end(), [](const AbortHandle& h) { return h.is_finished(); });
    });
    std::lock_guard lock(mutex);
    EXPECT_EQ(log, "aaaab");
}

// The timer task's shape: a delay that no duration holds ends that task with
// a report from the worker; zero, negative and NaN delays post at once; the
// runtime and the other timers carry on.
TEST_P(SleepShape, AnUnconvertibleDelayEndsOnlyItsTaskWithAReport) {
    const double inf = std::numeric_limits<double>::infinity();
    std::atomic<int> failed_posts{0};
    std::atomic<int> prompt_posts{0};
    std::atomic<int> later_posts{0};
    Runtime runtime(config());
    testing::internal::CaptureStderr();
    AbortHandle failed_inf = runtime.handle().spawn(delayed_post(inf, &failed_posts));
    AbortHandle failed_big = runtime.handle().spawn(delayed_post(18446744073709551616.0, &failed_posts));
    for (double delay : {0.0, -5.0, -inf, std::numeric_limits<double>::quiet_NaN()})
        (void)runtime.handle().spawn(delayed_post(delay, &prompt_posts));
    const Clock::time_point scheduled = Clock::now();
    (void)runtime.handle().spawn(delayed_post(0.02, &later_posts));
    wait_until("the prompt posts", [&] { return prompt_posts.load() == 4; });
    wait_until("the later post", [&] { return later_posts.load() == 1; });
    EXPECT_GE(Clock::now() - scheduled, 20ms);
    wait_until("the failed tasks' end", [&] { return failed_inf.is_finished() && failed_big.is_finished(); });
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(failed_posts.load(), 0);
    EXPECT_EQ(count_of(err, "thread 'cadrel-worker' panicked at src/runtime/duration.cpp:"), 2u) << err;
    EXPECT_EQ(count_of(err, ":\n" + kUnconvertible + "\n"), 2u) << err;
}

// A deadline beyond the clock saturates: it never comes, the driver's wait is
// still bounded sensibly, and earlier timers fire as usual.
TEST_P(SleepShape, ASaturatedDeadlineNeverFiresAndDelaysNothing) {
    ProbeCount probes;
    std::atomic<int> started{0};
    std::atomic<bool> resumed{false};
    SleepRecord record;
    std::atomic<int> done{0};
    Runtime runtime(config());
    (void)runtime.handle().spawn(sleep_with_probe({std::numeric_limits<unsigned long long>::max(), 999'999'999},
                                                  Probe(&probes), &started, &resumed));
    wait_until("the endless sleeper's start", [&] { return started.load() == 1; });
    std::this_thread::sleep_for(20ms);
    (void)runtime.handle().spawn(sleep_for_span({0, 25'000'000}, &record, &done));
    wait_until("the short sleeper's resumption", [&] { return done.load() == 1; }, 10s);
    EXPECT_GE(record.resumed - record.started, 25ms);
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(resumed.load());
    runtime.shutdown();
    EXPECT_EQ(probes.destroyed(), 1);
}

}  // namespace
