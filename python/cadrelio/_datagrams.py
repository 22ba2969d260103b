"""Datagram transports of cadrelio loops (create_datagram_endpoint).

Python over the loop's descriptor watchers: the read watcher receives a batch
of datagrams per readiness report; sendto sends at once and queues only what
the socket refuses, with the write watcher draining the queue. The queue's size
drives the protocol's pause_writing/resume_writing as on stream transports.
Send and receive errors other than a fatal one go to error_received and leave
the transport open, as asyncio's do (ICMP errors surface this way on a
connected socket).
"""

import collections
import sys
import warnings
from asyncio import constants, futures, transports, trsock
from asyncio.log import logger

__all__ = ("DatagramMixin",)

_RETRY = (BlockingIOError, InterruptedError)
# Before 3.13 asyncio drops empty datagrams and counts payload bytes only; from
# 3.13 it sends them and counts each queued datagram's header too.
_SENDS_EMPTY = sys.version_info >= (3, 13)
_HEADER_SIZE = 8 if _SENDS_EMPTY else 0


class _DatagramTransport(transports._FlowControlMixin, transports.DatagramTransport):
    max_size = 256 * 1024  # per recvfrom()
    # Datagrams received per readiness report at most: enough to amortise the
    # report, few enough that one busy socket cannot hold the loop.
    max_batch = 32
    _sock = None  # read by __del__ even when __init__ failed

    def __init__(self, loop, sock, protocol, address=None, waiter=None, extra=None):
        super().__init__(extra, loop)
        self._extra["socket"] = trsock.TransportSocket(sock)
        for key, query in (("sockname", sock.getsockname), ("peername", sock.getpeername)):
            if key not in self._extra:
                try:
                    self._extra[key] = query()
                except OSError:
                    self._extra[key] = None
        self._sock = sock
        self._sock_fd = sock.fileno()
        loop._transports[self._sock_fd] = self  # keeps add_reader and sock_* off the socket
        self._protocol = protocol
        self._address = address
        self._buffer = collections.deque()
        self._buffer_size = 0
        self._conn_lost = 0
        self._closing = False
        loop.call_soon(protocol.connection_made, self)
        # Reading starts once connection_made() has run.
        loop.call_soon(self._start_reading)
        if waiter is not None:
            loop.call_soon(futures._set_result_unless_cancelled, waiter, None)

    def __repr__(self):
        state = "closed" if self._sock is None else "closing" if self._closing else "open"
        return f"<{type(self).__name__} {state} fd={self._sock_fd} bufsize={self._buffer_size}>"

    def get_protocol(self):
        return self._protocol

    def set_protocol(self, protocol):
        self._protocol = protocol

    def is_closing(self):
        return self._closing

    def get_write_buffer_size(self):
        return self._buffer_size

    def _start_reading(self):
        if not self._closing:
            self._loop._add_reader(self._sock_fd, self._read_ready)

    def _read_ready(self):
        for _ in range(self.max_batch):
            if self._conn_lost or self._closing:
                return
            try:
                data, addr = self._sock.recvfrom(self.max_size)
            except _RETRY:
                return
            except (SystemExit, KeyboardInterrupt):
                raise
            except BaseException as exc:
                self._failed(exc, "read")
                return
            self._protocol.datagram_received(data, addr)

    def _failed(self, exc, operation):
        # A system error is the protocol's to handle and leaves the transport
        # open; anything else is a fault that closes it.
        if isinstance(exc, OSError):
            self._protocol.error_received(exc)
        else:
            self._fatal_error(exc, f"Fatal {operation} error on datagram transport")

    def sendto(self, data, addr=None):
        """Send `data` to `addr` (or to the connected peer); never blocks."""
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise TypeError(f"data argument must be a bytes-like object, not {type(data).__name__!r}")
        if not data and not _SENDS_EMPTY:
            return
        if self._address:
            if addr not in (None, self._address):
                raise ValueError(f"Invalid address: must be None or {self._address}")
            addr = self._address
        if self._conn_lost and self._address:
            if self._conn_lost >= constants.LOG_THRESHOLD_FOR_CONNLOST_WRITES:
                logger.warning("socket.send() raised exception.")
            self._conn_lost += 1
            return
        if not self._buffer:
            try:
                self._send(data, addr)
                return
            except _RETRY:
                self._loop._add_writer(self._sock_fd, self._sendto_ready)
            except (SystemExit, KeyboardInterrupt):
                raise
            except BaseException as exc:
                self._failed(exc, "write")
                return
        self._buffer.append((bytes(data), addr))  # a copy: the caller may reuse its buffer
        self._buffer_size += len(data) + _HEADER_SIZE
        self._maybe_pause_protocol()

    def _send(self, data, addr):
        if self._extra["peername"]:
            self._sock.send(data)
        else:
            self._sock.sendto(data, addr)

    def _sendto_ready(self):
        while self._buffer:
            data, addr = self._buffer[0]
            try:
                self._send(data, addr)
            except _RETRY:
                break
            except (SystemExit, KeyboardInterrupt):
                raise
            except BaseException as exc:
                self._dequeue()
                self._failed(exc, "write")
                return
            self._dequeue()
        self._maybe_resume_protocol()  # may queue more
        if not self._buffer:
            self._loop._remove_writer(self._sock_fd)
            if self._closing:
                self._call_connection_lost(None)

    def _dequeue(self):
        data, _ = self._buffer.popleft()
        self._buffer_size -= len(data) + _HEADER_SIZE

    def close(self):
        """Stop receiving; the queue is sent first, then connection_lost(None)."""
        if self._closing:
            return
        self._closing = True
        self._loop._remove_reader(self._sock_fd)
        if not self._buffer:
            self._conn_lost += 1
            self._loop._remove_writer(self._sock_fd)
            self._loop.call_soon(self._call_connection_lost, None)

    def abort(self):
        """Close at once, dropping what is queued."""
        self._force_close(None)

    def _fatal_error(self, exc, message):
        if isinstance(exc, OSError):
            if self._loop.get_debug():
                logger.debug("%r: %s", self, message, exc_info=True)
        else:
            self._loop.call_exception_handler({
                "message": message, "exception": exc, "transport": self, "protocol": self._protocol,
            })
        self._force_close(exc)

    def _force_close(self, exc):
        if self._conn_lost:
            return
        if self._buffer:
            self._buffer.clear()
            self._buffer_size = 0
            self._loop._remove_writer(self._sock_fd)
        if not self._closing:
            self._closing = True
            self._loop._remove_reader(self._sock_fd)
        self._conn_lost += 1
        self._loop.call_soon(self._call_connection_lost, exc)

    def _call_connection_lost(self, exc):
        try:
            self._protocol.connection_lost(exc)
        finally:
            self._loop._forget_transport(self._sock_fd, self)
            self._sock.close()
            self._sock = None
            self._protocol = None
            self._loop = None

    def __del__(self, _warn=warnings.warn):
        if self._sock is not None:
            _warn(f"unclosed transport {self!r}", ResourceWarning, source=self)
            self._sock.close()


class DatagramMixin:
    def _make_datagram_transport(self, sock, protocol, address=None, waiter=None, extra=None):
        return _DatagramTransport(self, sock, protocol, address, waiter, extra)
