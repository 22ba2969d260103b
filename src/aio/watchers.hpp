// WatcherTable: the level-triggered descriptor watchers of one loop.
//
// For each descriptor and direction the loop thread keeps the asyncio.Handle to
// run, a serial that names this registration, the descriptor's registration
// with the runtime's readiness service, the gate of its watcher task and the
// task's abort handle. The loop thread registers and releases the descriptor
// itself, while it is surely the file the caller meant: the host may close the
// number right after remove_reader, and a worker that registered or released it
// later could reach another file that reused the number. The watcher task (on
// a worker) waits for the record's report, posts DescriptorReady and waits at
// its gate. The loop thread runs the handle, and at the start of its next pass
// drops the flags of every watcher whose callback ran and asks the kernel about
// all their descriptors with one zero-timeout poll (the record is edge-fed, the
// contract level-triggered): one still ready is queued again at once, the
// others' gates open, and each of those watchers waits for a report that came
// after the question. A report whose serial is not the current one (the
// watcher was removed or replaced) is dropped, so a callback queued by a
// removed watcher never runs. Loop thread only.
#pragma once

#include "aio/messages.hpp"
#include "aio/watch_gate.hpp"
#include "binding/host_ref.hpp"
#include "runtime/runtime.hpp"

#include <Python.h>
#include <poll.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

namespace cadrel::aio {

struct ReadyItem;  // the loop's ready queue entry (core.hpp)

struct Watcher {
    HostRef handle;
    /// What add_reader/add_writer was given, kept as asyncio's selector keeps
    /// it: once closed (fileno() -1 or an error), it is found by identity.
    HostRef file_object;
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
    void add(rt::Direction direction, std::int32_t fd, HostRef file_object, HostRef handle,
             const rt::Handle& runtime, const AioSender& sender);

    /// What remove() took out of the table, for the caller to let go of once
    /// the table is consistent again (releasing a file object may run its finalizer).
    struct Removed {
        HostRef handle;  // to be cancelled; null if nothing was watched
        HostRef file_object;
    };

    /// Stops the watcher.
    Removed remove(rt::Direction direction, std::int32_t fd) noexcept;

    /// The descriptor a watcher in either direction was added for with this
    /// very object, if any.
    std::optional<std::int32_t> descriptor_added_with(PyObject* file_object) const noexcept;

    /// The watcher a report names, if it is still the current one.
    Watcher* current(const DescriptorReady& report) noexcept;

    /// The callback of the watcher `report` names has run (however it ended):
    /// the next check_levels() asks whether its descriptor is still ready.
    void callback_ran(const DescriptorReady& report) noexcept;

    /// Asks the kernel, in one call, whether the descriptors of the callbacks
    /// that ran since the last check are still ready: those that are go back to
    /// `ready` at once, the others' watchers wait for the next report.
    void check_levels(std::deque<ReadyItem>& ready) noexcept;

    bool has(rt::Direction direction, std::int32_t fd) const noexcept {
        return table(direction).count(fd) != 0;
    }

    /// Aborts every watcher task and moves the handles and file objects out. In a child of
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
    /// Reports whose callbacks ran since the last check_levels().
    std::vector<DescriptorReady> ran_;
    /// check_levels()'s watcher, record generation and question for each of
    /// ran_, kept to reuse their memory.
    struct LevelCheck {
        Watcher* watcher;
        std::uint32_t asked_at;
    };
    std::vector<LevelCheck> checks_;
    std::vector<pollfd> questions_;
};

/// Refuses what the readiness service cannot watch, as its registration would:
/// OSError EBADF for a closed descriptor, PermissionError EPERM for a regular
/// file or directory.
void check_watchable(std::int32_t fd);

}  // namespace cadrel::aio
