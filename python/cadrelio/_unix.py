"""Unix-domain stream endpoints of cadrelio loops: create_unix_connection/_server.

A server bound to a path removes a stale socket file left at that path before
binding. From 3.13 on (``cleanup_socket``, on by default) it also removes its
own socket file when it stops serving, provided the file is still the one it
bound (same inode): a later server may have replaced it.
"""

import errno
import os
import socket
import stat
import sys
from asyncio import base_events, tasks
from asyncio.log import logger

__all__ = ("UnixMixin",)

_CLEANUP_BY_DEFAULT = sys.version_info >= (3, 13)


def _is_filesystem_path(path):
    # Abstract names start with a NUL byte; an unbound socket has an empty name.
    return bool(path) and path[0] not in (0, "\x00")


def _check_unix_stream(sock):
    if sock.family != socket.AF_UNIX or sock.type != socket.SOCK_STREAM:
        raise ValueError(f"A UNIX Domain Stream Socket was expected, got {sock!r}")


def _remove_stale_socket_file(path):
    try:
        if stat.S_ISSOCK(os.stat(path).st_mode):
            os.remove(path)
    except FileNotFoundError:
        pass
    except OSError as err:
        # The directory may let us create a socket but not inspect or remove one.
        logger.error("Unable to check or remove stale UNIX socket %r: %r", path, err)


def _bound_socket(path):
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        sock.bind(path)
    except OSError as exc:
        sock.close()
        if exc.errno == errno.EADDRINUSE:
            raise OSError(errno.EADDRINUSE, f"Address {path!r} is already in use") from None
        raise
    except BaseException:
        sock.close()
        raise
    return sock


class UnixMixin:
    def _init_unix(self):
        # Listening socket -> inode of the file it bound, for cleanup_socket.
        self._unix_server_sockets = {}

    async def create_unix_connection(self, protocol_factory, path=None, *, ssl=None, sock=None,
                                     server_hostname=None, ssl_handshake_timeout=None,
                                     ssl_shutdown_timeout=None):
        """Connect to the Unix socket at `path` (or use the connected `sock`)."""
        if server_hostname is not None and not isinstance(server_hostname, str):
            raise TypeError("server_hostname must be a str")
        if ssl:
            if server_hostname is None:
                raise ValueError("you have to pass server_hostname when using ssl")
        else:
            if server_hostname is not None:
                raise ValueError("server_hostname is only meaningful with ssl")
            if ssl_handshake_timeout is not None:
                raise ValueError("ssl_handshake_timeout is only meaningful with ssl")
            if ssl_shutdown_timeout is not None:
                raise ValueError("ssl_shutdown_timeout is only meaningful with ssl")
        if path is not None:
            if sock is not None:
                raise ValueError("path and sock can not be specified at the same time")
            path = os.fspath(path)
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM, 0)
            try:
                sock.setblocking(False)
                await self.sock_connect(sock, path)
            except BaseException:
                sock.close()
                raise
        else:
            if sock is None:
                raise ValueError("no path and sock were specified")
            _check_unix_stream(sock)
            sock.setblocking(False)
        return await self._create_connection_transport(
            sock, protocol_factory, ssl, server_hostname,
            ssl_handshake_timeout=ssl_handshake_timeout, ssl_shutdown_timeout=ssl_shutdown_timeout)

    async def create_unix_server(self, protocol_factory, path=None, *, sock=None, backlog=100,
                                 ssl=None, ssl_handshake_timeout=None, ssl_shutdown_timeout=None,
                                 start_serving=True, cleanup_socket=_CLEANUP_BY_DEFAULT):
        """A Server listening on the Unix socket at `path` (or on `sock`)."""
        if isinstance(ssl, bool):
            raise TypeError("ssl argument must be an SSLContext or None")
        if ssl_handshake_timeout is not None and not ssl:
            raise ValueError("ssl_handshake_timeout is only meaningful with ssl")
        if ssl_shutdown_timeout is not None and not ssl:
            raise ValueError("ssl_shutdown_timeout is only meaningful with ssl")
        if path is not None:
            if sock is not None:
                raise ValueError("path and sock can not be specified at the same time")
            path = os.fspath(path)
            if _is_filesystem_path(path):
                _remove_stale_socket_file(path)
            sock = _bound_socket(path)
        elif sock is None:
            raise ValueError("path was not specified, and no sock specified")
        else:
            _check_unix_stream(sock)
        if cleanup_socket:
            bound = sock.getsockname()
            if _is_filesystem_path(bound):
                try:
                    self._unix_server_sockets[sock] = os.stat(bound).st_ino
                except FileNotFoundError:
                    pass
        sock.setblocking(False)
        server = base_events.Server(self, [sock], protocol_factory, ssl, backlog,
                                    ssl_handshake_timeout, ssl_shutdown_timeout)
        if start_serving:
            server._start_serving()
            # One pass of the loop, so that the accept watcher is in place.
            await tasks.sleep(0)
        return server

    def _stop_serving(self, sock):
        inode = self._unix_server_sockets.pop(sock, None)
        path = sock.getsockname() if inode is not None else None
        super()._stop_serving(sock)
        if path is None:
            return
        try:
            if os.stat(path).st_ino == inode:
                os.unlink(path)
        except FileNotFoundError:
            pass
        except OSError as err:
            logger.error("Unable to clean up listening UNIX socket %r: %r", path, err)
