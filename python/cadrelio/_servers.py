"""Listening sockets of cadrelio loops: the accept side of asyncio's Server.

asyncio's ``Server`` (made by ``create_server``/``create_unix_server``) asks the
loop to start and stop serving each of its sockets. Each socket gets one
``_Acceptor`` that watches it for readiness and, per report, accepts up to the
server's backlog of connections. An accepted socket is handed to its transport
in the same callback that accepted it, so no accepted socket waits in a queue
or a task where a cancellation or a closing loop could drop it unclosed.
"""

import contextvars
import errno
import functools
from asyncio import constants, trsock
from asyncio.log import logger

from . import _native
from ._transports import AcceptedSocket, is_tcp

__all__ = ("ServerMixin",)

# The process or system is out of descriptors or memory: the listening socket
# stays readable, so accepting pauses instead of spinning on the error.
_OUT_OF_RESOURCES = frozenset((errno.EMFILE, errno.ENFILE, errno.ENOBUFS, errno.ENOMEM))


class _Acceptor:
    """Accepts the connections of one listening socket and makes their transports."""

    def __init__(self, loop, protocol_factory, sock, sslcontext, server, backlog,
                 ssl_handshake_timeout, ssl_shutdown_timeout):
        self._loop = loop
        self._protocol_factory = protocol_factory
        self._sock = sock
        self._fd = sock.fileno()
        self._nodelay = is_tcp(sock)
        self._sslcontext = sslcontext
        self._server = server
        self._backlog = backlog
        self._ssl_timeouts = (ssl_handshake_timeout, ssl_shutdown_timeout)
        self._retry = None
        self._stopped = False

    def start(self):
        self._retry = None
        self._loop._add_reader(self._fd, self._accept_batch)

    def stop(self):
        self._stopped = True
        if self._retry is not None:
            self._retry.cancel()
            self._retry = None
        self._loop._remove_reader(self._fd)

    def _accept_batch(self):
        # One readiness report may stand for many queued connections; a batch the
        # size of the backlog drains the queue without starving other callbacks.
        for _ in range(self._backlog + 1):
            if self._stopped:
                return
            try:
                fd = _native.accept(self._fd, self._nodelay)
            except ConnectionAbortedError:
                continue  # the peer gave up before we accepted it
            except (BlockingIOError, InterruptedError):
                return
            except OSError as exc:
                if exc.errno not in _OUT_OF_RESOURCES:
                    raise  # the loop's exception handler reports it
                self._pause(exc)
                return
            conn = AcceptedSocket(fd, self._sock)
            if self._loop._debug:
                logger.debug("%r got a new connection: fd %d", self._server, fd)
            # As if in a task of its own: what the protocol factory sets in context
            # variables stays with this connection.
            contextvars.copy_context().run(self._connect, conn)

    def _pause(self, exc):
        self._loop.call_exception_handler({
            "message": "socket.accept() out of system resource",
            "exception": exc,
            "socket": trsock.TransportSocket(self._sock),
        })
        self._loop._remove_reader(self._fd)
        self._retry = self._loop.call_later(constants.ACCEPT_RETRY_DELAY, self.start)

    def _connect(self, conn):
        loop = self._loop
        protocol = transport = None
        try:
            protocol = self._protocol_factory()
            waiter = loop.create_future()
            extra = None  # the addresses are asked of the socket when wanted
            handshake_timeout, shutdown_timeout = self._ssl_timeouts
            if self._sslcontext:
                transport = loop._make_ssl_transport(
                    conn, protocol, self._sslcontext, waiter=waiter, server_side=True, extra=extra,
                    server=self._server, ssl_handshake_timeout=handshake_timeout,
                    ssl_shutdown_timeout=shutdown_timeout)
            else:
                transport = loop._make_socket_transport(conn, protocol, waiter=waiter, extra=extra,
                                                        server=self._server)
        except (SystemExit, KeyboardInterrupt):
            conn.close()
            raise
        except BaseException as exc:
            conn.close()
            _report_failed_connection(loop, exc, protocol, transport)
            return
        waiter.add_done_callback(functools.partial(_connection_settled, loop, protocol, transport))


def _connection_settled(loop, protocol, transport, waiter):
    # The transport is the connection's owner from here: a failed handshake or a
    # cancelled waiter closes it, which closes the socket.
    if waiter.cancelled():
        transport.close()
        return
    exc = waiter.exception()
    if exc is not None:
        transport.close()
        _report_failed_connection(loop, exc, protocol, transport)


def _report_failed_connection(loop, exc, protocol, transport):
    # As asyncio's loops: a connection that could not be set up is dropped, and
    # reported only in debug mode (a client can always fail its own handshake).
    if not loop._debug:
        return
    context = {"message": "Error on transport creation for incoming connection", "exception": exc}
    if protocol is not None:
        context["protocol"] = protocol
    if transport is not None:
        context["transport"] = transport
    loop.call_exception_handler(context)


class ServerMixin:
    def _init_servers(self):
        self._acceptors = {}

    def _start_serving(self, protocol_factory, sock, sslcontext=None, server=None, backlog=100,
                       ssl_handshake_timeout=constants.SSL_HANDSHAKE_TIMEOUT,
                       ssl_shutdown_timeout=constants.SSL_SHUTDOWN_TIMEOUT):
        acceptor = _Acceptor(self, protocol_factory, sock, sslcontext, server, backlog,
                             ssl_handshake_timeout, ssl_shutdown_timeout)
        previous = self._acceptors.pop(acceptor._fd, None)
        if previous is not None:
            previous.stop()
        acceptor.start()
        self._acceptors[acceptor._fd] = acceptor

    def _stop_serving(self, sock):
        acceptor = self._acceptors.pop(sock.fileno(), None)
        if acceptor is not None:
            acceptor.stop()
        sock.close()
