// The watcher task and the loop thread's table of watchers.
#include "aio/watchers.hpp"

#include "binding/errors.hpp"
#include "binding/host_calls.hpp"
#include "runtime/os_error.hpp"
#include "runtime/scheduler.hpp"

#include <cerrno>
#include <optional>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>

namespace cadrel::aio {

namespace {

/// Whether `fd` is ready in `direction` now; error and hang-up count as ready
/// for both, as a level-triggered selector reports them.
bool ready_now(std::int32_t fd, rt::Direction direction) noexcept {
    pollfd entry{fd, static_cast<short>(direction == rt::Direction::kRead ? POLLIN : POLLOUT), 0};
    int count;
    do {
        count = ::poll(&entry, 1, 0);
    } while (count < 0 && errno == EINTR);
    if (count <= 0 || (entry.revents & POLLNVAL)) return false;
    return (entry.revents & (entry.events | POLLERR | POLLHUP)) != 0;
}

rt::Task watch(std::int32_t fd, rt::Direction direction, std::uint64_t serial, std::shared_ptr<rt::ScheduledIo> io,
               std::shared_ptr<WatchGate> gate, AioSender sender) {
    for (;;) {
        co_await gate->pass();
        // The record's flags may be stale: the callback may have drained what
        // they announced. Drop them and ask the kernel; a descriptor it finds
        // not ready is reported at the next report, which came after that
        // answer and so needs no confirming question of its own. A final
        // state (a hang-up) already in the record satisfies that wait only
        // at a new report, so it cannot satisfy every wait without suspending.
        const std::uint32_t asked_at = io->drop_flags(direction);
        if (!ready_now(fd, direction)) {
            std::optional<rt::ReadyEvent> event;
            while (!event) event = co_await rt::ReadinessWait(*io, direction, asked_at);
            if (event->shutdown) co_return;
        }
        if (sender.send(DescriptorReady{fd, direction, serial})) co_return;  // the loop closed
    }
}

}  // namespace

void check_watchable(std::int32_t fd) {
    if (fd < 0) binding::raise_error(PyExc_ValueError, "Invalid file descriptor: negative number");
    struct stat status {};
    if (::fstat(fd, &status) != 0) binding::raise_os_error(EBADF);
    if (S_ISREG(status.st_mode) || S_ISDIR(status.st_mode)) binding::raise_os_error(EPERM);
}

void WatcherTable::add(rt::Direction direction, std::int32_t fd, HostRef handle, const rt::Handle& runtime,
                       const AioSender& sender) {
    Map& watchers = table(direction);
    if (auto found = watchers.find(fd); found != watchers.end()) {
        // The replaced handle is cancelled, as asyncio does, so whoever holds
        // it can tell that the watcher is no longer theirs to remove.
        HostRef replaced = std::exchange(found->second.handle, std::move(handle));
        static const binding::InternedName cancel{"cancel"};
        binding::call_method(replaced.get(), cancel, {});
        return;
    }
    Watcher watcher;
    try {
        watcher.registration.emplace(runtime.register_fd(fd));
    } catch (const rt::OsError& error) {
        binding::raise_os_error(error.code());
    }
    watcher.handle = std::move(handle);
    watcher.serial = next_serial_++;
    watcher.gate = std::make_shared<WatchGate>();
    watcher.task = runtime.spawn(watch(fd, direction, watcher.serial, watcher.registration->shared_io(), watcher.gate, sender));
    watchers.emplace(fd, std::move(watcher));
}

HostRef WatcherTable::remove(rt::Direction direction, std::int32_t fd) noexcept {
    Map& watchers = table(direction);
    auto found = watchers.find(fd);
    if (found == watchers.end()) return {};
    found->second.task.abort();
    HostRef handle = std::move(found->second.handle);
    watchers.erase(found);  // releases the registration here, before the host may close the number
    return handle;
}

Watcher* WatcherTable::current(const DescriptorReady& report) noexcept {
    Map& watchers = table(report.direction);
    auto found = watchers.find(report.fd);
    if (found == watchers.end() || found->second.serial != report.serial) return nullptr;
    return &found->second;
}

std::vector<HostRef> WatcherTable::take_all(bool forked_copy) noexcept {
    std::vector<HostRef> handles;
    for (Map* watchers : {&readers_, &writers_}) {
        for (auto& [fd, watcher] : *watchers) {
            watcher.task.abort();
            if (forked_copy && watcher.registration) watcher.registration->abandon();
            handles.push_back(std::move(watcher.handle));
        }
        watchers->clear();
    }
    return handles;
}

int WatcherTable::traverse(visitproc visit, void* arg) const {
    for (const Map* watchers : {&readers_, &writers_})
        for (const auto& [fd, watcher] : *watchers) Py_VISIT(watcher.handle.get());
    return 0;
}

}  // namespace cadrel::aio
