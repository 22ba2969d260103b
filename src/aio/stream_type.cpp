// `cadrelio._native.Stream`: the loop thread's side of a stream transport.
//
// The Python transport (cadrelio._transports) owns one Stream and drives it
// from the loop thread: start() spawns the worker tasks, want_read() lets the
// reader take another batch, lend() gives it a buffered protocol's buffer to
// read straight into, write() writes at once when nothing is queued and queues
// the rest for the writer, poll() collects what the workers reported, and
// close() lets go of the descriptor; the loop core then calls the transport's
// _stream_released() once no worker may touch it any more. The core keeps the
// transport while its stream is live and, for every StreamReady the workers
// post, hands bytes read to the protocol itself (transport_calls.hpp) or calls
// the transport's _stream_ready().
#include "aio/stream_type.hpp"

#include "aio/batch_spares.hpp"
#include "aio/core.hpp"
#include "aio/stream_io.hpp"
#include "binding/call_adapter.hpp"
#include "binding/conversions.hpp"
#include "binding/errors.hpp"

#include <fcntl.h>
#include <sys/uio.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

namespace cadrel::aio {

namespace {

PyTypeObject* loop_core_type = nullptr;  // borrowed; the module holds it

struct StreamEngine {
    std::shared_ptr<StreamState> state;
    rt::AbortHandle reader;
    rt::AbortHandle writer;
    bool started = false;
    bool closed = false;
    // A buffered protocol's buffer the reader reads into; most streams never
    // have one, so its view is made only while one is lent.
    std::unique_ptr<Py_buffer> lent;

    ~StreamEngine() {
        if (!state) return;  // construction failed before the state was made
        reader.abort();
        writer.abort();
        // A buffer a worker may still read into is kept rather than released;
        // workers are gone by now unless the loop was never closed.
        bool idle;
        {
            std::lock_guard lock(state->mutex);
            idle = state->holders == 0;
        }
        if (idle) release_lent();
    }

    /// Loop thread, no worker reading into the lent buffer.
    void release_lent() noexcept {
        if (std::unique_ptr<Py_buffer> view = std::move(lent)) PyBuffer_Release(view.get());
    }
};

struct StreamObject {
    PyObject_HEAD
    // Built at once by stream_new (nothing can fail in between), so every
    // Stream has one; no flag says so, which keeps an idle stream at 64 bytes.
    alignas(StreamEngine) unsigned char storage[sizeof(StreamEngine)];

    StreamEngine& engine() noexcept { return *std::launder(reinterpret_cast<StreamEngine*>(storage)); }
};

StreamObject* as_stream(PyObject* object) noexcept { return reinterpret_cast<StreamObject*>(object); }

template <class Body>
PyObject* stream_call(PyObject* self, Body body) noexcept {
    return binding::call_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        StreamEngine& engine = as_stream(self)->engine();
        if (engine.closed) binding::raise_error(PyExc_RuntimeError, "the stream is closed");
        return body(engine).release();
    });
}

HostRef none() { return HostRef::borrow(Py_None); }

PyObject* stream_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) noexcept {
    return binding::call_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* loop;
        int fd;
        PyObject* transport;
        int mode;
        static const char* keywords[] = {"loop", "fd", "transport", "mode", nullptr};
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OiOi:Stream", const_cast<char**>(keywords), &loop, &fd,
                                         &transport, &mode)) {
            binding::throw_host_error();
        }
        if (!PyObject_TypeCheck(loop, loop_core_type)) binding::raise_error(PyExc_TypeError, "loop must be a cadrelio loop");
        if (fd < 0) binding::raise_error(PyExc_ValueError, "Invalid file descriptor: negative number");
        constexpr int kModes = stream_mode::kRead | stream_mode::kWrite | stream_mode::kSocket | stream_mode::kWatchHangup;
        if (mode <= 0 || (mode & ~kModes) != 0) binding::raise_error(PyExc_ValueError, "invalid stream mode");
        AioCore& core = as_core(loop)->core();
        if (core.closed || !core.runtime || !core.receiver) binding::raise_error(PyExc_RuntimeError, "Event loop is closed");
        HostRef object = binding::check(subtype->tp_alloc(subtype, 0));
        StreamObject* stream = as_stream(object.get());
        auto* engine = ::new (static_cast<void*>(stream->storage)) StreamEngine();
        const std::uint64_t id = core.streams.add(fd, HostRef::borrow(transport), (mode & stream_mode::kSocket) != 0);
        try {
            engine->state = std::make_shared<StreamState>(fd, static_cast<std::uint8_t>(mode), id, core.sender);
        } catch (...) {
            HostRef dropped = core.streams.take(id);
            throw;
        }
        return object.release();
    });
}

void stream_dealloc(PyObject* self) noexcept {
    HostRef in_flight = binding::fetch_exception();
    PyTypeObject* type = Py_TYPE(self);
    StreamObject* stream = as_stream(self);
    stream->engine().~StreamEngine();
    type->tp_free(self);
    Py_DECREF(type);
    binding::restore_exception(std::move(in_flight));
}

/// The runtime of the stream's loop; raises once the loop has closed. The
/// stream holds no reference to the runtime itself, so a closed loop's workers
/// and descriptors go at once, whatever transports outlive it.
rt::Handle loop_runtime(PyObject* loop) {
    if (!PyObject_TypeCheck(loop, loop_core_type)) binding::raise_error(PyExc_TypeError, "loop must be a cadrelio loop");
    AioCore& core = as_core(loop)->core();
    if (core.closed || !core.runtime) binding::raise_error(PyExc_RuntimeError, "Event loop is closed");
    return core.runtime->handle();
}

/// Spawns a writer when something is queued after start() and none runs:
/// most streams write everything at once and never need one, and a writer
/// leaves once it has sent everything, so an idle stream costs one task, not
/// two. The loop comes from the caller each time, so the stream holds no
/// reference to it.
void ensure_writer(StreamEngine& engine, const rt::Handle& runtime) {
    if (!engine.started || !(engine.state->mode & stream_mode::kWrite)) return;
    StreamState& state = *engine.state;
    {
        std::lock_guard lock(state.mutex);
        if (state.writer_running || (state.queued == 0 && !state.sending_file())) return;
        state.writer_running = true;
    }
    try {
        engine.writer = runtime.spawn(write_stream(StreamHold(engine.state)));
    } catch (...) {
        std::lock_guard lock(state.mutex);
        state.writer_running = false;
        throw;
    }
}

/// start(loop): spawns the reader (or hang-up watcher) on the loop's runtime,
/// and the writer if something is queued already.
PyObject* start_method(PyObject* self, PyObject* loop) noexcept {
    return stream_call(self, [loop](StreamEngine& engine) {
        rt::Handle runtime = loop_runtime(loop);
        if (std::exchange(engine.started, true)) return none();
        const int mode = engine.state->mode;
        if (mode & stream_mode::kRead) engine.reader = runtime.spawn(read_stream(StreamHold(engine.state)));
        if (mode & stream_mode::kWatchHangup) engine.reader = runtime.spawn(watch_hangup(StreamHold(engine.state)));
        ensure_writer(engine, runtime);
        return none();
    });
}

/// start_writer(loop): spawns the writer if the stream has started, something
/// is queued and no writer runs yet; the transport calls it whenever write()
/// or send_file() left bytes queued.
PyObject* start_writer_method(PyObject* self, PyObject* loop) noexcept {
    return stream_call(self, [loop](StreamEngine& engine) {
        if (engine.started) ensure_writer(engine, loop_runtime(loop));
        return none();
    });
}

PyObject* want_read_method(PyObject* self, PyObject*) noexcept {
    return stream_call(self, [](StreamEngine& engine) {
        engine.state->read_gate.open(engine.state->mutex);
        return none();
    });
}

PyObject* lend_method(PyObject* self, PyObject* buffer) noexcept {
    return stream_call(self, [buffer](StreamEngine& engine) {
        if (engine.lent) binding::raise_error(PyExc_RuntimeError, "a buffer is already lent");
        auto view = std::make_unique<Py_buffer>();
        binding::check_status(PyObject_GetBuffer(buffer, view.get(), PyBUF_WRITABLE));
        engine.lent = std::move(view);
        if (engine.lent->len == 0) {
            engine.release_lent();
            binding::raise_error(PyExc_RuntimeError, "get_buffer() returned an empty buffer");
        }
        std::lock_guard lock(engine.state->mutex);
        engine.state->target = static_cast<char*>(engine.lent->buf);
        engine.state->target_size = static_cast<std::size_t>(engine.lent->len);
        engine.state->target_filled = 0;
        return none();
    });
}

/// poll(take) -> (data, filled, eof, read_error, queued, write_error, hangup, file)
/// where `file` is (sent, errno) once a send_file job has ended, else None.
/// With `take` false the read side is left as it is (reading is paused).
PyObject* poll_method(PyObject* self, PyObject* take_object) noexcept {
    return stream_call(self, [take_object](StreamEngine& engine) {
        const bool take = binding::to_bool(take_object, "take");
        StreamState& state = *engine.state;
        ReadBatch data;
        std::size_t filled = 0;
        bool eof = false;
        int read_error = 0;
        std::size_t queued;
        int write_error;
        bool hangup;
        bool return_lent = false;
        std::optional<std::pair<std::size_t, int>> file_result;
        {
            std::lock_guard lock(state.mutex);
            state.notice_posted = false;
            state.write_news = false;
            if (take) {
                data.swap(state.inbound);
                filled = std::exchange(state.target_filled, 0);
                eof = std::exchange(state.read_eof, false);
                read_error = std::exchange(state.read_error, 0);
                // The reader waits at its gate after a turn into the lent buffer.
                return_lent = state.target != nullptr && (filled > 0 || eof || read_error != 0);
                if (return_lent) state.target = nullptr;
            }
            queued = state.queued;
            write_error = std::exchange(state.write_error, 0);
            hangup = std::exchange(state.hangup, false);
            if (state.file && state.file->finished) {
                file_result.emplace(state.file->sent, state.file->error);
                state.file.reset();
            }
        }
        if (return_lent) engine.release_lent();
        HostRef bytes = data.empty() ? none() : binding::check(PyBytes_FromStringAndSize(data.data(), Py_ssize_t(data.size())));
        give_batch_storage(data);
        HostRef file = file_result ? binding::check(Py_BuildValue("(ni)", Py_ssize_t(file_result->first),
                                                                 file_result->second))
                                   : none();
        return binding::check(Py_BuildValue("(NnNinNNN)", bytes.release(), Py_ssize_t(filled), PyBool_FromLong(eof),
                                            read_error, Py_ssize_t(queued), PyLong_FromLong(write_error),
                                            PyBool_FromLong(hangup), file.release()));
    });
}

/// The common case of a notice: bytes read into `inbound` and nothing else
/// (no end of input, error, lent buffer or write-side news). Taken, or an
/// empty batch when the notice needs poll().
ReadBatch take_only_data(StreamState& state) noexcept {
    ReadBatch data;
    std::lock_guard lock(state.mutex);
    const bool only_data = !state.inbound.empty() && !state.read_eof && state.read_error == 0 &&
                           state.target == nullptr && !state.hangup && state.write_error == 0 && !state.write_news &&
                           !(state.file && state.file->finished);
    if (!only_data) return data;
    state.notice_posted = false;
    data.swap(state.inbound);
    return data;
}

/// The buffers of the objects a writelines sends, held until the call returns.
class HeldBuffers {
public:
    explicit HeldBuffers(std::size_t expected) {
        views_.reserve(expected);
        pieces_.reserve(expected);
    }
    HeldBuffers(const HeldBuffers&) = delete;
    HeldBuffers& operator=(const HeldBuffers&) = delete;
    ~HeldBuffers() {
        for (Py_buffer& view : views_) PyBuffer_Release(&view);
    }

    /// Raises the host's TypeError for an object that is not bytes-like.
    void hold(PyObject* data) {
        views_.emplace_back();
        if (PyObject_GetBuffer(data, &views_.back(), PyBUF_SIMPLE) < 0) {
            views_.pop_back();
            binding::throw_host_error();
        }
        const Py_buffer& view = views_.back();
        if (view.len > 0) pieces_.push_back(iovec{view.buf, static_cast<std::size_t>(view.len)});
        total_ += static_cast<std::size_t>(view.len);
    }

    iovec* pieces() noexcept { return pieces_.data(); }
    std::size_t count() const noexcept { return pieces_.size(); }
    std::size_t total() const noexcept { return total_; }

private:
    std::vector<Py_buffer> views_;
    std::vector<iovec> pieces_;
    std::size_t total_ = 0;
};

/// Writes what the descriptor takes now when nothing is queued, queues the
/// rest as one chunk and lets the writer at it; returns the bytes queued.
/// `pieces` are non-empty, `total` bytes in all.
HostRef send_or_queue(StreamState& state, iovec* pieces, std::size_t count, std::size_t total) {
    if (total == 0) {
        std::lock_guard lock(state.mutex);
        return binding::check(PyLong_FromSize_t(state.queued));
    }
    bool direct;
    {
        std::lock_guard lock(state.mutex);
        direct = state.queued == 0 && !state.sending_file();
    }
    std::size_t written = 0;
    if (direct) {
        const long result = write_now(state, pieces, static_cast<int>(std::min<std::size_t>(count, INT_MAX)));
        if (result < 0) binding::raise_os_error(int(-result));
        written = static_cast<std::size_t>(result);
    }
    const bool rest = written < total;
    std::size_t queued;
    {
        std::lock_guard lock(state.mutex);
        if (rest) state.queued += state.outbound.push(pieces, count, written);
        queued = state.queued;
    }
    if (rest) state.write_gate.open(state.mutex);
    return binding::check(PyLong_FromSize_t(queued));
}

/// write(data) -> bytes queued after it. Writes at once when nothing is queued.
PyObject* write_method(PyObject* self, PyObject* data) noexcept {
    return stream_call(self, [data](StreamEngine& engine) {
        // One buffer, held on the stack: no allocation per write.
        Py_buffer view;
        binding::check_status(PyObject_GetBuffer(data, &view, PyBUF_SIMPLE));
        struct Release {
            Py_buffer* view;
            ~Release() { PyBuffer_Release(view); }
        } release{&view};
        iovec piece{view.buf, static_cast<std::size_t>(view.len)};
        return send_or_queue(*engine.state, &piece, piece.iov_len > 0 ? 1 : 0, piece.iov_len);
    });
}

/// writelines(buffers) -> bytes queued after them: as write() of their
/// concatenation, with one gathering write and no joined copy. Nothing is
/// written unless every item is bytes-like.
PyObject* writelines_method(PyObject* self, PyObject* iterable) noexcept {
    return stream_call(self, [iterable](StreamEngine& engine) {
        // A tuple: the items stay put while their buffers are taken.
        HostRef items = binding::check(PySequence_Tuple(iterable));
        const Py_ssize_t count = PyTuple_GET_SIZE(items.get());
        HeldBuffers buffers(static_cast<std::size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) buffers.hold(PyTuple_GET_ITEM(items.get(), i));
        return send_or_queue(*engine.state, buffers.pieces(), buffers.count(), buffers.total());
    });
}

PyObject* send_file_method(PyObject* self, PyObject* args) noexcept {
    return stream_call(self, [args](StreamEngine& engine) {
        int fd;
        long long offset;
        Py_ssize_t count;
        if (!PyArg_ParseTuple(args, "iLn:send_file", &fd, &offset, &count)) binding::throw_host_error();
        if (offset < 0 || count <= 0) binding::raise_error(PyExc_ValueError, "offset and count must be positive");
        StreamState& state = *engine.state;
        {
            std::lock_guard lock(state.mutex);
            if (state.file) binding::raise_error(PyExc_RuntimeError, "a file is being sent");
        }
        // The job owns the duplicate from its making, so no failure leaks it.
        auto job = std::make_unique<FileJob>(-1, offset, std::size_t(count));
        job->source = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (job->source < 0) binding::raise_os_error(errno);
        {
            std::lock_guard lock(state.mutex);
            state.file = std::move(job);
        }
        state.write_gate.open(state.mutex);
        return none();
    });
}

PyObject* set_low_water_method(PyObject* self, PyObject* value) noexcept {
    return stream_call(self, [value](StreamEngine& engine) {
        const Py_ssize_t low = PyNumber_AsSsize_t(value, PyExc_OverflowError);
        if (low == -1 && PyErr_Occurred()) binding::throw_host_error();
        std::lock_guard lock(engine.state->mutex);
        engine.state->low_water = low < 0 ? 0 : std::size_t(low);
        return none();
    });
}

PyObject* write_buffer_size_method(PyObject* self, PyObject*) noexcept {
    return stream_call(self, [](StreamEngine& engine) {
        std::lock_guard lock(engine.state->mutex);
        return binding::check(PyLong_FromSize_t(engine.state->queued));
    });
}

/// The descriptor: a transport of an accepted connection keeps no number object of its own.
/// Also once closed: the host's file is closed after the release.
PyObject* fileno_method(PyObject* self, PyObject*) noexcept {
    return PyLong_FromLong(as_stream(self)->engine().state->fd);
}

/// Stops the workers (nothing queued is sent any more) and lets go of the descriptor; the
/// core calls the transport's _stream_released() once no worker holds it.
PyObject* close_method(PyObject* self, PyObject*) noexcept {
    return binding::call_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        StreamEngine& engine = as_stream(self)->engine();
        if (std::exchange(engine.closed, true)) return none().release();
        engine.reader.abort();
        engine.writer.abort();
        StreamState& state = *engine.state;
        bool released;
        {
            std::lock_guard lock(state.mutex);
            // The queue stays: a writer may be writing from it right now. It
            // sends nothing more and the queue goes with the state.
            state.closing = true;
            released = state.holders == 0;
        }
        // Refused once the loop has closed; its core has let go of the transport then.
        if (released) (void)state.sender.send(StreamReleased{state.id});
        return none().release();
    });
}

/// wait_released(loop, seconds): after close(), waits (detached) until no worker holds the
/// descriptor, at most `seconds`; True when none does. Aborted workers let go at their
/// next suspension and never need the loop thread, so the wait is short; the aborts this
/// thread deferred for its next round in the event wait are handed to the workers first.
PyObject* wait_released_method(PyObject* self, PyObject* args) noexcept {
    return binding::call_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* loop = nullptr;
        double seconds = 0.0;
        if (!PyArg_ParseTuple(args, "O!d:wait_released", loop_core_type, &loop, &seconds))
            binding::throw_host_error();
        StreamEngine& engine = as_stream(self)->engine();
        if (!engine.closed) binding::raise_error(PyExc_RuntimeError, "the stream is not closed");
        if (AioCore& core = as_core(loop)->core(); core.runtime) core.runtime->idle_reactor().hand_deferred_to_workers();
        StreamState& state = *engine.state;
        bool released;
        {
            binding::Detached detached;
            std::unique_lock lock(state.mutex);
            if (!state.let_go && state.holders != 0) state.let_go = std::make_unique<std::condition_variable_any>();
            released = state.holders == 0 || state.let_go->wait_for(lock, std::chrono::duration<double>(std::max(seconds, 0.0)),
                                             [&] { return state.holders == 0; });
        }
        return HostRef::borrow(released ? Py_True : Py_False).release();
    });
}

/// forget(loop): once released (wait_released), the loop's core lets go of the transport at
/// once; the StreamReleased notice still on its way then finds nothing to call. A loop that
/// stops right after connection_lost so keeps no closed transport alive.
PyObject* forget_method(PyObject* self, PyObject* loop) noexcept {
    return binding::call_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!PyObject_TypeCheck(loop, loop_core_type)) binding::raise_error(PyExc_TypeError, "loop must be a cadrelio loop");
        StreamEngine& engine = as_stream(self)->engine();
        {
            std::lock_guard lock(engine.state->mutex);
            if (!engine.closed || engine.state->holders != 0) binding::raise_error(PyExc_RuntimeError, "the stream is still in use");
        }
        // Dropped after the table is consistent again.
        HostRef transport = as_core(loop)->core().streams.take(engine.state->id);
        return none().release();
    });
}

/// Loop thread, once released: gives back a buffer still lent.
PyObject* return_buffer_method(PyObject* self, PyObject*) noexcept {
    return binding::call_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        StreamEngine& engine = as_stream(self)->engine();
        {
            std::lock_guard lock(engine.state->mutex);
            if (engine.state->holders != 0) binding::raise_error(PyExc_RuntimeError, "the stream is still in use");
            engine.state->target = nullptr;
        }
        engine.release_lent();
        return none().release();
    });
}

PyMethodDef stream_methods[] = {
    {"start", start_method, METH_O, "start($self, loop)\n--\n\nStarts the worker tasks on the loop's runtime."},
    {"start_writer", start_writer_method, METH_O,
     "start_writer($self, loop)\n--\n\nSpawns the writer once something is queued after start()."},
    {"want_read", want_read_method, METH_NOARGS, "want_read($self)\n--\n\nLets the reader take another batch."},
    {"lend", lend_method, METH_O, "lend($self, buffer)\n--\n\nThe reader's next batch goes into `buffer`."},
    {"poll", poll_method, METH_O,
     "poll($self, take)\n--\n\n(data, filled, eof, read_error, queued, write_error, hangup, file)."},
    {"send_file", send_file_method, METH_VARARGS,
     "send_file($self, fd, offset, count)\n--\n\nSends a file range from a duplicate of `fd` once the queue is empty."},
    {"write", write_method, METH_O, "write($self, data)\n--\n\nWrites or queues `data`; returns bytes queued."},
    {"writelines", writelines_method, METH_O,
     "writelines($self, buffers)\n--\n\nWrites or queues the buffers, in one gathering write; returns bytes queued."},
    {"set_low_water", set_low_water_method, METH_O, "set_low_water($self, size)\n--\n\n"},
    {"write_buffer_size", write_buffer_size_method, METH_NOARGS, "write_buffer_size($self)\n--\n\n"},
    {"fileno", fileno_method, METH_NOARGS, "fileno($self)\n--\n\nThe stream's descriptor."},
    {"wait_released", wait_released_method, METH_VARARGS,
     "wait_released($self, loop, seconds)\n--\n\nAfter close(): True once no worker holds the descriptor."},
    {"forget", forget_method, METH_O,
     "forget($self, loop)\n--\n\nOnce released: the loop's core lets go of the transport."},
    {"close", close_method, METH_NOARGS, "close($self)\n--\n\nDrops queued data and lets go of the descriptor."},
    {"return_buffer", return_buffer_method, METH_NOARGS, "return_buffer($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot stream_slots[] = {
    {Py_tp_doc, const_cast<char*>("The native byte engine of a cadrelio stream transport.")},
    {Py_tp_new, reinterpret_cast<void*>(stream_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_methods, stream_methods},
    {0, nullptr},
};

PyType_Spec stream_spec = {
    "cadrelio._native.Stream",
    static_cast<int>(sizeof(StreamObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    stream_slots,
};

}  // namespace

bool is_stream(PyObject* object) noexcept { return Py_TYPE(object)->tp_new == stream_new; }

bool is_open_reading_stream(PyObject* object) noexcept {
    if (!is_stream(object)) return false;
    const StreamEngine& engine = as_stream(object)->engine();
    return !engine.closed && (engine.state->mode & stream_mode::kRead) != 0;
}

HostRef take_only_read_bytes(PyObject* stream) {
    ReadBatch data = take_only_data(*as_stream(stream)->engine().state);
    if (data.empty()) return {};
    HostRef bytes = binding::check(PyBytes_FromStringAndSize(data.data(), Py_ssize_t(data.size())));
    give_batch_storage(data);
    return bytes;
}

void let_read_on(PyObject* stream) noexcept {
    StreamState& state = *as_stream(stream)->engine().state;
    state.read_gate.open(state.mutex);
}

PyObject* stream_write(PyObject* stream, PyObject* data) noexcept { return write_method(stream, data); }

PyObject* create_stream_type(PyTypeObject* core_type) noexcept {
    loop_core_type = core_type;
    return PyType_FromSpec(&stream_spec);
}

}  // namespace cadrel::aio
