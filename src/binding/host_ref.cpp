// The pending-release list and the per-thread host entry count.
#include "binding/host_ref.hpp"

#include "binding/interpreter_exit.hpp"

#include <atomic>
#include <new>

namespace cadrel::binding {

namespace host_ref_detail {
constinit thread_local long entry_count = 0;
}  // namespace host_ref_detail

using host_ref_detail::entry_count;

namespace {

/// One deferred release.
struct PendingRelease {
    PyObject* object;
    PendingRelease* next;
};

/// The pending-release list: a lock-free stack that any thread pushes onto and
/// an attached thread takes whole. It holds no lock, so a child made by fork()
/// while another thread was pushing finds it usable (at worst without that one
/// entry, a reference the child then never releases). Constant-initialised and
/// trivially destructible: threads may still push while the process exits.
constinit std::atomic<PendingRelease*> pending_head{nullptr};

}  // namespace

void host_ref_detail::release_reference_uncommon(PyObject* object) noexcept {
    if (entry_count > 0) {
        park_if_stopped_by_host();
        Py_DECREF(object);
        return;
    }
    auto* entry = new (std::nothrow) PendingRelease{object, nullptr};
    // Out of memory: leaking one reference is the only safe choice here.
    if (entry == nullptr) return;
    // release: the entry's fields are visible to the thread that takes the list.
    entry->next = pending_head.load(std::memory_order_relaxed);
    while (!pending_head.compare_exchange_weak(entry->next, entry, std::memory_order_release,
                                               std::memory_order_relaxed)) {
    }
}

void release_pending_references() noexcept {
    // A relaxed look first: entering the host is frequent, deferrals are rare.
    if (pending_head.load(std::memory_order_relaxed) == nullptr) return;
    // Taking the whole list at once has no ABA hazard; acquire pairs with the pushes.
    PendingRelease* taken = pending_head.exchange(nullptr, std::memory_order_acquire);
    // The stack holds the newest first; release in the order the references were dropped.
    PendingRelease* oldest_first = nullptr;
    while (taken != nullptr) {
        PendingRelease* next = taken->next;
        taken->next = oldest_first;
        oldest_first = taken;
        taken = next;
    }
    while (oldest_first != nullptr) {
        PendingRelease* entry = oldest_first;
        oldest_first = entry->next;
        PyObject* object = entry->object;
        delete entry;
        Py_DECREF(object);
    }
}

long host_entry_depth() noexcept { return entry_count; }

EnteredHost::EnteredHost() noexcept {
    ++entry_count;
    release_pending_references();
}

EnteredHost::~EnteredHost() {
    park_if_stopped_by_host();
    --entry_count;
}

namespace {

/// Takes the interpreter lock. At exit the host may end this thread right
/// there by unwinding it; the unwind is caught where it starts and the thread
/// parks (the handler never returns, so the unwind need not be rethrown).
template <class Attach>
auto attach_or_park(Attach attach) noexcept {
    try {
        return attach();
    } catch (...) {
        park_thread_forever();
    }
}

}  // namespace

HostCodeDeferred::HostCodeDeferred() noexcept : saved_entry_count_(std::exchange(entry_count, 0)) {}

HostCodeDeferred::~HostCodeDeferred() {
    entry_count = saved_entry_count_;
    if (entry_count > 0) release_pending_references();
}

Detached::Detached() noexcept : thread_state_(PyEval_SaveThread()) {}

Detached::~Detached() {
    attach_or_park([this] {
        PyEval_RestoreThread(thread_state_);
        return true;
    });
}

}  // namespace cadrel::binding
