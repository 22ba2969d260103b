// Native micro-benchmarks of the channel and the runtime: per-message cost,
// wake-up latency of a parked receiver, and the cost of spawning a task.
#include "runtime/channel.hpp"
#include "runtime/runtime.hpp"
#include "runtime/task.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

namespace rt = cadrel::rt;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

/// A configuration with the given name and worker count, the rest default.
rt::RuntimeConfig config_of(const std::string& thread_name, std::size_t workers) {
    rt::RuntimeConfig config;
    config.thread_name = thread_name;
    config.worker_threads = workers;
    return config;
}

double ns_since(Clock::time_point start, std::uint64_t count) {
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() /
           static_cast<double>(count);
}

/// The best of a few runs: the least disturbed by the rest of the machine.
template <class F>
double best_of(int runs, F measure) {
    double best = 1e300;
    for (int i = 0; i < runs; ++i) best = std::min(best, measure());
    return best;
}

void row(const char* name, const std::string& value, const char* note) {
    std::printf("  %-44s %14s  %s\n", name, value.c_str(), note);
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

// ---- (a) per-message cost --------------------------------------------------------

/// One thread sends a message and takes it back at once: the uncontended path.
double send_recv_same_thread(std::uint64_t count) {
    auto [tx, rx] = rt::make_channel<std::uint64_t>();
    std::uint64_t sum = 0;
    auto start = Clock::now();
    for (std::uint64_t i = 0; i < count; ++i) {
        if (tx.send(i).has_value()) std::abort();
        sum += *rx.recv();
    }
    double ns = ns_since(start, count);
    if (sum != count * (count - 1) / 2) std::abort();
    return ns;
}

/// Sends a burst, then drains it: blocks are filled and recycled in bulk.
double send_burst_then_drain(std::uint64_t count, std::uint64_t burst) {
    auto [tx, rx] = rt::make_channel<std::uint64_t>();
    std::uint64_t sum = 0;
    auto start = Clock::now();
    for (std::uint64_t done = 0; done < count; done += burst) {
        for (std::uint64_t i = 0; i < burst; ++i)
            if (tx.send(done + i).has_value()) std::abort();
        for (std::uint64_t i = 0; i < burst; ++i) sum += *rx.recv();
    }
    double ns = ns_since(start, count);
    if (sum != count * (count - 1) / 2) std::abort();
    return ns;
}

/// `producers` threads send `count` messages in all; this thread receives them.
double producers_to_consumer(std::uint64_t count, unsigned producers) {
    auto channel = rt::make_channel<std::uint64_t>();
    rt::Receiver<std::uint64_t> rx = std::move(channel.second);
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    const std::uint64_t share = count / producers;
    for (unsigned p = 0; p < producers; ++p) {
        threads.emplace_back([&go, share, tx = channel.first] {
            while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
            for (std::uint64_t i = 0; i < share; ++i)
                if (tx.send(i).has_value()) std::abort();
        });
    }
    { auto gone = std::move(channel.first); }
    auto start = Clock::now();
    go.store(true, std::memory_order_release);
    std::uint64_t received = 0;
    while (rx.recv()) ++received;
    double ns = ns_since(start, received);
    for (auto& thread : threads) thread.join();
    if (received != share * producers) std::abort();
    return ns;
}

// ---- (b) wake-up latency ---------------------------------------------------------

struct Latency {
    double median_us;
    double p99_us;
    double max_us;
};

/// The receiver parks in recv(); the producer sleeps, then sends the time of
/// the send. The receiver's delay from that time to its return is the wake-up
/// latency: the futex wake, the scheduler putting it back on a CPU, the pop.
Latency wake_latency(int samples, std::chrono::microseconds pause) {
    auto [tx, rx] = rt::make_channel<Clock::time_point>();
    std::vector<double> delays;
    delays.reserve(static_cast<std::size_t>(samples));
    std::thread producer([&tx, samples, pause] {
        for (int i = 0; i < samples; ++i) {
            std::this_thread::sleep_for(pause);
            if (tx.send(Clock::now()).has_value()) std::abort();
        }
        auto gone = std::move(tx);
    });
    while (std::optional<Clock::time_point> sent = rx.recv())
        delays.push_back(std::chrono::duration<double, std::micro>(Clock::now() - *sent).count());
    producer.join();
    std::sort(delays.begin(), delays.end());
    auto at = [&](double q) {
        auto index = static_cast<std::size_t>(q * static_cast<double>(delays.size()));
        return delays[std::min(delays.size() - 1, index)];
    };
    return {at(0.5), at(0.99), delays.back()};
}

// ---- (c) spawn-and-run ----------------------------------------------------------

rt::Task empty_task(std::atomic<std::uint64_t>* done) {
    done->fetch_add(1, std::memory_order_relaxed);
    co_return;
}

/// Spawns `count` empty tasks from this (non-worker) thread and waits until all
/// have run: the cost of building the frame and core, queuing, waking a worker,
/// resuming, completing and freeing.
double spawn_and_run(std::uint64_t count, std::size_t workers) {
    rt::Runtime runtime(config_of("cadrel-worker", workers));
    rt::Handle handle = runtime.handle();
    std::atomic<std::uint64_t> done{0};
    auto start = Clock::now();
    for (std::uint64_t i = 0; i < count; ++i) (void)handle.spawn(empty_task(&done));
    while (done.load(std::memory_order_relaxed) < count) std::this_thread::yield();
    return ns_since(start, count);
}

}  // namespace

int main() {
    const unsigned cpus = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t workers = rt::Runtime().worker_count();
    std::printf("cadrel native micro-benchmarks (%u CPUs, %zu default workers)\n\n", cpus, workers);

    std::printf("(a) channel send + receive, per message (best of 3)\n");
    auto ns = [](auto measure) { return fixed(best_of(3, measure), 1) + " ns"; };
    row("same thread, send then recv", ns([] { return send_recv_same_thread(10'000'000); }),
        "10M messages");
    row("same thread, bursts of 1000 then drain",
        ns([] { return send_burst_then_drain(10'000'000, 1000); }), "10M messages");
    row("1 producer thread -> consumer thread",
        ns([] { return producers_to_consumer(10'000'000, 1); }), "10M messages");
    row("4 producer threads -> consumer thread",
        ns([] { return producers_to_consumer(8'000'000, 4); }), "8M messages");

    std::printf("\n(b) wake-up latency of a receiver parked in recv()\n");
    Latency latency = wake_latency(4000, 500us);
    row("median", fixed(latency.median_us, 1) + " us", "4000 samples, producer sleeps 500 us");
    row("p99", fixed(latency.p99_us, 1) + " us", "");
    row("max", fixed(latency.max_us, 1) + " us", "");

    std::printf("\n(c) spawn + run of an empty task, from a non-worker thread (best of 3)\n");
    row("1 worker", ns([] { return spawn_and_run(500'000, 1); }), "500k tasks");
    row(("default (" + std::to_string(workers) + " workers)").c_str(),
        ns([&] { return spawn_and_run(500'000, workers); }), "500k tasks");
    row("4 workers", ns([] { return spawn_and_run(500'000, 4); }), "500k tasks");
    return 0;
}
