// RecordSlots: the I/O driver's registration slots, at addresses that never
// change, so the thread holding the wait can look an event's slot up without
// the driver's lock while other threads register descriptors.
//
// Storage grows in segments that are never moved or freed before the table:
//
//   segment k   holds kFirstSize << k slots   (64, 128, 256, ...)
//   index i     lives in segment bit_width(i + 64) - 7, at (i + 64) - (64 << k)
//
// Twenty-seven segments cover every index a token can carry (below 2^32).
//
// Threading. Everything but `find` and the two atomics of a slot is guarded
// by the driver's mutex. A slot changes hands as:
//
//   publish:  generation = G + 1;  record.store(p, release)
//   free:     record.store(nullptr)
//   renew:    generation = G + 1   (same record, a new file under the number)
//
// and a lock-free reader loads `record` (acquire) then `generation`: a reader
// that sees a record published after its token was given out also sees the
// generation that publication stored, so the token no longer matches. A record
// is freed only by the holder of the wait, between batches (see IoDriver), so
// one read during a batch stays valid for that batch.
#pragma once

#include "runtime/readiness.hpp"

#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace cadrel::rt {

class RecordSlots {
public:
    struct Slot {
        std::shared_ptr<ScheduledIo> owner;          // null while free; guarded by the driver's mutex
        std::atomic<ScheduledIo*> record{nullptr};   // owner.get(), for lock-free readers
        std::atomic<std::uint32_t> generation{0};    // written under the driver's mutex
    };

    RecordSlots() = default;
    RecordSlots(const RecordSlots&) = delete;
    RecordSlots& operator=(const RecordSlots&) = delete;
    ~RecordSlots() {
        for (auto& segment : segments_) delete[] segment.load(std::memory_order_relaxed);
    }

    /// Under the driver's mutex: how many slots were made.
    std::size_t size() const noexcept { return size_; }

    /// Under the driver's mutex: a slot already made.
    Slot& operator[](std::size_t index) noexcept { return *locate(index); }
    const Slot& operator[](std::size_t index) const noexcept { return *locate(index); }

    /// Under the driver's mutex: makes one more slot and returns its index.
    /// Throws std::bad_alloc when a new segment cannot be had.
    std::size_t grow() {
        const auto [segment, offset] = position(size_);
        if (offset == 0 && segments_[segment].load(std::memory_order_relaxed) == nullptr) {
            // release: a reader that finds the segment finds its slots constructed.
            segments_[segment].store(new Slot[kFirstSize << segment], std::memory_order_release);
        }
        return size_++;
    }

    /// Any thread: the slot at `index`, or null if no such slot was made yet.
    const Slot* find(std::uint64_t index) const noexcept {
        if (index >= kIndexLimit) return nullptr;
        const auto [segment, offset] = position(index);
        const Slot* slots = segments_[segment].load(std::memory_order_acquire);
        return slots == nullptr ? nullptr : &slots[offset];
    }

private:
    static constexpr unsigned kFirstBits = 6;
    static constexpr std::uint64_t kFirstSize = std::uint64_t{1} << kFirstBits;
    static constexpr std::uint64_t kIndexLimit = std::uint64_t{1} << 32;
    static constexpr std::size_t kSegments = 32 - kFirstBits + 1;

    struct Position {
        std::size_t segment;
        std::uint64_t offset;
    };

    static Position position(std::uint64_t index) noexcept {
        const std::uint64_t shifted = index + kFirstSize;
        const auto segment = static_cast<std::size_t>(std::bit_width(shifted) - 1 - kFirstBits);
        return {segment, shifted - (kFirstSize << segment)};
    }

    Slot* locate(std::uint64_t index) const noexcept {
        const auto [segment, offset] = position(index);
        return &segments_[segment].load(std::memory_order_relaxed)[offset];
    }

    std::array<std::atomic<Slot*>, kSegments> segments_{};
    std::size_t size_ = 0;  // guarded by the driver's mutex
};

}  // namespace cadrel::rt
