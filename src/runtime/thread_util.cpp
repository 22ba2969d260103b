// Thread names and native threads.
#include "runtime/thread_util.hpp"

#include "runtime/os_error.hpp"
#include "runtime/panic.hpp"

#include <cerrno>
#include <limits.h>
#include <memory>
#include <utility>

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace cadrel::rt {

void set_current_thread_name(const std::string& name) noexcept {
    // prctl names the calling thread the same way under every C library
    // (pthread_setname_np is an extension). The kernel keeps 15 bytes and a
    // terminator, cutting longer names itself; cut here too, to be explicit.
    char cut[16] = {};
    name.copy(cut, sizeof(cut) - 1);
    prctl(PR_SET_NAME, reinterpret_cast<unsigned long>(cut), 0, 0, 0);
}

unsigned long current_timer_slack() noexcept {
    const int slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    return slack < 0 ? 0 : static_cast<unsigned long>(slack);
}

void set_current_timer_slack(unsigned long nanoseconds) noexcept {
    prctl(PR_SET_TIMERSLACK, nanoseconds, 0, 0, 0);
}

std::string current_thread_name() {
    char buffer[17] = {};  // PR_GET_NAME writes up to 16 bytes
    if (prctl(PR_GET_NAME, reinterpret_cast<unsigned long>(buffer), 0, 0, 0) != 0 || buffer[0] == '\0')
        return "<unnamed>";
    return buffer;
}

// ---- native threads -------------------------------------------------------------------

namespace {

void* run_thread_body(void* argument) noexcept {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
    try {
        (*body)();
    } catch (const std::exception& error) {
        report_panic(error.what());
    } catch (...) {
        report_panic("a thread failed with an exception of unknown type");
    }
    return nullptr;
}

/// pthread attributes, destroyed with their scope.
class ThreadAttributes {
public:
    ThreadAttributes() {
        if (int error = pthread_attr_init(&attributes_)) throw OsError(error);
    }
    ~ThreadAttributes() { pthread_attr_destroy(&attributes_); }
    ThreadAttributes(const ThreadAttributes&) = delete;
    ThreadAttributes& operator=(const ThreadAttributes&) = delete;
    pthread_attr_t* get() noexcept { return &attributes_; }

private:
    pthread_attr_t attributes_;
};

}  // namespace

namespace {

/// Blocks every asynchronous signal on the calling thread for its lifetime.
/// A thread started meanwhile inherits the mask from its first instruction, so
/// no runtime thread ever takes a signal meant for the process: the kernel
/// delivers it to a host thread (the main thread, where Python runs its
/// handlers). Signals that report a fault of the thread itself stay open.
class AsyncSignalsBlocked {
public:
    AsyncSignalsBlocked() noexcept {
        sigset_t blocked;
        sigfillset(&blocked);
        for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS})
            sigdelset(&blocked, fault);
        pthread_sigmask(SIG_BLOCK, &blocked, &previous_);
    }
    ~AsyncSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    AsyncSignalsBlocked(const AsyncSignalsBlocked&) = delete;
    AsyncSignalsBlocked& operator=(const AsyncSignalsBlocked&) = delete;

private:
    sigset_t previous_;
};

}  // namespace

NativeThread::NativeThread(std::function<void()> body, std::size_t stack_size) {
    ThreadAttributes attributes;
    // Page-align: some C libraries refuse a size that is not a multiple of the page.
    const long page = sysconf(_SC_PAGESIZE);
    const std::size_t page_size = page > 0 ? static_cast<std::size_t>(page) : 4096;
    std::size_t size = std::max<std::size_t>(stack_size, PTHREAD_STACK_MIN);
    size = (size + page_size - 1) / page_size * page_size;
    if (int error = pthread_attr_setstacksize(attributes.get(), size)) throw OsError(error);
    auto owned = std::make_unique<std::function<void()>>(std::move(body));
    int error = 0;
    {
        AsyncSignalsBlocked blocked;
        error = pthread_create(&handle_, attributes.get(), run_thread_body, owned.get());
    }
    if (error != 0) throw OsError(error);
    owned.release();  // the thread owns it now
    joinable_ = true;
}

NativeThread::NativeThread(NativeThread&& other) noexcept
    : handle_(other.handle_), joinable_(std::exchange(other.joinable_, false)) {}

NativeThread::~NativeThread() {
    if (joinable_) detach();
}

bool NativeThread::is_current() const noexcept { return joinable_ && pthread_equal(handle_, pthread_self()); }

void NativeThread::join() noexcept {
    if (!joinable_) return;
    pthread_join(handle_, nullptr);
    joinable_ = false;
}

void NativeThread::detach() noexcept {
    if (!joinable_) return;
    pthread_detach(handle_);
    joinable_ = false;
}

}  // namespace cadrel::rt
