// Lending the runtime's event wait to a thread that would otherwise sleep.
//
// A channel's receiver with nothing to receive can spend its idle time in the
// runtime's epoll wait instead of on its futex: it waits there for the earliest
// timer deadline, for descriptor readiness and for its own senders (who ring
// the reactor's doorbell instead of the futex), and the tasks that the events
// wake run on the receiver's thread before it looks at the channel again. Their
// messages are then already queued, so a readiness event or a due timer reaches
// the receiver with no other thread woken.
//
// The wait has one owner at a time. A receiver that finds a worker in it asks
// for it and sleeps on its futex as before; the worker hands the wait over when
// it next returns from it (at once when it was idle in it) and rings the
// receiver's `ReceiverBell`, and no worker takes the wait while the request
// stands. A receiver that holds the wait gives it back before it handles what
// it received, but the wait stays reserved for it: a worker in it would keep
// the receiver's channel fed, and the receiver would never be idle to take it
// back. A receiver busy for a while (`busy`), or done receiving for now
// (`done`), has a worker woken to take the wait, so events keep being
// collected without it.
//
// Receiver-side calls come from one thread at a time, in this order:
//   enter -> (kEntered)   run_deferred, wait (any number of times) -> leave
//         -> (kRequested) sleep until rung or woken otherwise -> withdraw
// with `begin` before the first, `busy` between the messages it handles, and
// `done` when it stops receiving.
#pragma once

#include "runtime/event_fd.hpp"

#include <memory>

namespace cadrel::rt {

/// How the runtime wakes a receiver that asked for the wait.
class ReceiverBell {
public:
    /// Called with the runtime's lock held: must not block nor call back.
    virtual void ring() noexcept = 0;

protected:
    ~ReceiverBell() = default;
};

class IdleReactor {
public:
    enum class Entry {
        kEntered,      ///< the caller owns the wait until leave()
        kRequested,    ///< a worker owns it; `bell` rings when it lets go (until withdraw())
        kUnavailable,  ///< shutting down, or a copy left by fork(): sleep as usual
    };

    /// Takes the wait if it is free, else asks for it.
    virtual Entry enter(ReceiverBell& bell) noexcept = 0;

    /// Ends a request made by enter(); the bell is not rung after it returns.
    virtual void withdraw() noexcept = 0;

    /// Owner only, before its wait: runs the tasks it deferred since its last
    /// round (a timer re-armed, a task spawned between two waits), so that the
    /// wait after them sleeps until the deadline they arm instead of first
    /// looking for events once with no timeout. A task these runs wake again
    /// is kept for leave().
    virtual void run_deferred() noexcept = 0;

    /// Owner only: waits until an event, the earliest timer deadline or a ring
    /// of `doorbell()`, then handles what arrived (readiness, due timers),
    /// keeping the tasks it wakes for leave(). False when a signal handler
    /// interrupted the wait. The first wait with a deadline sets the thread's
    /// timer slack to the minimum until done(), as workers have it, so that
    /// the kernel does not add its default 50 us to every timer.
    virtual bool wait() noexcept = 0;

    /// Owner only: runs the tasks the waits woke on this thread, then gives
    /// the wait back.
    virtual void leave() noexcept = 0;

    /// The receiver starts receiving: from now on the wait is kept for it (a
    /// worker in it lets go after its current round of events), as after an
    /// entry.
    virtual void begin() noexcept = 0;

    /// Between two messages the receiver handles: once it has been away from
    /// the wait for a while (10 ms, so that a thread merely preempted on a
    /// loaded machine does not count as busy), a worker is woken to take it.
    virtual void busy() noexcept = 0;

    /// The receiver stops receiving for now: workers own the wait again, as
    /// if it had never come, and the thread's timer slack is restored.
    virtual void done() noexcept = 0;

    /// The receiver has work queued and will not sleep: if the wait is free,
    /// collects what the kernel has ready now without blocking (readiness, due
    /// timers) and runs the tasks that woke, and those it deferred, on this
    /// thread, so events keep arriving while it is busy with short passes, as a
    /// loop that polls its selector every pass sees them. False when a worker
    /// holds the wait (it collects the events then) or the runtime is going away.
    virtual bool poll_now() noexcept = 0;

    /// The receiver is about to block on something workers must do first (a
    /// task it aborted letting go of a resource): the tasks it deferred go to
    /// the workers now instead of waiting for its next round in the wait.
    virtual void hand_deferred_to_workers() noexcept = 0;

    /// The doorbell that ends the owner's wait. Ringing it while a worker waits
    /// only makes that worker look at its queue once more.
    virtual const std::shared_ptr<const EventFd>& doorbell() const noexcept = 0;

protected:
    ~IdleReactor() = default;
};

}  // namespace cadrel::rt
