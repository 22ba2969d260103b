// An eventfd used as a doorbell: any thread rings it, the thread that waits on
// it in epoll drains it. Shared (by the driver that waits on it and by channels
// whose senders ring it), so it is closed only when the last holder lets go
// and a late ring never writes to a reused descriptor number.
#pragma once

namespace cadrel::rt {

class EventFd {
public:
    /// Creates the non-blocking, close-on-exec eventfd; throws OsError.
    EventFd();
    ~EventFd();
    EventFd(const EventFd&) = delete;
    EventFd& operator=(const EventFd&) = delete;

    /// Makes the descriptor readable until the next drain. Any thread.
    void ring() const noexcept;

    /// Reads the counter back to zero.
    void drain() const noexcept;

    int fd() const noexcept { return fd_; }

private:
    int fd_ = -1;
};

}  // namespace cadrel::rt
