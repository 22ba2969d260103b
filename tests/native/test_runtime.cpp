// Unit tests of the runtime's shape and lifecycle: worker count and names,
// shutdown and joining, spawning from anywhere, build failures, and leaks of
// threads and descriptors (checked in the fixture's teardown).
#include "runtime/os_error.hpp"
#include "runtime/runtime.hpp"
#include "runtime/task.hpp"
#include "runtime/cpu_quota.hpp"
#include "runtime/thread_util.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <coroutine>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <pthread.h>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

namespace rt = cadrel::rt;
using rt::AbortHandle;
using rt::Runtime;
using rt::RuntimeConfig;
using rt::Task;
using namespace std::chrono_literals;

namespace support = cadrel::test_support;
using support::config_of;
using support::die;
using support::fd_count;
using support::kBound;
using support::kUnderTsan;
using support::StartHelperThreads;
using support::SuspendForever;
using support::thread_count;
using support::thread_count_settles_to;
using support::wait_until;

// ---- what /proc says -------------------------------------------------------

std::size_t threads_named(const std::string& name) {
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(entry.path() / "comm");
        std::string line;
        if (std::getline(comm, line) && line == name) ++count;
    }
    return count;
}

/// The workers still listed after their join, polled for a while: the kernel
/// may list a joined thread for a moment after its joiner returns.
std::size_t workers_listed_after_join() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::size_t count = threads_named("cadrel-worker");
    while (count != 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        count = threads_named("cadrel-worker");
    }
    return count;
}

// ---- helpers living in task frames ----------------------------------------

/// Counts destructions of the Probes that point to it, and where they ran.
class ProbeLog {
public:
    void record() {
        std::lock_guard lock(mutex_);
        ++destroyed_;
        last_thread_ = rt::current_thread_name();
    }
    int destroyed() {
        std::lock_guard lock(mutex_);
        return destroyed_;
    }
    std::string last_thread() {
        std::lock_guard lock(mutex_);
        return last_thread_;
    }

private:
    std::mutex mutex_;
    int destroyed_ = 0;
    std::string last_thread_;
};

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

/// Counts the worker threads that touched it and have since exited: a
/// thread's thread_local objects are destroyed before the thread ends, so
/// before pthread_join can return.
std::atomic<int> g_worker_exits{0};
struct ThreadExitProbe {
    bool armed = false;
    ~ThreadExitProbe() {
        if (armed) g_worker_exits.fetch_add(1);
    }
};
thread_local ThreadExitProbe t_exit_probe;

// ---- task bodies ------------------------------------------------------------

Task hold_forever([[maybe_unused]] Probe probe, [[maybe_unused]] std::shared_ptr<int> resource,
                  std::atomic<int>* started) {
    started->fetch_add(1);
    co_await SuspendForever{};
    std::abort();
}

Task hold_waker_forever([[maybe_unused]] Probe probe, std::optional<rt::Waker>* out,
                        std::atomic<int>* started) {
    *out = co_await rt::CurrentWaker{};
    started->fetch_add(1);
    co_await SuspendForever{};
    std::abort();
}

Task never_runs([[maybe_unused]] Probe probe, std::atomic<bool>* ran) {
    ran->store(true);
    co_return;
}

Task count_run(std::atomic<int>* slot, std::atomic<int>* done) {
    slot->fetch_add(1);
    done->fetch_add(1);
    co_return;
}

Task spawn_tree(rt::Handle handle, int depth, std::atomic<int>* runs) {
    runs->fetch_add(1);
    if (depth > 0) {
        (void)handle.spawn(spawn_tree(handle, depth - 1, runs));
        (void)handle.spawn(spawn_tree(handle, depth - 1, runs));
    }
    co_return;
}

/// Runs on a worker until `expected` of these run at once, so that each of
/// them holds a distinct worker; marks that worker's thread-exit probe.
Task occupy_worker(std::atomic<int>* arrived, int expected, std::atomic<int>* finished) {
    t_exit_probe.armed = true;
    arrived->fetch_add(1);
    while (arrived->load() < expected) std::this_thread::sleep_for(100us);
    finished->fetch_add(1);
    co_return;
}

Task spin_until(std::atomic<bool>* release, std::atomic<int>* started,
                [[maybe_unused]] Probe probe) {
    started->fetch_add(1);
    while (!release->load()) std::this_thread::sleep_for(100us);
    co_await SuspendForever{};
}

Task empty_task([[maybe_unused]] Probe probe) { co_return; }

// ---- fixtures ----------------------------------------------------------------

[[maybe_unused]] testing::Environment* const g_start_helper_threads =
    testing::AddGlobalTestEnvironment(new StartHelperThreads);


/// Every test must leave as many threads and descriptors as it found.
class RuntimeTest : public testing::Test {
protected:
    void SetUp() override {
        threads_before_ = thread_count();
        fds_before_ = fd_count();
    }
    void TearDown() override {
        EXPECT_TRUE(thread_count_settles_to(threads_before_))
            << "threads leaked: " << thread_count() << " now, " << threads_before_ << " before";
        EXPECT_EQ(fd_count(), fds_before_) << "descriptors leaked";
        EXPECT_EQ(workers_listed_after_join(), 0u);
    }

    std::size_t threads_before_ = 0;
    std::size_t fds_before_ = 0;
};

class RuntimeShape : public RuntimeTest, public testing::WithParamInterface<std::size_t> {
protected:
    RuntimeConfig config() const { return config_of("cadrel-worker", GetParam()); }
    int workers() const { return static_cast<int>(GetParam()); }
};

std::string shape_name(const testing::TestParamInfo<std::size_t>& info) {
    return "Workers" + std::to_string(info.param);
}

INSTANTIATE_TEST_SUITE_P(Shapes, RuntimeShape, testing::Values<std::size_t>(1, 4), shape_name);

// ---- worker count and names ---------------------------------------------------

std::size_t affinity_count() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) != 0) return 0;
    return static_cast<std::size_t>(CPU_COUNT(&set));
}

TEST_F(RuntimeTest, WorkerCountDefaultsToAvailableParallelism) {
    std::size_t expected = affinity_count();
    ASSERT_GE(expected, 1u);
    expected = std::min(expected, rt::cgroup_cpu_limit().value_or(expected));
    EXPECT_EQ(rt::available_parallelism(), expected);
    Runtime runtime;
    EXPECT_EQ(runtime.worker_count(), expected);
    EXPECT_GE(runtime.worker_count(), 1u);
    wait_until("the workers' names", [&] { return threads_named("cadrel-worker") == expected; });
}

// The default follows the affinity mask, not the machine: a thread confined to
// one processor builds a one-worker runtime.
TEST_F(RuntimeTest, WorkerCountFollowsTheAffinityMask) {
    cpu_set_t all;
    CPU_ZERO(&all);
    ASSERT_EQ(sched_getaffinity(0, sizeof(all), &all), 0);
    int first = -1;
    for (int cpu = 0; cpu < CPU_SETSIZE && first < 0; ++cpu)
        if (CPU_ISSET(cpu, &all)) first = cpu;
    ASSERT_GE(first, 0);

    using Counts = std::pair<std::size_t, std::size_t>;
    Counts counts = std::async(std::launch::async, [first] {
        // Affinity is per thread, so only this thread (and the workers it
        // starts, which inherit it) is confined.
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(first, &one);
        if (sched_setaffinity(0, sizeof(one), &one) != 0) return Counts{0, 0};
        Runtime runtime;
        return Counts{rt::available_parallelism(), runtime.worker_count()};
    }).get();
    EXPECT_EQ(counts.first, 1u);
    EXPECT_EQ(counts.second, 1u);
}

TEST_P(RuntimeShape, EveryWorkerIsNamed) {
    std::size_t before = thread_count();
    Runtime runtime(config());
    EXPECT_EQ(runtime.worker_count(), GetParam());
    wait_until("the workers' names", [&] { return threads_named("cadrel-worker") == GetParam(); });
    EXPECT_EQ(thread_count(), before + GetParam());
}

TEST_F(RuntimeTest, ThreadNamesAreCutToFifteenBytes) {
    Runtime runtime(config_of("a-very-long-thread-name", 2));
    wait_until("the workers' names", [&] { return threads_named("a-very-long-thr") == 2; });
}

TEST_F(RuntimeTest, ZeroWorkerThreadsMeansTheDefault) {
    Runtime runtime(config_of("cadrel-worker", 0));
    EXPECT_EQ(runtime.worker_count(), rt::available_parallelism());
}

// ---- cgroup CPU quotas ---------------------------------------------------------

/// A directory tree standing in for the filesystem root, removed afterwards.
class FakeRoot {
public:
    FakeRoot() {
        char pattern[] = "/tmp/cadrel-root-XXXXXX";
        if (mkdtemp(pattern) == nullptr) rt::throw_last_os_error();
        path_ = pattern;
    }
    ~FakeRoot() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    FakeRoot(const FakeRoot&) = delete;
    FakeRoot& operator=(const FakeRoot&) = delete;

    void write(const std::string& relative, const std::string& text) const {
        const std::filesystem::path file = path_ / relative;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file) << text;
    }
    std::string path() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

struct QuotaCase {
    const char* name;
    std::vector<std::pair<std::string, std::string>> files;
    std::optional<std::size_t> expected;
};

std::ostream& operator<<(std::ostream& out, const QuotaCase& quota_case) { return out << quota_case.name; }

class CgroupCpuLimit : public testing::TestWithParam<QuotaCase> {};

TEST_P(CgroupCpuLimit, IsTheTightestQuotaRoundedUp) {
    FakeRoot root;
    for (const auto& [relative, text] : GetParam().files) root.write(relative, text);
    EXPECT_EQ(rt::cgroup_cpu_limit(root.path()), GetParam().expected);
}

const std::string kV2Self = "0::/app.slice/job\n";
const std::string kV1Self = "12:memory:/job\n4:cpu,cpuacct:/job\n1:name=systemd:/job\n";

INSTANTIATE_TEST_SUITE_P(
    Files, CgroupCpuLimit,
    testing::Values(
        QuotaCase{"V2NoQuota", {{"proc/self/cgroup", kV2Self}, {"sys/fs/cgroup/app.slice/job/cpu.max", "max 100000\n"}}, {}},
        QuotaCase{"V2HalfACpuIsOne", {{"proc/self/cgroup", kV2Self}, {"sys/fs/cgroup/app.slice/job/cpu.max", "50000 100000\n"}}, 1},
        QuotaCase{"V2RoundsUp", {{"proc/self/cgroup", kV2Self}, {"sys/fs/cgroup/app.slice/job/cpu.max", "150001 100000\n"}}, 2},
        QuotaCase{"V2ExactQuota", {{"proc/self/cgroup", kV2Self}, {"sys/fs/cgroup/app.slice/job/cpu.max", "300000 100000\n"}}, 3},
        QuotaCase{"V2ParentIsTighter",
                  {{"proc/self/cgroup", kV2Self},
                   {"sys/fs/cgroup/app.slice/job/cpu.max", "800000 100000\n"},
                   {"sys/fs/cgroup/app.slice/cpu.max", "200000 100000\n"}},
                  2},
        QuotaCase{"V2ChildIsTighter",
                  {{"proc/self/cgroup", kV2Self},
                   {"sys/fs/cgroup/app.slice/job/cpu.max", "100000 100000\n"},
                   {"sys/fs/cgroup/cpu.max", "400000 100000\n"}},
                  1},
        QuotaCase{"V2NamespacedGroupUsesTheMountTop",
                  {{"proc/self/cgroup", "0::/elsewhere\n"}, {"sys/fs/cgroup/cpu.max", "250000 100000\n"}},
                  3},
        QuotaCase{"V2PathCannotLeaveTheMount",
                  {{"proc/self/cgroup", "0::/../../outside\n"}, {"sys/fs/outside/cpu.max", "100000 100000\n"}},
                  {}},
        QuotaCase{"V1NoQuota",
                  {{"proc/self/cgroup", kV1Self},
                   {"sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_quota_us", "-1\n"},
                   {"sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_period_us", "100000\n"}},
                  {}},
        QuotaCase{"V1Quota",
                  {{"proc/self/cgroup", kV1Self},
                   {"sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_quota_us", "250000\n"},
                   {"sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_period_us", "100000\n"}},
                  3},
        QuotaCase{"V1SeparateCpuMount",
                  {{"proc/self/cgroup", "3:cpu:/job\n"},
                   {"sys/fs/cgroup/cpu/job/cpu.cfs_quota_us", "100000\n"},
                   {"sys/fs/cgroup/cpu/job/cpu.cfs_period_us", "50000\n"}},
                  2},
        QuotaCase{"V1OtherControllerIgnored",
                  {{"proc/self/cgroup", "2:cpuacct:/job\n"},
                   {"sys/fs/cgroup/cpu/job/cpu.cfs_quota_us", "100000\n"},
                   {"sys/fs/cgroup/cpu/job/cpu.cfs_period_us", "100000\n"}},
                  {}},
        QuotaCase{"V1AndV2TightestWins",
                  {{"proc/self/cgroup", "4:cpu:/\n0::/\n"},
                   {"sys/fs/cgroup/cpu/cpu.cfs_quota_us", "400000\n"},
                   {"sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n"},
                   {"sys/fs/cgroup/unified/cpu.max", "100000 100000\n"}},
                  1},
        QuotaCase{"MalformedFilesAreIgnored",
                  {{"proc/self/cgroup", "garbage\n0::/job\n"},
                   {"sys/fs/cgroup/job/cpu.max", "lots 100000\n"},
                   {"sys/fs/cgroup/cpu.max", "100000 0\n"}},
                  {}},
        QuotaCase{"ZeroOrNegativeQuotaIsNoQuota",
                  {{"proc/self/cgroup", "0::/\n"}, {"sys/fs/cgroup/cpu.max", "0 100000\n"}},
                  {}},
        QuotaCase{"NoCgroupFile", {}, {}}),
    [](const testing::TestParamInfo<QuotaCase>& info) { return std::string(info.param.name); });

// ---- worker stacks -----------------------------------------------------------------

/// The size of the running thread's stack, or 0 where it cannot be read back.
std::size_t current_stack_size() {
#if defined(__linux__)
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return 0;
    std::size_t size = 0;
    pthread_attr_getstacksize(&attributes, &size);
    pthread_attr_destroy(&attributes);
    return size;
#else
    return 0;
#endif
}

Task record_stack_size(std::atomic<std::size_t>* size, std::atomic<int>* done) {
    size->store(current_stack_size());
    done->fetch_add(1);
    co_return;
}

TEST_P(RuntimeShape, WorkersRunOnAStackOfAtLeastTwoMebibytes) {
    if (current_stack_size() == 0) GTEST_SKIP() << "a thread's stack size cannot be read back here";
    Runtime runtime(config());
    std::vector<std::atomic<std::size_t>> sizes(8);
    std::atomic<int> done{0};
    for (auto& size : sizes) (void)runtime.handle().spawn(record_stack_size(&size, &done));
    wait_until("the tasks", [&] { return done.load() == static_cast<int>(sizes.size()); });
    for (const auto& size : sizes) EXPECT_GE(size.load(), std::size_t{2} << 20);
    wait_until("the workers' names", [&] { return threads_named("cadrel-worker") == GetParam(); });
}

TEST_F(RuntimeTest, ANativeThreadGetsTheStackItAskedFor) {
    if (current_stack_size() == 0) GTEST_SKIP() << "a thread's stack size cannot be read back here";
    for (std::size_t asked : {std::size_t{1}, std::size_t{3} << 20, (std::size_t{8} << 20) + 1}) {
        std::atomic<std::size_t> seen{0};
        rt::NativeThread thread([&seen] { seen = current_stack_size(); }, asked);
        EXPECT_TRUE(thread.joinable());
        EXPECT_FALSE(thread.is_current());
        thread.join();
        EXPECT_FALSE(thread.joinable());
        EXPECT_GE(seen.load(), asked);
    }
}

// ---- shutdown ----------------------------------------------------------------

TEST_P(RuntimeShape, DestructionJoinsEveryWorkerBeforeItReturns) {
    std::size_t before = thread_count();
    int exits_before = g_worker_exits.load();
    std::atomic<int> arrived{0};
    std::atomic<int> finished{0};
    {
        Runtime runtime(config());
        for (int i = 0; i < workers(); ++i)
            (void)runtime.handle().spawn(occupy_worker(&arrived, workers(), &finished));
        wait_until("every worker occupied", [&] { return finished.load() == workers(); });
        EXPECT_EQ(thread_count(), before + GetParam());
    }
    // Every worker has run its thread-exit code: it was joined, not detached.
    EXPECT_EQ(g_worker_exits.load() - exits_before, workers());
    EXPECT_TRUE(thread_count_settles_to(before));
    EXPECT_EQ(workers_listed_after_join(), 0u);
}

TEST_P(RuntimeShape, ShutdownDestroysUnfinishedTasksAndReleasesWhatTheyHold) {
    constexpr int kTasks = 16;
    ProbeLog log;
    auto resource = std::make_shared<int>(7);
    std::atomic<int> started{0};
    std::vector<AbortHandle> handles;
    {
        Runtime runtime(config());
        for (int i = 0; i < kTasks; ++i)
            handles.push_back(
                runtime.handle().spawn(hold_forever(Probe(&log), resource, &started)));
        wait_until("every task suspended", [&] { return started.load() == kTasks; });
        EXPECT_EQ(resource.use_count(), 1 + kTasks);
        EXPECT_EQ(log.destroyed(), 0);
        for (const auto& handle : handles) EXPECT_FALSE(handle.is_finished());
    }
    EXPECT_EQ(log.destroyed(), kTasks);
    EXPECT_EQ(resource.use_count(), 1);
    // The frames were destroyed by the thread that dropped the runtime.
    EXPECT_EQ(log.last_thread(), rt::current_thread_name());
    for (const auto& handle : handles) {
        EXPECT_TRUE(handle.is_finished());
        handle.abort();  // harmless after shutdown
    }
    EXPECT_EQ(log.destroyed(), kTasks);
}

// Tasks that were queued but never ran are destroyed by shutdown too.
TEST_P(RuntimeShape, ShutdownDestroysQueuedTasksThatNeverRan) {
    constexpr int kQueued = 32;
    ProbeLog blocker_log;
    ProbeLog log;
    std::atomic<bool> release{false};
    std::atomic<int> started{0};
    std::atomic<bool> ran{false};
    auto runtime = std::make_unique<Runtime>(config());
    for (int i = 0; i < workers(); ++i)
        (void)runtime->handle().spawn(spin_until(&release, &started, Probe(&blocker_log)));
    wait_until("every worker blocked", [&] { return started.load() == workers(); });
    for (int i = 0; i < kQueued; ++i) (void)runtime->handle().spawn(never_runs(Probe(&log), &ran));
    // Shut down while every worker is busy: they only stop once released, and
    // by then the queue must not be run any more.
    std::thread releaser([&release] {
        std::this_thread::sleep_for(50ms);
        release.store(true);
    });
    runtime.reset();
    releaser.join();
    EXPECT_EQ(log.destroyed(), kQueued);
    EXPECT_EQ(blocker_log.destroyed(), workers());
    EXPECT_FALSE(ran.load());
}

TEST_P(RuntimeShape, ShutdownIsIdempotent) {
    ProbeLog log;
    std::atomic<int> started{0};
    Runtime runtime(config());
    (void)runtime.handle().spawn(hold_forever(Probe(&log), nullptr, &started));
    wait_until("the task's suspension", [&] { return started.load() == 1; });
    runtime.shutdown();
    EXPECT_EQ(log.destroyed(), 1);
    EXPECT_TRUE(runtime.handle().is_shut_down());
    runtime.shutdown();
    EXPECT_EQ(log.destroyed(), 1);
    EXPECT_EQ(workers_listed_after_join(), 0u);
}  // and the destructor shuts down a third time

// Two threads shut the same runtime down at once: neither returns before the
// workers are joined, and no frame is destroyed while a worker still runs it.
TEST_P(RuntimeShape, ConcurrentShutdownsBothWaitForTheWorkers) {
    ProbeLog log;
    std::atomic<bool> release{false};
    std::atomic<int> started{0};
    Runtime runtime(config());
    (void)runtime.handle().spawn(spin_until(&release, &started, Probe(&log)));
    wait_until("the busy task's start", [&] { return started.load() == 1; });

    auto first = std::async(std::launch::async, [&runtime] { runtime.shutdown(); });
    std::this_thread::sleep_for(30ms);  // the first is waiting for the busy worker
    auto second = std::async(std::launch::async, [&runtime] { runtime.shutdown(); });
    EXPECT_EQ(second.wait_for(100ms), std::future_status::timeout)
        << "a second shutdown returned while a worker was still running a task";
    EXPECT_EQ(log.destroyed(), 0) << "a frame was destroyed while a worker ran it";
    release.store(true);
    if (first.wait_for(kBound) != std::future_status::ready) die("the first shutdown");
    if (second.wait_for(kBound) != std::future_status::ready) die("the second shutdown");
    EXPECT_EQ(log.destroyed(), 1);
}

TEST_P(RuntimeShape, SpawnAfterShutdownDestroysTheTaskAtOnceUnrun) {
    std::optional<rt::Handle> handle;
    {
        Runtime runtime(config());
        handle = runtime.handle();
        EXPECT_FALSE(handle->is_shut_down());
    }
    ASSERT_TRUE(handle->is_shut_down());
    ProbeLog log;
    std::atomic<bool> ran{false};
    AbortHandle task = handle->spawn(never_runs(Probe(&log), &ran));
    // Destroyed before spawn returned, on this thread, without running.
    EXPECT_EQ(log.destroyed(), 1);
    EXPECT_EQ(log.last_thread(), rt::current_thread_name());
    EXPECT_FALSE(ran.load());
    EXPECT_TRUE(task.is_finished());
    task.abort();
    EXPECT_EQ(log.destroyed(), 1);
}

TEST_P(RuntimeShape, SpawnAfterAnExplicitShutdownDestroysTheTaskAtOnce) {
    Runtime runtime(config());
    runtime.shutdown();
    ProbeLog log;
    std::atomic<bool> ran{false};
    AbortHandle task = runtime.handle().spawn(never_runs(Probe(&log), &ran));
    EXPECT_EQ(log.destroyed(), 1);
    EXPECT_FALSE(ran.load());
    EXPECT_TRUE(task.is_finished());
}

TEST_P(RuntimeShape, WakingAfterShutdownIsHarmless) {
    ProbeLog log;
    std::optional<rt::Waker> waker;
    std::atomic<int> started{0};
    AbortHandle task;
    {
        Runtime runtime(config());
        task = runtime.handle().spawn(hold_waker_forever(Probe(&log), &waker, &started));
        wait_until("the task's suspension", [&] { return started.load() == 1; });
    }
    ASSERT_TRUE(waker.has_value());
    EXPECT_EQ(log.destroyed(), 1);
    // The waker and the abort handle keep the task's core alive, not the frame.
    waker->wake();
    task.abort();
    EXPECT_TRUE(task.is_finished());
    EXPECT_EQ(log.destroyed(), 1);
}

// ---- spawning from anywhere -----------------------------------------------------

TEST_P(RuntimeShape, TasksSpawnedFromSeveralThreadsRunExactlyOnce) {
    constexpr int kThreads = 4;
    const int per_thread = kUnderTsan ? 1'000 : 5'000;
    const int total = kThreads * per_thread;
    std::vector<std::atomic<int>> runs(static_cast<std::size_t>(total));
    std::atomic<int> done{0};
    {
        Runtime runtime(config());
        std::vector<std::thread> spawners;
        for (int t = 0; t < kThreads; ++t) {
            spawners.emplace_back([&, t, handle = runtime.handle()] {
                for (int i = 0; i < per_thread; ++i) {
                    std::atomic<int>* slot = &runs[static_cast<std::size_t>(t * per_thread + i)];
                    (void)handle.spawn(count_run(slot, &done));
                }
            });
        }
        for (auto& thread : spawners) thread.join();
        wait_until("every task's run", [&] { return done.load() == total; });
    }
    int wrong = 0;
    for (const auto& slot : runs)
        if (slot.load() != 1) ++wrong;
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(done.load(), total);
}

TEST_P(RuntimeShape, TasksSpawnedFromTasksRunExactlyOnce) {
    constexpr int kDepth = 10;  // 2^11 - 1 tasks
    std::atomic<int> runs{0};
    Runtime runtime(config());
    (void)runtime.handle().spawn(spawn_tree(runtime.handle(), kDepth, &runs));
    wait_until("the whole tree's run", [&] { return runs.load() == (1 << (kDepth + 1)) - 1; });
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(runs.load(), (1 << (kDepth + 1)) - 1);
}

// Tasks queued back to back while every worker is asleep must wake distinct
// workers: each of these tasks blocks until all of them run at once, so a
// wake-up that two queued tasks spend on the same sleeper leaves one queued
// while a worker sleeps, and the round never ends.
TEST_P(RuntimeShape, TasksQueuedBackToBackEachGetAWorker) {
    std::atomic<int> arrived{0};
    std::atomic<int> finished{0};
    Runtime runtime(config());
    for (int round = 0; round < 100; ++round) {
        arrived.store(0);
        finished.store(0);
        std::this_thread::sleep_for(200us);  // let every worker go back to sleep
        for (int i = 0; i < workers(); ++i)
            (void)runtime.handle().spawn(occupy_worker(&arrived, workers(), &finished));
        wait_until("every worker occupied at once", [&] { return finished.load() == workers(); });
    }
}

// ---- many runtimes ------------------------------------------------------------

TEST_F(RuntimeTest, AThousandRuntimesInARowLeakNoThreadsAndNoDescriptors) {
    std::size_t threads = thread_count();
    std::size_t fds = fd_count();
    ProbeLog log;
    for (int i = 0; i < 1000; ++i) {
        Runtime runtime(config_of("cadrel-worker", static_cast<std::size_t>(1 + i % 4)));
        // Some of them get a task, which runs or is destroyed by the shutdown.
        if (i % 3 == 0) (void)runtime.handle().spawn(empty_task(Probe(&log)));
    }
    EXPECT_EQ(fd_count(), fds);
    EXPECT_TRUE(thread_count_settles_to(threads));
    EXPECT_EQ(log.destroyed(), 334);
}

// ---- build failures -------------------------------------------------------------

/// Lowers the soft RLIMIT_NOFILE so that the process can open exactly `room`
/// more descriptors; the old limit comes back when it goes out of scope.
class DescriptorLimit {
public:
    explicit DescriptorLimit(int room) {
        if (getrlimit(RLIMIT_NOFILE, &saved_) != 0) return;
        // The lowest free descriptor is where the next open would land.
        int lowest = dup(STDERR_FILENO);
        if (lowest < 0) return;
        close(lowest);
        rlimit lowered = saved_;
        lowered.rlim_cur = static_cast<rlim_t>(lowest + room);
        applied_ = setrlimit(RLIMIT_NOFILE, &lowered) == 0;
    }
    ~DescriptorLimit() {
        if (applied_) setrlimit(RLIMIT_NOFILE, &saved_);
    }
    DescriptorLimit(const DescriptorLimit&) = delete;
    DescriptorLimit& operator=(const DescriptorLimit&) = delete;
    bool applied() const { return applied_; }

private:
    rlimit saved_{};
    bool applied_ = false;
};

bool ends_with(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

/// Builds a runtime with `room` descriptors to spare and returns the error.
/// The limit is lowered only inside the try block, so it is back before the
/// handler copies the error. UndefinedBehaviorSanitizer checks an object's
/// dynamic type by probing memory through a pipe, which fails while no
/// descriptor is left and then reports a false "invalid vptr". A runtime and
/// an OsError made beforehand put every type that the failing build checks
/// into the sanitizer's cache, so nothing built under the limit needs a probe.
std::optional<rt::OsError> build_failure_with_room(int room, bool* limit_applied) {
    { Runtime warm_up(config_of("cadrel-warm-up", 1)); }
    std::optional<rt::OsError> warm_up(rt::OsError(EMFILE));
    *limit_applied = false;
    try {
        DescriptorLimit limit(room);
        *limit_applied = limit.applied();
        if (!limit.applied()) return std::nullopt;
        Runtime runtime;
    } catch (const rt::OsError& error) {
        return error;
    }
    return std::nullopt;
}

// epoll_create1 is refused: the build fails with the system's text.
TEST_F(RuntimeTest, ARuntimeThatCannotBeBuiltThrowsOsError) {
    bool applied = false;
    std::optional<rt::OsError> caught = build_failure_with_room(0, &applied);
    ASSERT_TRUE(applied);
    ASSERT_TRUE(caught.has_value()) << "the runtime was built with no descriptor to spare";
    EXPECT_EQ(caught->code(), EMFILE);
    EXPECT_STREQ(caught->what(), "Too many open files (os error 24)");
    EXPECT_TRUE(ends_with(caught->what(), " (os error " + std::to_string(EMFILE) + ")"));
    EXPECT_EQ(workers_listed_after_join(), 0u);
}

// The eventfd is refused after the epoll instance was made: that one is closed
// again (the fixture checks the descriptor count).
TEST_F(RuntimeTest, AFailedBuildClosesWhatItHadOpened) {
    bool applied = false;
    std::optional<rt::OsError> caught = build_failure_with_room(1, &applied);
    ASSERT_TRUE(applied);
    ASSERT_TRUE(caught.has_value());
    EXPECT_EQ(caught->code(), EMFILE);
    EXPECT_TRUE(ends_with(caught->what(), " (os error 24)")) << caught->what();
}

TEST(OsErrorText, IsTheSystemTextThenTheNumber) {
    EXPECT_EQ(rt::os_error_text(ENOENT), "No such file or directory (os error 2)");
    rt::OsError error(EAGAIN);
    EXPECT_EQ(error.code(), EAGAIN);
    EXPECT_TRUE(ends_with(error.what(), " (os error 11)")) << error.what();
}

}  // namespace
