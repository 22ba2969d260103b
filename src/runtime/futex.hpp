// Sleeping on a 32-bit word and waking its sleeper: the kernel's futex, private
// to the process. Both calls may return spuriously; callers re-check their word.
#pragma once

#include <atomic>
#include <cstdint>

namespace cadrel::rt {

/// Sleeps while `*word == expected`. Returns false when a signal handler
/// interrupted the sleep, true for any other return.
bool futex_wait(std::atomic<std::uint32_t>* word, std::uint32_t expected) noexcept;

/// Wakes one thread sleeping on `word`.
void futex_wake_one(std::atomic<std::uint32_t>* word) noexcept;

}  // namespace cadrel::rt
