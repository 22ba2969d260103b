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
// The wait honours deadlines to the nanosecond where the kernel has
// epoll_pwait2 (Linux 5.11); elsewhere it rounds the timeout up to whole
// milliseconds. Either way it never returns before the deadline on its own.
#pragma once

#include "runtime/io_driver.hpp"

#include <atomic>
#include <chrono>
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
    /// and handles what arrived. Called by the one worker that owns the wait.
    void park(std::optional<Clock::time_point> deadline);

    /// Makes the current or next park return promptly. Any thread.
    void unpark() noexcept;

    /// The readiness service on this driver's epoll instance.
    IoDriver& io() noexcept { return *io_; }

private:
    void drain_wakeups() noexcept;

    int epoll_fd_ = -1;
    int wake_fd_ = -1;
    std::optional<IoDriver> io_;
};

}  // namespace cadrel::rt
