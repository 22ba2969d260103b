// AioCore: the native state of each cadrelio loop, and the instance layout.
//
// Threads: the loop thread (whichever host thread runs the loop) owns the ready
// queue, the timer heap and the watcher table and touches them only while
// attached; every other thread reaches the loop through the channel only. The
// module keeps the interpreter lock in free-threaded builds, which serialises
// the loop-thread structures against misuse from other host threads.
#pragma once

#include "aio/messages.hpp"
#include "aio/stream_table.hpp"
#include "aio/timer_heap.hpp"
#include "aio/watchers.hpp"
#include "runtime/runtime.hpp"

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <new>
#include <optional>
#include <thread>
#include <unordered_map>

namespace cadrel::aio {

/// What a stream's workers told the loop thread; its transport is looked up
/// (and may be gone) when the item runs.
struct StreamNotice {
    std::uint64_t id = 0;  // 0: not a stream notice
    bool released = false;
};

/// One entry of the ready queue: a handle to run, a watcher's report or a
/// stream's notice; a report's handle is looked up (and may be gone) when it runs.
struct ReadyItem {
    HostRef handle;  // null for a report or a notice
    DescriptorReady report{};
    StreamNotice stream{};
};

struct AioCore {
    AioCore();
    /// Shuts the runtime down (joining its workers) before anything else goes.
    ~AioCore();
    AioCore(const AioCore&) = delete;
    AioCore& operator=(const AioCore&) = delete;

    /// Stops and joins the workers, destroys every task and releases every
    /// handle; later posts are refused. Idempotent. Caller is attached.
    void shut_down() noexcept;

    /// Empty once shut down: closing gives back the worker threads and the
    /// driver's descriptors at once, not when the object goes.
    std::optional<rt::Runtime> runtime;
    AioSender sender;
    std::optional<AioReceiver> receiver;  // empty once shut down
    std::deque<ReadyItem> ready;
    /// Watcher reports and stream notices collected early (by call_soon): they join
    /// the ready queue at the next pass, after the handles scheduled meanwhile, as a
    /// selector's events follow the handles already ready.
    std::deque<ReadyItem> early_reports;
    TimerHeap timers;
    WatcherTable watchers;
    /// The transport of each live native stream: kept until the stream's
    /// workers let go of its descriptor.
    StreamTable streams;

    /// The wake-up task for the earliest timer, and the deadline it sleeps to
    /// (on the monotonic clock).
    rt::AbortHandle timer_wake;
    double timer_wake_when = 0.0;

    bool stopping = false;
    bool closed = false;
    bool debug = false;
    /// The loop class's version when its get_debug was last found to answer
    /// from `debug` (0: not yet). A version names one class in one state.
    std::atomic<unsigned> get_debug_answers_version{0};
    /// Whether `time` is set on the loop instance (a patched clock), and the
    /// class version whose time() was last found to be the core's own.
    bool time_set_on_instance = false;
    std::atomic<unsigned> time_answers_version{0};
    bool running = false;
    /// The thread inside run(), while running.
    std::thread::id loop_thread;

private:
    explicit AioCore(std::pair<AioSender, AioReceiver> channel);
};

struct CoreObject {
    PyObject_HEAD
    alignas(AioCore) unsigned char storage[sizeof(AioCore)];
    bool built;

    AioCore& core() noexcept { return *std::launder(reinterpret_cast<AioCore*>(storage)); }
    PyObject* as_object() noexcept { return reinterpret_cast<PyObject*>(this); }
};

inline CoreObject* as_core(PyObject* object) noexcept { return reinterpret_cast<CoreObject*>(object); }

/// Seconds on the monotonic clock the runtime's timers use.
double monotonic_seconds() noexcept;

/// The run loop: runs until stop() (see run_loop.cpp). Caller is attached.
void run(CoreObject* self);

/// Moves what other threads posted into the ready queue, without waiting, so
/// that a handle scheduled now runs after the ones posted before it (asyncio's
/// loops keep one queue for both). Only on the loop thread, or while no run is
/// in progress: the channel has one receiver.
void take_posted(AioCore& core);

/// Runs one asyncio handle as the loop does unless it is cancelled, timing it
/// in debug mode.
void run_handle(CoreObject* self, PyObject* handle);

}  // namespace cadrel::aio
