// epoll-based park and unpark of the worker that owns the runtime's wait.
#include "runtime/driver.hpp"

#include "runtime/os_error.hpp"

#include <cerrno>
#include <cstdint>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace cadrel::rt {

namespace {

constexpr int kMaxEvents = 256;

int timeout_ms(std::optional<Driver::Clock::time_point> deadline) {
    if (!deadline) return -1;
    auto left = *deadline - Driver::Clock::now();
    if (left <= Driver::Clock::duration::zero()) return 0;
    // Round up: waking a little late is allowed, waking early is not.
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > 0x7fffffff ? 0x7fffffff : static_cast<int>(ms);
}

}  // namespace

Driver::Driver() {
    epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_fd_ < 0) throw_last_os_error();
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0) {
        int code = errno;
        close(epoll_fd_);
        throw OsError(code);
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = IoDriver::kWakeToken;
    if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &event) != 0) {
        int code = errno;
        close(wake_fd_);
        close(epoll_fd_);
        throw OsError(code);
    }
    io_.emplace(epoll_fd_);
}

Driver::~Driver() {
    close(wake_fd_);
    close(epoll_fd_);
}

void Driver::park(std::optional<Clock::time_point> deadline) {
    io_->release_pending();  // no event of an earlier batch refers to these any more
    epoll_event events[kMaxEvents];
    int timeout = timeout_ms(deadline);
    for (;;) {
        int count = epoll_wait(epoll_fd_, events, kMaxEvents, timeout);
        if (count < 0) return;  // EINTR: a signal arrived; the caller re-checks its queue
        for (int i = 0; i < count; ++i) {
            if (events[i].data.u64 == IoDriver::kWakeToken) drain_wakeups();
            else io_->dispatch(events[i].data.u64, events[i].events);
        }
        // A full buffer may have left events behind: collect them at once.
        if (count < kMaxEvents) return;
        timeout = 0;
    }
}

void Driver::unpark() noexcept {
    std::uint64_t one = 1;
    // The counter only saturates after 2^64-2 unread wakes; EAGAIN then still
    // leaves the descriptor readable, which is all a wake needs.
    [[maybe_unused]] ssize_t n = write(wake_fd_, &one, sizeof(one));
}

void Driver::drain_wakeups() noexcept {
    std::uint64_t count = 0;
    [[maybe_unused]] ssize_t n = read(wake_fd_, &count, sizeof(count));
}

}  // namespace cadrel::rt
