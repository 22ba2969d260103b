// Helpers that several native test files share: bounds, waits, /proc counts.
#pragma once

#include "runtime/os_error.hpp"
#include "runtime/runtime.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <coroutine>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>

#include <sys/socket.h>
#include <unistd.h>

namespace cadrel::test_support {

using namespace std::chrono_literals;

#if defined(__SANITIZE_THREAD__)
inline constexpr bool kUnderTsan = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
inline constexpr bool kUnderTsan = true;
#else
inline constexpr bool kUnderTsan = false;
#endif
#else
inline constexpr bool kUnderTsan = false;
#endif

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
inline constexpr bool kUnderSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
inline constexpr bool kUnderSanitizer = true;
#else
inline constexpr bool kUnderSanitizer = false;
#endif
#else
inline constexpr bool kUnderSanitizer = false;
#endif

/// How long a test waits for something that should happen at once.
inline constexpr auto kBound = 20s;

/// A configuration with the given name and worker count, the rest default.
inline rt::RuntimeConfig config_of(const std::string& thread_name, std::size_t workers) {
    rt::RuntimeConfig config;
    config.thread_name = thread_name;
    config.worker_threads = workers;
    return config;
}

[[noreturn]] inline void die(const char* what) {
    std::fprintf(stderr, "FATAL: %s did not happen within the bound\n", what);
    std::fflush(stderr);
    std::abort();
}

/// Polls `condition` until it holds; one that never holds ends the process,
/// since tasks may still point into the test's stack.
template <class F>
void wait_until(const char* what, F condition, std::chrono::seconds bound = kBound) {
    auto deadline = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) die(what);
        std::this_thread::sleep_for(100us);
    }
}

// ---- what /proc says -------------------------------------------------------

inline std::size_t count_dir_entries(const char* path) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(path)) ++count;
    return count;
}

inline std::size_t thread_count() { return count_dir_entries("/proc/self/task"); }

/// Open descriptors (the iterator's own descriptor included, every time).
inline std::size_t fd_count() { return count_dir_entries("/proc/self/fd"); }

/// A thread that pthread_join has reaped may linger in /proc/self/task for a
/// moment: the kernel wakes the joiner when the thread's memory is released,
/// just before it unlists the task. So wait for the count briefly.
inline bool thread_count_settles_to(std::size_t expected, std::chrono::milliseconds bound = 2000ms) {
    auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        if (thread_count() == expected) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
}

// ---- descriptors -------------------------------------------------------------

class UniqueFd {
public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~UniqueFd() { reset(); }
    int get() const noexcept { return fd_; }
    void reset() noexcept {
        if (fd_ >= 0) close(std::exchange(fd_, -1));
    }

private:
    int fd_ = -1;
};

/// A connected, non-blocking pair of stream sockets.
struct SocketPair {
    UniqueFd local;
    UniqueFd peer;

    SocketPair() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) rt::throw_last_os_error();
        local = UniqueFd(fds[0]);
        peer = UniqueFd(fds[1]);
    }
};

inline void send_byte(int fd) { ASSERT_EQ(write(fd, "x", 1), 1); }

// ---- tasks and the test process --------------------------------------------

/// Suspends and never asks to be resumed: only an abort or a shutdown ends it.
struct SuspendForever {
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<>) const noexcept {}
    void await_resume() const noexcept {}
};

/// Sanitizer runtimes start helper threads of their own on the first thread
/// creation (ThreadSanitizer's background thread); start and join one thread
/// before any test so that the tests' thread counts see only the runtime's.
/// Each file that counts threads registers it itself, so files that do not
/// keep their startup unchanged.
class StartHelperThreads : public testing::Environment {
public:
    void SetUp() override { std::thread([] {}).join(); }
};

}  // namespace cadrel::test_support
