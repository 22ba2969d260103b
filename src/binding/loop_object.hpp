// The layout of a CadrelLoop instance and the shared borrow of its native state.
#pragma once

#include "loop/event_loop.hpp"
#include "runtime/panic.hpp"

#include <Python.h>

#include <atomic>
#include <cstddef>
#include <new>

namespace cadrel::binding {

/// Instance layout: the host's object header, the native loop state, the
/// borrow counter, the weak-reference list. Standard layout, so the
/// weak-reference list's offset can be published to the host.
struct LoopObject {
    PyObject_HEAD
    alignas(loop::CadrelEventLoop) unsigned char state_storage[sizeof(loop::CadrelEventLoop)];
    /// Count of shared borrows; all ones would be an exclusive borrow, which
    /// nothing ever takes. Accessed only through std::atomic_ref.
    std::size_t borrow_flag;
    PyObject* weaklist;

    loop::CadrelEventLoop& state() noexcept {
        return *std::launder(reinterpret_cast<loop::CadrelEventLoop*>(state_storage));
    }
    PyObject* as_object() noexcept { return reinterpret_cast<PyObject*>(this); }
};

inline LoopObject* as_loop(PyObject* object) noexcept { return reinterpret_cast<LoopObject*>(object); }

/// A shared borrow of the native state for the guard's lifetime. Never waits.
class SharedBorrow {
public:
    static constexpr std::size_t kExclusive = ~std::size_t{0};

    explicit SharedBorrow(LoopObject* object) : flag_(object->borrow_flag) {
        std::size_t current = flag_.load(std::memory_order_relaxed);
        do {
            if (current == kExclusive) rt::panic("Already mutably borrowed");
        } while (!flag_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                              std::memory_order_relaxed));
    }
    ~SharedBorrow() { flag_.fetch_sub(1, std::memory_order_release); }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

private:
    std::atomic_ref<std::size_t> flag_;
};

/// The CadrelLoop type object, created by the module initialiser.
PyTypeObject* loop_type() noexcept;
/// Creates the type on first use; null with an exception set on failure.
PyTypeObject* create_loop_type() noexcept;

}  // namespace cadrel::binding
