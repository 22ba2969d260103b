// The readiness service: descriptor registrations in the runtime's epoll set.
//
// One registration per descriptor number, shared by every watcher of that
// descriptor (its reader and its writer, and a replaced watcher with its
// successor). The registration is added to epoll edge-triggered with
// EPOLLIN | EPOLLRDHUP | EPOLLOUT | EPOLLET and removed when its last user lets
// go; all of this happens under one mutex, so a predecessor's teardown can
// never remove a successor's interest. A watcher that joins an existing
// registration re-arms it (EPOLL_CTL_MOD, which also reports a descriptor that
// is already ready); if the kernel dropped the descriptor in the meantime (the
// host closed it, perhaps reusing the number), it is added again.
//
// epoll events carry the record's address. A released record is kept on a
// pending list until the driver's next wait begins, so events of a batch that
// was already collected never reach freed memory.
#pragma once

#include "runtime/readiness.hpp"

#include <cstddef>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace cadrel::rt {

class IoDriver;

/// A watcher's hold on the registration of its descriptor. Move-only; letting
/// go of the last hold removes the descriptor from the epoll set (never closing it).
class FdRegistration {
public:
    FdRegistration(FdRegistration&& other) noexcept;
    FdRegistration& operator=(FdRegistration&&) = delete;
    FdRegistration(const FdRegistration&) = delete;
    FdRegistration& operator=(const FdRegistration&) = delete;
    ~FdRegistration();

    ScheduledIo& io() const noexcept { return *io_; }
    int fd() const noexcept { return fd_; }

private:
    friend class IoDriver;
    FdRegistration(IoDriver* driver, int fd, std::shared_ptr<ScheduledIo> io) noexcept
        : driver_(driver), fd_(fd), io_(std::move(io)) {}

    IoDriver* driver_;
    int fd_;
    std::shared_ptr<ScheduledIo> io_;
};

class IoDriver {
public:
    explicit IoDriver(int epoll_fd) noexcept : epoll_fd_(epoll_fd) {}
    IoDriver(const IoDriver&) = delete;
    IoDriver& operator=(const IoDriver&) = delete;

    /// Registers `fd` (or joins its registration). Throws OsError when epoll
    /// refuses it (EBADF for a closed number, EPERM for a regular file), or
    /// std::runtime_error once the runtime is shutting down.
    FdRegistration register_fd(int fd);

    /// Driver thread, before each wait: frees records released since the last one.
    void release_pending() noexcept;

    /// Driver thread: one epoll event for the record at `token`.
    static void dispatch(void* token, std::uint32_t events) noexcept {
        static_cast<ScheduledIo*>(token)->set_readiness(events);
    }

    /// Marks every record shut down (every wait fails) and refuses new registrations.
    void shutdown() noexcept;

    std::size_t registration_count() const;

private:
    friend class FdRegistration;
    void release(int fd) noexcept;

    struct Entry {
        std::shared_ptr<ScheduledIo> io;
        std::size_t holders = 0;
    };

    const int epoll_fd_;
    mutable std::mutex mutex_;
    std::unordered_map<int, Entry> registrations_;              // guarded by mutex_
    std::vector<std::shared_ptr<ScheduledIo>> pending_release_;  // guarded by mutex_
    bool shut_down_ = false;                                     // guarded by mutex_
};

}  // namespace cadrel::rt
