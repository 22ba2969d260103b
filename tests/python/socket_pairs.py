# A connected pair of non-blocking stream sockets, for the fixtures of both loops' tests.
import contextlib
import socket


@contextlib.contextmanager
def nonblocking_pair():
    """Yields (first, second), both non-blocking; closes both on the way out."""
    first, second = socket.socketpair()
    with first, second:
        first.setblocking(False)
        second.setblocking(False)
        yield first, second
