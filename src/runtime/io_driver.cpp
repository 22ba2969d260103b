// Descriptor registrations shared per descriptor number.
#include "runtime/io_driver.hpp"

#include "runtime/os_error.hpp"

#include <cerrno>
#include <stdexcept>
#include <sys/epoll.h>

namespace cadrel::rt {

namespace {

int epoll_change(int epoll_fd, int operation, int fd, ScheduledIo* io) noexcept {
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP | EPOLLOUT | EPOLLET;
    event.data.ptr = io;
    return epoll_ctl(epoll_fd, operation, fd, &event) == 0 ? 0 : errno;
}

}  // namespace

FdRegistration::FdRegistration(FdRegistration&& other) noexcept
    : driver_(std::exchange(other.driver_, nullptr)), fd_(other.fd_), io_(std::move(other.io_)) {}

FdRegistration::~FdRegistration() {
    if (driver_) driver_->release(fd_);
}

FdRegistration IoDriver::register_fd(int fd) {
    std::lock_guard lock(mutex_);
    if (shut_down_) throw std::runtime_error("the runtime is shutting down");
    auto found = registrations_.find(fd);
    if (found != registrations_.end()) {
        Entry& entry = found->second;
        // Re-arm: reports readiness that is already there to the new holder.
        // ENOENT: the host closed the descriptor (the kernel dropped it from
        // the set) and the number may now name another file: add it again.
        int error = epoll_change(epoll_fd_, EPOLL_CTL_MOD, fd, entry.io.get());
        if (error == ENOENT) error = epoll_change(epoll_fd_, EPOLL_CTL_ADD, fd, entry.io.get());
        if (error != 0) throw OsError(error);
        ++entry.holders;
        return FdRegistration(this, fd, entry.io);
    }
    auto io = std::make_shared<ScheduledIo>();
    if (int error = epoll_change(epoll_fd_, EPOLL_CTL_ADD, fd, io.get())) throw OsError(error);
    registrations_.emplace(fd, Entry{io, 1});
    return FdRegistration(this, fd, std::move(io));
}

void IoDriver::release(int fd) noexcept {
    std::lock_guard lock(mutex_);
    auto found = registrations_.find(fd);
    if (found == registrations_.end() || --found->second.holders > 0) return;
    // Errors are ignored: a descriptor the host already closed has left the
    // set by itself.
    epoll_change(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
    try {
        pending_release_.push_back(std::move(found->second.io));
    } catch (...) {
        // Out of memory: leak the record rather than risk a stale event.
        new std::shared_ptr<ScheduledIo>(std::move(found->second.io));
    }
    registrations_.erase(found);
}

void IoDriver::release_pending() noexcept {
    std::vector<std::shared_ptr<ScheduledIo>> released;
    {
        std::lock_guard lock(mutex_);
        released.swap(pending_release_);
    }
}

void IoDriver::shutdown() noexcept {
    std::vector<std::shared_ptr<ScheduledIo>> records;
    {
        std::lock_guard lock(mutex_);
        shut_down_ = true;
        for (auto& [fd, entry] : registrations_) records.push_back(entry.io);
    }
    for (auto& io : records) io->shutdown();
}

std::size_t IoDriver::registration_count() const {
    std::lock_guard lock(mutex_);
    return registrations_.size();
}

}  // namespace cadrel::rt
