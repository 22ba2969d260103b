// epoll-based park and unpark of the worker that owns the runtime's wait.
#include "runtime/driver.hpp"

#include "runtime/os_error.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <sys/epoll.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace cadrel::rt {

namespace {

constexpr int kMaxEvents = 256;

/// The wait's timeout in whole milliseconds for epoll_wait, rounded up:
/// waking a little late is allowed, waking early is not.
int timeout_ms(std::optional<Driver::Clock::time_point> deadline, Driver::Clock::time_point now) {
    if (!deadline) return -1;
    if (*deadline <= now) return 0;
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(*deadline - now).count();
    return ms > 0x7fffffff ? 0x7fffffff : static_cast<int>(ms);
}

#if defined(SYS_epoll_pwait2)
/// Set once epoll_pwait2 turned out to be missing (a kernel before 5.11, or a
/// seccomp filter that refuses calls it does not know). Relaxed: it only
/// caches that fact, and a thread that reads it late tries the call once more.
std::atomic<bool> nanosecond_wait_unavailable{false};

/// epoll_pwait2 takes the timeout as a timespec, so deadlines closer than a
/// millisecond are honoured instead of rounded up to one. Returns -1 with
/// errno ENOSYS when the kernel does not have it. Called through syscall(): C
/// libraries declare it only from recent versions on (glibc 2.35).
int wait_nanoseconds(int epoll_fd, epoll_event* events, std::optional<Driver::Clock::time_point> deadline,
                     Driver::Clock::time_point now) {
    timespec timeout{};
    timespec* timeout_or_forever = nullptr;
    if (deadline) {
        if (*deadline > now) {
            const auto left = std::chrono::ceil<std::chrono::nanoseconds>(*deadline - now).count();
            timeout.tv_sec = static_cast<time_t>(left / 1'000'000'000);
            timeout.tv_nsec = static_cast<long>(left % 1'000'000'000);
        }
        timeout_or_forever = &timeout;
    }
    // No signal mask: the call then behaves as epoll_wait with a finer timeout.
    return static_cast<int>(syscall(SYS_epoll_pwait2, epoll_fd, events, kMaxEvents, timeout_or_forever, nullptr, 0));
}
#endif

/// One wait for events until `deadline` (none: indefinitely; passed: poll).
int wait_for_events(int epoll_fd, epoll_event* events, std::optional<Driver::Clock::time_point> deadline) {
    // The clock is read only for a timed wait: most waits of a busy loop have no deadline.
    const auto now = deadline ? Driver::Clock::now() : Driver::Clock::time_point{};
#if defined(SYS_epoll_pwait2)
    if (!nanosecond_wait_unavailable.load(std::memory_order_relaxed)) {
        int count = wait_nanoseconds(epoll_fd, events, deadline, now);
        if (count >= 0 || (errno != ENOSYS && errno != EPERM)) return count;
        nanosecond_wait_unavailable.store(true, std::memory_order_relaxed);
    }
#endif
    return epoll_wait(epoll_fd, events, kMaxEvents, timeout_ms(deadline, now));
}

}  // namespace

Driver::Driver() {
    epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_fd_ < 0) throw_last_os_error();
    try {
        wake_ = std::make_shared<const EventFd>();
    } catch (...) {
        close(epoll_fd_);
        throw;
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = IoDriver::kWakeToken;
    if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_->fd(), &event) != 0) {
        int code = errno;
        close(epoll_fd_);
        throw OsError(code);
    }
    io_.emplace(epoll_fd_);
}

Driver::~Driver() { close(epoll_fd_); }

bool Driver::park(std::optional<Clock::time_point> deadline) {
    io_->release_pending();  // no event of an earlier batch refers to these any more
    epoll_event events[kMaxEvents];
    for (;;) {
        int count = wait_for_events(epoll_fd_, events, deadline);
        // EINTR: a signal arrived; the caller acts on it first. (Only the
        // first wait blocks, so a later one is hardly ever interrupted.)
        if (count < 0) return false;
        for (int i = 0; i < count; ++i) {
            if (events[i].data.u64 == IoDriver::kWakeToken) wake_->drain();
            else io_->dispatch(events[i].data.u64, events[i].events);
        }
        // A full buffer may have left events behind: collect them at once.
        if (count < kMaxEvents) return true;
        deadline = Clock::time_point::min();
    }
}

void Driver::unpark() noexcept { wake_->ring(); }

}  // namespace cadrel::rt
