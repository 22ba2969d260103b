// The pending-release list and the per-thread host entry count.
#include "binding/host_ref.hpp"

#include "binding/exit_gate.hpp"

#include <atomic>
#include <mutex>
#include <vector>

namespace cadrel::binding {

namespace {

thread_local long entry_count = 0;

struct PendingReleases {
    std::mutex mutex;
    std::vector<PyObject*> objects;  // guarded by mutex
    // Lets every entry skip the lock when nothing is pending (the usual case).
    std::atomic<bool> dirty{false};
};

// Never destroyed: worker threads may still defer releases while the process
// exits, after static destructors would have run.
PendingReleases& pending() {
    static auto* list = new PendingReleases();
    return *list;
}

}  // namespace

bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

void release_reference(PyObject* object) noexcept {
    if (entry_count > 0) {
        park_if_stopped_by_host();
        Py_DECREF(object);
        return;
    }
    PendingReleases& list = pending();
    {
        std::lock_guard lock(list.mutex);
        try {
            list.objects.push_back(object);
        } catch (...) {
            // Out of memory: leaking one reference is the only safe choice here.
            return;
        }
    }
    list.dirty.store(true, std::memory_order_release);
}

void release_pending_references() noexcept {
    PendingReleases& list = pending();
    if (!list.dirty.load(std::memory_order_acquire)) return;
    std::vector<PyObject*> objects;
    {
        std::lock_guard lock(list.mutex);
        objects.swap(list.objects);
        list.dirty.store(false, std::memory_order_relaxed);
    }
    // Released outside the lock: a release may run a destructor that defers more.
    for (PyObject* object : objects) Py_DECREF(object);
}

void enter_host_count() noexcept {
    ++entry_count;
    release_pending_references();
}

void leave_host_count() noexcept { --entry_count; }

long host_entry_depth() noexcept { return entry_count; }

EnteredHost::EnteredHost() noexcept { enter_host_count(); }

EnteredHost::~EnteredHost() {
    park_if_stopped_by_host();
    leave_host_count();
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

Attached::Attached() noexcept : state_(attach_or_park([] { return PyGILState_Ensure(); })) {
    ++entry_count;
    release_pending_references();
}

Attached::~Attached() {
    park_if_stopped_by_host();
    --entry_count;
    PyGILState_Release(state_);
}

Detached::Detached() noexcept : saved_entry_count_(std::exchange(entry_count, 0)) {
    thread_state_ = PyEval_SaveThread();
}

Detached::~Detached() {
    attach_or_park([this] {
        PyEval_RestoreThread(thread_state_);
        return true;
    });
    entry_count = saved_entry_count_;
    if (entry_count > 0) release_pending_references();
}

}  // namespace cadrel::binding
