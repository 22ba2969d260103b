// StreamTable: the transport of each live native stream of a loop, found by
// the stream's id (its workers' notices) or by its descriptor number (the
// watcher methods keep off a socket a transport owns).
//
// A stream's id is its descriptor number in the low 32 bits and a serial in
// the high ones. Streams are kept by number in an rt::FdTable: an entry costs
// 16 bytes and no allocation of its own, where a hash map by id cost a node per
// connection, and a second map by number in the host another entry. A number
// is reused while its stream still lives only when the descriptor was closed
// behind the transport's back; the older stream then moves aside
// (`displaced_`) and is still found by its id.
#pragma once

#include "binding/host_ref.hpp"
#include "runtime/fd_table.hpp"

#include <Python.h>

#include <cstdint>
#include <unordered_map>

namespace cadrel::aio {

using binding::HostRef;

class StreamTable {
public:
    /// Adds the transport of a new stream on `fd` (not negative); returns the
    /// stream's id, never 0. Throws std::bad_alloc, having changed nothing.
    std::uint64_t add(int fd, HostRef transport, bool socket);

    /// The transport of stream `id` (borrowed), or null once it is gone.
    PyObject* find(std::uint64_t id) const noexcept;

    /// Removes stream `id` and hands over its transport (empty if it is gone).
    HostRef take(std::uint64_t id) noexcept;

    /// The transport of the newest live socket stream on `fd` (borrowed), or null.
    PyObject* socket_on(int fd) const noexcept;

    /// Visits every transport (garbage collector traversal).
    int traverse(visitproc visit, void* arg) const noexcept;

private:
    struct Entry {
        HostRef transport;         // null while the place is free
        std::uint32_t serial = 0;
        bool socket = false;
        bool in_use() const noexcept { return static_cast<bool>(transport); }
    };

    static std::uint64_t id_of(int fd, std::uint32_t serial) noexcept {
        return (std::uint64_t{serial} << 32) | static_cast<std::uint32_t>(fd);
    }
    static int fd_of(std::uint64_t id) noexcept { return static_cast<int>(id & 0xffffffffu); }
    static std::uint32_t serial_of(std::uint64_t id) noexcept { return static_cast<std::uint32_t>(id >> 32); }

    rt::FdTable<Entry, 1 << 16> by_fd_;
    std::unordered_map<std::uint64_t, HostRef> displaced_;  // by id
    std::uint32_t next_serial_ = 1;
};

}  // namespace cadrel::aio
