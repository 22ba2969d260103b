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
// host closed it, perhaps reusing the number), it is added again, and the
// record forgets what the earlier file reported.
//
// Event tokens. The kernel keys an epoll entry by (open file, descriptor
// number), but removal can only name a number. When the host closes a watched
// number while its open file lives on elsewhere (a dup, a forked child, a
// descriptor passed to a subprocess), the entry stays in the set, EPOLL_CTL_DEL
// fails with EBADF and nothing can ever remove it: it keeps reporting that
// file's readiness. So epoll_data never holds an address. It holds a token:
//
//   bits 0-31   slot index + 1   (0 is the driver's wake-up eventfd)
//   bits 32-63  slot generation  advanced every time the slot is given out
//
// A slot belongs to one registration of one open file; freeing it, or adding a
// new file under a registration's number, takes a new generation, so a token of
// a stale entry no longer matches and `dispatch` drops its events. Such an
// entry cannot spin a worker: it is edge-triggered, so it reports only when its
// file's state changes (new input, a hang-up), one event per change, each
// looked up and dropped without a lock. (EPOLLONESHOT would silence it
// after one event but costs every live registration a re-arm system call per
// event.) A generation repeats only after 2^32 reuses of one slot.
//
// A released record is kept on a pending list until the driver's next wait
// begins, so a record looked up by `dispatch` stays valid for the rest of the
// batch even if its last holder lets go meanwhile. That is also what lets
// `dispatch` look slots up without the lock (see RecordSlots): it runs once
// per event on the thread holding the wait, while registrations come and go
// on others.
#pragma once

#include "runtime/fd_table.hpp"
#include "runtime/readiness.hpp"
#include "runtime/record_slots.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace cadrel::rt {

class IoDriver;

/// A watcher's hold on the registration of its descriptor. Move-only; letting
/// go of the last hold removes the descriptor from the epoll set (never closing it).
class FdRegistration {
public:
    /// Holds nothing: what a task keeps when its descriptor could not be
    /// registered (no optional around it, which would cost its frame a word).
    FdRegistration() noexcept = default;
    FdRegistration(FdRegistration&& other) noexcept;
    FdRegistration& operator=(FdRegistration&&) = delete;
    FdRegistration(const FdRegistration&) = delete;
    FdRegistration& operator=(const FdRegistration&) = delete;
    ~FdRegistration();

    explicit operator bool() const noexcept { return io_ != nullptr; }
    /// Not on an empty registration.
    ScheduledIo& io() const noexcept { return *io_; }
    /// The record, for a task that waits on it while another owner holds this.
    std::shared_ptr<ScheduledIo> shared_io() const noexcept { return io_; }
    /// Lets go without touching the driver: in a child of fork(), whose epoll
    /// set is still the parent's, removing the descriptor would silence it there.
    void abandon() noexcept { driver_ = nullptr; }
    int fd() const noexcept { return fd_; }

private:
    friend class IoDriver;
    FdRegistration(IoDriver* driver, int fd, std::shared_ptr<ScheduledIo> io) noexcept
        : driver_(driver), fd_(fd), io_(std::move(io)) {}

    IoDriver* driver_ = nullptr;
    int fd_ = -1;
    std::shared_ptr<ScheduledIo> io_;
};

class IoDriver {
public:
    /// The epoll_data of the driver's own wake-up descriptor; never a registration's token.
    static constexpr std::uint64_t kWakeToken = 0;

    explicit IoDriver(int epoll_fd) noexcept : epoll_fd_(epoll_fd) {}
    IoDriver(const IoDriver&) = delete;
    IoDriver& operator=(const IoDriver&) = delete;

    /// Registers `fd` (or joins its registration). Throws OsError when epoll
    /// refuses it (EBADF for a closed number, EPERM for a regular file), or
    /// std::runtime_error once the runtime is shutting down.
    FdRegistration register_fd(int fd);

    /// Driver thread, before each wait: frees records released since the last one.
    void release_pending() noexcept;

    /// Driver thread: one epoll event carrying `token`. Reaches the record of
    /// the live registration the token was given to, and nothing otherwise.
    void dispatch(std::uint64_t token, std::uint32_t events) noexcept;

    /// Marks every record shut down (every wait fails) and refuses new registrations.
    void shutdown() noexcept;

    std::size_t registration_count() const;

private:
    friend class FdRegistration;
    void release(int fd) noexcept;

    /// A registered descriptor: its record slot and how many registrations share it.
    struct Registered {
        std::uint32_t slot = 0;
        std::uint32_t holders = 0;  // 0 in a free place of the table
        bool in_use() const noexcept { return holders > 0; }
    };

    /// Takes a free slot for `io` under a new generation; returns its index.
    std::uint32_t acquire_slot(std::shared_ptr<ScheduledIo> io);
    /// Gives `slot` a new generation, so events of its earlier tokens are dropped.
    std::uint64_t renew_token(std::uint32_t slot) noexcept;
    std::uint64_t token_of(std::uint32_t slot) const noexcept;
    /// Empties `slot` and puts it on the free list (its generation stays).
    void free_slot(std::uint32_t slot) noexcept;

    const int epoll_fd_;
    mutable std::mutex mutex_;
    FdTable<Registered> registrations_;                         // guarded by mutex_
    RecordSlots slots_;                                         // see RecordSlots
    std::vector<std::uint32_t> free_slots_;                     // guarded by mutex_
    std::vector<std::shared_ptr<ScheduledIo>> pending_release_;  // guarded by mutex_
    /// Whether pending_release_ may hold records: the driver's wait, which
    /// begins around every event, then takes the lock only when it does.
    std::atomic<bool> has_pending_release_{false};
    bool shut_down_ = false;                                     // guarded by mutex_
};

}  // namespace cadrel::rt
