// Keeping channels whole across fork().
//
// A sender claims its position with one fetch_add and publishes it later with
// the slot's ready bit. If another thread forks in between, the child's copy
// of the channel holds a claimed slot that no thread will ever publish, and
// its receiver, which takes positions strictly in order, would stop there for
// good. Rather than slow every send down, every live channel is on a registry:
// pthread_atfork takes the registry's lock before the fork (so no channel is
// being built or destroyed across it) and, in the child, where only the
// forking thread exists, asks each channel to repair itself (see
// Chan::repair_after_fork), then lets the lock go. The parent only unlocks.
//
// The registry is never destroyed: channels with static storage may outlive
// any ordinary static object.
#pragma once

#include <mutex>

#include <pthread.h>

namespace cadrel::rt::channel_detail {

class ForkRepairable {
public:
    /// Child of fork(), only thread left: make the channel usable again.
    virtual void repair_after_fork() noexcept = 0;

protected:
    ForkRepairable() = default;
    ~ForkRepairable() = default;
    ForkRepairable(const ForkRepairable&) = delete;
    ForkRepairable& operator=(const ForkRepairable&) = delete;

    /// Called by the channel once fully built, and first thing in its destructor.
    void enlist() noexcept;
    void delist() noexcept;

private:
    friend class ChannelRegistry;
    ForkRepairable* previous_ = nullptr;  // guarded by the registry's lock
    ForkRepairable* next_ = nullptr;      // guarded by the registry's lock
};

class ChannelRegistry {
public:
    static ChannelRegistry& instance() noexcept {
        // Leaked on purpose (see the top comment); built once, thread-safely,
        // which also installs the fork handlers exactly once.
        static ChannelRegistry* registry = new ChannelRegistry();
        return *registry;
    }

    void add(ForkRepairable* channel) noexcept {
        std::lock_guard lock(mutex_);
        channel->next_ = head_;
        if (head_) head_->previous_ = channel;
        head_ = channel;
    }

    void remove(ForkRepairable* channel) noexcept {
        std::lock_guard lock(mutex_);
        if (channel->previous_) channel->previous_->next_ = channel->next_;
        else head_ = channel->next_;
        if (channel->next_) channel->next_->previous_ = channel->previous_;
        channel->previous_ = channel->next_ = nullptr;
    }

private:
    ChannelRegistry() noexcept { pthread_atfork(&before_fork, &in_parent, &in_child); }

    static void before_fork() noexcept { instance().mutex_.lock(); }
    static void in_parent() noexcept { instance().mutex_.unlock(); }
    static void in_child() noexcept {
        ChannelRegistry& registry = instance();
        for (ForkRepairable* channel = registry.head_; channel != nullptr; channel = channel->next_)
            channel->repair_after_fork();
        registry.mutex_.unlock();  // taken by this very thread in before_fork
    }

    std::mutex mutex_;
    ForkRepairable* head_ = nullptr;  // guarded by mutex_
};

inline void ForkRepairable::enlist() noexcept { ChannelRegistry::instance().add(this); }
inline void ForkRepairable::delist() noexcept { ChannelRegistry::instance().remove(this); }

}  // namespace cadrel::rt::channel_detail
