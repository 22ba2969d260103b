# Descriptor watchers and socket operations, over asyncio's loop and cadrelio's.
import asyncio
import collections
import os
import socket
import tempfile
import time

import pytest

from conftest import run
from socket_pairs import nonblocking_pair


@pytest.fixture
def socket_pair():
    with nonblocking_pair() as pair:
        yield pair


def run_until(loop, predicate, timeout=10):
    async def wait():
        while not predicate():
            await asyncio.sleep(0.005)
    run(loop, wait(), timeout)


def test_add_reader_passes_args_and_is_level_triggered(socket_pair, loop):
    a, b = socket_pair
    calls = []
    # The callback never reads: a level-triggered watcher keeps reporting.
    loop.add_reader(a.fileno(), calls.append, "ready")
    b.send(b"x")
    run_until(loop, lambda: len(calls) >= 3)
    assert set(calls) == {"ready"}
    assert loop.remove_reader(a.fileno()) is True
    assert loop.remove_reader(a.fileno()) is False


def test_reader_stops_once_drained_and_fires_again_for_new_data(socket_pair, loop):
    a, b = socket_pair
    received = []

    def on_readable():
        received.append(a.recv(100))

    loop.add_reader(a, on_readable)
    b.send(b"one")
    run_until(loop, lambda: received)
    run(loop, asyncio.sleep(0.05))
    assert received == [b"one"]
    b.send(b"two")
    run_until(loop, lambda: len(received) == 2)
    assert received == [b"one", b"two"]
    loop.remove_reader(a)


def test_ping_pong_readers_are_called_once_per_message(socket_pair, loop):
    # Both ends watched by the loop, each callback draining its end: every call
    # finds a byte to read (no report outlives the data it announced) and none
    # is missed.
    a, b = socket_pair
    rounds = 500
    empty_calls = []
    done = loop.create_future()

    def on_readable(sock, peer, counter):
        try:
            sock.recv(64)
        except BlockingIOError:
            empty_calls.append(sock)
            return
        counter[0] += 1
        if counter[0] < rounds:
            sock.send(b"x")
        elif not done.done():
            done.set_result(None)

    loop.add_reader(a, on_readable, a, b, [0])
    loop.add_reader(b, on_readable, b, a, [0])
    a.send(b"x")
    run(loop, done)
    loop.remove_reader(a)
    loop.remove_reader(b)
    assert empty_calls == []


def test_readers_with_input_left_are_called_until_it_is_read(loop):
    # Twenty readers, each reading one of its three bytes per call, so that the
    # loop finds many descriptors still ready after a pass. Readers 0-4 remove
    # themselves at their second call; readers 5-9 remove readers 10-14 at
    # their first. Every other reader is called exactly until its input is read.
    pairs = [socket.socketpair() for _ in range(20)]
    calls = collections.Counter()
    removed, late = set(), []

    def on_readable(i, sock):
        if i in removed:
            late.append(i)
            return
        sock.recv(1)
        calls[i] += 1
        if i < 5 and calls[i] == 2:
            loop.remove_reader(sock)
            removed.add(i)
        elif 5 <= i < 10 and calls[i] == 1:
            loop.remove_reader(pairs[i + 5][0])
            removed.add(i + 5)

    try:
        for i, (local, peer) in enumerate(pairs):
            local.setblocking(False)
            peer.send(b"xyz")
            loop.add_reader(local, on_readable, i, local)
        kept = [*range(5, 10), *range(15, 20)]
        run_until(loop, lambda: all(calls[i] == 3 for i in kept) and all(calls[i] == 2 for i in range(5)))
        run(loop, asyncio.sleep(0.05))
        assert late == []
        assert [calls[i] for i in [*range(5), *kept]] == [2] * 5 + [3] * 10
        assert all(calls[i] <= 1 for i in range(10, 15))
        pairs[15][1].send(b"!")  # a drained reader is called again for new input only
        run_until(loop, lambda: calls[15] == 4)
        run(loop, asyncio.sleep(0.05))
        assert calls[15] == 4 and [calls[i] for i in kept if i != 15] == [3] * 9
    finally:
        for local, peer in pairs:
            loop.remove_reader(local)
            local.close()
            peer.close()


def test_a_report_of_a_removed_reader_does_not_run(socket_pair, loop):
    a, b = socket_pair
    calls = []
    loop.add_reader(a.fileno(), calls.append, "reader")

    def ready_then_remove():
        b.send(b"x")
        time.sleep(0.1)  # the readiness is reported (and queued) meanwhile
        assert loop.remove_reader(a.fileno())

    loop.call_soon(ready_then_remove)
    run(loop, asyncio.sleep(0.1))
    assert calls == []


@pytest.mark.parametrize("direction", ["reader", "writer"])
def test_a_closed_socket_is_removed_by_identity(loop, direction):
    """A closed socket's fileno() is -1: the watcher added with that very object is still
    found, as a task waiting on a socket that is closed under it needs (a closed file's
    fileno() raises, and is refused)."""
    add, remove = getattr(loop, f"add_{direction}"), getattr(loop, f"remove_{direction}")
    watched, other = socket.socketpair()
    read_end, write_end = os.pipe()
    file = open(read_end, "rb", buffering=0) if direction == "reader" else open(write_end, "wb", buffering=0)
    with other, file, open(write_end if direction == "reader" else read_end, "rb" if direction == "writer" else "wb",
                           buffering=0):
        add(watched, print)
        add(file, print)
        fd, file_fd = watched.fileno(), file.fileno()
        watched.close()
        file.close()
        assert remove(watched) is True
        assert remove(fd) is False
        with pytest.raises(ValueError):
            remove(watched)  # no longer watched: its descriptor cannot be found
        with pytest.raises(ValueError):
            remove(file)
        assert remove(file_fd) is True


def test_add_writer_reports_writable(socket_pair, loop):
    a, _ = socket_pair
    fut = loop.create_future()
    loop.add_writer(a.fileno(), lambda: fut.done() or fut.set_result("writable"))
    assert run(loop, fut) == "writable"
    assert loop.remove_writer(a.fileno()) is True


@pytest.mark.parametrize("bad, error", [
    (-1, ValueError), ("not a file", (ValueError, TypeError)), (object(), (ValueError, TypeError)),
    ("regular file", PermissionError),
])
def test_add_reader_refuses_what_cannot_be_watched(loop, bad, error):
    with tempfile.TemporaryFile() as f:
        with pytest.raises(error):
            loop.add_reader(f.fileno() if bad == "regular file" else bad, print)


@pytest.mark.parametrize("size", [10, 3_000_000])
def test_sock_sendall_and_recv(socket_pair, loop, size):
    a, b = socket_pair
    payload = os.urandom(size)

    async def exchange():
        sender = asyncio.ensure_future(loop.sock_sendall(a, payload))
        chunks, total = [], 0
        while total < size:
            chunk = await loop.sock_recv(b, 65536)
            chunks.append(chunk)
            total += len(chunk)
        await sender
        return b"".join(chunks)

    assert run(loop, exchange()) == payload


def test_sock_recv_into(socket_pair, loop):
    a, b = socket_pair

    async def exchange():
        buf = bytearray(10)
        loop.call_later(0.01, a.send, b"hello")
        n = await loop.sock_recv_into(b, buf)
        return bytes(buf[:n])

    assert run(loop, exchange()) == b"hello"


def test_cancelled_sock_recv_loses_no_data(socket_pair, loop):
    a, b = socket_pair

    async def cancel_then_read():
        pending = asyncio.ensure_future(loop.sock_recv(b, 100))
        await asyncio.sleep(0.01)
        a.send(b"kept")
        pending.cancel()  # races with the readiness of the data just sent
        try:
            lost = await pending
        except asyncio.CancelledError:
            lost = b""
        rest = await loop.sock_recv(b, 100) if not lost else b""
        return lost + rest

    assert run(loop, cancel_then_read()) == b"kept"


def test_sock_connect_accept(loop):
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen()
    listener.setblocking(False)
    client = socket.socket()
    client.setblocking(False)

    async def connect():
        accepted = asyncio.ensure_future(loop.sock_accept(listener))
        await loop.sock_connect(client, listener.getsockname())
        conn, address = await accepted
        with conn:
            assert conn.gettimeout() == 0
            await loop.sock_sendall(client, b"ping")
            return await loop.sock_recv(conn, 10), address == client.getsockname()

    try:
        assert run(loop, connect()) == (b"ping", True)
    finally:
        client.close()
        listener.close()


@pytest.mark.parametrize("debug", [False, True], ids=["plain", "debug"])
def test_a_blocking_socket_is_refused_in_debug_mode_only(loop, debug):
    """Outside debug mode a blocking socket's operations simply block, as on asyncio's loop
    (programs connect a plain socket.socket() with sock_connect)."""
    loop.set_debug(debug)
    with socket.create_server(("127.0.0.1", 0)) as listener, socket.socket() as client:
        if debug:
            with pytest.raises(ValueError, match="the socket must be non-blocking"):
                run(loop, loop.sock_connect(client, listener.getsockname()))
            return
        run(loop, loop.sock_connect(client, listener.getsockname()))
        run(loop, loop.sock_sendall(client, b"ping"))
        conn, _ = listener.accept()
        with conn:
            conn.sendall(b"pong")
            assert conn.recv(4) == b"ping" and run(loop, loop.sock_recv(client, 4)) == b"pong"


def test_cancelled_sock_accept_leaks_no_socket(loop):
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen()
    listener.setblocking(False)
    clients = []

    async def cancel_accept():
        pending = asyncio.ensure_future(loop.sock_accept(listener))
        await asyncio.sleep(0.01)
        client = socket.create_connection(listener.getsockname())
        clients.append(client)
        pending.cancel()
        try:
            conn, _ = await pending
        except asyncio.CancelledError:
            conn, _ = await loop.sock_accept(listener)  # still queued: not taken and lost
        conn.close()

    try:
        run(loop, cancel_accept())
    finally:
        for client in clients:
            client.close()
        listener.close()


def test_sock_connect_refused(loop):
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    address = probe.getsockname()
    probe.close()
    client = socket.socket()
    client.setblocking(False)
    try:
        with pytest.raises(ConnectionRefusedError):
            run(loop, loop.sock_connect(client, address))
    finally:
        client.close()


def test_udp_sendto_recvfrom(loop):
    receiver = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    receiver.bind(("127.0.0.1", 0))
    receiver.setblocking(False)
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sender.setblocking(False)

    async def exchange():
        await loop.sock_sendto(sender, b"datagram", receiver.getsockname())
        data, address = await loop.sock_recvfrom(receiver, 100)
        await loop.sock_sendto(sender, b"again", receiver.getsockname())
        buf = bytearray(100)
        n, _ = await loop.sock_recvfrom_into(receiver, buf)
        return data, bytes(buf[:n]), address[1] == sender.getsockname()[1]

    try:
        assert run(loop, exchange()) == (b"datagram", b"again", True)
    finally:
        sender.close()
        receiver.close()


@pytest.mark.parametrize("use_file", [True, False], ids=["file", "fallback"])
def test_sock_sendfile(socket_pair, loop, use_file):
    a, b = socket_pair
    data = os.urandom(200_000)

    class NotAFile:
        """Readable in binary mode but without a descriptor: only the fallback can send it."""
        mode = "rb"

        def __init__(self, f):
            self._f = f

        def readinto(self, buf):
            return self._f.readinto(buf)

        def seek(self, *args):
            return self._f.seek(*args)

    with tempfile.TemporaryFile() as f:
        f.write(data)
        f.flush()
        f.seek(0)
        source = f if use_file else NotAFile(f)

        async def exchange():
            receiving = []

            async def receive():
                total = 0
                while total < 150_000 - 1000:
                    chunk = await loop.sock_recv(b, 65536)
                    receiving.append(chunk)
                    total += len(chunk)

            reader = asyncio.ensure_future(receive())
            sent = await loop.sock_sendfile(a, source, 1000, 150_000 - 1000)
            await reader
            return sent, b"".join(receiving)

        sent, received = run(loop, exchange())
        assert sent == 149_000
        assert received == data[1000:150_000]
        assert f.tell() == 150_000


def test_a_new_receive_replacing_a_cancelled_one_still_completes(socket_pair, loop):
    a, b = socket_pair

    async def replace():
        first = asyncio.ensure_future(loop.sock_recv(b, 100))
        await asyncio.sleep(0)
        first.cancel()
        # Registers its watcher before the cancelled receive has cleaned up after itself.
        loop.call_later(0.05, a.send, b"late")
        return await loop.sock_recv(b, 100)

    assert run(loop, replace(), timeout=10) == b"late"
