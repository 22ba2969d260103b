// The driver: where an idle worker waits for something to do.
//
// One epoll instance per runtime. An idle worker that takes the driver blocks
// in epoll_wait; any thread that queues work while it sleeps wakes it through an
// eventfd in the same epoll set. This is the one wait that the runtime's timer
// and readiness services share: a timer service supplies the wait's deadline
// and fires what is due after it, and descriptor readiness arrives as further
// epoll events. Only one worker at a time owns the wait (the scheduler hands it
// over), so `park` is never called concurrently; `unpark` may be called from
// any thread.
//
// The wait may also be lent to a thread that is not a worker (see
// idle_reactor.hpp); it stays one owner at a time, and the owner is the only
// caller of `park`.
//
// The wait honours deadlines to the nanosecond where the kernel has
// epoll_pwait2 (Linux 5.11); elsewhere it rounds the timeout up to whole
// milliseconds. Either way it never returns before the deadline on its own.
#pragma once

#include "runtime/event_fd.hpp"
#include "runtime/io_driver.hpp"

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>

namespace cadrel::rt {

class Driver {
public:
    using Clock = std::chrono::steady_clock;

    /// Creates the epoll instance and the wake-up eventfd; throws OsError.
    Driver();
    ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    /// Blocks until unparked, until `deadline` passes, or until events arrive,
    /// and handles what arrived. Called by the one thread that owns the wait.
    /// Returns false when a signal handler interrupted the wait (nothing was
    /// handled then), true otherwise.
    bool park(std::optional<Clock::time_point> deadline);

    /// Makes the current or next park return promptly. Any thread.
    void unpark() noexcept;

    /// The readiness service on this driver's epoll instance.
    IoDriver& io() noexcept { return *io_; }

    /// The eventfd that unpark() rings, for holders that may outlive the driver.
    const std::shared_ptr<const EventFd>& doorbell() const noexcept { return wake_; }

private:
    int epoll_fd_ = -1;
    std::shared_ptr<const EventFd> wake_;
    std::optional<IoDriver> io_;
};

}  // namespace cadrel::rt
