// StreamTable: live streams by id and by descriptor number.
#include "aio/stream_table.hpp"

#include <utility>

namespace cadrel::aio {

std::uint64_t StreamTable::add(int fd, HostRef transport, bool socket) {
    std::uint32_t serial = next_serial_++;
    if (serial == 0) serial = next_serial_++;  // 0 names no stream
    if (Entry* live = by_fd_.find(fd)) {
        // The number was reused under a live stream: it keeps its id elsewhere.
        displaced_.emplace(id_of(fd, live->serial), std::move(live->transport));
        *live = Entry{std::move(transport), serial, socket};
    } else {
        by_fd_.reserve(fd);
        by_fd_.add(fd, Entry{std::move(transport), serial, socket});
    }
    return id_of(fd, serial);
}

PyObject* StreamTable::find(std::uint64_t id) const noexcept {
    if (const Entry* entry = by_fd_.find(fd_of(id)); entry != nullptr && entry->serial == serial_of(id)) {
        return entry->transport.get();
    }
    auto found = displaced_.find(id);
    return found == displaced_.end() ? nullptr : found->second.get();
}

HostRef StreamTable::take(std::uint64_t id) noexcept {
    const int fd = fd_of(id);
    if (const Entry* entry = by_fd_.find(fd); entry != nullptr && entry->serial == serial_of(id)) {
        return by_fd_.take(fd).transport;  // an xvalue: moved out
    }
    auto found = displaced_.find(id);
    if (found == displaced_.end()) return HostRef();
    HostRef transport = std::move(found->second);
    displaced_.erase(found);
    return transport;
}

PyObject* StreamTable::socket_on(int fd) const noexcept {
    const Entry* entry = by_fd_.find(fd);
    return entry != nullptr && entry->socket ? entry->transport.get() : nullptr;
}

int StreamTable::traverse(visitproc visit, void* arg) const noexcept {
    if (int result = by_fd_.visit_each([&](int, const Entry& entry) {
            Py_VISIT(entry.transport.get());
            return 0;
        })) {
        return result;
    }
    for (const auto& [id, transport] : displaced_) Py_VISIT(transport.get());
    return 0;
}

}  // namespace cadrel::aio
