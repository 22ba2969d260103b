// Futex system calls (Linux; the same numbers and layout under glibc and musl).
#include "runtime/futex.hpp"

#include <cerrno>
#include <climits>
#include <ctime>

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

// syscall() is not POSIX but glibc and musl both declare it. A 64-bit target
// always has SYS_futex, whose timeout is a struct timespec of the C library;
// 32-bit targets with only 64-bit time keep the same call under another name,
// and their C library's timespec is the 64-bit one that call expects.
#if !defined(SYS_futex) && defined(SYS_futex_time64)
#define SYS_futex SYS_futex_time64
#endif

namespace cadrel::rt {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));

bool futex_wait(std::atomic<std::uint32_t>* word, std::uint32_t expected) noexcept {
    // EAGAIN (the word changed first) just returns; the caller loops. EINTR is
    // reported, so a caller that must act on signals can do so before sleeping again.
    long result = syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAIT_PRIVATE,
                          expected, nullptr, nullptr, 0);
    return !(result == -1 && errno == EINTR);
}

void futex_wait_for(std::atomic<std::uint32_t>* word, std::uint32_t expected,
                    std::chrono::nanoseconds timeout) noexcept {
    if (timeout <= std::chrono::nanoseconds::zero()) return;
    // FUTEX_WAIT takes a relative timeout. EAGAIN, EINTR and ETIMEDOUT all
    // just return: the caller looks at its word and its deadline again.
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
    timespec relative{};
    relative.tv_sec = static_cast<time_t>(seconds.count());
    relative.tv_nsec = static_cast<long>((timeout - seconds).count());
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, &relative,
            nullptr, 0);
}

void futex_wake_one(std::atomic<std::uint32_t>* word) noexcept {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAKE_PRIVATE, 1, nullptr,
            nullptr, 0);
}

void futex_wake_all(std::atomic<std::uint32_t>* word) noexcept {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr,
            nullptr, 0);
}

}  // namespace cadrel::rt
