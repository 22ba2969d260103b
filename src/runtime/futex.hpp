// Sleeping on a 32-bit word and waking its sleeper: the kernel's futex, private
// to the process. Both calls may return spuriously; callers re-check their word.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace cadrel::rt {

/// Sleeps while `*word == expected`. Returns false when a signal handler
/// interrupted the sleep, true for any other return.
bool futex_wait(std::atomic<std::uint32_t>* word, std::uint32_t expected) noexcept;

/// Sleeps while `*word == expected`, at most `timeout` (a signal may end it
/// sooner; the caller re-checks its word and its clock).
void futex_wait_for(std::atomic<std::uint32_t>* word, std::uint32_t expected,
                    std::chrono::nanoseconds timeout) noexcept;

/// Wakes one thread sleeping on `word`.
void futex_wake_one(std::atomic<std::uint32_t>* word) noexcept;

/// Wakes every thread sleeping on `word`.
void futex_wake_all(std::atomic<std::uint32_t>* word) noexcept;

}  // namespace cadrel::rt
