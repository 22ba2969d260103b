// The watcher task: register, wait, post, clear, repeat.
//
// Each pass posts exactly one message and clears the readiness it saw right
// after the send, not after the callback runs: a kernel report that arrives
// after the clear gives one more pass, one that arrived before it keeps the
// flags so the next wait completes at once. The only suspension point is the
// readiness wait; a wait that completes at once does not suspend, so before it
// posts, the watcher asks whether it was removed meanwhile. Once removal has
// returned, only a pass that had already decided to post can still post.
// A watcher never enters the interpreter: its messages share the callback box.
#include "loop/watcher.hpp"

#include "runtime/scheduler.hpp"

#include <exception>
#include <optional>
#include <string>
#include <unistd.h>

namespace cadrel::loop {

namespace {

void report_registration_failure(FdWrapper fd, const char* reason) noexcept {
    try {
        std::string line = "Failed to register FD " + std::to_string(fd.fd) + ": " + reason + "\n";
        // One write, so concurrent lines do not interleave.
        [[maybe_unused]] ssize_t written = ::write(STDERR_FILENO, line.data(), line.size());
    } catch (...) {
    }
}

}  // namespace

rt::Task watch_descriptor(FdWrapper fd, rt::Direction direction,
                          std::shared_ptr<const WatchedCallback> target, LoopSender sender) {
    rt::Scheduler& scheduler = co_await rt::CurrentScheduler{};
    std::optional<rt::FdRegistration> registration;
    try {
        registration.emplace(scheduler.driver().io().register_fd(fd.as_raw_fd()));
    } catch (const std::exception& error) {
        report_registration_failure(fd, error.what());
        co_return;
    }

    std::optional<std::uint32_t> reported;  // generation of the last event posted
    for (;;) {
        std::optional<rt::ReadyEvent> event;
        while (!event) event = co_await rt::ReadinessWait(registration->io(), direction, reported);
        if (event->shutdown) co_return;
        if (co_await rt::AbortRequested{}) co_return;  // removed while it ran
        // Shares the box: no host reference count changes here, so no attach.
        if (sender.send(RunCallback{target})) co_return;  // the loop is broken: stop watching
        registration->io().clear(*event);
        reported = event->generation;
    }
}

}  // namespace cadrel::loop
