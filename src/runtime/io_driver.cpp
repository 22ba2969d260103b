// Descriptor registrations shared per descriptor number, reached from epoll
// events through generation-checked tokens.
#include "runtime/io_driver.hpp"

#include "runtime/os_error.hpp"

#include <cerrno>
#include <limits>
#include <stdexcept>
#include <sys/epoll.h>

namespace cadrel::rt {

namespace {

int epoll_change(int epoll_fd, int operation, int fd, std::uint64_t token) noexcept {
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP | EPOLLOUT | EPOLLET;
    event.data.u64 = token;
    return epoll_ctl(epoll_fd, operation, fd, &event) == 0 ? 0 : errno;
}

constexpr std::uint64_t kIndexMask = 0xffffffffull;
constexpr int kGenerationShift = 32;

}  // namespace

FdRegistration::FdRegistration(FdRegistration&& other) noexcept
    : driver_(std::exchange(other.driver_, nullptr)), fd_(other.fd_), io_(std::move(other.io_)) {}

FdRegistration::~FdRegistration() {
    if (driver_) driver_->release(fd_);
}

std::uint64_t IoDriver::token_of(std::uint32_t slot) const noexcept {
    const std::uint32_t generation = slots_[slot].generation.load(std::memory_order_relaxed);
    return (static_cast<std::uint64_t>(generation) << kGenerationShift) | (slot + 1ull);
}

std::uint64_t IoDriver::renew_token(std::uint32_t slot) noexcept {
    std::atomic<std::uint32_t>& generation = slots_[slot].generation;
    generation.store(generation.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    return token_of(slot);
}

std::uint32_t IoDriver::acquire_slot(std::shared_ptr<ScheduledIo> io) {
    std::uint32_t slot = 0;
    if (!free_slots_.empty()) {
        slot = free_slots_.back();
        free_slots_.pop_back();
    } else {
        // Index + 1 must fit the token's low 32 bits.
        if (slots_.size() >= std::numeric_limits<std::uint32_t>::max() - 1u) throw OsError(ENOSPC);
        // Room for every slot on the free list, so that release (noexcept)
        // never allocates to give one back.
        free_slots_.reserve(slots_.size() + 1);
        slot = static_cast<std::uint32_t>(slots_.grow());
    }
    RecordSlots::Slot& entry = slots_[slot];
    // Tokens the slot carried before are dead from now on. The new generation
    // is stored before the record is published (release): a lock-free reader
    // that sees this record sees that generation too.
    entry.generation.store(entry.generation.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    entry.record.store(io.get(), std::memory_order_release);
    entry.owner = std::move(io);
    return slot;
}

void IoDriver::free_slot(std::uint32_t slot) noexcept {
    RecordSlots::Slot& entry = slots_[slot];
    entry.record.store(nullptr, std::memory_order_relaxed);
    entry.owner.reset();
    free_slots_.push_back(slot);  // capacity reserved in acquire_slot
}

FdRegistration IoDriver::register_fd(int fd) {
    std::lock_guard lock(mutex_);
    if (shut_down_) throw std::runtime_error("the runtime is shutting down");
    if (Registered* found = registrations_.find(fd)) {
        Registered& entry = *found;
        // Re-arm: reports readiness that is already there to the new holder.
        int error = epoll_change(epoll_fd_, EPOLL_CTL_MOD, fd, token_of(entry.slot));
        if (error == ENOENT) {
            // The host closed the descriptor and the number may now name
            // another file: add that file under a new token, so that an entry
            // the old file left behind (it may live on in a dup) reports nothing.
            // The record forgets the old file's readiness first: a hang-up it
            // reported would otherwise satisfy every wait on the new file.
            slots_[entry.slot].owner->forget_readiness();
            error = epoll_change(epoll_fd_, EPOLL_CTL_ADD, fd, renew_token(entry.slot));
        }
        if (error != 0) throw OsError(error);
        ++entry.holders;
        return FdRegistration(this, fd, slots_[entry.slot].owner);
    }
    auto io = std::make_shared<ScheduledIo>();
    registrations_.reserve(fd);  // the add below cannot fail
    const std::uint32_t slot = acquire_slot(io);
    if (int error = epoll_change(epoll_fd_, EPOLL_CTL_ADD, fd, token_of(slot))) {
        free_slot(slot);
        throw OsError(error);
    }
    registrations_.add(fd, Registered{slot, 1});
    return FdRegistration(this, fd, std::move(io));
}

void IoDriver::release(int fd) noexcept {
    std::lock_guard lock(mutex_);
    Registered* found = registrations_.find(fd);
    if (found == nullptr) return;
    if (found->holders > 1) {
        --found->holders;
        return;
    }
    const std::uint32_t slot_index = found->slot;
    // Errors are ignored. ENOENT or EBADF: the host closed the number first.
    // If the open file lives on elsewhere its entry stays in the set for good,
    // but the slot is freed below, so its events find no record.
    epoll_change(epoll_fd_, EPOLL_CTL_DEL, fd, 0);
    std::shared_ptr<ScheduledIo>& owner = slots_[slot_index].owner;
    try {
        pending_release_.push_back(std::move(owner));
    } catch (...) {
        // Out of memory: leak the record rather than free it under a batch
        // that the driver may be dispatching right now.
        new std::shared_ptr<ScheduledIo>(std::move(owner));
    }
    has_pending_release_.store(true, std::memory_order_relaxed);
    free_slot(slot_index);
    registrations_.erase(fd);
}

void IoDriver::dispatch(std::uint64_t token, std::uint32_t events) noexcept {
    const std::uint64_t index = (token & kIndexMask) - 1;  // wraps for the wake token: never a slot
    const auto generation = static_cast<std::uint32_t>(token >> kGenerationShift);
    const RecordSlots::Slot* slot = slots_.find(index);
    if (slot == nullptr) return;
    // The record first (acquire), then the generation: one published after
    // this token was given out comes with a generation that does not match.
    ScheduledIo* io = slot->record.load(std::memory_order_acquire);
    if (io == nullptr || slot->generation.load(std::memory_order_relaxed) != generation) return;  // a stale entry
    // A record seen here stays alive until the next wait begins, even if its
    // slot is freed meanwhile (see release_pending).
    io->set_readiness(events);
}

void IoDriver::release_pending() noexcept {
    // A release that this look misses waits for the next wait: records only
    // ever stay longer, never go early.
    if (!has_pending_release_.load(std::memory_order_relaxed)) return;
    std::vector<std::shared_ptr<ScheduledIo>> released;
    {
        std::lock_guard lock(mutex_);
        released.swap(pending_release_);
        has_pending_release_.store(false, std::memory_order_relaxed);
    }
}

void IoDriver::shutdown() noexcept {
    std::vector<std::shared_ptr<ScheduledIo>> records;
    {
        std::lock_guard lock(mutex_);
        shut_down_ = true;
        try {
            for (std::size_t i = 0; i < slots_.size(); ++i)
                if (const auto& owner = slots_[i].owner) records.push_back(owner);
        } catch (...) {
            // Out of memory: mark them under the lock instead.
            for (std::size_t i = 0; i < slots_.size(); ++i)
                if (const auto& owner = slots_[i].owner) owner->shutdown();
            return;
        }
    }
    for (auto& io : records) io->shutdown();
}

std::size_t IoDriver::registration_count() const {
    std::lock_guard lock(mutex_);
    return registrations_.size();
}

}  // namespace cadrel::rt
