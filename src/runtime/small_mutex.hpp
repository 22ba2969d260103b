// SmallMutex: a mutual-exclusion lock in one 32-bit word.
//
// Every open descriptor keeps a readiness record and, under cadrelio, a
// stream state, each with a lock held only for a few loads and stores. A
// pthread mutex is 40 bytes; this one is 4, which idle connections, numbered
// in the tens of thousands on a server, do not pay for ten times over.
//
// The word: 0 unlocked, 1 locked, 2 locked and a thread may be sleeping on it.
// A locker that finds it taken marks it 2 and sleeps on the futex; an unlock
// that finds 2 wakes one sleeper, which takes the lock as 2 again, since it
// cannot know whether others still sleep. Not recursive, not fair: the same
// guarantees as std::mutex, which it replaces where size matters.
#pragma once

#include "runtime/futex.hpp"

#include <atomic>
#include <cstdint>

namespace cadrel::rt {

class SmallMutex {
public:
    SmallMutex() noexcept = default;
    SmallMutex(const SmallMutex&) = delete;
    SmallMutex& operator=(const SmallMutex&) = delete;

    void lock() noexcept {
        std::uint32_t expected = kUnlocked;
        if (word_.compare_exchange_strong(expected, kLocked, std::memory_order_acquire, std::memory_order_relaxed))
            return;
        lock_contended();
    }

    bool try_lock() noexcept {
        std::uint32_t expected = kUnlocked;
        return word_.compare_exchange_strong(expected, kLocked, std::memory_order_acquire, std::memory_order_relaxed);
    }

    void unlock() noexcept {
        if (word_.exchange(kUnlocked, std::memory_order_release) == kContended) futex_wake_one(&word_);
    }

private:
    static constexpr std::uint32_t kUnlocked = 0;
    static constexpr std::uint32_t kLocked = 1;
    static constexpr std::uint32_t kContended = 2;

    void lock_contended() noexcept {
        while (word_.exchange(kContended, std::memory_order_acquire) != kUnlocked) {
            (void)futex_wait(&word_, kContended);  // a spurious or interrupted return just tries again
        }
    }

    std::atomic<std::uint32_t> word_{kUnlocked};
};

}  // namespace cadrel::rt
