"""Low-level socket operations of cadrelio loops (sock_recv, sock_sendall, ...).

Each operation makes its system call in the awaiting coroutine itself and,
while the socket is not ready, waits for readiness through the loop's watchers.
A watcher callback only reports readiness; it never reads, writes or accepts.
So cancelling an operation can never lose data that had arrived nor leak an
accepted socket: once the call has been made, the coroutine returns its result
without suspending again.
"""

import errno
import os
import socket
from asyncio import exceptions

__all__ = ("SocketMixin",)

_RETRY = (BlockingIOError, InterruptedError)


def _set_ready(fut):
    if not fut.done():
        fut.set_result(None)


class SocketMixin:
    async def _sock_ready(self, sock, writing):
        """Waits until `sock` is readable (or writable)."""
        fd = sock.fileno()
        # As asyncio's, a call that must wait is refused a socket a transport owns.
        self._ensure_fd_no_transport(fd)
        fut = self.create_future()
        add, remove = (self._add_writer, self._remove_writer) if writing else (self._add_reader, self._remove_reader)
        handle = add(fd, _set_ready, fut)
        try:
            await fut
        finally:
            # A later operation on the same socket replaced (and cancelled) our
            # watcher: the watcher is theirs now.
            if not handle.cancelled():
                remove(fd)

    def _check_nonblocking(self, sock):
        # As asyncio's loops do, in debug mode only: otherwise a blocking socket's
        # call simply blocks, as it would there (programs pass connected blocking sockets).
        if self._debug and sock.gettimeout() != 0:
            raise ValueError("the socket must be non-blocking")

    async def _sock_call(self, sock, writing, call):
        self._check_nonblocking(sock)
        while True:
            try:
                return call()
            except _RETRY:
                pass
            await self._sock_ready(sock, writing)

    def sock_recv(self, sock, n):
        """Receive up to `n` bytes from `sock`."""
        return self._sock_call(sock, False, lambda: sock.recv(n))

    def sock_recv_into(self, sock, buf):
        """Receive into `buf`; returns the number of bytes written."""
        return self._sock_call(sock, False, lambda: sock.recv_into(buf))

    def sock_recvfrom(self, sock, bufsize):
        """Receive a datagram of up to `bufsize` bytes: (data, address)."""
        return self._sock_call(sock, False, lambda: sock.recvfrom(bufsize))

    def sock_recvfrom_into(self, sock, buf, nbytes=0):
        """Receive a datagram into `buf`: (nbytes, address)."""
        return self._sock_call(sock, False, lambda: sock.recvfrom_into(buf, nbytes or len(buf)))

    def sock_sendto(self, sock, data, address):
        """Send a datagram to `address`; returns the number of bytes sent."""
        return self._sock_call(sock, True, lambda: sock.sendto(data, address))

    async def sock_accept(self, sock):
        """Accept a connection: (socket, address); the new socket is non-blocking."""
        conn, address = await self._sock_call(sock, False, sock.accept)
        conn.setblocking(False)
        return conn, address

    async def sock_sendall(self, sock, data):
        """Send every byte of `data`."""
        self._check_nonblocking(sock)
        view = memoryview(data).cast("B")
        sent = 0
        while sent < len(view):
            try:
                sent += sock.send(view[sent:])
                continue
            except _RETRY:
                pass
            await self._sock_ready(sock, True)

    async def sock_connect(self, sock, address):
        """Connect `sock` to `address`, resolving inet host names first."""
        self._check_nonblocking(sock)
        if sock.family in (socket.AF_INET, getattr(socket, "AF_INET6", None)):
            resolved = await self._ensure_resolved(
                address, family=sock.family, type=sock.type, proto=sock.proto, loop=self)
            address = resolved[0][4]
        try:
            sock.connect(address)
            return
        except _RETRY:
            pass
        while True:
            await self._sock_ready(sock, True)
            err = sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
            if err in (errno.EINPROGRESS, errno.EALREADY, errno.EAGAIN):
                continue
            if err != 0:
                raise OSError(err, f"Connect call failed {address}")
            return

    async def _sock_sendfile_native(self, sock, file, offset, count):
        """os.sendfile from a regular file; SendfileNotAvailableError lets the fallback run."""
        if not hasattr(os, "sendfile"):
            raise exceptions.SendfileNotAvailableError("os.sendfile() is not available")
        try:
            fileno = file.fileno()
            size = os.fstat(fileno).st_size
        except (AttributeError, OSError, ValueError) as exc:
            raise exceptions.SendfileNotAvailableError("not a regular file") from exc
        end = min(offset + count, size) if count else size
        position = offset
        try:
            while position < end:
                try:
                    sent = os.sendfile(sock.fileno(), fileno, position, end - position)
                except _RETRY:
                    await self._sock_ready(sock, True)
                    continue
                except OSError as exc:
                    if position == offset and exc.errno in (errno.EINVAL, errno.ENOTSOCK, errno.ENOSYS):
                        raise exceptions.SendfileNotAvailableError("os.sendfile() refused") from exc
                    raise
                if sent == 0:
                    break  # the file shrank
                position += sent
            return position - offset
        finally:
            if position > offset:
                file.seek(position)
