// FdTable: entries keyed by descriptor number (the reactor's registrations,
// a loop's native streams).
//
// The kernel hands out the lowest free number, so the numbers in use are
// dense: below the dense limit they index a vector, and an entry costs its own
// size and no allocation (a hash map node cost 56 bytes per descriptor, on
// every connection a server holds). Numbers beyond it (a dup2 far up, or a
// process with over a million files open) go to a hash map, so one stray
// number never sizes the vector.
//
// `Entry` is default-constructible as a free place and says whether it is in
// use (`in_use()`); the vector's free places hold default entries.
#pragma once

#include <algorithm>
#include <cstddef>
#include <unordered_map>
#include <utility>
#include <vector>

namespace cadrel::rt {

template <class Entry, int DenseLimit = 1 << 20>
class FdTable {
public:
    static constexpr int kDenseLimit = DenseLimit;

    /// The entry of `fd`, or null when it has none.
    const Entry* find(int fd) const noexcept {
        if (is_dense(fd)) {
            const auto index = static_cast<std::size_t>(fd);
            return index < dense_.size() && dense_[index].in_use() ? &dense_[index] : nullptr;
        }
        auto found = sparse_.find(fd);
        return found == sparse_.end() ? nullptr : &found->second;
    }
    Entry* find(int fd) noexcept { return const_cast<Entry*>(std::as_const(*this).find(fd)); }

    /// Makes room for an entry of `fd`, which has none, so that a following
    /// add(fd) cannot fail. Throws std::bad_alloc, having changed nothing that
    /// find() sees.
    void reserve(int fd) {
        if (!is_dense(fd)) {
            if (sparse_spare_.empty()) {
                // A node is made by inserting and taking it out again; the
                // buckets are sized first, so putting it back never rehashes.
                sparse_spare_.reserve(1);
                sparse_.reserve(sparse_.size() + 1);
                sparse_spare_.push_back(sparse_.extract(sparse_.emplace(fd, Entry{}).first));
            }
            return;
        }
        const auto index = static_cast<std::size_t>(fd);
        if (index >= dense_.size()) dense_.resize(std::max(index + 1, dense_.size() * 2));
    }

    /// Adds the entry of `fd`, which has none, after reserve(fd).
    void add(int fd, Entry entry) noexcept {
        ++size_;
        if (is_dense(fd)) {
            dense_[static_cast<std::size_t>(fd)] = std::move(entry);
            return;
        }
        // The node and the bucket room were made by reserve(): nothing is allocated.
        auto node = std::move(sparse_spare_.back());
        sparse_spare_.pop_back();
        node.key() = fd;
        node.mapped() = std::move(entry);
        sparse_.insert(std::move(node));
    }

    /// Removes the entry of `fd` and hands it over; a free (default) entry
    /// when it had none.
    Entry take(int fd) noexcept {
        if (is_dense(fd)) {
            const auto index = static_cast<std::size_t>(fd);
            if (index >= dense_.size() || !dense_[index].in_use()) return Entry{};
            --size_;
            return std::exchange(dense_[index], Entry{});
        }
        auto node = sparse_.extract(fd);
        if (node.empty()) return Entry{};
        --size_;
        return std::move(node.mapped());
    }

    /// Removes the entry of `fd`, if any.
    void erase(int fd) noexcept { (void)take(fd); }

    /// The number of descriptors with an entry.
    std::size_t size() const noexcept { return size_; }

    /// Calls visit(fd, entry) on each entry until a call returns non-zero,
    /// and returns that (0 when every call did).
    template <class Visit>
    int visit_each(Visit&& visit) const {
        for (std::size_t index = 0; index < dense_.size(); ++index) {
            if (!dense_[index].in_use()) continue;
            if (int result = visit(static_cast<int>(index), dense_[index])) return result;
        }
        for (const auto& [fd, entry] : sparse_) {
            if (int result = visit(fd, entry)) return result;
        }
        return 0;
    }

private:
    static bool is_dense(int fd) noexcept { return fd >= 0 && fd < kDenseLimit; }

    std::vector<Entry> dense_;
    std::unordered_map<int, Entry> sparse_;
    std::vector<typename std::unordered_map<int, Entry>::node_type> sparse_spare_;
    std::size_t size_ = 0;
};

}  // namespace cadrel::rt
