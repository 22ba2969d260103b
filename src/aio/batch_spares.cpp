// Read batches and the spare list of large batches' storage; see batch_spares.hpp.
#include "aio/batch_spares.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <mutex>
#include <new>
#include <vector>

namespace cadrel::aio {

void ReadBatch::reserve(std::size_t capacity) {
    if (capacity <= capacity_) return;
    std::unique_ptr<char[]> bytes(new char[capacity]);
    if (size_ > 0) std::memcpy(bytes.get(), bytes_.get(), size_);
    bytes_ = std::move(bytes);
    capacity_ = capacity;
}

void ReadBatch::append(const char* bytes, std::size_t count) {
    if (count > room_size()) reserve(std::max(size_ + count, 2 * capacity_));
    std::memcpy(room(), bytes, count);
    size_ += count;
}

namespace {

// The list is only ever tried, never waited for: a thread that finds it busy
// uses the allocator instead. So no thread waits on another's copy, and a
// child forked while some thread held the lock (which it never releases in
// the child) still reads, only without spares.
struct Spares {
    std::mutex mutex;
    std::vector<ReadBatch> kept;  // guarded by mutex; each empty, capacity in [kSpareFrom, kReadBatch]
};

Spares& spares() noexcept {
    // Never destroyed: a worker may give storage back while the process exits.
    static Spares* const list = new Spares();
    return *list;
}

/// New storage is rounded up so that a spare fits the next batches of a
/// similar size, not only this one.
std::size_t rounded_capacity(std::size_t size) noexcept {
    constexpr std::size_t step = 16 * 1024;
    return std::max(size, std::min(kReadBatch, (size + step - 1) / step * step));
}

/// The storage of one small batch, kept by the thread that gave it back. When
/// the loop thread reads a stream itself (it holds the event wait) it gives a
/// batch back right after copying it into a bytes object and takes one for
/// the next read a moment later: with this, that cycle costs no allocation.
/// One per thread, so what it keeps stays bounded. Destroyed with the thread.
thread_local ReadBatch small_spare;

}  // namespace

ReadBatch take_batch_storage(std::size_t size) {
    ReadBatch batch;
    if (size <= kSmallBatch) {
        if (small_spare.capacity() >= size) {
            batch.swap(small_spare);
            return batch;
        }
        batch.reserve(kSmallBatch);  // fits the next small batches too
        return batch;
    }
    if (size >= kSpareFrom) {
        Spares& list = spares();
        std::unique_lock lock(list.mutex, std::try_to_lock);
        // The list is touched only once the lock is held: even reading its end
        // unlocked would race with a thread giving storage back.
        if (lock) {
            for (auto spare = list.kept.rbegin(); spare != list.kept.rend(); ++spare) {
                if (spare->capacity() < size) continue;
                batch.swap(*spare);
                list.kept.erase(std::next(spare).base());
                return batch;
            }
        }
    }
    batch.reserve(size >= kSpareFrom ? rounded_capacity(size) : size);
    return batch;
}

void give_batch_storage(ReadBatch& batch) noexcept {
    ReadBatch owned;  // declared before the lock: storage not kept is freed after it
    owned.swap(batch);
    if (owned.capacity() == kSmallBatch) {
        if (small_spare.capacity() == 0) {
            owned.clear();
            small_spare.swap(owned);
        }
        return;
    }
    if (owned.capacity() < kSpareFrom || owned.capacity() > kReadBatch) return;
    owned.clear();
    Spares& list = spares();
    std::unique_lock lock(list.mutex, std::try_to_lock);
    if (!lock || list.kept.size() == kMaxSpares) return;
    try {
        list.kept.reserve(kMaxSpares);
    } catch (const std::bad_alloc&) {
        return;
    }
    list.kept.push_back(std::move(owned));
}

}  // namespace cadrel::aio
