// FdTable: the reactor's registrations, keyed by descriptor number.
//
// The kernel hands out the lowest free number, so the numbers in use are
// dense: below kDenseLimit they index a vector, and a registration costs
// eight bytes and no allocation of its own (a hash map node cost 56 per
// descriptor, on every connection a server holds). Numbers beyond it (a dup2
// far up, or a process with over a million files open) go to a hash map, so
// one stray number never sizes the vector.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace cadrel::rt {

class FdTable {
public:
    struct Entry {
        std::uint32_t slot = 0;     // the record slot of the registration
        std::uint32_t holders = 0;  // registrations sharing it; 0 in a free place of the vector
    };

    static constexpr int kDenseLimit = 1 << 20;

    /// The entry of `fd`, or null when it has none.
    Entry* find(int fd) noexcept {
        if (is_dense(fd)) {
            const auto index = static_cast<std::size_t>(fd);
            return index < dense_.size() && dense_[index].holders > 0 ? &dense_[index] : nullptr;
        }
        auto found = sparse_.find(fd);
        return found == sparse_.end() ? nullptr : &found->second;
    }

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
            dense_[static_cast<std::size_t>(fd)] = entry;
            return;
        }
        // The node and the bucket room were made by reserve(): nothing is allocated.
        auto node = std::move(sparse_spare_.back());
        sparse_spare_.pop_back();
        node.key() = fd;
        node.mapped() = entry;
        sparse_.insert(std::move(node));
    }

    /// Removes the entry of `fd`, if any.
    void erase(int fd) noexcept {
        if (is_dense(fd)) {
            const auto index = static_cast<std::size_t>(fd);
            if (index < dense_.size() && dense_[index].holders > 0) {
                dense_[index] = Entry{};
                --size_;
            }
            return;
        }
        if (sparse_.erase(fd) > 0) --size_;
    }

    /// The number of descriptors with an entry.
    std::size_t size() const noexcept { return size_; }

private:
    static bool is_dense(int fd) noexcept { return fd >= 0 && fd < kDenseLimit; }

    std::vector<Entry> dense_;
    std::unordered_map<int, Entry> sparse_;
    std::vector<std::unordered_map<int, Entry>::node_type> sparse_spare_;
    std::size_t size_ = 0;
};

}  // namespace cadrel::rt
