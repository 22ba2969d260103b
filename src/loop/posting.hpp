// Posting a message from a host thread, where a refusal becomes "loop closed",
// and the back-pressure a host thread meets before posting to a deep queue.
//
// The channel itself never refuses for depth and never blocks. But host threads
// posting to a loop that runs on another thread share the interpreter with it:
// under one interpreter lock eight posting threads leave the loop thread about
// a ninth of the time, and the queue, each message holding a handle and its
// copied context, grows by millions. So before such a post, when the queue is
// deeper than kDeepQueue, the posting thread lets go of the interpreter and
// waits for the loop thread to drain it to kDrainedQueue, for kLongestDrainWait
// at most. The loop thread itself, workers, and posts to a loop no thread is
// running never wait; nor do posts while the loop thread is stuck (see
// Sender::wait_until_queued_at_most), so a loop blocked on the posting thread,
// or one about to stop, costs its posters kLoopStalledAfter, never a deadlock.
#pragma once

#include "binding/errors.hpp"
#include "binding/loop_object.hpp"
#include "loop/event_loop.hpp"
#include "loop/messages.hpp"

#include <chrono>
#include <cstdint>
#include <mutex>

namespace cadrel::loop {

/// Queue depth past which a host thread posting to a loop run by another
/// thread first lets that thread drain. A queued callback costs a few hundred
/// bytes (handle, context, slot), so the backlog stays near a hundred MiB, and
/// a burst this long still goes in without a wait.
inline constexpr std::uint64_t kDeepQueue = 256 * 1024;
/// The depth at which a waiting poster goes on: half, so that the loop thread
/// runs long stretches of callbacks between the posters' turns.
inline constexpr std::uint64_t kDrainedQueue = kDeepQueue / 2;
/// The longest one post waits: time for the loop thread to take the
/// interpreter and run a stretch of callbacks, short enough that a loop that
/// does not drain only slows a post. Each timed-out poster takes the
/// interpreter back from the loop thread to post one message, so shorter
/// waits cost the loop throughput (2 ms measured about 6% slower than 5 ms
/// with eight posters; 10 ms gained nothing more).
inline constexpr std::chrono::milliseconds kLongestDrainWait{5};

/// A loop thread that has consumed nothing for this long is taken to be
/// blocked (perhaps on the posting thread) or stopped, and posts go on without
/// waiting until it moves again. Well above the interpreter's switch interval
/// and a scheduler's time slice, so a loop thread that merely waited its turn
/// on a busy machine is still waited for. The loop's progress is seen a block
/// of 32 messages at a time, so callbacks slower than about 1.5 ms each are
/// not paced either; their posters queue as they did before.
inline constexpr std::chrono::milliseconds kLoopStalledAfter{50};

/// Whether this thread is inside `loop`'s run (defined with the run loop).
bool runs_on_this_thread(const binding::LoopObject* loop) noexcept;

/// Whether some thread's run holds the loop's receiving end.
inline bool run_in_progress(CadrelEventLoop& state) {
    std::lock_guard lock(state.receiver->mutex);
    return !state.receiver->receiver.has_value();
}

/// Back-pressure before a post from a host thread (see the top of this file).
/// Caller is attached; detaches for the wait, if there is one.
inline void let_a_deep_queue_drain(binding::LoopObject* loop) {
    binding::SharedBorrow borrow(loop);
    CadrelEventLoop& state = loop->state();
    if (state.sender.approximate_length() <= kDeepQueue) return;
    if (runs_on_this_thread(loop) || !run_in_progress(state)) return;
    binding::Detached detached;
    // However the wait ends, the post goes ahead: the wait only paces it.
    (void)state.sender.wait_until_queued_at_most(kDrainedQueue, kLongestDrainWait, kLoopStalledAfter);
}

/// Sends `message`; when the channel refuses it, releases it and raises
/// RuntimeError "loop closed". Caller is attached.
inline void post(const LoopSender& sender, LoopMessage message) {
    if (std::optional<LoopMessage> refused = sender.send(std::move(message))) {
        refused.reset();
        binding::raise_error(PyExc_RuntimeError, "loop closed");
    }
}

/// Refuses work that needs the runtime's workers in a child process made by
/// fork(), where those threads do not exist. Caller is attached.
inline void require_runtime_in_this_process(const CadrelEventLoop& state) {
    if (!state.runtime.handle().is_usable_in_this_process())
        binding::raise_error(PyExc_RuntimeError,
                             "this CadrelLoop was created before os.fork(): its worker threads do not "
                             "exist in this process; create a new CadrelLoop here");
}

}  // namespace cadrel::loop
