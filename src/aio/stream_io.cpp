// Stream worker tasks: reading in batches, gathering writes, noticing hang-ups.
#include "aio/stream_io.hpp"

#include "aio/batch_spares.hpp"

#include "runtime/os_error.hpp"
#include "runtime/readiness.hpp"
#include "runtime/scheduler.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>
#include <new>
#include <optional>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace cadrel::aio {

namespace {

constexpr int kMaxIovecs = 64;

bool would_block(int error) noexcept { return error == EAGAIN || error == EWOULDBLOCK; }

/// What one read turn saw.
struct ReadOutcome {
    std::size_t bytes = 0;
    bool eof = false;
    int error = 0;
    bool blocked = false;  // the descriptor would block: wait for readiness before reading again
    bool said_would_block = false;  // a read said so (a short read only implies it)
    bool blocked_empty() const noexcept { return bytes == 0 && !eof && error == 0; }
};

ssize_t read_retrying(int fd, char* into, std::size_t size) noexcept {
    ssize_t count;
    do {
        count = ::read(fd, into, size);
    } while (count < 0 && errno == EINTR);
    return count;
}

/// Reads into [into, into + size) until it is full, the descriptor would
/// block, or end of file / an error. A stream socket returns everything it
/// holds, so a short read from one means it is drained: the read that would
/// only say EAGAIN is skipped (any later arrival is a new readiness report).
ReadOutcome read_into(const StreamState& state, char* into, std::size_t size) noexcept {
    const bool short_read_drains = (state.mode & stream_mode::kSocket) != 0;
    ReadOutcome outcome;
    while (outcome.bytes < size) {
        const std::size_t wanted = size - outcome.bytes;
        ssize_t count = read_retrying(state.fd, into + outcome.bytes, wanted);
        if (count > 0) {
            outcome.bytes += static_cast<std::size_t>(count);
            if (short_read_drains && static_cast<std::size_t>(count) < wanted) {
                outcome.blocked = true;
                break;
            }
        } else if (count == 0) {
            outcome.eof = true;
            break;
        } else {
            if (would_block(errno)) {
                outcome.blocked = true;
                outcome.said_would_block = true;
            } else {
                outcome.error = errno;
            }
            break;
        }
    }
    return outcome;
}

/// The thread's scratch space: a turn that does not expect much reads here
/// and keeps only what arrived, so an idle stream holds no read buffer at all.
char* read_scratch() noexcept {
    thread_local std::unique_ptr<char[]> scratch(new (std::nothrow) char[kReadBatch]);
    return scratch.get();
}

/// Adds a later read's outcome to a turn's.
void add_outcome(ReadOutcome& total, const ReadOutcome& more) noexcept {
    total.bytes += more.bytes;
    total.eof = more.eof;
    total.error = more.error;
    total.blocked = more.blocked;
    total.said_would_block = more.said_would_block;
}

/// Reads up to kReadBatch bytes into `batch`: straight into its storage when
/// the last batch was large (`expected` bytes; spare storage of that size is
/// then at hand), else through the scratch space, so each byte is copied once
/// between the kernel and the loop thread's bytes object in the common cases.
ReadOutcome read_batch_into(StreamState& state, ReadBatch& batch, std::size_t expected) {
    ReadOutcome outcome;
    if (expected >= kSpareFrom) {
        batch = take_batch_storage(expected);
        outcome = read_into(state, batch.room(), batch.room_size());
        batch.commit(outcome.bytes);
        if (batch.room_size() > 0 || outcome.blocked || outcome.eof || outcome.error != 0) return outcome;
    }
    char* scratch = read_scratch();
    if (scratch == nullptr) throw std::bad_alloc();
    ReadOutcome more = read_into(state, scratch, kReadBatch - batch.size());
    if (more.bytes > 0) {
        if (batch.capacity() == 0) batch = take_batch_storage(more.bytes);
        batch.append(scratch, more.bytes);
    }
    add_outcome(outcome, more);
    return outcome;
}

/// Reads a batch and appends it to `inbound` under the mutex. `last_size` is
/// the size of the stream's previous batch, updated here.
ReadOutcome read_batch(StreamState& state, std::uint32_t& last_size) noexcept {
    ReadBatch batch;
    ReadOutcome outcome;
    try {
        outcome = read_batch_into(state, batch, last_size);
        last_size = static_cast<std::uint32_t>(outcome.bytes);  // at most kReadBatch
        if (!batch.empty()) {
            std::lock_guard lock(state.mutex);
            if (state.inbound.empty()) {
                state.inbound.swap(batch);
            } else {
                state.inbound.append(batch.data(), batch.size());  // the last batch is not taken yet
            }
        }
    } catch (const std::bad_alloc&) {
        outcome.error = ENOMEM;
    }
    give_batch_storage(batch);
    return outcome;
}

/// One read turn: into the buffer the loop thread lent, if any, else into `inbound`.
ReadOutcome read_turn(StreamState& state, std::uint32_t& last_size) noexcept {
    char* target;
    std::size_t room;
    {
        std::lock_guard lock(state.mutex);
        target = state.target;
        room = state.target_size - state.target_filled;
        if (target != nullptr) target += state.target_filled;
    }
    if (target != nullptr) {
        ReadOutcome outcome = read_into(state, target, room);
        std::lock_guard lock(state.mutex);
        state.target_filled += outcome.bytes;
        return outcome;
    }
    return read_batch(state, last_size);
}

/// Hands a read turn's result to the loop thread.
void report_read(StreamState& state, const ReadOutcome& outcome) noexcept {
    bool post;
    {
        std::lock_guard lock(state.mutex);
        state.read_eof = state.read_eof || outcome.eof;
        if (outcome.error != 0) state.read_error = static_cast<std::int16_t>(outcome.error);
        post = state.claim_notice();
    }
    if (post) state.post_notice();
}

/// Registers the descriptor, or records why it cannot be watched (and returns
/// an empty registration).
rt::FdRegistration register_stream(rt::Scheduler& scheduler, StreamState& state) noexcept {
    try {
        return scheduler.driver().io().register_fd(state.fd);
    } catch (const rt::OsError& error) {
        report_read(state, ReadOutcome{0, false, error.code() != 0 ? error.code() : EBADF, false});
    } catch (...) {
        // The runtime is shutting down.
    }
    return {};
}

/// What the reader carries from one turn to the next. A turn's own variables
/// stay on the worker's stack in these functions: every variable of a
/// coroutine body has a place in its frame, which an idle stream keeps.
struct ReaderProgress {
    // A read that said would-block has used up every report so far, so the
    // next wait needs a new one: a hang-up flag left from an earlier file
    // then cannot satisfy it again and again. A short read only implies it,
    // and an end of input reported beside the data still takes a read to
    // show, so the wait after one is satisfied by the flags already there.
    std::optional<std::uint32_t> last_report;
    std::optional<std::uint32_t> used_up;
    std::uint32_t last_size = 0;  // the last batch's: a large one is read straight into spare storage
    bool drained = false;       // the last read met would-block
    bool permitted = false;     // passed the gate and not yet reported

    /// One read turn, handed over unless it found nothing; true when the
    /// reader is done (end of input or an error).
    bool turn(StreamState& state) noexcept {
        const ReadOutcome outcome = read_turn(state, last_size);
        drained = outcome.blocked;
        used_up = outcome.said_would_block ? last_report : std::nullopt;
        if (outcome.blocked_empty()) return false;
        report_read(state, outcome);
        permitted = false;
        return outcome.eof || outcome.error != 0;
    }
};

/// What a reader's readiness wait came to.
enum class Readiness { kReported, kNotYet, kShutdown };

/// `co_await ReadableAgain(io, progress)`: waits for a read readiness report
/// the reader has not used up, and takes it in (clears what it reported and
/// records its generation). kNotYet after a wake that brought none: await
/// again. The reader's idle frame keeps this wait, so it holds only what it
/// cannot find in `progress`; destroying it while suspended (an abort)
/// withdraws its waker.
class ReadableAgain {
public:
    ReadableAgain(rt::ScheduledIo& io, ReaderProgress& progress) noexcept : io_(io), progress_(progress) {}
    ReadableAgain(const ReadableAgain&) = delete;
    ReadableAgain& operator=(const ReadableAgain&) = delete;
    ~ReadableAgain() { parked_.withdraw(io_, rt::Direction::kRead); }

    bool await_ready() const noexcept { return io_.poll(rt::Direction::kRead, progress_.used_up).has_value(); }
    bool await_suspend(rt::Task::Handle handle) {
        return parked_.park(io_, rt::Direction::kRead, progress_.used_up, handle);
    }
    Readiness await_resume() noexcept {
        parked_.woken();
        const std::optional<rt::ReadyEvent> event = io_.poll(rt::Direction::kRead, progress_.used_up);
        if (!event) return Readiness::kNotYet;
        if (event->shutdown) return Readiness::kShutdown;
        io_.clear(*event);
        progress_.last_report = event->generation;
        return Readiness::kReported;
    }

private:
    rt::ScheduledIo& io_;
    ReaderProgress& progress_;
    rt::ParkedTask parked_;
};

}  // namespace

// After handing a batch over the reader waits for readiness first and for the
// loop thread's permission (the gate) second: the loop thread usually opens
// the gate before more data arrives, so opening it wakes nobody, and data
// that arrives finds the reader already past its own wait.
rt::Task read_stream(StreamHold hold) {
    rt::FdRegistration registration = register_stream(co_await rt::CurrentScheduler{}, hold.state());
    if (!registration) co_return;
    ReaderProgress progress;
    for (;;) {
        if (progress.drained) {
            Readiness readiness;
            do {
                readiness = co_await ReadableAgain(registration.io(), progress);
            } while (readiness == Readiness::kNotYet);
            if (readiness == Readiness::kShutdown) co_return;
        }
        if (!progress.permitted) {
            co_await pass_read_gate(hold.state());
            progress.permitted = true;
        }
        if (progress.turn(hold.state())) co_return;
    }
}

rt::Task watch_hangup(StreamHold hold) {
    StreamState* state = &hold.state();
    rt::Scheduler& scheduler = co_await rt::CurrentScheduler{};
    rt::FdRegistration registration = register_stream(scheduler, *state);
    if (!registration) co_return;
    // A pipe's writing end learns of its reader's departure as an error
    // beside writability; a socket's as the end of its input.
    const rt::Direction direction = (state->mode & stream_mode::kSocket) ? rt::Direction::kRead : rt::Direction::kWrite;
    for (;;) {
        // The generation before the look: a report after it ends the wait
        // below. The record's flags stay as they are: the writer waits on the
        // same record, and a writability report taken from it would leave the
        // writer parked with bytes queued, for good.
        const std::uint32_t looked_at = registration.io().generation();
        pollfd entry{state->fd, POLLIN, 0};
        int count;
        do {
            count = ::poll(&entry, 1, 0);
        } while (count < 0 && errno == EINTR);
        if (count > 0 && (entry.revents & (POLLIN | POLLERR | POLLHUP))) break;
        while (!co_await rt::ReportAfter(registration.io(), direction, looked_at)) {
        }
        if (registration.io().is_shut_down()) co_return;
    }
    bool post;
    {
        std::lock_guard lock(state->mutex);
        state->hangup = true;
        post = state->claim_notice();
    }
    if (post) state->post_notice();
}

namespace {

long write_vector(const StreamState& state, iovec* vectors, int count) noexcept {
    ssize_t written;
    const bool socket = (state.mode & stream_mode::kSocket) != 0;
    do {
        if (count == 1) {
            // The usual write of one piece: the single-buffer calls spare the
            // kernel copying in a vector (and a message header) to walk.
            written = socket ? ::send(state.fd, vectors[0].iov_base, vectors[0].iov_len, MSG_NOSIGNAL)
                             : ::write(state.fd, vectors[0].iov_base, vectors[0].iov_len);
        } else if (socket) {
            msghdr message{};
            message.msg_iov = vectors;
            message.msg_iovlen = static_cast<decltype(message.msg_iovlen)>(count);
            written = ::sendmsg(state.fd, &message, MSG_NOSIGNAL);
        } else {
            written = ::writev(state.fd, vectors, count);
        }
    } while (written < 0 && errno == EINTR);
    return written >= 0 ? static_cast<long>(written) : -errno;
}

/// Gathers the front of the queue; the chunks' bytes stay put while only this
/// task drops them (the loop thread only appends).
int gather(StreamState& state, iovec* vectors) noexcept {
    std::lock_guard lock(state.mutex);
    if (state.closing) return 0;  // abort() or the end: nothing more goes out
    int count = 0;
    std::size_t offset = state.outbound.front_offset();
    for (const auto& chunk : state.outbound) {
        if (count == kMaxIovecs) break;
        vectors[count].iov_base = chunk.bytes.get() + offset;
        vectors[count].iov_len = chunk.size - offset;
        ++count;
        offset = 0;
    }
    return count;
}

/// One gathering write of the queue's front. nullopt when nothing is queued;
/// the vectors live on the worker's stack, not in the task's frame.
std::optional<long> write_queued(StreamState& state) noexcept {
    iovec vectors[kMaxIovecs];
    const int count = gather(state, vectors);
    if (count == 0) return std::nullopt;
    return write_vector(state, vectors, count);
}

/// Drops `written` bytes from the queue's front; reports what the loop thread
/// acts on (drained, at the low-water mark, failed). False once the queue is empty.
bool consume(StreamState& state, long result) noexcept {
    bool post = false;
    bool more;
    {
        std::lock_guard lock(state.mutex);
        if (state.closing) return false;  // the loop thread no longer listens
        if (result < 0) {
            state.write_error = static_cast<std::int16_t>(-result);
            more = false;
        } else {
            const std::size_t before = state.queued;
            state.queued -= static_cast<std::size_t>(result);
            state.outbound.consume(static_cast<std::size_t>(result));
            more = state.queued > 0;
            if (state.queued == 0 || (before > state.low_water && state.queued <= state.low_water)) {
                post = true;
                state.write_news = true;
            }
        }
        if (result < 0) post = true;
        post = post && state.claim_notice();
    }
    if (post) state.post_notice();
    return more;
}

}  // namespace

void FileJob::close_source() noexcept {
    if (source >= 0) ::close(std::exchange(source, -1));
}

namespace {

/// One sendfile call for the file job, once nothing is queued: the bytes go
/// from the page cache to the socket without passing through user space.
/// Returns the bytes sent (0 at the file's end), or -errno; nullopt with no job.
std::optional<long> send_file_turn(StreamState& state) noexcept {
    int source;
    off_t offset;
    std::size_t size;
    {
        std::lock_guard lock(state.mutex);
        if (state.closing || !state.sending_file()) return std::nullopt;
        source = state.file->source;
        offset = static_cast<off_t>(state.file->offset);
        size = std::min<std::size_t>(state.file->left, std::size_t(1) << 30);
    }
    ssize_t sent;
    do {
        sent = ::sendfile(state.fd, source, &offset, size);
    } while (sent < 0 && errno == EINTR);
    return sent >= 0 ? static_cast<long>(sent) : -errno;
}

/// Records a sendfile turn; the job ends when done, at the file's end (0) or on an error.
bool file_progress(StreamState& state, long result) noexcept {
    bool post = false;
    bool more = false;
    {
        std::lock_guard lock(state.mutex);
        if (state.closing) return false;
        FileJob& job = *state.file;  // only this worker ends an active job
        if (result > 0) {
            job.offset += result;
            job.sent += static_cast<std::size_t>(result);
            job.left -= static_cast<std::size_t>(result);
        } else if (result < 0) {
            job.error = static_cast<int>(-result);
        }
        more = result > 0 && job.left > 0;
        if (!more) {
            job.close_source();
            job.finished = true;
            post = state.claim_notice();
        }
    }
    if (post) state.post_notice();
    return more;
}

/// Whether the writer may leave: nothing is queued and no file is being sent.
/// A leaving writer says so under the mutex, so the loop thread, which queues
/// under it, either sees it gone and spawns a new one or finds it staying.
bool leave_if_idle(StreamState& state) noexcept {
    std::lock_guard lock(state.mutex);
    if (state.queued > 0 || state.sending_file()) return false;
    state.writer_running = false;
    return true;
}

}  // namespace

// A writer runs while there is something to send and leaves once the queue is
// empty: most connections that ever fill their socket buffer then go back to
// short writes sent at once from the loop thread, and an idle one keeps no
// writer frame. The loop thread spawns a new one when bytes stay queued again.
rt::Task write_stream(StreamHold hold) {
    StreamState* state = &hold.state();
    rt::Scheduler& scheduler = co_await rt::CurrentScheduler{};
    rt::FdRegistration registration = register_stream(scheduler, *state);
    if (!registration) co_return;
    std::optional<std::uint32_t> seen;  // the last report waited for
    for (;;) {
        co_await state->write_gate.pass(state->mutex);
        for (;;) {
            std::optional<long> outcome = write_queued(*state);
            const bool sending_file = !outcome;
            if (sending_file) outcome = send_file_turn(*state);
            if (!outcome) break;  // nothing queued, no file to send
            const long result = *outcome;
            if (result == -EAGAIN || result == -EWOULDBLOCK) {
                std::optional<rt::ReadyEvent> event;
                while (!event) event = co_await rt::ReadinessWait(registration.io(), rt::Direction::kWrite, seen);
                if (event->shutdown) co_return;
                registration.io().clear(*event);
                seen = event->generation;
                continue;
            }
            if (sending_file) {
                if (!file_progress(*state, result)) break;
                continue;
            }
            if (result < 0) {
                consume(*state, result);
                co_return;
            }
            if (!consume(*state, result)) break;
        }
        if (leave_if_idle(*state)) co_return;
    }
}

long write_now(const StreamState& state, iovec* pieces, int count) noexcept {
    const long result = write_vector(state, pieces, std::min(count, kMaxIovecs));
    return result == -EAGAIN || result == -EWOULDBLOCK ? 0 : result;
}

}  // namespace cadrel::aio
