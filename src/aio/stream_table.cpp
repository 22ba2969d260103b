// StreamTable: live streams by id and by descriptor number.
#include "aio/stream_table.hpp"

#include <utility>

namespace cadrel::aio {

const StreamTable::Entry* StreamTable::entry_of(int fd) const noexcept {
    if (is_dense(fd)) {
        const auto index = static_cast<std::size_t>(fd);
        return index < dense_.size() && dense_[index].transport ? &dense_[index] : nullptr;
    }
    auto found = sparse_.find(fd);
    return found == sparse_.end() ? nullptr : &found->second;
}

StreamTable::Entry& StreamTable::place_of(int fd) {
    if (!is_dense(fd)) return sparse_[fd];
    const auto index = static_cast<std::size_t>(fd);
    if (index >= dense_.size()) dense_.resize(index + 1);
    return dense_[index];
}

void StreamTable::free_place(int fd) noexcept {
    if (is_dense(fd)) {
        dense_[static_cast<std::size_t>(fd)].serial = 0;
    } else {
        sparse_.erase(fd);
    }
}

std::uint64_t StreamTable::add(int fd, HostRef transport, bool socket) {
    std::uint32_t serial = next_serial_++;
    if (serial == 0) serial = next_serial_++;  // 0 names no stream
    Entry& entry = place_of(fd);
    if (entry.transport) {
        // The number was reused under a live stream: it keeps its id elsewhere.
        displaced_.emplace(id_of(fd, entry.serial), std::move(entry.transport));
    }
    entry.transport = std::move(transport);
    entry.serial = serial;
    entry.socket = socket;
    return id_of(fd, serial);
}

PyObject* StreamTable::find(std::uint64_t id) const noexcept {
    if (const Entry* entry = entry_of(fd_of(id)); entry != nullptr && entry->serial == serial_of(id)) {
        return entry->transport.get();
    }
    auto found = displaced_.find(id);
    return found == displaced_.end() ? nullptr : found->second.get();
}

HostRef StreamTable::take(std::uint64_t id) noexcept {
    const int fd = fd_of(id);
    if (Entry* entry = entry_of(fd); entry != nullptr && entry->serial == serial_of(id)) {
        HostRef transport = std::move(entry->transport);
        free_place(fd);
        return transport;
    }
    auto found = displaced_.find(id);
    if (found == displaced_.end()) return HostRef();
    HostRef transport = std::move(found->second);
    displaced_.erase(found);
    return transport;
}

PyObject* StreamTable::socket_on(int fd) const noexcept {
    if (fd < 0) return nullptr;
    const Entry* entry = entry_of(fd);
    return entry != nullptr && entry->socket ? entry->transport.get() : nullptr;
}

int StreamTable::traverse(visitproc visit, void* arg) const noexcept {
    for (const Entry& entry : dense_) Py_VISIT(entry.transport.get());
    for (const auto& [fd, entry] : sparse_) Py_VISIT(entry.transport.get());
    for (const auto& [id, transport] : displaced_) Py_VISIT(transport.get());
    return 0;
}

}  // namespace cadrel::aio
