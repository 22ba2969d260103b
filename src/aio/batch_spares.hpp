// Spare storage for large read batches, shared by every stream of the process.
//
// A batch lives from a worker's read until the loop thread has copied it into
// a bytes object. Giving a large batch's storage back to the allocator and
// asking for it again a moment later makes the allocator return the top of its
// heap to the system and fault fresh pages in on the next batch: at 100 KiB a
// request that cost more than the copies themselves. So the storage of large
// batches goes to a short list of spares and the next large batch reuses it.
// Small batches are left to the allocator, which keeps them cheap anyway, and
// the list is short, so what it keeps is bounded (kMaxSpares * kReadBatch).
#pragma once

#include <cstddef>
#include <string>

namespace cadrel::aio {

/// Batches at least this large take their storage from the spares.
inline constexpr std::size_t kSpareFrom = 16 * 1024;
/// The most spares kept.
inline constexpr std::size_t kMaxSpares = 8;

/// Any thread: storage for a batch of `size` bytes (empty, capacity at least
/// `size`), a spare when one fits. Throws std::bad_alloc.
std::string take_batch_storage(std::size_t size);

/// Any thread: keeps `storage` for a later batch when it is large and the list
/// has room; frees it otherwise. Leaves `storage` empty.
void give_batch_storage(std::string& storage) noexcept;

}  // namespace cadrel::aio
