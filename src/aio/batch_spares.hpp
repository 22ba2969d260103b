// Read batches and the spare storage that large ones reuse.
//
// A batch lives from a worker's read until the loop thread has copied it into
// a bytes object. Giving a large batch's storage back to the allocator and
// asking for it again a moment later makes the allocator return the top of its
// heap to the system and fault fresh pages in on the next batch: at 100 KiB a
// request that cost more than the copies themselves. So the storage of large
// batches goes to a short process-wide list of spares and the next large batch
// reuses it; a stream whose last batch was large reads straight into a spare.
// Small batches take storage of one size, of which each thread keeps one for
// its next batch. The list is short, so what it keeps is bounded
// (kMaxSpares * kReadBatch, and kSmallBatch per thread).
#pragma once

#include <cstddef>
#include <memory>
#include <utility>

namespace cadrel::aio {

/// The most a reader reads in one turn before handing the bytes over.
inline constexpr std::size_t kReadBatch = 256 * 1024;
/// Batches at least this large take their storage from the spares.
inline constexpr std::size_t kSpareFrom = 16 * 1024;
/// The most spares kept.
inline constexpr std::size_t kMaxSpares = 16;
/// Batches up to this size take storage of exactly this size, which each
/// thread keeps one of (see take_batch_storage). Within the allocator's
/// per-thread cache sizes, so that a batch freed on another thread stays cheap.
inline constexpr std::size_t kSmallBatch = 1024;

/// Bytes read in one or more turns, in storage that never holds more than it
/// was sized for: unlike a string's, the room after the bytes can be read into
/// without being cleared first.
class ReadBatch {
public:
    ReadBatch() = default;
    ReadBatch(ReadBatch&& other) noexcept { swap(other); }
    ReadBatch& operator=(ReadBatch&& other) noexcept {
        ReadBatch(std::move(other)).swap(*this);
        return *this;
    }

    bool empty() const noexcept { return size_ == 0; }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    const char* data() const noexcept { return bytes_.get(); }
    /// Where the next bytes go, and how many fit.
    char* room() noexcept { return bytes_.get() + size_; }
    std::size_t room_size() const noexcept { return capacity_ - size_; }
    /// Counts `count` bytes written into room().
    void commit(std::size_t count) noexcept { size_ += count; }
    /// Throws std::bad_alloc and then leaves the batch as it was.
    void reserve(std::size_t capacity);
    /// Throws std::bad_alloc and then leaves the batch as it was.
    void append(const char* bytes, std::size_t count);
    void clear() noexcept { size_ = 0; }
    void swap(ReadBatch& other) noexcept {
        std::swap(bytes_, other.bytes_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
    }

private:
    std::unique_ptr<char[]> bytes_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

/// Any thread: an empty batch with room for at least `size` bytes, a spare's
/// storage when one fits. Throws std::bad_alloc.
ReadBatch take_batch_storage(std::size_t size);

/// Any thread: keeps the storage of `batch` for a later batch when it is large
/// and the list has room; frees it otherwise. Leaves `batch` without storage.
void give_batch_storage(ReadBatch& batch) noexcept;

}  // namespace cadrel::aio
