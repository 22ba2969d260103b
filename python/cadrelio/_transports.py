"""Stream transports of cadrelio loops: TCP and Unix sockets, pipes, TLS.

The bytes move natively (``_native.Stream``): a worker reads until the
descriptor would block and hands the batch over in one message, or reads
straight into a buffered protocol's buffer; ``write()`` writes at once when
nothing is queued and leaves the rest to a worker. This module is the loop
thread's side: it calls the protocol as asyncio's transports do, keeps flow
control, and closes the host's socket or pipe only once the stream's workers
have let go of its descriptor (``_stream_released``).
"""

import contextvars
import errno
import io
import os
import socket
import stat
import sys
import types
import warnings
from asyncio import constants, exceptions, futures, protocols, sslproto, transports, trsock
from asyncio.log import logger

from . import _native

__all__ = ("AcceptedSocket", "TransportMixin", "is_tcp")

# Modes of _native.Stream.
_READ, _WRITE, _SOCKET, _WATCH_HANGUP = 1, 2, 4, 8

# The longest connection_lost waits for the workers to let go of the descriptor.
_LET_GO_WAIT = 0.25

# Extra info of a socket transport made only when asked for.
_SOCKET_EXTRAS = frozenset(("socket", "sockname", "peername"))

# The extra info of a socket transport made without any, until its socket's is asked for.
_NO_EXTRA = types.MappingProxyType({})
# asyncio's default write-buffer limits, made once: computing the low mark
# makes a new int for every transport, which idle connections then keep.
_DEFAULT_HIGH_WATER = 64 * 1024
_DEFAULT_LOW_WATER = _DEFAULT_HIGH_WATER // 4

# How asyncio's socket transports refuse a write of anything not bytes-like.
_NOT_BYTES_LIKE = ("data argument must be a bytes, bytearray, or memoryview object, not {!r}"
                   if sys.version_info >= (3, 14) else "data argument must be a bytes-like object, not {!r}")

# Servers learn which transport comes and goes from 3.13 on.
_SERVER_TRACKS_TRANSPORTS = sys.version_info >= (3, 13)


class AcceptedSocket:
    """A connection a server accepted, as a bare descriptor, and the listening socket
    (whose family, type and protocol it shares) until its transport takes it."""

    __slots__ = ("_fd", "listener")

    def __init__(self, fd, listener):
        self._fd = fd
        self.listener = listener

    def fileno(self):
        return self._fd

    def detach(self):
        """Hands the descriptor over: closing this no longer closes it."""
        fd, self._fd = self._fd, -1
        return fd

    def close(self):
        fd = self.detach()
        if fd >= 0:
            os.close(fd)


# A transport's `_file` for a bare descriptor (an accepted connection) once its stream
# exists: the stream keeps the number, so an idle connection holds no int object for it.
_BARE = object()


def _close(file, stream=None):
    """Closes a socket or pipe object, or a bare descriptor (an int, or `stream`'s)."""
    if file is _BARE:
        os.close(stream.fileno())
    elif isinstance(file, int):
        os.close(file)
    else:
        file.close()


class _SendfileWaiters:
    """What a sendfile in progress waits for: the queue to drain, then its result."""

    __slots__ = ("drained", "sent")

    def __init__(self):
        self.drained = None
        self.sent = None


def is_tcp(sock):
    return sock.family in (socket.AF_INET, getattr(socket, "AF_INET6", None)) and sock.type == socket.SOCK_STREAM


def _server_call(method, transport):
    if _SERVER_TRACKS_TRANSPORTS:
        method(transport)
    else:
        method()


def _resolve(waiter, result):
    if waiter is not None and not waiter.done():
        waiter.set_result(result)


class _StreamTransport(transports._FlowControlMixin, transports.Transport):
    """What socket and pipe transports share: reading, writing, closing."""

    # Slots: a server holds one transport per open connection. A __dict__ is made only
    # when something else is set on a transport (tests and tools patch its methods).
    __slots__ = ("_file", "_protocol", "_buffered", "_server", "_closing", "_paused", "_eof",
                 "_write_shut", "_read_wanted", "_read_ended", "_lent", "_conn_lost", "_lost_exc", "_ended",
                 "_released", "_sendfile", "_stream", "_context", "__dict__", "__weakref__")

    _kind = "stream"
    _can_write_eof = False

    def __init__(self, loop, file, fileno, protocol, waiter, extra, server, mode):
        super().__init__(extra, loop)
        self._file = file  # the host's socket or pipe object, or a bare descriptor
        self._protocol = None
        self._buffered = False
        self.set_protocol(protocol)
        self._server = server
        self._closing = False      # close() or an end began: no more reading
        self._paused = False       # pause_reading() is in force
        self._eof = False          # write_eof() was called
        self._write_shut = False   # the socket's writing side was shut down
        self._read_wanted = False  # the reader may take a batch not yet delivered
        self._read_ended = False   # the reader met the end of input or an error
        self._lent = None          # (protocol, buffer) the reader reads into
        self._conn_lost = 0
        self._lost_exc = None      # connection_lost's argument, once the end began
        self._ended = False        # the stream was closed; connection_lost follows
        self._released = False
        # The context the workers' news is handled in, as asyncio's reader callback gets
        # one copied when it is added: here and at each resume_reading().
        self._context = contextvars.copy_context()
        self._sendfile = None      # a sendfile's waiters, while one is in progress
        self._stream = _native.Stream(loop, fileno, self, mode)
        if isinstance(file, int):
            self._file = _BARE
        self._stream.set_low_water(self._low_water)
        if server is not None:
            _server_call(server._attach, self)
        loop.call_soon(self._protocol.connection_made, self)
        loop.call_soon(self._start)
        if waiter is not None:
            loop.call_soon(futures._set_result_unless_cancelled, waiter, None)

    def __repr__(self):
        state = "closed" if self._file is None else ("closing" if self._closing else "open")
        stream = getattr(self, "_stream", None)
        return f"<{self.__class__.__name__} fd={stream.fileno() if stream else -1} {state}>"

    def __del__(self, _warn=warnings.warn, _close=_close):
        # Reached only once no worker holds the descriptor: the loop keeps a
        # live stream's transport. A transport that was closed but whose loop
        # closed before its workers let go still owns its file.
        if getattr(self, "_file", None) is not None:
            if getattr(self, "_protocol", None) is not None:  # connection_lost never came
                _warn(f"unclosed transport {self!r}", ResourceWarning, source=self)
            _close(self._file, getattr(self, "_stream", None))
            self._file = None

    # ---- protocol ---------------------------------------------------------

    def set_protocol(self, protocol):
        self._buffered = isinstance(protocol, protocols.BufferedProtocol)
        self._protocol = protocol

    def get_protocol(self):
        return self._protocol

    # ---- reading ------------------------------------------------------------

    def is_reading(self):
        return self._reading()

    def _reading(self):
        """Whether the protocol takes input now (what is_reading() answers where it exists)."""
        return self._stream_reads and not self._paused and not self._closing

    def pause_reading(self):
        if not self._reading():
            return
        self._paused = True
        if self._loop.get_debug():
            logger.debug("%r pauses reading", self)

    def resume_reading(self):
        if self._closing or not self._paused:
            return
        self._paused = False
        self._context = contextvars.copy_context()
        # What a worker read meanwhile was kept: deliver it, then read on.
        self._loop.call_soon(self._stream_ready)
        if self._loop.get_debug():
            logger.debug("%r resumes reading", self)

    def _start(self):
        if self._ended:
            return
        # Closed in connection_made() with bytes queued: the workers still flush them
        # (and the end follows the drain), they only read nothing.
        if not self._closing:
            self._want_read()
        self._stream.start(self._loop)

    def _want_read(self):
        """Lets the reader take its next batch, into the protocol's buffer if it has one."""
        if self._buffered and self._stream_reads and self._lent is None:
            try:
                buf = self._protocol.get_buffer(-1)
                self._stream.lend(buf)
            except (SystemExit, KeyboardInterrupt):
                raise
            except BaseException as exc:
                self._fatal_error(exc, "Fatal error: protocol.get_buffer() call failed.")
                return
            self._lent = (self._protocol, buf)
        self._read_wanted = True
        self._stream.want_read()

    # Whether the stream reads at all (a write pipe's does not): a class constant, as
    # _want_read asks it for every batch.
    _stream_reads = True

    def _stream_ready(self):
        """The workers have news: data, end of file, write progress or an error."""
        if self._ended:
            return  # news that crossed close(): the workers are stopping
        # Bytes read and nothing else, for a plain protocol of a reading transport, come
        # here only for a class bound before a reload: the loop's core hands them over
        # itself (bind_transport_class below). poll() serves them too.
        take = self._reading() or self._closing
        data, filled, eof, read_error, queued, write_error, hangup, file = self._stream.poll(take)
        if file is not None:
            self._file_sent(*file)
        if write_error:
            self._write_failed(OSError(write_error, os.strerror(write_error)))
        elif hangup:
            self._on_hangup(queued)
        elif not queued:
            self._on_drained()
        else:
            self._maybe_resume_protocol()
        if take and (data is not None or filled or eof or read_error):
            self._read_wanted = False
            self._read_ended = bool(eof or read_error)
        lent = self._lent
        if take and (filled or eof or read_error):
            self._lent = None  # the stream gave the buffer back
        if not take or self._closing:
            return  # after close() nothing more reaches the protocol
        try:
            if data is not None:
                self._deliver(data)
            if filled and lent[0] is self._protocol:
                self._protocol.buffer_updated(filled)
            elif filled:
                # Read into the buffer of the protocol this one replaced.
                self._deliver(bytes(memoryview(lent[1]).cast("B")[:filled]))
        except (SystemExit, KeyboardInterrupt):
            raise
        except BaseException as exc:
            method = "buffer_updated()" if filled else "data_received()"
            self._fatal_error(exc, f"Fatal error: protocol.{method} call failed.")
            return
        if self._closing:
            return  # the protocol closed the transport: the end of input is not its news
        if read_error:
            self._fatal_error(OSError(read_error, os.strerror(read_error)),
                              f"Fatal read error on {self._kind} transport")
        elif eof:
            self._on_eof()
        elif self._reading() and not self._read_wanted and not self._read_ended:
            self._want_read()

    def _read_delivered(self):
        """The protocol took a batch the core handed over, and paused or closed the transport
        or became a buffered one: read on, or not, as the transport's state now says."""
        if self._paused or self._closing:
            self._read_wanted = False
        elif self._buffered:
            self._want_read()  # the protocol was replaced by a buffered one: lend its buffer
        else:
            self._stream.want_read()

    def _data_received_failed(self, exc):
        """data_received() of a batch the core handed over raised `exc`."""
        self._read_wanted = False
        self._fatal_error(exc, "Fatal error: protocol.data_received() call failed.")

    def _file_sent(self, sent, error):
        waiter = self._sendfile.sent if self._sendfile is not None else None
        if waiter is None or waiter.done():
            return  # the sendfile was cancelled
        waiter.set_result((sent, error))

    def _deliver(self, data):
        if not self._buffered:
            self._protocol.data_received(data)
            return
        # Bytes read before the protocol became a buffered one: copied into its buffers.
        view = memoryview(data)
        while view:
            buf = memoryview(self._protocol.get_buffer(len(view))).cast("B")
            if not buf:
                raise RuntimeError("get_buffer() returned an empty buffer")
            count = min(len(buf), len(view))
            buf[:count] = view[:count]
            view = view[count:]
            self._protocol.buffer_updated(count)

    def _on_eof(self):
        raise NotImplementedError

    def _on_hangup(self, queued):
        pass

    # ---- writing ------------------------------------------------------------

    def get_write_buffer_size(self):
        return 0 if self._ended else self._stream.write_buffer_size()

    _queued = get_write_buffer_size  # the transport's own use: a reading pipe hides the public name

    def set_write_buffer_limits(self, high=None, low=None):
        super().set_write_buffer_limits(high, low)
        if not self._ended:
            self._stream.set_low_water(self._low_water)

    def _set_write_buffer_limits(self, high=None, low=None):
        if high is None and low is None:
            self._high_water, self._low_water = _DEFAULT_HIGH_WATER, _DEFAULT_LOW_WATER
        else:
            super()._set_write_buffer_limits(high, low)

    def _write(self, data):
        """write() with every rule; the native write() (bind_transport_class below) takes
        the common case itself and calls this for the rest."""
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise TypeError(_NOT_BYTES_LIKE.format(type(data).__name__))
        # The checks that can refuse or drop the write are called only when their state
        # says they may: a write is called per message, and each call is a Python frame.
        if self._eof or self._sendfile is not None:
            self._check_writable("write")
        if not data or (self._conn_lost or self._closing) and self._drops_writes():
            return
        try:
            queued = self._stream.write(data)
        except (SystemExit, KeyboardInterrupt):
            raise
        except BaseException as exc:
            self._write_failed(exc)
            return
        if queued:
            self._after_write(queued)

    def writelines(self, list_of_data):
        """Writes the buffers in order, as write() of their concatenation would, with
        one gathering write and no joined copy."""
        if self._eof or self._sendfile is not None:
            self._check_writable("writelines")
        if (self._conn_lost or self._closing) and self._drops_writes():
            return
        try:
            queued = self._stream.writelines(list_of_data)  # TypeError: nothing was written
        except OSError as exc:
            self._write_failed(exc)
            return
        if queued:
            self._after_write(queued)

    def _check_writable(self, method):
        if self._eof:
            raise RuntimeError(f"Cannot call {method}() after write_eof()")
        if self._sendfile is not None:
            raise RuntimeError(f"unable to {method}; sendfile is in progress")

    def _drops_writes(self):
        """After the connection was lost, writes are dropped and counted (and, past a
        threshold, logged) as asyncio's transports do. Asked only once the connection was
        lost or the transport is closing (when _refuses_writes may say so)."""
        if not (self._conn_lost or self._refuses_writes()):
            return False
        if self._conn_lost >= constants.LOG_THRESHOLD_FOR_CONNLOST_WRITES:
            logger.warning(self._lost_write_message)
        self._conn_lost += 1
        return True

    def _after_write(self, queued):
        """Bytes stayed queued: the writer flushes them, and the protocol may have to pause."""
        self._stream.start_writer(self._loop)  # the first time bytes stay queued
        if queued > self._high_water:
            self._maybe_pause_protocol()

    _lost_write_message = "socket.send() raised exception."

    def _refuses_writes(self):
        """Whether writes are dropped although the connection is not lost; only ever
        while closing (write() asks only then)."""
        return False

    def _write_failed(self, exc):
        if self._ended:
            return
        self._fatal_error(exc, f"Fatal write error on {self._kind} transport")

    def _on_drained(self):
        self._maybe_resume_protocol()
        if self._queued():
            return  # resume_writing() queued more: its own drain comes later
        if self._sendfile is not None:
            _resolve(self._sendfile.drained, None)
        if self._closing:
            self._end(self._lost_exc)
        elif self._eof and not self._write_shut:
            self._write_shut = True
            self._shut_down_writing()

    def _shut_down_writing(self):
        pass

    def can_write_eof(self):
        return self._can_write_eof

    # ---- closing --------------------------------------------------------------

    def close(self):
        if self._closing:
            return
        # The workers may have sent the queue before their news of it came: a protocol
        # paused meanwhile is resumed first, as a loop that sends on its own thread would
        # have resumed it already, and may write more (an SSL layer's close_notify).
        if self._protocol_paused:
            self._maybe_resume_protocol()
            if self._closing:
                return  # resume_writing() closed it
        self._closing = True
        if not self._queued():
            self._end(None)
        # Otherwise the end comes when the queue drains (_on_drained).

    def abort(self):
        self._force_close(None)

    def _is_quiet_error(self, exc):
        """Errors that end the connection without a report (debug log only)."""
        return isinstance(exc, OSError)

    def _fatal_error(self, exc, message="Fatal error on transport"):
        if self._is_quiet_error(exc):
            if self._loop.get_debug():
                logger.debug("%r: %s", self, message, exc_info=True)
        else:
            self._loop.call_exception_handler({
                "message": message,
                "exception": exc,
                "transport": self,
                "protocol": self._protocol,
            })
        self._force_close(exc)

    def _force_close(self, exc):
        if self._ended:
            return
        self._closing = True
        self._end(exc)

    def _end(self, exc):
        """Stops the workers; connection_lost follows in the next pass, as asyncio's does."""
        if self._ended:
            return
        # As asyncio's transports do, ending on a closed loop raises; the
        # socket then goes with the transport (its workers went with the loop).
        self._loop._check_closed()
        self._conn_lost += 1
        self._lost_exc = exc
        self._ended = True
        self._stream.close()
        if self._sendfile is not None:
            for waiter in (self._sendfile.drained, self._sendfile.sent):
                if waiter is not None and not waiter.done():
                    waiter.set_exception(ConnectionError("Connection is closed"))
        self._loop.call_soon(self._call_connection_lost, exc)

    def _stream_released(self):
        """No worker can touch the descriptor any more: it may be closed."""
        self._released = True
        self._stream.return_buffer()
        if self._protocol is None:
            self._close_file()  # connection_lost came first

    def _call_connection_lost(self, exc):
        # The protocol learns of the end in the pass after it began, and the
        # descriptor is closed right after, as asyncio does, but never while a
        # worker may use it. Aborted workers let go within moments (they never
        # wait for this thread); should they not, the descriptor closes when
        # they do and the peer is told of the end now.
        loop = self._loop
        try:
            if self._protocol is not None:
                self._protocol.connection_lost(exc)
        finally:
            self._protocol = None
            self._lost_exc = None  # its traceback may reach frames that hold this transport
            self._lent = None  # the stream keeps the buffer itself until the release
            self._loop = None
            if not self._released and self._stream.wait_released(loop, _LET_GO_WAIT):
                # Released now: nothing of this transport need wait for the notice.
                self._released = True
                self._stream.return_buffer()
                self._stream.forget(loop)
            if self._released:
                self._close_file()
            else:
                self._end_connection()
            server = self._server
            if server is not None:
                _server_call(server._detach, self)
                self._server = None

    def _end_connection(self):
        """Lets the peer see the end while the workers still hold the descriptor."""

    def _close_file(self):
        if self._file is not None:
            _close(self._file, self._stream)
            self._file = None


# The notice of bytes read, write() and is_closing() come per message: the loop's core
# makes them without Python frames in the common case, reading the slots above.
_StreamTransport.write, _StreamTransport.is_closing = _native.bind_transport_class(_StreamTransport)


class _SocketTransport(_StreamTransport):
    """A connected TCP or Unix stream socket."""

    _kind = "socket"
    _can_write_eof = True
    _start_tls_compatible = True
    _sendfile_compatible = constants._SendfileMode.TRY_NATIVE

    # _listener: for an accepted connection, the listening socket, whose kind it has.
    __slots__ = ("_sock", "_listener")

    def __init__(self, loop, sock, protocol, waiter=None, extra=None, server=None):
        # The caller's dict is the transport's, as with asyncio's transports, and without
        # one the transport starts with a shared empty one: an idle connection holds no dict.
        if extra is None:
            extra = _NO_EXTRA
        if isinstance(sock, AcceptedSocket):
            # The socket object is made when first needed: most connections never need it.
            self._sock = None
            self._listener = sock.listener
            # From here the transport owns the descriptor, also when this constructor fails.
            self._file = file = fileno = sock.detach()
        else:
            if is_tcp(sock):
                # As asyncio's own stream transports do, sends are not delayed.
                try:
                    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                except OSError:
                    pass
            self._listener = None
            self._sock = file = sock
            fileno = sock.fileno()
        super().__init__(loop, file, fileno, protocol, waiter, extra, server, _READ | _WRITE | _SOCKET)

    def _socket(self):
        """The host's socket object, made from the descriptor on first use; None once closed."""
        sock = self._sock
        if sock is None and self._file is _BARE:
            listener = self._listener
            sock = socket.socket(listener.family, listener.type, listener.proto, fileno=self._stream.fileno())
            sock.setblocking(False)  # as asyncio's own accepted sockets are (the descriptor already is)
            self._sock = self._file = sock
        return sock

    def get_extra_info(self, name, default=None):
        if name in _SOCKET_EXTRAS and name not in self._extra:
            self._add_socket_extras()
        return self._extra.get(name, default)

    def _add_socket_extras(self):
        """The socket's extra info, made when first asked for (or at the close): an idle
        connection holds neither the objects nor paid the system calls."""
        sock = self._socket()
        if sock is None:
            return
        extra = self._extra
        if extra is _NO_EXTRA:
            extra = self._extra = {}
        if "socket" not in extra:
            extra["socket"] = trsock.TransportSocket(sock)
        for key, query in (("sockname", sock.getsockname), ("peername", sock.getpeername)):
            if key not in extra:
                try:
                    extra[key] = query()
                except OSError:
                    extra[key] = None

    def _end_connection(self):
        # Shutting down, unlike closing, leaves the descriptor number in use.
        try:
            self._socket().shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def _close_file(self):
        if self._file is not None:
            self._add_socket_extras()  # what the socket said while open stays known
        super()._close_file()
        self._sock = None

    async def _send_file(self, fileno, offset, count):
        """Sends `count` bytes of `fileno` from `offset` on a worker, after what is queued:
        (bytes sent, the errno that ended the send early or 0)."""
        if self._ended:
            raise ConnectionError("Connection is closed")
        waiters = self._sendfile = _SendfileWaiters()
        try:
            if self.get_write_buffer_size():
                waiters.drained = self._loop.create_future()
                await waiters.drained
            waiters.sent = self._loop.create_future()
            self._stream.send_file(fileno, offset, count)
            self._stream.start_writer(self._loop)
            return await waiters.sent
        finally:
            self._sendfile = None

    def write_eof(self):
        if self._closing or self._eof:
            return
        self._eof = True
        if not self.get_write_buffer_size():
            self._write_shut = True
            self._shut_down_writing()

    def _shut_down_writing(self):
        try:
            self._socket().shutdown(socket.SHUT_WR)
        except OSError as exc:
            self._fatal_error(exc, "Fatal error on socket transport")

    def _on_eof(self):
        if self._loop.get_debug():
            logger.debug("%r received EOF", self)
        try:
            keep_open = self._protocol.eof_received()
        except (SystemExit, KeyboardInterrupt):
            raise
        except BaseException as exc:
            self._fatal_error(exc, "Fatal error: protocol.eof_received() call failed.")
            return
        if not keep_open:
            self.close()


class _Lacking:
    """A method that one kind of pipe transport lacks, as asyncio's has no such attribute:
    looking it up raises AttributeError (so hasattr() says False), instead of a write on
    a reading pipe failing later on the descriptor."""

    def __set_name__(self, owner, name):
        self._name = name

    def __get__(self, instance, owner=None):
        raise AttributeError(f"{(owner or type(instance)).__name__!r} object has no attribute {self._name!r}")


def _not_a_read_transport(self):
    """A writing pipe is no ReadTransport: asyncio's abstract reading methods raise."""
    raise NotImplementedError


class _PipeTransport(_StreamTransport):
    __slots__ = ("_pipe",)

    _kind = "pipe"

    def _close_file(self):
        super()._close_file()
        self._pipe = None


class _ReadPipeTransport(_PipeTransport):
    """The reading end of a pipe, FIFO, socket or character device."""

    __slots__ = ()

    def __init__(self, loop, pipe, protocol, waiter=None, extra=None):
        mode = os.fstat(pipe.fileno()).st_mode
        if not (stat.S_ISFIFO(mode) or stat.S_ISSOCK(mode) or stat.S_ISCHR(mode)):
            raise ValueError("Pipe transport is for pipes/sockets only.")
        os.set_blocking(pipe.fileno(), False)
        extra = {} if extra is None else dict(extra)
        extra["pipe"] = pipe
        self._pipe = pipe
        super().__init__(loop, pipe, pipe.fileno(), protocol, waiter, extra, None, _READ)

    def _is_quiet_error(self, exc):
        """A reading pipe reports every error but EIO (a terminal that went away)."""
        return isinstance(exc, OSError) and exc.errno == errno.EIO

    # Only a reading transport: none of a writing one's methods.
    write, writelines, write_eof, can_write_eof = _Lacking(), _Lacking(), _Lacking(), _Lacking()
    get_write_buffer_size, get_write_buffer_limits, set_write_buffer_limits = _Lacking(), _Lacking(), _Lacking()

    def _on_eof(self):
        if self._loop.get_debug():
            logger.info("%r was closed by peer", self)
        self._closing = True
        self._loop.call_soon(self._protocol.eof_received)
        self._end(None)


class _WritePipeTransport(_PipeTransport):
    """The writing end of a pipe, FIFO, socket or character device."""

    __slots__ = ()

    _can_write_eof = True

    def __init__(self, loop, pipe, protocol, waiter=None, extra=None):
        mode = os.fstat(pipe.fileno()).st_mode
        is_socket = stat.S_ISSOCK(mode)
        if not (stat.S_ISFIFO(mode) or is_socket or stat.S_ISCHR(mode)):
            raise ValueError("Pipe transport is only for pipes, sockets and character devices")
        os.set_blocking(pipe.fileno(), False)
        extra = {} if extra is None else dict(extra)
        extra["pipe"] = pipe
        self._pipe = pipe
        # The reading side going away shows as readability on pipes and sockets.
        watch = _WATCH_HANGUP if (is_socket or stat.S_ISFIFO(mode)) else 0
        super().__init__(loop, pipe, pipe.fileno(), protocol, waiter, extra, None,
                         _WRITE | watch | (_SOCKET if is_socket else 0))

    _stream_reads = False

    is_reading = pause_reading = resume_reading = _not_a_read_transport

    _lost_write_message = "pipe closed by peer or os.write(pipe, data) raised exception."

    def _refuses_writes(self):
        return self._closing

    def _on_hangup(self, queued):
        if queued:
            self._force_close(BrokenPipeError())
        else:
            self._closing = True
            self._end(None)

    # Ending a pipe's writing is closing it, once the queue drains.
    write_eof = _StreamTransport.close


class TransportMixin:
    """The transport factories asyncio's base loop calls."""

    def _make_socket_transport(self, sock, protocol, waiter=None, *, extra=None, server=None):
        return _SocketTransport(self, sock, protocol, waiter, extra, server)

    def _make_ssl_transport(self, rawsock, protocol, sslcontext, waiter=None, *,
                            server_side=False, server_hostname=None, extra=None, server=None,
                            ssl_handshake_timeout=constants.SSL_HANDSHAKE_TIMEOUT,
                            ssl_shutdown_timeout=constants.SSL_SHUTDOWN_TIMEOUT,
                            call_connection_made=True):
        ssl_protocol = sslproto.SSLProtocol(
            self, protocol, sslcontext, waiter, server_side, server_hostname,
            ssl_handshake_timeout=ssl_handshake_timeout,
            ssl_shutdown_timeout=ssl_shutdown_timeout,
            call_connection_made=call_connection_made)
        _SocketTransport(self, rawsock, ssl_protocol, extra=extra, server=server)
        return ssl_protocol._app_transport

    async def _sendfile_native(self, transp, file, offset, count):
        """os.sendfile from a regular file on the transport's writer, zero copy."""
        if not isinstance(transp, _SocketTransport) or not hasattr(os, "sendfile"):
            raise exceptions.SendfileNotAvailableError("sendfile is not available for this transport")
        try:
            fileno = file.fileno()
            status = os.fstat(fileno)
        except (AttributeError, io.UnsupportedOperation, OSError) as exc:
            raise exceptions.SendfileNotAvailableError("not a regular file") from exc
        if not stat.S_ISREG(status.st_mode):
            raise exceptions.SendfileNotAvailableError("not a regular file")
        size = min(count, status.st_size - offset) if count else status.st_size - offset
        if size <= 0:
            file.seek(offset)  # as after any send: the position is where it stopped
            return 0
        resume_reading = transp.is_reading()
        transp.pause_reading()
        try:
            sent, error = await transp._send_file(fileno, offset, size)
        finally:
            if resume_reading:
                transp.resume_reading()
        # The file's position tells how far the send came, even when it failed midway.
        file.seek(offset + sent)
        if error:
            exc = OSError(error, os.strerror(error))
            if not sent and error in (errno.EINVAL, errno.ENOSYS, errno.ENOTSOCK, errno.EOPNOTSUPP):
                raise exceptions.SendfileNotAvailableError("os.sendfile() refused") from exc
            raise exc
        return sent

    def _make_read_pipe_transport(self, pipe, protocol, waiter=None, extra=None):
        return _ReadPipeTransport(self, pipe, protocol, waiter, extra)

    def _make_write_pipe_transport(self, pipe, protocol, waiter=None, extra=None):
        return _WritePipeTransport(self, pipe, protocol, waiter, extra)
