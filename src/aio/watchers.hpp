// WatcherTable: the level-triggered descriptor watchers of one loop.
//
// For each descriptor and direction the loop thread keeps the asyncio.Handle to
// run, a serial that names this registration, the descriptor's registration
// with the runtime's readiness service, the gate of its watcher task and the
// task's abort handle. The loop thread registers and releases the descriptor
// itself, while it is surely the file the caller meant: the host may close the
// number right after remove_reader, and a worker that registered or released it
// later could reach another file that reused the number. The watcher task (on
// a worker) drops the registration's flags and asks with a zero-timeout poll
// whether the descriptor is ready (the readiness record is edge-fed, the
// contract is level-triggered); if not, it waits for the record's next report.
// Either way it posts DescriptorReady and waits at its gate: one poll per
// report. The loop thread runs the handle and then opens the gate; a descriptor
// still ready is reported again on the next pass. A report whose serial is not the current one (the
// watcher was removed or replaced) is dropped, so a callback queued by a removed
// watcher never runs. Loop thread only.
#pragma once

#include "aio/messages.hpp"
#include "aio/watch_gate.hpp"
#include "binding/host_ref.hpp"
#include "runtime/runtime.hpp"

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

namespace cadrel::aio {

struct Watcher {
    HostRef handle;
    std::uint64_t serial = 0;
    std::optional<rt::FdRegistration> registration;
    std::shared_ptr<WatchGate> gate;
    rt::AbortHandle task;
};

class WatcherTable {
public:
    /// Starts watching (or replaces and cancels the handle of the existing
    /// watcher, which keeps its registration and serial). The descriptor must
    /// be valid; OsError when the readiness service refuses it.
    void add(rt::Direction direction, std::int32_t fd, HostRef handle, const rt::Handle& runtime,
             const AioSender& sender);

    /// Stops the watcher; returns its handle (to be cancelled) or null if none.
    HostRef remove(rt::Direction direction, std::int32_t fd) noexcept;

    /// The watcher a report names, if it is still the current one.
    Watcher* current(const DescriptorReady& report) noexcept;

    bool has(rt::Direction direction, std::int32_t fd) const noexcept {
        return table(direction).count(fd) != 0;
    }

    /// Aborts every watcher task and moves the handles out. In a child of
    /// fork() (`forked_copy`) the registrations are left in the epoll set,
    /// which the parent still uses.
    std::vector<HostRef> take_all(bool forked_copy) noexcept;

    int traverse(visitproc visit, void* arg) const;

private:
    using Map = std::unordered_map<std::int32_t, Watcher>;
    Map& table(rt::Direction direction) noexcept { return direction == rt::Direction::kRead ? readers_ : writers_; }
    const Map& table(rt::Direction direction) const noexcept {
        return direction == rt::Direction::kRead ? readers_ : writers_;
    }

    Map readers_;
    Map writers_;
    std::uint64_t next_serial_ = 1;
};

/// Refuses what the readiness service cannot watch, as its registration would:
/// OSError EBADF for a closed descriptor, PermissionError EPERM for a regular
/// file or directory.
void check_watchable(std::int32_t fd);

}  // namespace cadrel::aio
