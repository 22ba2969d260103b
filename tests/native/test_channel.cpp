// Unit tests of the unbounded multi-producer single-consumer channel.
#include "runtime/channel.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using cadrel::rt::make_channel;
using cadrel::rt::Receiver;
using cadrel::rt::Sender;
using namespace std::chrono_literals;

using cadrel::test_support::kUnderTsan;

/// ThreadSanitizer slows atomics down by an order of magnitude; the big loops
/// keep their shape under it but do fewer rounds.
constexpr std::uint64_t scaled(std::uint64_t count, std::uint64_t tsan_count) {
    return kUnderTsan ? tsan_count : count;
}

/// Runs `body` on its own thread and returns its result. A body that has not
/// finished after `bound` means a lost wake-up: the process is ended with a
/// message, because a hung test would otherwise only be seen as a timeout.
template <class F>
auto run_bounded(const char* what, F&& body, std::chrono::seconds bound = 20s) {
    auto future = std::async(std::launch::async, std::forward<F>(body));
    if (future.wait_for(bound) != std::future_status::ready) {
        std::fprintf(stderr, "FATAL: %s did not finish within %lld s (lost wake-up?)\n", what,
                     static_cast<long long>(bound.count()));
        std::fflush(stderr);
        std::abort();
    }
    return future.get();
}

/// Destroys `value` now by moving it into a local (it is left moved-from).
template <class T>
void drop(T& value) {
    T gone(std::move(value));
}

pid_t current_tid() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

/// The scheduler state letter of thread `tid` ('R' running, 'S' sleeping...).
char thread_state(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // "tid (comm) S ...": comm may hold spaces and parentheses, so look after the last ')'.
    auto close = text.rfind(')');
    if (close == std::string::npos || close + 2 >= text.size()) return '?';
    return text[close + 2];
}

/// Waits until thread `tid` is asleep in the kernel (the receiver parked on its
/// futex). Returns false if it never sleeps within the bound.
bool wait_until_asleep(const std::atomic<pid_t>& tid, std::chrono::seconds bound = 10s) {
    auto deadline = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < deadline) {
        pid_t id = tid.load();
        if (id != 0 && thread_state(id) == 'S') return true;
        std::this_thread::sleep_for(200us);
    }
    return false;
}

// ---- a payload that records its own destruction ---------------------------

/// One record per message id: how often its live value was destroyed. A
/// `corrupt` count catches a destructor run on storage that holds no live
/// object (destroyed twice, or never constructed).
class Ledger {
public:
    explicit Ledger(std::size_t ids) : destroyed_(ids) {}

    void on_destroy(std::size_t id) {
        destroyed_[id].fetch_add(1, std::memory_order_relaxed);
        live_.fetch_sub(1, std::memory_order_relaxed);
    }
    void on_create() { live_.fetch_add(1, std::memory_order_relaxed); }
    void on_corrupt() { corrupt_.fetch_add(1, std::memory_order_relaxed); }

    int destroyed(std::size_t id) const { return destroyed_[id].load(); }
    long live() const { return live_.load(); }
    int corrupt() const { return corrupt_.load(); }
    std::size_t size() const { return destroyed_.size(); }

    /// Ids in [0, count) destroyed other than exactly once.
    std::size_t not_destroyed_once(std::size_t count) const {
        std::size_t bad = 0;
        for (std::size_t id = 0; id < count; ++id)
            if (destroyed_[id].load() != 1) ++bad;
        return bad;
    }

private:
    std::vector<std::atomic<int>> destroyed_;
    std::atomic<long> live_{0};
    std::atomic<int> corrupt_{0};
};

class Tracked {
public:
    Tracked(Ledger* ledger, std::size_t id) : ledger_(ledger), id_(id) { ledger_->on_create(); }
    Tracked(Tracked&& other) noexcept
        : ledger_(std::exchange(other.ledger_, nullptr)), id_(other.id_) {
        check_alive(other);
    }
    Tracked& operator=(Tracked&&) = delete;
    Tracked(const Tracked&) = delete;
    ~Tracked() {
        if (magic_ != kAlive) {
            if (ledger_ != nullptr) ledger_->on_corrupt();
            else if (global_ledger_ != nullptr) global_ledger_->on_corrupt();
            return;
        }
        magic_ = kDead;
        if (ledger_) ledger_->on_destroy(id_);
    }

    std::size_t id() const { return id_; }

    /// Where a destructor on a moved-from, already dead object reports.
    static inline Ledger* global_ledger_ = nullptr;

private:
    static constexpr std::uint64_t kAlive = 0x5a5a'1234'cafe'0001;
    static constexpr std::uint64_t kDead = 0xdead'dead'dead'dead;
    void check_alive(const Tracked& other) {
        if (other.magic_ != kAlive && ledger_) ledger_->on_corrupt();
    }

    Ledger* ledger_;
    std::size_t id_;
    std::uint64_t magic_ = kAlive;
};

// ---- order -------------------------------------------------------------------

/// Tallies messages tagged (producer << 32 | sequence): how many, and how many
/// arrived out of their producer's order.
struct TaggedTally {
    explicit TaggedTally(std::uint64_t producers) : next(producers, 0) {}

    void take(std::uint64_t message) {
        const std::uint64_t producer = message >> 32, sequence = message & 0xffffffffu;
        if (producer >= next.size() || sequence != next[producer]) ++out_of_order;
        else ++next[producer];
        ++total;
    }

    std::uint64_t total = 0;
    std::uint64_t out_of_order = 0;
    std::vector<std::uint64_t> next;  ///< per producer: the sequence number due next
};

TEST(Channel, FifoOrderOnOneThread) {
    auto [tx, rx] = make_channel<int>();
    for (int i = 0; i < 1000; ++i) ASSERT_FALSE(tx.send(i).has_value());
    for (int i = 0; i < 1000; ++i) {
        std::optional<int> value = rx.recv();
        ASSERT_TRUE(value.has_value());
        EXPECT_EQ(*value, i);
    }
    std::optional<int> out;
    EXPECT_EQ(rx.try_recv(out), Receiver<int>::Poll::kEmpty);
    EXPECT_FALSE(out.has_value());
}

TEST(Channel, TryRecvReportsValueEmptyAndClosed) {
    auto channel = make_channel<int>();
    std::optional<Sender<int>> tx(std::move(channel.first));
    Receiver<int>& rx = channel.second;
    std::optional<int> out;
    EXPECT_EQ(rx.try_recv(out), Receiver<int>::Poll::kEmpty);
    ASSERT_FALSE(tx->send(7).has_value());
    EXPECT_EQ(rx.try_recv(out), Receiver<int>::Poll::kValue);
    EXPECT_EQ(out, 7);
    tx.reset();
    EXPECT_EQ(rx.try_recv(out), Receiver<int>::Poll::kClosed);
    EXPECT_FALSE(out.has_value());
}

// A send that returns before another send starts is received first, whichever
// threads made them: the threads take turns, each send strictly after the
// previous one returned, while the receiver runs concurrently.
TEST(Channel, StrictFifoByArrivalAcrossThreads) {
    constexpr int kThreads = 3;
    const int count = static_cast<int>(scaled(30'000, 6'000));
    auto channel = make_channel<int>();
    Sender<int> tx = std::move(channel.first);
    Receiver<int> rx = std::move(channel.second);
    std::atomic<int> turn{0};

    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&turn, count, t, tx] {
            for (int i = t; i < count; i += kThreads) {
                while (turn.load(std::memory_order_acquire) != i) std::this_thread::yield();
                if (tx.send(i).has_value()) std::abort();
                turn.store(i + 1, std::memory_order_release);
            }
        });
    }
    drop(tx);  // only the threads' clones remain

    std::vector<int> received = run_bounded("receiving", [&rx] {
        std::vector<int> got;
        while (std::optional<int> value = rx.recv()) got.push_back(*value);
        return got;
    });
    for (auto& thread : senders) thread.join();
    ASSERT_EQ(received.size(), static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) ASSERT_EQ(received[static_cast<std::size_t>(i)], i);
}

// ---- refusal and closing -------------------------------------------------

TEST(Channel, RefusedSendHandsTheValueBack) {
    auto [tx, rx_slot] = make_channel<std::unique_ptr<int>>();
    std::optional<Receiver<std::unique_ptr<int>>> rx(std::move(rx_slot));
    EXPECT_FALSE(tx.is_closed());
    rx.reset();
    EXPECT_TRUE(tx.is_closed());

    auto value = std::make_unique<int>(42);
    int* address = value.get();
    std::optional<std::unique_ptr<int>> back = tx.send(std::move(value));
    ASSERT_TRUE(back.has_value());
    ASSERT_TRUE(*back);
    EXPECT_EQ(back->get(), address);
    EXPECT_EQ(**back, 42);
    // Every later send is refused too; there is no way back.
    EXPECT_TRUE(tx.send(std::make_unique<int>(1)).has_value());
    EXPECT_TRUE(Sender<std::unique_ptr<int>>(tx).is_closed());
}

// A sender moved from sends nowhere: it reads as closed (it used to dereference null).
TEST(Channel, AMovedFromSenderReadsAsClosed) {
    auto [tx, rx] = make_channel<int>();
    Sender<int> moved(std::move(tx));
    EXPECT_FALSE(moved.is_closed());
    EXPECT_TRUE(tx.is_closed());  // NOLINT(bugprone-use-after-move): the state under test
}

TEST(Channel, DroppingTheReceiverDestroysQueuedMessages) {
    Ledger ledger(16);
    auto [tx, rx_slot] = make_channel<Tracked>();
    std::optional<Receiver<Tracked>> rx(std::move(rx_slot));
    for (std::size_t id = 0; id < 10; ++id) ASSERT_FALSE(tx.send(Tracked(&ledger, id)).has_value());
    EXPECT_EQ(ledger.live(), 10);
    rx.reset();  // the sender is still alive, the messages must not wait for it
    EXPECT_EQ(ledger.live(), 0);
    EXPECT_EQ(ledger.not_destroyed_once(10), 0u);

    // A refused message is handed back, so the caller destroys it, once.
    std::optional<Tracked> back = tx.send(Tracked(&ledger, 10));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->id(), 10u);
    EXPECT_EQ(ledger.destroyed(10), 0);
    back.reset();
    EXPECT_EQ(ledger.destroyed(10), 1);
    EXPECT_EQ(ledger.live(), 0);
    EXPECT_EQ(ledger.corrupt(), 0);
}

TEST(Channel, DroppingTheChannelDestroysWhatTheReceiverLeft) {
    Ledger ledger(8);
    {
        auto [tx, rx] = make_channel<Tracked>();
        for (std::size_t id = 0; id < 5; ++id)
            ASSERT_FALSE(tx.send(Tracked(&ledger, id)).has_value());
        std::optional<Tracked> first = rx.recv();
        ASSERT_TRUE(first.has_value());
        EXPECT_EQ(first->id(), 0u);
    }
    EXPECT_EQ(ledger.live(), 0);
    EXPECT_EQ(ledger.not_destroyed_once(5), 0u);
    EXPECT_EQ(ledger.corrupt(), 0);
}

// ---- end of channel --------------------------------------------------------

TEST(Channel, EndOnlyOnceEverySenderIsGoneAndNothingIsQueued) {
    auto channel = make_channel<int>();
    std::optional<Sender<int>> first(std::move(channel.first));
    std::optional<Sender<int>> second(*first);  // a clone counts as a sender
    Receiver<int>& rx = channel.second;
    std::optional<int> out;

    ASSERT_FALSE(first->send(1).has_value());
    ASSERT_FALSE(second->send(2).has_value());
    first.reset();
    EXPECT_EQ(rx.try_recv(out), Receiver<int>::Poll::kValue);
    EXPECT_EQ(out, 1);
    EXPECT_EQ(rx.try_recv(out), Receiver<int>::Poll::kValue);
    EXPECT_EQ(out, 2);
    // One sender is left: empty, not ended.
    EXPECT_EQ(rx.try_recv(out), Receiver<int>::Poll::kEmpty);

    ASSERT_FALSE(second->send(3).has_value());
    ASSERT_FALSE(second->send(4).has_value());
    second.reset();
    // Every sender is gone but messages are queued: they come first.
    EXPECT_EQ(rx.recv(), std::optional<int>(3));
    EXPECT_EQ(rx.recv(), std::optional<int>(4));
    EXPECT_EQ(rx.recv(), std::nullopt);
    EXPECT_EQ(rx.recv(), std::nullopt);  // and it stays ended
    EXPECT_EQ(rx.try_recv(out), Receiver<int>::Poll::kClosed);
}

TEST(Channel, MovedSenderIsNotAnExtraSender) {
    auto [tx, rx] = make_channel<int>();
    {
        Sender<int> moved(std::move(tx));
        ASSERT_FALSE(moved.send(5).has_value());
        Sender<int> assigned = moved;  // copy assignment path: clone
        assigned = std::move(moved);   // the clone is dropped, the original moved in
    }
    EXPECT_EQ(rx.recv(), std::optional<int>(5));
    EXPECT_EQ(rx.recv(), std::nullopt);
}

// ---- waking ----------------------------------------------------------------

TEST(Channel, SleepingReceiverIsWokenBySendFromAnotherThread) {
    auto [tx, rx] = make_channel<int>();
    for (int round = 0; round < 20; ++round) {
        std::atomic<pid_t> tid{0};
        auto receiving = std::async(std::launch::async, [&rx, &tid] {
            tid.store(current_tid());
            return rx.recv();
        });
        ASSERT_TRUE(wait_until_asleep(tid)) << "the receiver never went to sleep";
        std::thread sender([&tx, round] {
            if (tx.send(round).has_value()) std::abort();
        });
        if (receiving.wait_for(10s) != std::future_status::ready) {
            std::fprintf(stderr, "FATAL: a parked receiver was not woken by a send\n");
            std::abort();
        }
        sender.join();
        EXPECT_EQ(receiving.get(), std::optional<int>(round));
    }
}

TEST(Channel, SleepingReceiverIsWokenWhenTheLastSenderGoes) {
    auto channel = make_channel<int>();
    auto tx = std::make_unique<Sender<int>>(std::move(channel.first));
    auto clone = std::make_unique<Sender<int>>(*tx);
    Receiver<int>& rx = channel.second;
    std::atomic<pid_t> tid{0};
    auto receiving = std::async(std::launch::async, [&rx, &tid] {
        tid.store(current_tid());
        return rx.recv();
    });
    ASSERT_TRUE(wait_until_asleep(tid));
    tx.reset();  // one sender left: the receiver keeps sleeping
    EXPECT_EQ(receiving.wait_for(50ms), std::future_status::timeout);
    std::thread dropper([&clone] { clone.reset(); });
    if (receiving.wait_for(10s) != std::future_status::ready) {
        std::fprintf(stderr, "FATAL: a parked receiver was not woken by the last sender's drop\n");
        std::abort();
    }
    dropper.join();
    EXPECT_EQ(receiving.get(), std::nullopt);
}

// Two threads bounce a counter through two channels; each side sleeps in recv
// between messages, so every round is a park and a wake. A lost wake-up hangs,
// which run_bounded turns into a failure.
TEST(Channel, PingPongNeverLosesAWakeUp) {
    const int rounds = static_cast<int>(scaled(20'000, 4'000));
    auto [ping_tx, ping_rx] = make_channel<int>();
    auto [pong_tx, pong_rx] = make_channel<int>();
    std::thread echo([&ping_rx, &pong_tx] {
        while (std::optional<int> value = ping_rx.recv())
            if (pong_tx.send(*value + 1).has_value()) std::abort();
    });
    int last = run_bounded("ping-pong", [&, rounds] {
        int value = 0;
        for (int i = 0; i < rounds; ++i) {
            if (ping_tx.send(value).has_value()) std::abort();
            std::optional<int> reply = pong_rx.recv();
            if (!reply) std::abort();
            value = *reply;
        }
        return value;
    }, 60s);
    drop(ping_tx);  // ends the echo thread's recv loop
    echo.join();
    EXPECT_EQ(last, rounds);
}

// ---- blocks ------------------------------------------------------------------

// Sends and receives interleaved in bursts of random length cross hundreds of
// block boundaries, so blocks are appended, consumed, recycled at the tail and
// reused; every message is received in order and destroyed exactly once.
TEST(Channel, BlocksGrowAndAreRecycledWithoutLeaksOrDoubleDestruction) {
    constexpr std::size_t kCount = 100'000;
    Ledger ledger(kCount);
    Tracked::global_ledger_ = &ledger;
    {
        auto [tx, rx] = make_channel<Tracked>();
        std::mt19937 random(12345);
        std::size_t sent = 0;
        std::size_t received = 0;
        while (received < kCount) {
            std::size_t burst = std::uniform_int_distribution<std::size_t>(0, 200)(random);
            for (std::size_t i = 0; i < burst && sent < kCount; ++i, ++sent)
                ASSERT_FALSE(tx.send(Tracked(&ledger, sent)).has_value());
            std::size_t take =
                std::uniform_int_distribution<std::size_t>(0, sent - received)(random);
            if (sent == kCount) take = sent - received;
            for (std::size_t i = 0; i < take; ++i, ++received) {
                std::optional<Tracked> value = rx.recv();
                ASSERT_TRUE(value.has_value());
                ASSERT_EQ(value->id(), received);
            }
            // Between bursts the receiver has to see "empty", not a stale slot.
            if (received == sent) {
                std::optional<Tracked> out;
                ASSERT_EQ(rx.try_recv(out), Receiver<Tracked>::Poll::kEmpty);
            }
        }
        EXPECT_EQ(ledger.live(), 0);
    }
    Tracked::global_ledger_ = nullptr;
    EXPECT_EQ(ledger.not_destroyed_once(kCount), 0u);
    EXPECT_EQ(ledger.corrupt(), 0);
}

// The same with the producer on another thread, so blocks are reclaimed while
// senders are still walking the list; heap payloads make any lost or doubly
// freed message visible to AddressSanitizer as well.
TEST(Channel, BlocksAreReclaimedWhileAProducerRuns) {
    const std::size_t count = scaled(400'000, 100'000);
    Ledger ledger(count);
    Tracked::global_ledger_ = &ledger;
    {
        auto [tx, rx] = make_channel<std::pair<Tracked, std::unique_ptr<std::size_t>>>();
        std::thread producer([&ledger, count, tx = std::move(tx)] {
            for (std::size_t id = 0; id < count; ++id) {
                if (tx.send({Tracked(&ledger, id), std::make_unique<std::size_t>(id)}).has_value())
                    std::abort();
                if (id % 4096 == 0) std::this_thread::yield();
            }
        });
        std::size_t expected = run_bounded("consuming", [&rx] {
            std::size_t next = 0;
            while (auto message = rx.recv()) {
                if (message->first.id() != next || *message->second != next) return next;
                ++next;
            }
            return next;
        });
        producer.join();
        EXPECT_EQ(expected, count);
    }
    Tracked::global_ledger_ = nullptr;
    EXPECT_EQ(ledger.live(), 0);
    EXPECT_EQ(ledger.not_destroyed_once(count), 0u);
    EXPECT_EQ(ledger.corrupt(), 0);
}

// Senders race with the receiver's close: each message is either handed back
// (the sender destroys it), drained by the close, or got in after the drain and
// is destroyed with the channel once the last sender is gone. Whatever the
// interleaving, every message is destroyed exactly once.
TEST(Channel, MessagesThatRacedWithTheCloseAreDestroyedWithTheChannel) {
    constexpr int kThreads = 4;
    constexpr std::size_t kPerThread = 2'000;
    const int rounds = static_cast<int>(scaled(200, 40));
    std::size_t raced_total = 0;
    for (int round = 0; round < rounds; ++round) {
        Ledger ledger(kThreads * kPerThread);
        std::atomic<std::size_t> refused{0};
        std::atomic<int> started{0};
        {
            auto channel = make_channel<Tracked>();
            std::optional<Receiver<Tracked>> rx(std::move(channel.second));
            std::vector<std::thread> threads;
            for (int t = 0; t < kThreads; ++t) {
                threads.emplace_back([&, t, tx = channel.first] {
                    started.fetch_add(1);
                    for (std::size_t i = 0; i < kPerThread; ++i) {
                        std::size_t id = static_cast<std::size_t>(t) * kPerThread + i;
                        if (tx.send(Tracked(&ledger, id)).has_value()) refused.fetch_add(1);
                    }
                });
            }
            while (started.load() < kThreads) std::this_thread::yield();
            std::this_thread::sleep_for(std::chrono::microseconds(round % 50));
            rx.reset();  // close while they send
            for (auto& thread : threads) thread.join();
            // Messages that got in after the drain are still alive: the
            // channel lives on in channel.first.
            raced_total += static_cast<std::size_t>(ledger.live());
        }
        ASSERT_EQ(ledger.live(), 0) << "round " << round;
        ASSERT_EQ(ledger.not_destroyed_once(kThreads * kPerThread), 0u) << "round " << round;
        ASSERT_EQ(ledger.corrupt(), 0);
    }
    // Informational: how often the race actually happened.
    std::printf("messages that raced with the close, over all rounds: %zu\n", raced_total);
}

/// Lets a test hold a sender inside the channel's push: the payload's move
/// constructor (which push runs after claiming the slot and before publishing
/// it) announces itself and waits to be released.
class MoveGate {
public:
    void enter_and_wait() {
        std::unique_lock lock(mutex_);
        entered_ = true;
        cv_.notify_all();
        cv_.wait(lock, [this] { return released_; });
    }
    bool wait_entered(std::chrono::seconds bound) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, bound, [this] { return entered_; });
    }
    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        cv_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool entered_ = false;
    bool released_ = false;
};

class GatedTracked {
public:
    GatedTracked(Ledger* ledger, std::size_t id, MoveGate* gate)
        : tracked_(ledger, id), gate_(gate) {}
    GatedTracked(GatedTracked&& other) noexcept
        : tracked_(std::move(other.tracked_)), gate_(std::exchange(other.gate_, nullptr)) {
        if (gate_) gate_->enter_and_wait();  // only the first move waits
        gate_ = nullptr;
    }

private:
    Tracked tracked_;
    MoveGate* gate_;
};

// A send that passed the "receiver still there?" check and is still writing
// its slot when the receiver closes: the close's drain stops at the slot that
// is not published yet, the send then completes (accepted), and the message
// stays in the channel until the channel itself goes with the last sender.
TEST(Channel, AMessageThatRacedWithTheCloseIsDestroyedWithTheChannel) {
    Ledger ledger(4);
    MoveGate gate;
    auto channel = make_channel<GatedTracked>();
    std::optional<Sender<GatedTracked>> tx(std::move(channel.first));
    std::optional<Receiver<GatedTracked>> rx(std::move(channel.second));
    ASSERT_FALSE(tx->send(GatedTracked(&ledger, 0, nullptr)).has_value());

    std::optional<bool> accepted;
    std::thread sender([&] { accepted = !tx->send(GatedTracked(&ledger, 1, &gate)).has_value(); });
    if (!gate.wait_entered(10s)) {
        std::fprintf(stderr, "FATAL: the send never reached its slot\n");
        std::abort();
    }
    rx.reset();  // close and drain while message 1 is claimed but unpublished
    EXPECT_EQ(ledger.destroyed(0), 1);  // the drain took the published one
    gate.release();
    sender.join();
    ASSERT_TRUE(accepted.has_value());
    EXPECT_TRUE(*accepted) << "the send had passed the closed check, so it got in";
    EXPECT_EQ(ledger.destroyed(1), 0);  // raced in after the drain: still queued
    EXPECT_EQ(ledger.live(), 1);

    EXPECT_TRUE(tx->send(GatedTracked(&ledger, 2, nullptr)).has_value());  // refused now
    EXPECT_EQ(ledger.destroyed(2), 1);
    tx.reset();  // the last owner of the channel: message 1 goes with it
    EXPECT_EQ(ledger.destroyed(1), 1);
    EXPECT_EQ(ledger.live(), 0);
    EXPECT_EQ(ledger.corrupt(), 0);
}

// ---- stress --------------------------------------------------------------

// 8 producers each send 1,000,000 messages; the
// consumer checks that every message arrives exactly once and that each
// producer's messages keep their order. The end of the channel must come only
// after all of them.
// ---- fork ------------------------------------------------------------------------

constexpr std::uint64_t kForkProducers = 3;

/// What a child of fork() found in its copy of the channel. The child must not
/// run test assertions, so it reports through its exit status.
enum ChildVerdict : int {
    kChildOk = 0,
    kChildGapOrRepeat = 10,  // a producer's messages came out of order or twice
    kChildLost = 11,         // a send that returned before the fork did not come out
    kChildStuck = 12,        // a message sent in the child did not come out
    kChildWrongMessage = 13,
    kChildRefused = 14,
};

/// In the child: drains what the parent's producers published, then checks
/// that the channel still carries messages. `completed[p]` counts the sends of
/// producer p that had returned before the fork.
int check_channel_after_fork(Receiver<std::uint64_t>& rx, const Sender<std::uint64_t>& tx,
                             const std::array<std::atomic<std::uint64_t>, kForkProducers>& completed) {
    using Poll = Receiver<std::uint64_t>::Poll;
    std::array<std::uint64_t, kForkProducers> next{};
    std::optional<std::uint64_t> message;
    while (rx.try_recv(message) == Poll::kValue) {
        const std::uint64_t producer = *message >> 32;
        if (producer >= kForkProducers || (*message & 0xffffffffu) != next[producer]) return kChildGapOrRepeat;
        ++next[producer];
    }
    for (std::uint64_t p = 0; p < kForkProducers; ++p)
        if (next[p] < completed[p].load(std::memory_order_relaxed)) return kChildLost;
    // 100 messages cross block boundaries, through blocks linked or recycled before the fork.
    constexpr std::uint64_t kChildMark = std::uint64_t{0xffff} << 32;
    for (std::uint64_t i = 0; i < 100; ++i)
        if (tx.send(kChildMark | i).has_value()) return kChildRefused;
    for (std::uint64_t i = 0; i < 100; ++i) {
        if (rx.try_recv(message) != Poll::kValue) return kChildStuck;
        if (*message != (kChildMark | i)) return kChildWrongMessage;
    }
    return rx.try_recv(message) == Poll::kEmpty ? kChildOk : kChildWrongMessage;
}

// Forking while producers hammer the channel catches some of them between
// claiming a slot and publishing it; the child's copy must still deliver every
// message published before the fork, in order, and then go on working.
TEST(ChannelFork, AChildDrainsWhatWasPublishedAndKeepsWorkingWhateverTheSendersWereDoing) {
    // The child allocates (new blocks, freed ones). The sanitizers' allocators, unlike the C
    // library's, are not made safe for fork(): a producer caught inside one leaves its lock
    // held in the child, which then hangs in operator new or delete before reaching our code.
    if (cadrel::test_support::kUnderSanitizer)
        GTEST_SKIP() << "fork() while other threads allocate hangs in the sanitizer's allocator";
    const int rounds = static_cast<int>(scaled(60, 10));
    constexpr std::uint64_t kPerProducer = 200'000;
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        auto [tx, rx] = make_channel<std::uint64_t>();
        std::array<std::atomic<std::uint64_t>, kForkProducers> completed{};
        std::atomic<bool> forked{false};
        std::vector<std::thread> producers;
        for (std::uint64_t p = 0; p < kForkProducers; ++p)
            producers.emplace_back([p, &completed, &forked, sender = tx] {
                for (std::uint64_t seq = 0; seq < kPerProducer && !forked.load(std::memory_order_relaxed); ++seq) {
                    if (sender.send((p << 32) | seq).has_value()) std::abort();
                    completed[p].store(seq + 1, std::memory_order_relaxed);
                }
            });
        while (completed[round % kForkProducers].load() < 2'000 + static_cast<std::uint64_t>(round) * 97) {
            std::this_thread::yield();
        }
        const pid_t child = fork();
        if (child == 0) {
            alarm(60);  // a hang ends the child, and the parent sees the signal
            _exit(check_channel_after_fork(rx, tx, completed));
        }
        forked.store(true);
        for (auto& producer : producers) producer.join();
        ASSERT_GT(child, 0) << "fork failed";
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << "the child was ended by signal " << WTERMSIG(status);
        ASSERT_EQ(WEXITSTATUS(status), kChildOk);
    }
}

TEST(Channel, StressEightProducersEveryMessageOnceInProducerOrder) {
    constexpr std::uint64_t kProducers = 8;
    const std::uint64_t per_producer = 1'000'000;  // the full count under ThreadSanitizer too
    auto channel = make_channel<std::uint64_t>();
    Receiver<std::uint64_t> rx = std::move(channel.second);

    std::vector<std::thread> producers;
    for (std::uint64_t p = 0; p < kProducers; ++p) {
        producers.emplace_back([p, per_producer, tx = channel.first] {
            for (std::uint64_t seq = 0; seq < per_producer; ++seq)
                if (tx.send((p << 32) | seq).has_value()) std::abort();
        });
    }
    drop(channel.first);  // only the producers' clones remain

    TaggedTally result = run_bounded("stress consumer", [&rx] {
        TaggedTally tally(kProducers);
        while (std::optional<std::uint64_t> message = rx.recv()) tally.take(*message);
        return tally;
    }, 240s);
    for (auto& thread : producers) thread.join();

    EXPECT_EQ(result.out_of_order, 0u);
    EXPECT_EQ(result.total, kProducers * per_producer);
    for (std::uint64_t p = 0; p < kProducers; ++p) EXPECT_EQ(result.next[p], per_producer) << p;
}

// ---- depth and draining ------------------------------------------------------

using cadrel::rt::DrainWait;

/// Sends `count` values 0..count-1 on `tx`.
void send_count(const Sender<int>& tx, int count) {
    for (int i = 0; i < count; ++i)
        if (tx.send(int{i}).has_value()) std::abort();
}

/// Takes `count` messages, which must be there and in order from `first`.
void take_count(Receiver<int>& rx, int count, int first = 0) {
    std::optional<int> out;
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(rx.try_recv(out), Receiver<int>::Poll::kValue);
        ASSERT_EQ(*out, first + i);
    }
}

// The estimate is exact at block boundaries and once the receiver has run dry;
// in between it runs at most one block (32) ahead of the truth, never behind.
TEST(ChannelDepth, ApproximateLengthIsSentMinusTakenToWithinABlock) {
    auto [tx, rx] = make_channel<int>();
    EXPECT_EQ(tx.approximate_length(), 0u);
    send_count(tx, 100);
    EXPECT_EQ(tx.approximate_length(), 100u);
    int taken = 0;
    for (int step : {1, 30, 1, 1, 31, 32, 4}) {
        take_count(rx, step, taken);
        taken += step;
        const std::uint64_t truth = static_cast<std::uint64_t>(100 - taken);
        EXPECT_GE(tx.approximate_length(), truth) << "after " << taken;
        EXPECT_LT(tx.approximate_length(), truth + 32) << "after " << taken;
        if (taken % 32 == 0) {
            EXPECT_EQ(tx.approximate_length(), truth) << "after " << taken;
        }
    }
    std::optional<int> out;
    EXPECT_EQ(rx.try_recv(out), Receiver<int>::Poll::kEmpty);
    EXPECT_EQ(tx.approximate_length(), 0u);
    EXPECT_EQ(rx.approximate_length(), 0u);
}

// How the receiver gets past a sleeping waiter's target: by running out of
// messages with the target in the last block (no block boundary after it), or
// by crossing a block boundary with messages left behind it.
struct Reach {
    const char* name;
    std::uint64_t limit;  ///< the waiters wait for at most this many of 1000 queued
    int short_of_target;  ///< taken first: nobody may wake
    int taken;            ///< taken in all
    bool runs_dry;        ///< then finds the queue empty
};

void PrintTo(const Reach& reach, std::ostream* out) { *out << reach.name; }

class DrainWaiterWoken : public ::testing::TestWithParam<Reach> {};

// The waiters sleep (their timeout is far away) and are woken by the
// receiver's progress, not by their clock, and find the queue as shallow as
// they asked.
TEST_P(DrainWaiterWoken, ByTheReceiversProgress) {
    const Reach& reach = GetParam();
    auto [tx, rx] = make_channel<int>();
    send_count(tx, 1000);
    constexpr int kWaiters = 3;
    std::atomic<pid_t> tids[kWaiters] = {};
    std::vector<std::future<std::pair<DrainWait, std::chrono::steady_clock::duration>>> waiters;
    for (auto& tid : tids)
        waiters.push_back(std::async(std::launch::async, [&tx, &tid, &reach] {
            tid.store(current_tid());
            auto started = std::chrono::steady_clock::now();
            DrainWait result = tx.wait_until_queued_at_most(reach.limit, 60s, 60s);
            return std::pair(result, std::chrono::steady_clock::now() - started);
        }));
    for (auto& tid : tids) ASSERT_TRUE(wait_until_asleep(tid)) << "a drain waiter never slept";
    take_count(rx, reach.short_of_target);
    for (auto& waiter : waiters) EXPECT_EQ(waiter.wait_for(50ms), std::future_status::timeout);
    take_count(rx, reach.taken - reach.short_of_target, reach.short_of_target);
    if (reach.runs_dry) {
        std::optional<int> out;
        ASSERT_EQ(rx.try_recv(out), Receiver<int>::Poll::kEmpty);
    }
    for (auto& waiter : waiters) {
        ASSERT_EQ(waiter.wait_for(20s), std::future_status::ready) << "a drain waiter was not woken";
        auto [result, waited] = waiter.get();
        EXPECT_EQ(result, DrainWait::kDrained);
        EXPECT_LT(waited, 30s);
    }
    EXPECT_LE(tx.approximate_length(), reach.limit);
}

INSTANTIATE_TEST_SUITE_P(
    Channel, DrainWaiterWoken,
    ::testing::Values(Reach{"RunsDry", 5, 994, 1000, true},               // target 995; last boundary 992
                      Reach{"CrossesABlock", 100, 890, 928, false}),  // target 900; 928 = 29 blocks
    [](const auto& info) { return std::string(info.param.name); });

// Waits for a receiver that consumes nothing time out until it has stood still
// for `stalled_after`; from then on they return at once, until it consumes
// again, when the same holds from its new position.
TEST(ChannelDepth, AStalledReceiverIsWaitedForOnlyUntilItHasStoodStillLongEnough) {
    using Clock = std::chrono::steady_clock;
    auto [tx, rx] = make_channel<int>();
    send_count(tx, 100);
    static constexpr auto kTimeout = 20ms;
    static constexpr auto kStalledAfter = 100ms;
    auto timed_wait = [&tx = tx] {
        auto started = Clock::now();
        DrainWait result = tx.wait_until_queued_at_most(10, kTimeout, kStalledAfter);
        return std::pair(result, Clock::now() - started);
    };
    for (int position = 0; position < 2; ++position) {
        const auto still_since = Clock::now();
        int timed_out = 0;
        for (;;) {
            auto [result, took] = timed_wait();
            if (result == DrainWait::kStalled) break;
            ASSERT_EQ(result, DrainWait::kTimedOut);
            EXPECT_GE(took, kTimeout);
            ASSERT_LT(Clock::now() - still_since, 20s) << "the receiver was never taken as stalled";
            ++timed_out;
        }
        EXPECT_GE(Clock::now() - still_since, kStalledAfter);
        EXPECT_GE(timed_out, 2);
        for (int again = 0; again < 3; ++again) {
            auto [result, took] = timed_wait();
            EXPECT_EQ(result, DrainWait::kStalled);
            EXPECT_LT(took, kTimeout);
        }
        take_count(rx, 32, 32 * position);  // moves on by a block: waited for again
    }
    // Shallow enough already: no wait whatever the receiver did.
    EXPECT_EQ(tx.wait_until_queued_at_most(98, kTimeout, kStalledAfter), DrainWait::kDrained);
}

TEST(ChannelDepth, DroppingTheReceiverReleasesADrainWaiter) {
    auto channel = make_channel<int>();
    Sender<int> tx = std::move(channel.first);
    auto rx = std::make_unique<Receiver<int>>(std::move(channel.second));
    send_count(tx, 100);
    std::atomic<pid_t> tid{0};
    // Target 98: destroying the queue crosses no block boundary after it.
    auto waiter = std::async(std::launch::async, [&tx, &tid] {
        tid.store(current_tid());
        return tx.wait_until_queued_at_most(2, 60s, 60s);
    });
    ASSERT_TRUE(wait_until_asleep(tid));
    std::thread dropper([&rx] { rx.reset(); });
    const bool woken = waiter.wait_for(20s) == std::future_status::ready;
    dropper.join();
    ASSERT_TRUE(woken) << "the close did not wake the waiter";
    EXPECT_EQ(waiter.get(), DrainWait::kDrained);
}

// Producers that wait whenever the queue is deeper than kHigh keep it within
// kHigh plus one send each (a producer sends once after its check), while the
// receiver takes every message once, in each producer's order.
TEST(ChannelDepth, ProducersThatWaitKeepTheQueueBoundedAndLoseNothing) {
    constexpr std::uint64_t kProducers = 4;
    constexpr std::uint64_t kHigh = 512;
    const std::uint64_t per_producer = scaled(200'000, 20'000);
    auto channel = make_channel<std::uint64_t>();
    Receiver<std::uint64_t> rx = std::move(channel.second);
    std::atomic<std::uint64_t> waits{0};
    std::vector<std::thread> producers;
    for (std::uint64_t p = 0; p < kProducers; ++p) {
        producers.emplace_back([p, per_producer, &waits, tx = channel.first] {
            for (std::uint64_t seq = 0; seq < per_producer; ++seq) {
                if (tx.approximate_length() > kHigh) {
                    // Generous: the receiver never stops, so the wait never times out.
                    if (tx.wait_until_queued_at_most(kHigh / 2, 60s, 60s) != DrainWait::kDrained) std::abort();
                    waits.fetch_add(1, std::memory_order_relaxed);
                }
                if (tx.send((p << 32) | seq).has_value()) std::abort();
            }
        });
    }
    drop(channel.first);
    auto [result, deepest] = run_bounded("bounded consumer", [&rx] {
        TaggedTally tally(kProducers);
        std::uint64_t deepest = 0;
        while (std::optional<std::uint64_t> message = rx.recv()) {
            deepest = std::max(deepest, rx.approximate_length());
            tally.take(*message);
        }
        return std::pair(std::move(tally), deepest);
    }, 120s);
    for (auto& thread : producers) thread.join();
    EXPECT_EQ(result.out_of_order, 0u);
    EXPECT_EQ(result.total, kProducers * per_producer);
    EXPECT_LE(deepest, kHigh + kProducers);
    EXPECT_GT(waits.load(), 0u) << "the producers never outran the receiver: nothing was tested";
}

}  // namespace
