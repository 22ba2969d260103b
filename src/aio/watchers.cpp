// The watcher task and the loop thread's table of watchers.
#include "aio/watchers.hpp"

#include "aio/core.hpp"

#include "binding/errors.hpp"
#include "binding/host_calls.hpp"
#include "runtime/os_error.hpp"
#include "runtime/scheduler.hpp"

#include <cerrno>
#include <new>
#include <optional>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>

namespace cadrel::aio {

namespace {

pollfd question(std::int32_t fd, rt::Direction direction) noexcept {
    return pollfd{fd, static_cast<short>(direction == rt::Direction::kRead ? POLLIN : POLLOUT), 0};
}

/// Asks the kernel about every entry at once, without waiting. False if it
/// could not answer (out of memory): nothing is known then.
bool ask(pollfd* entries, std::size_t count) noexcept {
    int answered;
    do {
        answered = ::poll(entries, count, 0);
    } while (answered < 0 && errno == EINTR);
    return answered >= 0;
}

/// Whether an answered entry is ready; error and hang-up count as ready for
/// both directions, as a level-triggered selector reports them.
bool answered_ready(const pollfd& entry) noexcept {
    if (entry.revents & POLLNVAL) return false;
    return (entry.revents & (entry.events | POLLERR | POLLHUP)) != 0;
}

rt::Task watch(std::int32_t fd, rt::Direction direction, std::uint64_t serial, std::shared_ptr<rt::ScheduledIo> io,
               std::shared_ptr<WatchGate> gate, AioSender sender) {
    // The record's generation when the watcher last reported. It then waits
    // for a later report first and at the gate second: the loop thread
    // usually opens the gate (after the callback) before more input comes,
    // which then wakes nobody, and the report that comes finds the watcher
    // past its own wait, so it runs once per report.
    std::optional<std::uint32_t> reported_at;
    for (;;) {
        if (reported_at) {
            while (!co_await rt::ReportAfter(*io, direction, *reported_at)) {
            }
        }
        co_await gate->pass();
        // The record's flags may be stale: the callback may have drained what
        // they announced. So they are dropped and the kernel asked, usually by
        // the loop thread (see check_levels); a descriptor found not ready is
        // reported at the record's next report, which came after that answer
        // and so needs no confirming question of its own. A final state (a
        // hang-up) already in the record satisfies that wait only at a new
        // report, so it cannot satisfy every wait without suspending.
        std::optional<std::uint32_t> asked_at = gate->take_asked_at();
        if (!asked_at) {
            asked_at = io->drop_flags(direction);
            pollfd entry = question(fd, direction);
            if (ask(&entry, 1) && answered_ready(entry)) {
                reported_at = asked_at;
                asked_at.reset();
            }
        }
        if (asked_at) {
            std::optional<rt::ReadyEvent> event;
            while (!event) event = co_await rt::ReadinessWait(*io, direction, *asked_at);
            if (event->shutdown) co_return;
            reported_at = event->generation;
        }
        if (sender.send(DescriptorReady{fd, direction, serial})) co_return;  // the loop closed
    }
}

/// Lets the watcher pass its gate and ask the kernel itself, when the loop
/// thread could not ask for it. The watcher may be waiting for a report rather
/// than at the gate, and one may never come for a descriptor still ready: the
/// nudge wakes it.
void let_watcher_ask(Watcher& watcher, rt::Direction direction) noexcept {
    watcher.gate->open();
    watcher.registration->io().nudge(direction);
}

}  // namespace

void check_watchable(std::int32_t fd) {
    if (fd < 0) binding::raise_error(PyExc_ValueError, "Invalid file descriptor: negative number");
    struct stat status {};
    if (::fstat(fd, &status) != 0) binding::raise_os_error(EBADF);
    if (S_ISREG(status.st_mode) || S_ISDIR(status.st_mode)) binding::raise_os_error(EPERM);
}

void WatcherTable::add(rt::Direction direction, std::int32_t fd, HostRef file_object, HostRef handle,
                       const rt::Handle& runtime, const AioSender& sender) {
    Map& watchers = table(direction);
    if (auto found = watchers.find(fd); found != watchers.end()) {
        // The replaced handle is cancelled, as asyncio does, so whoever holds
        // it can tell that the watcher is no longer theirs to remove.
        HostRef replaced_file = std::exchange(found->second.file_object, std::move(file_object));
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
    watcher.file_object = std::move(file_object);
    watcher.serial = next_serial_++;
    watcher.gate = std::make_shared<WatchGate>();
    watcher.task = runtime.spawn(watch(fd, direction, watcher.serial, watcher.registration->shared_io(), watcher.gate, sender));
    watchers.emplace(fd, std::move(watcher));
}

WatcherTable::Removed WatcherTable::remove(rt::Direction direction, std::int32_t fd) noexcept {
    Map& watchers = table(direction);
    auto found = watchers.find(fd);
    if (found == watchers.end()) return {};
    found->second.task.abort();
    Removed removed{std::move(found->second.handle), std::move(found->second.file_object)};
    watchers.erase(found);  // releases the registration here, before the host may close the number
    return removed;
}

std::optional<std::int32_t> WatcherTable::descriptor_added_with(PyObject* file_object) const noexcept {
    for (const Map* watchers : {&readers_, &writers_})
        for (const auto& [fd, watcher] : *watchers)
            if (watcher.file_object.get() == file_object) return fd;
    return std::nullopt;
}

Watcher* WatcherTable::current(const DescriptorReady& report) noexcept {
    Map& watchers = table(report.direction);
    auto found = watchers.find(report.fd);
    if (found == watchers.end() || found->second.serial != report.serial) return nullptr;
    return &found->second;
}

void WatcherTable::callback_ran(const DescriptorReady& report) noexcept {
    try {
        ran_.push_back(report);
    } catch (const std::bad_alloc&) {
        if (Watcher* watcher = current(report)) let_watcher_ask(*watcher, report.direction);
    }
}

void WatcherTable::check_levels(std::deque<ReadyItem>& ready) noexcept {
    if (ran_.empty()) return;
    // One question for every watcher whose callback ran. A watcher removed
    // since gets an entry the kernel ignores (a negative descriptor). Nothing
    // leaves the table until the answers are handled, so the pointers hold.
    bool asked = false;
    try {
        checks_.clear();
        questions_.clear();
        for (const DescriptorReady& report : ran_) {
            Watcher* watcher = current(report);
            checks_.push_back({watcher, watcher ? watcher->registration->io().drop_flags(report.direction) : 0});
            questions_.push_back(watcher ? question(report.fd, report.direction) : pollfd{-1, 0, 0});
        }
        asked = ask(questions_.data(), questions_.size());
    } catch (const std::bad_alloc&) {
    }
    for (std::size_t i = 0; i < ran_.size(); ++i) {
        Watcher* watcher = asked ? checks_[i].watcher : current(ran_[i]);
        if (watcher == nullptr) continue;
        if (!asked) {
            let_watcher_ask(*watcher, ran_[i].direction);  // no answer: each watcher asks for itself
        } else if (!answered_ready(questions_[i])) {
            watcher->gate->open_after(checks_[i].asked_at);
        } else {
            try {
                // Still ready: its callback runs again in this pass, as a
                // selector would report it; the gate stays closed meanwhile.
                ready.push_back(ReadyItem{{}, ran_[i], {}});
            } catch (const std::bad_alloc&) {
                let_watcher_ask(*watcher, ran_[i].direction);
            }
        }
    }
    ran_.clear();
}

std::vector<HostRef> WatcherTable::take_all(bool forked_copy) noexcept {
    ran_.clear();
    std::vector<HostRef> handles;
    for (Map* watchers : {&readers_, &writers_}) {
        for (auto& [fd, watcher] : *watchers) {
            watcher.task.abort();
            if (forked_copy && watcher.registration) watcher.registration->abandon();
            handles.push_back(std::move(watcher.handle));
            handles.push_back(std::move(watcher.file_object));
        }
        watchers->clear();
    }
    return handles;
}

int WatcherTable::traverse(visitproc visit, void* arg) const {
    for (const Map* watchers : {&readers_, &writers_})
        for (const auto& [fd, watcher] : *watchers) {
            Py_VISIT(watcher.handle.get());
            Py_VISIT(watcher.file_object.get());
        }
    return 0;
}

}  // namespace cadrel::aio
