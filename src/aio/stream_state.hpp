// StreamState: what a stream transport's loop thread and its worker tasks share.
//
// One stream (a connected socket or one end of a pipe) has up to two worker
// tasks: a reader (or, on a write pipe, a watcher for the reading side going
// away) and a writer, which runs while something is queued. The reader reads
// until the descriptor would block, at most kReadBatch bytes per turn, and
// hands the batch over in one message; before reading again it waits for
// readiness and then at its gate until the loop thread wants more, so a
// paused stream stops reading and the kernel's window closes. The writer
// flushes the outbound queue with one gathering write per readiness, tells
// the loop thread only what it acts on (the queue drained, fell to the
// low-water mark, or failed), at most one message in flight, and leaves once
// nothing is left to send.
//
// Every field but the constant ones (fd, mode, id, sender) is guarded by the
// mutex. The descriptor belongs to the host's socket object; it is closed by
// the loop thread, and only after the last worker task has let go
// (StreamReleased), so no worker system call can ever reach a reused
// descriptor number.
#pragma once

#include "aio/batch_spares.hpp"
#include "aio/messages.hpp"
#include "aio/stream_gate.hpp"
#include "runtime/small_mutex.hpp"

#include <cstddef>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <sys/uio.h>

namespace cadrel::aio {

namespace stream_mode {
inline constexpr int kRead = 1;         // read data from the descriptor
inline constexpr int kWrite = 2;        // write queued data to it
inline constexpr int kSocket = 4;       // a socket: send with MSG_NOSIGNAL
inline constexpr int kWatchHangup = 8;  // write pipe: report when the reading side goes away
}  // namespace stream_mode

/// Bytes waiting to be written, in order. Each chunk's bytes live on the heap
/// and never move, so the writer may send from them outside the mutex while
/// the loop thread appends. An empty queue holds no memory.
class OutboundQueue {
public:
    struct Chunk {
        std::unique_ptr<char[]> bytes;
        std::size_t size = 0;
    };

    bool empty() const noexcept { return next_ == chunks_.size(); }
    /// Appends the pieces' bytes after the first `skip` of them as one chunk;
    /// returns its size. Throws std::bad_alloc and then leaves the queue as it was.
    std::size_t push(const iovec* pieces, std::size_t count, std::size_t skip) {
        std::size_t size = 0;
        for (std::size_t i = 0; i < count; ++i) size += pieces[i].iov_len;
        size -= skip;
        if (size > std::size_t(PTRDIFF_MAX)) throw std::bad_alloc();
        Chunk chunk{std::make_unique_for_overwrite<char[]>(size), size};
        char* out = chunk.bytes.get();
        for (const iovec* piece = pieces; piece != pieces + count; ++piece) {
            if (skip >= piece->iov_len) {
                skip -= piece->iov_len;
                continue;
            }
            const std::size_t taken = piece->iov_len - skip;
            std::memcpy(out, static_cast<const char*>(piece->iov_base) + skip, taken);
            out += taken;
            skip = 0;
        }
        chunks_.push_back(std::move(chunk));
        return size;
    }
    /// The unsent chunks, front first; the front's first `front_offset()` bytes are sent.
    const Chunk* begin() const noexcept { return chunks_.data() + next_; }
    const Chunk* end() const noexcept { return chunks_.data() + chunks_.size(); }
    std::size_t front_offset() const noexcept { return front_offset_; }
    /// Drops `count` sent bytes from the front.
    void consume(std::size_t count) noexcept {
        while (count > 0 && !empty()) {
            const std::size_t front = chunks_[next_].size - front_offset_;
            if (count < front) {
                front_offset_ += count;
                return;
            }
            count -= front;
            chunks_[next_++].bytes.reset();
            front_offset_ = 0;
        }
        if (empty()) {
            std::vector<Chunk>().swap(chunks_);  // an idle queue keeps nothing
            next_ = 0;
        }
    }

private:
    std::vector<Chunk> chunks_;
    std::size_t next_ = 0;  // chunks before it are sent
    std::size_t front_offset_ = 0;
};

/// A file range being sent; `source` is owned (closed when the job ends).
struct FileJob {
    FileJob(int source_, std::int64_t offset_, std::size_t count) noexcept
        : source(source_), offset(offset_), left(count) {}
    FileJob(const FileJob&) = delete;
    FileJob& operator=(const FileJob&) = delete;
    ~FileJob() { close_source(); }

    int source = -1;
    std::int64_t offset = 0;
    std::size_t left = 0;
    std::size_t sent = 0;
    int error = 0;
    bool finished = false;  // done and not yet polled

    bool active() const noexcept { return source >= 0; }
    void close_source() noexcept;
};

struct StreamState {
    StreamState(std::int32_t fd_, std::uint8_t mode_, std::uint64_t id_, AioSender sender_)
        : fd(fd_), mode(mode_), id(id_), sender(std::move(sender_)) {}

    // Ordered to leave no padding: a server keeps one per open connection.
    const std::int32_t fd;
    const std::uint8_t mode;     // stream_mode bits
    bool notice_posted = false;  // a StreamReady is on its way and not yet polled
    bool closing = false;        // the loop thread let go; the last holder reports
    bool read_eof = false;
    bool hangup = false;         // the reading side of a write pipe went away
    bool write_news = false;     // the queue drained or fell to the low-water mark since the last poll
    // Worker tasks that may still use the descriptor: the reader, the writer,
    // and for a moment a writer that has just left.
    std::uint16_t holders = 0;
    rt::SmallMutex mutex;
    const std::uint64_t id;
    const AioSender sender;
    StreamGate read_gate;
    StreamGate write_gate;
    // Made by the first wait for the holders to go (most streams never wait),
    // notified when `holders` reaches zero.
    std::unique_ptr<std::condition_variable_any> let_go;
    // Read side.
    ReadBatch inbound;              // bytes read and not yet taken by the loop thread
    char* target = nullptr;         // a buffer the loop thread lent (buffered protocols)
    std::size_t target_size = 0;
    std::size_t target_filled = 0;  // bytes a worker read into `target`
    // Errors are errno values (below 4096 on Linux): two share a word with a flag.
    std::int16_t read_error = 0;
    std::int16_t write_error = 0;
    // Write side.
    bool writer_running = false;   // a writer task runs; it leaves when nothing is left to send
    OutboundQueue outbound;
    std::size_t queued = 0;        // bytes in outbound not yet written
    std::size_t low_water = 0;     // report when `queued` falls to this
    // A file range the writer sends with sendfile once the queue is empty,
    // from the start of the job until its result is polled; few streams ever
    // send a file, so the others keep only the pointer. The descriptor is the
    // job's own duplicate: the host may close its file (a cancelled sendfile)
    // while a worker still sends from it.
    std::unique_ptr<FileJob> file;

    bool sending_file() const noexcept { return file && file->active(); }

    /// Under the mutex: whether the caller must post a StreamReady (after unlocking).
    bool claim_notice() noexcept { return !std::exchange(notice_posted, true); }
    /// Posts a StreamReady; refused only once the loop has closed.
    void post_notice() const noexcept { (void)sender.send(StreamReady{id}); }
};

/// Where the reader waits for permission: the stream's read gate, under its mutex.
struct ReadGateOf {
    StreamState* state;
    StreamGate& gate() const noexcept { return state->read_gate; }
    rt::SmallMutex& mutex() const noexcept { return state->mutex; }
};

/// `co_await pass_read_gate(state)`: the reader's passage, one word in its frame.
inline auto pass_read_gate(StreamState& state) noexcept { return StreamGate::pass_at(ReadGateOf{&state}); }

/// A worker task's hold on the descriptor. Taken when the task is made and
/// passed in as its argument, so it lives in the task's frame from the start
/// and goes with the frame, whether the task ended, was aborted, or never ran.
/// The last hold released after the loop thread let go tells it the
/// descriptor may be closed.
class StreamHold {
public:
    explicit StreamHold(std::shared_ptr<StreamState> state) noexcept : state_(std::move(state)) {
        std::lock_guard lock(state_->mutex);
        ++state_->holders;
    }
    StreamHold(StreamHold&& other) noexcept : state_(std::move(other.state_)) {}
    StreamHold& operator=(StreamHold&&) = delete;
    StreamHold(const StreamHold&) = delete;
    StreamHold& operator=(const StreamHold&) = delete;
    ~StreamHold() {
        if (!state_) return;
        bool last;
        {
            std::lock_guard lock(state_->mutex);
            last = --state_->holders == 0 && state_->closing;
            if (state_->holders == 0 && state_->let_go) state_->let_go->notify_all();
        }
        if (last) (void)state_->sender.send(StreamReleased{state_->id});
    }

    StreamState& state() const noexcept { return *state_; }

private:
    std::shared_ptr<StreamState> state_;
};

}  // namespace cadrel::aio
