// The eventfd doorbell.
#include "runtime/event_fd.hpp"

#include "runtime/os_error.hpp"

#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

namespace cadrel::rt {

EventFd::EventFd() {
    fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd_ < 0) throw_last_os_error();
}

EventFd::~EventFd() { close(fd_); }

void EventFd::ring() const noexcept {
    std::uint64_t one = 1;
    // The counter only saturates after 2^64-2 unread rings; EAGAIN then still
    // leaves the descriptor readable, which is all a ring needs.
    [[maybe_unused]] ssize_t n = write(fd_, &one, sizeof(one));
}

void EventFd::drain() const noexcept {
    std::uint64_t count = 0;
    [[maybe_unused]] ssize_t n = read(fd_, &count, sizeof(count));
}

}  // namespace cadrel::rt
