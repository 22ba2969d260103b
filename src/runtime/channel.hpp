// Unbounded multi-producer single-consumer channel.
//
// Algorithm. The queue is a singly linked list of fixed-size blocks. A send
// claims the next position with one fetch_add on `tail_position`; that claim is
// the message's place in the channel, so messages are received strictly in the
// order their sends arrived at the tail, whatever thread sent them (there are no
// per-producer sub-queues). The sender walks from `block_tail` to the block
// holding its position (appending a block when the list is too short), moves
// its value into the slot and publishes it by setting the slot's bit in the
// block's `ready` word. The receiver owns `head_`/`index_` and takes a slot once
// its ready bit is set; a slot whose sender has claimed but not yet published
// it reads as empty, and that sender wakes the receiver when it publishes.
//
// Reclamation. A sender may hold a pointer to `block_tail` for an unbounded
// time, so a consumed block is freed (or recycled at the tail) only after
// `block_tail` has moved past it and every position claimed before that move has
// been consumed: the mover records `tail_position` after its successful CAS as
// the block's `observed_tail`. Any sender that loaded the old `block_tail` had
// already claimed its position (fetch_add comes first), so that position is
// below `observed_tail`, and once the receiver has consumed it, that sender's
// last access (the ready-bit fetch_or) is over. This is a store-buffering
// pair (sender: claim, then load `block_tail`; mover: CAS `block_tail`, then
// load `tail_position`), so all four are sequentially consistent: with any
// weaker order both sides may read the old value, the mover's `observed_tail`
// then misses the sender's claim, and the block could be recycled under it.
//
// Waking. The receiver sleeps on a futex word (`rx_state_`). Before sleeping it
// announces PARKED and looks at the queue once more; a sender publishes and then
// looks at `rx_state_`. Both pairs are sequentially consistent, so at least one
// side sees the other: either the receiver finds the message, or the sender
// finds PARKED and wakes it. A sender that finds the receiver awake makes no
// system call.
//
// Waiting in the reactor. Given an IdleReactor (idle_reactor.hpp), a receiver
// with nothing to receive may take the runtime's event wait instead of the
// futex. It announces PARKED_ON_REACTOR, looks at the queue once more and waits
// there; a sender that finds that state rings the reactor's doorbell instead of
// the futex (the same store-buffering pair as above, so no message is slept
// on). The doorbell is bound to the channel once, before the first such
// announcement, and never changes: a sender reads it only after seeing the
// announcement, and holds a share of it, so a late ring never reaches a
// closed descriptor. After the wait the receiver is AWAKE again before the
// tasks the wait woke run on its thread, so their sends make no system call.
// When a worker owns the wait, the receiver asks for it and sleeps on the
// futex; the runtime hands it over by ringing `ring`, which notifies like a
// sender (a ring that comes before the announcement turns it into a stale
// notification, so the receiver looks again instead of sleeping).
//
// "Looks at the queue" may mean following `next` into a block another sender
// linked, not only reading a ready bit. So the linking CAS (grow), the
// senders' loads of `next` (find_block) and the receiver's (try_pop_value) are
// sequentially consistent too. Then, if the publishing sender's load of
// `rx_state_` missed PARKED, it precedes the receiver's announcement in the
// single total order S; the link precedes that load in S (it is sequenced
// before it, or read by this sender's SC load of `next`, which is
// coherence-ordered after it); and the announcement precedes the receiver's
// load of `next`. A sequentially consistent load returns the last store before
// it in S, so the receiver sees the link, and by the same chain the ready bit.
// With an acquire load against an acq_rel link both sides could read the old
// values (the store-buffering outcome that weakly ordered processors show), and
// the receiver would sleep on a published message.
//
// Fork. A sender caught by fork() between claiming and publishing leaves a
// claimed slot that nothing in the child will publish. The child handler (see
// channel_fork.hpp and repair_after_fork) marks such slots as holes, which the
// receiver skips, and gives back the positions whose block was never linked.
// The receiving side is assumed idle at the fork, or on the forking thread.
//
// Depth and draining. The receiver publishes how far it has consumed
// (`consumed_`, on its own cache line) at each block boundary and when it runs
// out of messages, so any thread can estimate the depth as `tail_position_ -
// consumed_` with two loads and no lock; the estimate runs at most one block
// ahead of the truth. A sender that finds the queue too deep may wait, apart
// from the send, until the receiver has consumed down to a given depth
// (wait_until_queued_at_most). Such a waiter lowers `drain_target_` to the
// consumed position it needs and sleeps on the futex word `drain_bell_`, never
// longer than its timeout. The receiver compares its position with
// `drain_target_` once per block and when it runs out of messages; only a
// reached target costs it a system call (one wake of every waiter). Waiter: RMW
// of `drain_target_`, then load of `consumed_`; receiver: store of `consumed_`,
// then load of `drain_target_`, all sequentially consistent: a store-buffering
// pair, so either the waiter sees the progress or the receiver sees the target
// and rings. A wait that times out with the receiver where it was notes that
// position and when the stillness began (`stall_position_`, `stall_since_`).
// Once the receiver has stood still for the caller's `stalled_after`, waits
// return at once until it consumes again: a receiver that is blocked (perhaps
// on a waiting sender) costs about `stalled_after`, not one timeout per send,
// while one that was only descheduled for a moment is still waited for.
//
// Closing. Dropping the receiver marks the channel refusing; later sends hand
// their message back. A send that raced with the close and got in is destroyed
// with the channel. The end of the channel is reported once every sender is gone
// and nothing is queued.
#pragma once

#include "runtime/channel_fork.hpp"
#include "runtime/futex.hpp"
#include "runtime/idle_reactor.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

namespace cadrel::rt {

template <class T> class Sender;
template <class T> class Receiver;
template <class T> std::pair<Sender<T>, Receiver<T>> make_channel();

namespace channel_detail {

inline constexpr std::uint64_t kBlockCap = 32;
inline constexpr std::uint32_t kAllReady = 0xffffffffu;

inline std::uint64_t block_start(std::uint64_t position) { return position & ~(kBlockCap - 1); }
inline std::uint32_t block_offset(std::uint64_t position) {
    return static_cast<std::uint32_t>(position & (kBlockCap - 1));
}

template <class T>
struct Block {
    /// Position of slot 0. Written before the block is linked in (the linking
    /// CAS publishes it), never changed while linked.
    std::uint64_t start = 0;
    std::atomic<Block*> next{nullptr};
    /// Bit i set: slot i holds a published value.
    std::atomic<std::uint32_t> ready{0};
    /// Set (release) once `block_tail` moved past this block; `observed_tail`
    /// is valid after an acquire load that sees it.
    std::atomic<bool> released{false};
    std::uint64_t observed_tail = 0;
    /// Bit i set: slot i was claimed by a sender that fork() left behind; its
    /// ready bit is set too, but it holds no value. Written only in a child
    /// of fork() while it has a single thread, read by the receiver.
    std::uint32_t holes = 0;
    alignas(T) unsigned char storage[kBlockCap][sizeof(T)];

    T* slot(std::uint32_t offset) { return std::launder(reinterpret_cast<T*>(storage[offset])); }

    void reset_for_reuse(std::uint64_t new_start) {
        start = new_start;
        next.store(nullptr, std::memory_order_relaxed);
        ready.store(0, std::memory_order_relaxed);
        released.store(false, std::memory_order_relaxed);
        observed_tail = 0;
        holes = 0;
    }
};

enum RxState : std::uint32_t { kAwake = 0, kParked = 1, kNotified = 2, kParkedOnReactor = 3 };

/// A position no receiver reaches: "no drain waiter" and "not stalled".
inline constexpr std::uint64_t kNoPosition = std::numeric_limits<std::uint64_t>::max();

/// How a wait for the queue to drain ended.
enum class DrainWait {
    kDrained,   ///< the queue is at most as deep as asked, or the receiver is gone
    kTimedOut,  ///< the timeout passed first
    kStalled,   ///< no wait: the receiver has consumed nothing for `stalled_after`
};

template <class T>
class Chan final : public ForkRepairable, public ReceiverBell {
public:
    Chan() {
        auto* first = new Block<T>();
        block_tail_.store(first, std::memory_order_relaxed);
        head_ = first;
        free_head_ = first;
        enlist();
    }

    ~Chan() {
        delist();  // before anything goes: a fork must not find it half destroyed
        // Only one thread is left here: destroy whatever is still queued
        // (messages that raced with the receiver's close), then the blocks.
        destroy_queued();
        Block<T>* block = free_head_;
        while (block != nullptr) {
            Block<T>* next = block->next.load(std::memory_order_relaxed);
            delete block;
            block = next;
        }
    }

    Chan(const Chan&) = delete;
    Chan& operator=(const Chan&) = delete;

    // ---- sending side -------------------------------------------------------

    /// Appends `value`; returns it back when the receiver is gone.
    std::optional<T> send(T&& value) {
        if (rx_closed_.load(std::memory_order_acquire)) return std::optional<T>(std::move(value));
        push(std::move(value));
        wake_receiver_if_parked();
        return std::nullopt;
    }

    bool is_closed() const { return rx_closed_.load(std::memory_order_acquire); }

    /// Messages sent and not yet taken, give or take those in flight: relaxed
    /// loads of two counters that keep moving.
    std::uint64_t approximate_length() const noexcept {
        const std::uint64_t consumed = consumed_.load(std::memory_order_relaxed);
        const std::uint64_t tail = tail_position_.load(std::memory_order_relaxed);
        return tail > consumed ? tail - consumed : 0;
    }

    /// Any thread but the receiver's: sleeps until at most `limit` of the
    /// messages sent so far are still queued, the receiver is gone, or
    /// `timeout` has passed; returns at once once the receiver has consumed
    /// nothing for `stalled_after` (see "Depth and draining").
    DrainWait wait_until_queued_at_most(std::uint64_t limit, std::chrono::nanoseconds timeout,
                                        std::chrono::nanoseconds stalled_after) {
        using Clock = std::chrono::steady_clock;
        const std::uint64_t tail = tail_position_.load(std::memory_order_relaxed);
        if (tail <= limit) return DrainWait::kDrained;
        const std::uint64_t target = tail - limit;
        const std::uint64_t consumed_at_start = consumed_.load(std::memory_order_relaxed);
        if (consumed_at_start >= target || is_closed()) return DrainWait::kDrained;
        const auto started = Clock::now();
        // acquire: pairs with the release below, so stall_since_ is the one
        // noted with this position (or later).
        if (consumed_at_start == stall_position_.load(std::memory_order_acquire) &&
            started - Clock::time_point(Clock::duration(stall_since_.load(std::memory_order_relaxed))) >=
                stalled_after)
            return DrainWait::kStalled;
        const auto deadline = started + timeout;
        for (;;) {
            // The bell before the target: a ring that comes after this load
            // makes the futex wait below return at once.
            const std::uint32_t bell = drain_bell_.load(std::memory_order_seq_cst);
            lower_drain_target(target);
            // seq_cst: the waiter's half of the store-buffering pairs with the
            // receiver's progress and with its close.
            if (consumed_.load(std::memory_order_seq_cst) >= target ||
                rx_closed_.load(std::memory_order_seq_cst))
                return DrainWait::kDrained;
            const auto left = deadline - std::chrono::steady_clock::now();
            if (left <= std::chrono::steady_clock::duration::zero()) break;
            futex_wait_for(&drain_bell_, bell, left);
        }
        const std::uint64_t consumed_at_end = consumed_.load(std::memory_order_relaxed);
        if (consumed_at_end >= target) return DrainWait::kDrained;
        if (consumed_at_end == consumed_at_start &&
            stall_position_.load(std::memory_order_relaxed) != consumed_at_end) {
            // Still since this wait began, at least. Racing waiters may each
            // note their own start; any of them will do.
            stall_since_.store(started.time_since_epoch().count(), std::memory_order_relaxed);
            stall_position_.store(consumed_at_end, std::memory_order_release);
        }
        return DrainWait::kTimedOut;
    }

    void add_sender() { senders_.fetch_add(1, std::memory_order_relaxed); }

    void drop_sender() {
        // seq_cst: the pushes of this sender happen before the count reaches
        // zero, and the drop is ordered against the receiver's PARKED
        // announcement like a send is (see "Waking").
        if (senders_.fetch_sub(1, std::memory_order_seq_cst) == 1) wake_receiver_if_parked();
    }

    // ---- receiving side (one thread) ---------------------------------------

    enum class Poll { kValue, kEmpty, kClosed };

    /// Takes the head message into `out` when there is one (`out` is left
    /// empty otherwise).
    Poll try_recv(std::optional<T>& out) {
        out.reset();
        if (try_pop_value(out)) return Poll::kValue;
        // Out of messages: whoever waits for the queue to drain may go on.
        publish_consumed();
        if (senders_.load(std::memory_order_seq_cst) != 0) return Poll::kEmpty;
        // Every sender is gone; a push that came before the last drop is
        // visible now, so look once more before reporting the end.
        return try_pop_value(out) ? Poll::kValue : Poll::kClosed;
    }

    /// Blocks until a message arrives (returned) or the channel ends (nullopt).
    std::optional<T> recv() {
        std::optional<T> out;
        for (;;) {
            Poll poll = recv_or_interrupt(out);
            if (poll == Poll::kValue) return out;
            if (poll == Poll::kClosed) return std::nullopt;
        }
    }

    /// Receiver: drops the bound doorbell (see Receiver::unbind_reactor).
    void unbind_doorbell() noexcept { reactor_doorbell_.reset(); }

    /// Like recv, but a signal that interrupts the sleep ends it too: kEmpty
    /// then means nothing was taken, so the caller can act on the signal and
    /// call again. With a `reactor`, the sleep is spent in its event wait
    /// whenever that is free (see "Waiting in the reactor").
    Poll recv_or_interrupt(std::optional<T>& out, IdleReactor* reactor = nullptr) {
        for (;;) {
            Poll poll = try_recv(out);
            if (poll != Poll::kEmpty) return poll;
            bool interrupted = false;
            IdleReactor::Entry entry = IdleReactor::Entry::kUnavailable;
            if (reactor != nullptr && bind_doorbell(*reactor)) entry = reactor->enter(*this);
            if (entry == IdleReactor::Entry::kEntered) {
                poll = wait_in_reactor(out, *reactor, interrupted);
            } else {
                poll = sleep_on_futex(out, interrupted);
                if (entry == IdleReactor::Entry::kRequested) reactor->withdraw();
            }
            if (poll != Poll::kEmpty || interrupted) return poll;
        }
    }

    /// The runtime's hand-over of its event wait: wakes the receiver like a send.
    void ring() noexcept override {
        if (rx_state_.exchange(kNotified, std::memory_order_seq_cst) == kParked) futex_wake_one(&rx_state_);
    }

    /// Marks the channel refusing and destroys every queued message.
    void close_and_drain() {
        rx_closed_.store(true, std::memory_order_seq_cst);
        // seq_cst: paired with a drain waiter's target and its look at
        // rx_closed_, like the receiver's progress (see "Depth and draining").
        if (drain_target_.load(std::memory_order_seq_cst) != kNoPosition) ring_drain_waiters();
        destroy_queued();
    }

    void repair_after_fork() noexcept override {
        // Only this thread exists, so plain reasoning applies: no sender is
        // between claim and publish any more, and none holds a block.
        const std::uint64_t claimed_end = tail_position_.load(std::memory_order_relaxed);
        std::uint64_t end = claimed_end;
        Block<T>* block = head_;
        for (;;) {
            const std::uint64_t from = std::max(index_, block->start);
            const std::uint64_t to = std::min(end, block->start + kBlockCap);
            if (from < to) {
                // Claimed offsets [from, to) of this block whose ready bit is
                // missing were abandoned mid-send: holes.
                const std::uint32_t first = block_offset(from);
                const std::uint32_t count = static_cast<std::uint32_t>(to - from);
                const std::uint32_t claimed =
                    count == kBlockCap ? kAllReady : ((1u << count) - 1u) << first;
                const std::uint32_t missing = claimed & ~block->ready.load(std::memory_order_relaxed);
                block->holes |= missing;
                block->ready.fetch_or(missing, std::memory_order_relaxed);
            }
            if (block->start + kBlockCap >= end) break;
            Block<T>* next = block->next.load(std::memory_order_relaxed);
            if (next == nullptr) {
                // No block was linked for the later claims, so none of them
                // was published: hand those positions out again.
                end = block->start + kBlockCap;
                break;
            }
            block = next;
        }
        tail_position_.store(end, std::memory_order_relaxed);
        // A sender that moved block_tail_ may not have marked the block it left
        // released; and no sender holds a block now, so every block behind
        // block_tail_ may be reclaimed as soon as it is consumed.
        Block<T>* tail = block_tail_.load(std::memory_order_relaxed);
        for (Block<T>* behind = free_head_; behind != nullptr && behind != tail;
             behind = behind->next.load(std::memory_order_relaxed)) {
            behind->observed_tail = 0;
            behind->released.store(true, std::memory_order_relaxed);
        }
        // A receiver parked in the parent did not come along, nor did any
        // thread waiting for the queue to drain.
        rx_state_.store(kAwake, std::memory_order_relaxed);
        consumed_.store(index_, std::memory_order_relaxed);
        drain_target_.store(kNoPosition, std::memory_order_relaxed);
        stall_position_.store(kNoPosition, std::memory_order_relaxed);
    }

private:
    /// Waiter: lowers the drain target to `target` unless it is lower already.
    /// Always one read-modify-write, even when the value stays, so that it
    /// takes its place in the store-buffering pair with the receiver.
    void lower_drain_target(std::uint64_t target) {
        std::uint64_t current = drain_target_.load(std::memory_order_relaxed);
        while (!drain_target_.compare_exchange_weak(current, std::min(current, target),
                                                    std::memory_order_seq_cst, std::memory_order_relaxed)) {
        }
    }

    /// Receiver: one more message consumed; the position is published at the
    /// end of each block (a store to a line that senders read, so not per message).
    void note_consumed() {
        if (block_offset(index_) == 0) publish_consumed();
    }

    /// Receiver: publishes its position and wakes the drain waiters whose
    /// target it has reached.
    void publish_consumed() {
        // seq_cst store and load: the receiver's half of the store-buffering
        // pair with a drain waiter (see "Depth and draining"); with weaker
        // orders both could read the old values, and the waiter would sleep
        // its whole timeout. Once per block, so the cost stays small.
        consumed_.store(index_, std::memory_order_seq_cst);
        if (index_ >= drain_target_.load(std::memory_order_seq_cst)) ring_drain_waiters();
    }

    void ring_drain_waiters() {
        // The target goes first: a waiter that reads the new bell then lowers
        // it again after this reset, so a later ring still sees it.
        drain_target_.store(kNoPosition, std::memory_order_seq_cst);
        drain_bell_.fetch_add(1, std::memory_order_seq_cst);
        futex_wake_all(&drain_bell_);
    }

    void wake_receiver_if_parked() {
        const std::uint32_t state = rx_state_.load(std::memory_order_seq_cst);
        if (state != kParked && state != kParkedOnReactor) return;
        // acq_rel: seeing PARKED_ON_REACTOR also makes the bound doorbell visible.
        const std::uint32_t previous = rx_state_.exchange(kNotified, std::memory_order_acq_rel);
        if (previous == kParked) futex_wake_one(&rx_state_);
        else if (previous == kParkedOnReactor) reactor_doorbell_->ring();
    }

    /// Receiver: one futex sleep. Returns what a last look at the queue found,
    /// or kEmpty after a wake (or a stale notification, or a signal, which sets
    /// `interrupted`): the caller then looks again.
    Poll sleep_on_futex(std::optional<T>& out, bool& interrupted) {
        // Announce the sleep, then look again (see "Waking" above).
        std::uint32_t expected = kAwake;
        if (!rx_state_.compare_exchange_strong(expected, kParked, std::memory_order_seq_cst)) {
            // A stale notification from a send already consumed, or a ring.
            rx_state_.store(kAwake, std::memory_order_relaxed);
            return Poll::kEmpty;
        }
        Poll poll = try_recv(out);
        if (poll != Poll::kEmpty) {
            rx_state_.exchange(kAwake, std::memory_order_acquire);
            return poll;
        }
        while (!interrupted && rx_state_.load(std::memory_order_acquire) == kParked)
            interrupted = !futex_wait(&rx_state_, kParked);
        // After an interruption a sender may still be about to notify; its
        // message is published before it looks at rx_state_, so the next
        // call finds it (or parks again and is woken as usual).
        rx_state_.store(kAwake, std::memory_order_relaxed);
        return Poll::kEmpty;
    }

    /// Receiver, owning the reactor's wait: one wait there, then the woken
    /// tasks run here and the wait is given back. Returns like sleep_on_futex.
    Poll wait_in_reactor(std::optional<T>& out, IdleReactor& reactor, bool& interrupted) {
        // While still awake, so that what the deferred tasks send is cheap and
        // is received below instead of ending the wait.
        reactor.run_deferred();
        Poll poll = Poll::kEmpty;
        std::uint32_t expected = kAwake;
        if (rx_state_.compare_exchange_strong(expected, kParkedOnReactor, std::memory_order_seq_cst)) {
            poll = try_recv(out);
            if (poll == Poll::kEmpty) interrupted = !reactor.wait();
            // Awake before the woken tasks run, so their sends stay cheap. A
            // sender that rang meanwhile leaves one spurious wake-up behind.
            rx_state_.exchange(kAwake, std::memory_order_acquire);
        } else {
            rx_state_.store(kAwake, std::memory_order_relaxed);  // stale notification
        }
        reactor.leave();
        return poll;
    }

    /// Receiver: binds the reactor's doorbell on first use. False when the
    /// channel is bound to another reactor's (the futex is used then).
    bool bind_doorbell(const IdleReactor& reactor) {
        if (!reactor_doorbell_) reactor_doorbell_ = reactor.doorbell();
        return reactor_doorbell_ == reactor.doorbell();
    }

    void push(T&& value) {
        // seq_cst: the claim must precede, in the single total order, this
        // sender's load of block_tail_ in find_block, so that a mover which
        // advanced block_tail_ after that load sees the claim in its
        // observed_tail (see "Reclamation"). The slot's contents are published
        // by the fetch_or below.
        std::uint64_t position = tail_position_.fetch_add(1, std::memory_order_seq_cst);
        Block<T>* block = find_block(position);
        std::uint32_t offset = block_offset(position);
        ::new (static_cast<void*>(block->storage[offset])) T(std::move(value));
        // seq_cst: publishes the slot (release) and orders it before the
        // load of rx_state_ in wake_receiver_if_parked (see "Waking").
        block->ready.fetch_or(1u << offset, std::memory_order_seq_cst);
    }

    Block<T>* find_block(std::uint64_t position) {
        const std::uint64_t start = block_start(position);
        // seq_cst: the other half of the claim/advance pair (see "Reclamation");
        // it also acquires the block's `start` and links, published by the CAS
        // that installed it.
        Block<T>* block = block_tail_.load(std::memory_order_seq_cst);
        bool may_advance_tail = true;
        while (block->start != start) {
            // seq_cst: see "Waking" (a link another sender made).
            Block<T>* next = block->next.load(std::memory_order_seq_cst);
            if (next == nullptr) next = grow(block);
            // Move block_tail past a block whose slots are all published, so
            // the receiver can reclaim it and later senders walk less.
            if (may_advance_tail && block->ready.load(std::memory_order_acquire) == kAllReady) {
                Block<T>* expected = block;
                if (block_tail_.compare_exchange_strong(expected, next, std::memory_order_seq_cst)) {
                    block->observed_tail = tail_position_.load(std::memory_order_seq_cst);
                    block->released.store(true, std::memory_order_release);
                } else {
                    may_advance_tail = false;
                }
            } else {
                may_advance_tail = false;
            }
            block = next;
        }
        return block;
    }

    /// Links a block after `block` (or finds the one another sender linked).
    Block<T>* grow(Block<T>* block) {
        auto* fresh = new Block<T>();
        fresh->start = block->start + kBlockCap;
        Block<T>* expected = nullptr;
        // seq_cst: a receiver about to sleep must see this link (see "Waking").
        if (block->next.compare_exchange_strong(expected, fresh, std::memory_order_seq_cst))
            return fresh;
        delete fresh;  // another sender linked one first
        return expected;
    }

    void destroy_queued() {
        std::optional<T> value;
        while (try_pop_value(value)) value.reset();
    }

    /// Moves the head message into the empty `out` (constructing it there, so
    /// T need not be assignable) and returns true, or returns false when the
    /// head slot is not published yet.
    bool try_pop_value(std::optional<T>& out) {
        for (;;) {
            const std::uint64_t start = block_start(index_);
            while (head_->start != start) {
                // seq_cst: ordered after the PARKED announcement (see "Waking").
                Block<T>* next = head_->next.load(std::memory_order_seq_cst);
                if (next == nullptr) return false;
                head_ = next;
            }
            reclaim_blocks();
            const std::uint32_t offset = block_offset(index_);
            // seq_cst: pairs with the sender's publishing fetch_or (acquire) and
            // with the PARKED announcement (see "Waking").
            if ((head_->ready.load(std::memory_order_seq_cst) & (1u << offset)) == 0) return false;
            if (head_->holes & (1u << offset)) [[unlikely]] {
                ++index_;  // abandoned by a fork: no value to take or destroy
                note_consumed();
                continue;
            }
            T* slot = head_->slot(offset);
            out.emplace(std::move(*slot));
            slot->~T();
            ++index_;
            note_consumed();
            return true;
        }
    }

    void reclaim_blocks() {
        while (free_head_ != head_) {
            Block<T>* block = free_head_;
            if (!block->released.load(std::memory_order_acquire)) return;
            if (block->observed_tail > index_) return;  // a sender may still hold it
            free_head_ = block->next.load(std::memory_order_acquire);
            recycle(block);
        }
    }

    /// Puts a consumed block back at the end of the list so steady traffic
    /// allocates nothing; after a few lost races it is freed instead.
    void recycle(Block<T>* block) {
        Block<T>* tail = block_tail_.load(std::memory_order_acquire);
        for (int attempt = 0; attempt < 3; ++attempt) {
            block->reset_for_reuse(tail->start + kBlockCap);
            Block<T>* expected = nullptr;
            if (tail->next.compare_exchange_strong(expected, block, std::memory_order_acq_rel,
                                                   std::memory_order_acquire))
                return;
            tail = expected;
        }
        delete block;
    }

    // Shared by senders.
    alignas(64) std::atomic<std::uint64_t> tail_position_{0};
    std::atomic<Block<T>*> block_tail_{nullptr};
    std::atomic<std::size_t> senders_{0};
    std::atomic<bool> rx_closed_{false};
    // The receiver's sleep word, on its own line: senders read it every send.
    alignas(64) std::atomic<std::uint32_t> rx_state_{kAwake};
    /// Rung by senders that find the receiver in the reactor's wait. Written
    /// once by the receiver before its first PARKED_ON_REACTOR (see above).
    std::shared_ptr<const EventFd> reactor_doorbell_;
    // Drain waiters (see "Depth and draining"), on their own line: the
    // receiver reads drain_target_ once per block.
    alignas(64) std::atomic<std::uint64_t> drain_target_{kNoPosition};
    std::atomic<std::uint32_t> drain_bell_{0};
    /// Where the receiver stood still during a whole timed-out wait, and since
    /// when (steady clock ticks): see "Depth and draining".
    std::atomic<std::uint64_t> stall_position_{kNoPosition};
    std::atomic<std::int64_t> stall_since_{0};
    /// index_ as last published by the receiver (see "Depth and draining"),
    /// on its own line: every depth estimate reads it.
    alignas(64) std::atomic<std::uint64_t> consumed_{0};
    // Receiver only.
    alignas(64) Block<T>* head_ = nullptr;
    Block<T>* free_head_ = nullptr;
    std::uint64_t index_ = 0;
};

}  // namespace channel_detail

using DrainWait = channel_detail::DrainWait;

/// A sending end. Copying clones it; every clone counts as one more sender.
template <class T>
class Sender {
    static_assert(std::is_nothrow_move_constructible_v<T>);

public:
    Sender(const Sender& other) : chan_(other.chan_) {
        if (chan_) chan_->add_sender();
    }
    Sender(Sender&& other) noexcept = default;
    Sender& operator=(Sender other) noexcept {
        std::swap(chan_, other.chan_);
        return *this;
    }
    ~Sender() {
        if (chan_) chan_->drop_sender();
    }

    /// Appends `value` at the tail without waiting or locking. Returns
    /// std::nullopt when accepted, or the value back when the receiving end is
    /// gone.
    [[nodiscard]] std::optional<T> send(T value) const { return chan_->send(std::move(value)); }

    /// True once the receiving end has been dropped; sends are refused from then on.
    /// A moved-from sender sends nowhere: closed.
    bool is_closed() const { return !chan_ || chan_->is_closed(); }

    /// About how many messages are queued (see Chan::approximate_length).
    std::uint64_t approximate_length() const noexcept { return chan_->approximate_length(); }

    /// Waits, without sending, until at most `limit` of the messages sent so
    /// far are queued, or the receiver is gone, or `timeout` has passed.
    /// Returns at once (kStalled) while the receiver has consumed nothing for
    /// `stalled_after`, as timed-out waits saw. Never call it on the receiving
    /// thread: nothing would drain.
    DrainWait wait_until_queued_at_most(std::uint64_t limit, std::chrono::nanoseconds timeout,
                                        std::chrono::nanoseconds stalled_after) const {
        return chan_->wait_until_queued_at_most(limit, timeout, stalled_after);
    }

    /// Lets go of the reactor's doorbell, so that its descriptor closes with its
    /// runtime rather than with the last sender. Only while no send can be in
    /// progress (every sending thread joined, or serialised with this call): a
    /// sender that found the receiver parked in the reactor rings the doorbell
    /// after it has changed the receiver's state.
    void unbind_reactor() noexcept {
        if (chan_) chan_->unbind_doorbell();
    }

private:
    friend std::pair<Sender<T>, Receiver<T>> make_channel<T>();
    explicit Sender(std::shared_ptr<channel_detail::Chan<T>> chan) : chan_(std::move(chan)) {
        chan_->add_sender();
    }
    std::shared_ptr<channel_detail::Chan<T>> chan_;
};

/// The one receiving end. Dropping it makes the channel refuse further sends
/// and destroys every message still queued.
template <class T>
class Receiver {
public:
    using Poll = typename channel_detail::Chan<T>::Poll;

    Receiver(Receiver&&) noexcept = default;
    Receiver& operator=(Receiver&& other) noexcept {
        if (this != &other) {
            close();
            chan_ = std::move(other.chan_);
        }
        return *this;
    }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;
    ~Receiver() { close(); }

    /// Waits, asleep, for the next message. std::nullopt means the end of the
    /// channel: every sender is gone and nothing is queued.
    std::optional<T> recv() { return chan_->recv(); }

    /// Takes the next message without waiting.
    Poll try_recv(std::optional<T>& out) { return chan_->try_recv(out); }

    /// About how many messages are queued (see Chan::approximate_length).
    std::uint64_t approximate_length() const noexcept { return chan_->approximate_length(); }

    /// Waits like recv, but also returns (kEmpty, nothing taken) when a signal
    /// handler interrupted the sleep. With a `reactor`, waits in its event wait
    /// when that is free, running the tasks it wakes on this thread.
    Poll recv_or_interrupt(std::optional<T>& out, IdleReactor* reactor = nullptr) {
        return chan_->recv_or_interrupt(out, reactor);
    }

    /// Lets go of the reactor's doorbell, so that its descriptor closes with its
    /// runtime rather than with the last sender. Only while no send can be in
    /// progress (every sending thread joined, or serialised with this call): a
    /// sender that found the receiver parked in the reactor rings the doorbell
    /// after it has changed the receiver's state.
    void unbind_reactor() noexcept {
        if (chan_) chan_->unbind_doorbell();
    }

private:
    friend std::pair<Sender<T>, Receiver<T>> make_channel<T>();
    explicit Receiver(std::shared_ptr<channel_detail::Chan<T>> chan) : chan_(std::move(chan)) {}

    void close() {
        if (chan_) {
            chan_->close_and_drain();
            chan_.reset();
        }
    }

    std::shared_ptr<channel_detail::Chan<T>> chan_;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel() {
    auto chan = std::make_shared<channel_detail::Chan<T>>();
    return {Sender<T>(chan), Receiver<T>(chan)};
}

}  // namespace cadrel::rt
