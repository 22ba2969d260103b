// The spare list of large batches' storage; see batch_spares.hpp.
#include "aio/batch_spares.hpp"

#include "aio/stream_state.hpp"

#include <algorithm>
#include <iterator>
#include <mutex>
#include <utility>
#include <vector>

namespace cadrel::aio {

namespace {

struct Spares {
    std::mutex mutex;
    std::vector<std::string> kept;  // guarded by mutex; each empty, capacity >= kSpareFrom
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
    return std::min(kReadBatch, (size + step - 1) / step * step);
}

}  // namespace

std::string take_batch_storage(std::size_t size) {
    std::string storage;
    if (size >= kSpareFrom) {
        Spares& list = spares();
        std::lock_guard lock(list.mutex);
        for (auto spare = list.kept.rbegin(); spare != list.kept.rend(); ++spare) {
            if (spare->capacity() < size) continue;
            storage.swap(*spare);
            list.kept.erase(std::next(spare).base());
            return storage;
        }
    }
    storage.reserve(std::max(size, size >= kSpareFrom ? rounded_capacity(size) : size));
    return storage;
}

void give_batch_storage(std::string& storage) noexcept {
    std::string owned;
    owned.swap(storage);
    if (owned.capacity() < kSpareFrom || owned.capacity() > kReadBatch) return;  // freed here
    owned.clear();
    Spares& list = spares();
    std::lock_guard lock(list.mutex);
    if (list.kept.size() == kMaxSpares) return;  // freed after the lock is released
    try {
        list.kept.reserve(kMaxSpares);
    } catch (...) {
        return;
    }
    list.kept.push_back(std::move(owned));
}

}  // namespace cadrel::aio
