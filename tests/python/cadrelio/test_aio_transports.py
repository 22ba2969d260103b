# Stream transports (sockets, pipes) over asyncio's loop and cadrelio's: each case runs on both.
# A descriptor an open transport owns is refused to watchers and sock_* calls until it closes.
import asyncio
import contextlib
import contextvars
import hashlib
import os
import socket
import ssl
import subprocess
import sys
import threading

import pytest

import cadrelio

from conftest import run
from recording import EventRecorder


class Recorder(EventRecorder, asyncio.Protocol):
    """Records every protocol call in order; `lost` resolves with connection_lost's argument."""

    def __init__(self, loop, keep_open_on_eof=False):
        super().__init__(loop)
        self.data = bytearray()
        self.keep_open_on_eof = keep_open_on_eof

    def data_received(self, data):
        self.data += data
        if self.events[-1:] != ["data"]:
            self.events.append("data")

    def eof_received(self):
        self.events.append("eof")
        return self.keep_open_on_eof


class BufferRecorder(Recorder, asyncio.BufferedProtocol):
    """Reads through a small buffer of its own."""

    def __init__(self, loop, size):
        Recorder.__init__(self, loop)
        self.buffer = bytearray(size)

    def get_buffer(self, sizehint):
        return self.buffer

    def buffer_updated(self, nbytes):
        self.data += self.buffer[:nbytes]


def make_pair(kind):
    """A connected (ours, peer) pair of stream sockets; ours is non-blocking, the peer blocking."""
    if kind == "unix":
        ours, peer = socket.socketpair()
    else:
        with socket.create_server(("127.0.0.1", 0)) as listener:
            ours = socket.create_connection(listener.getsockname())
            peer, _ = listener.accept()
    ours.setblocking(False)
    return ours, peer


async def connect(loop, sock, protocol):
    transport, _ = await loop.connect_accepted_socket(lambda: protocol, sock)
    return transport


def recv_all(sock):
    chunks = []
    while chunk := sock.recv(1 << 16):
        chunks.append(chunk)
    return b"".join(chunks)


def recv_exactly(sock, size):
    data = bytearray()
    while len(data) < size:
        data += sock.recv(min(1 << 20, size - len(data)))
    return bytes(data)


@pytest.mark.parametrize("kind", ["tcp", "unix"])
def test_round_trip_with_reading_held_back_until_resumed(loop, kind):
    ours, peer = make_pair(kind)

    async def main():
        protocol = Recorder(loop)
        transport = await connect(loop, ours, protocol)
        assert protocol.events == ["made"]  # before the waiter resolved
        assert transport.get_extra_info("socket").fileno() == ours.fileno()
        transport.pause_reading()
        peer.sendall(b"held" * 1000)
        peer.shutdown(socket.SHUT_WR)
        transport.writelines([b"po", b"ng"])
        assert await loop.run_in_executor(None, recv_exactly, peer, 4) == b"pong"
        await asyncio.sleep(0.3)
        assert protocol.events == ["made"] and not transport.is_reading()
        transport.resume_reading()
        assert await protocol.lost is None
        assert bytes(protocol.data) == b"held" * 1000
        assert protocol.events == ["made", "data", "eof", "lost"]
        assert transport.is_closing() and transport.get_extra_info("socket").fileno() == -1
        peer.close()

    run(loop, main())


connection_var = contextvars.ContextVar("connection_var", default="unset")


class ContextRecorder(asyncio.Protocol):
    """Records connection_var in each callback; data_received sets it for its connection."""

    def __init__(self, side, seen, reply=False):
        self.side, self.seen, self.reply = side, seen, reply
        self.lost = asyncio.get_running_loop().create_future()

    def _note(self, callback):
        self.seen[f"{self.side}.{callback}"] = connection_var.get()

    def connection_made(self, transport):
        self._note("connection_made")
        self.transport = transport

    def data_received(self, data):
        self._note("data_received")
        connection_var.set(f"set by {self.side}")
        if self.reply:
            self.transport.write(b"pong")
            self.transport.write_eof()

    def eof_received(self):
        self._note("eof_received")

    def connection_lost(self, exc):
        self._note("connection_lost")
        self.lost.set_result(exc)


def test_protocol_callbacks_run_in_their_connections_own_context(loop):
    """Each transport's callbacks see the context it was made in, and what one sets stays
    with its own connection: never another's, nor the code that runs the loop."""
    seen, accepted = {}, []

    def serve():
        accepted.append(ContextRecorder("server", seen, reply=True))
        return accepted[-1]

    async def connect_both():
        connection_var.set("made")
        server = await loop.create_server(serve, "127.0.0.1", 0)
        transport, client = await loop.create_connection(lambda: ContextRecorder("client", seen),
                                                         *server.sockets[0].getsockname())
        transport.write(b"ping")
        return server, client

    async def main():
        server, client = await asyncio.create_task(connect_both())
        await asyncio.wait_for(asyncio.gather(client.lost, accepted[0].lost), 10)
        server.close()
        await server.wait_closed()

    token = connection_var.set("runner")
    try:
        run(loop, main())
        assert connection_var.get() == "runner"
    finally:
        connection_var.reset(token)
    for side in ("server", "client"):
        assert seen[f"{side}.connection_made"] == seen[f"{side}.data_received"] == "made"
        assert seen[f"{side}.eof_received"] == seen[f"{side}.connection_lost"] == f"set by {side}"


@pytest.mark.parametrize("moment", ["connection_made", "connected", "after_a_small_write"])
def test_more_than_the_socket_takes_is_sent_whenever_it_is_written(loop, moment):
    """Bytes beyond what the kernel takes at once are flushed later, whether written before the
    transport started its workers, after, or after writes that went out at once; close() waits."""
    ours, peer = make_pair("unix")
    payload = os.urandom(4 << 20)

    class Writes(Recorder):
        def connection_made(self, transport):
            super().connection_made(transport)
            if moment == "connection_made":
                transport.write(payload)

    async def main():
        protocol = Writes(loop)
        transport = await connect(loop, ours, protocol)
        if moment == "after_a_small_write":
            transport.write(b"x")
            await asyncio.sleep(0.05)
            assert transport.get_write_buffer_size() == 0
        if moment != "connection_made":
            transport.write(payload)
        assert transport.get_write_buffer_size() > 0
        transport.close()
        received = await loop.run_in_executor(None, recv_all, peer)
        assert received == (b"x" if moment == "after_a_small_write" else b"") + payload
        assert await protocol.lost is None
        peer.close()

    run(loop, main())


@pytest.mark.parametrize("case", ["closed_in_connection_made", "closed_after_the_caller_sees_the_queue_sent"])
def test_what_resume_writing_writes_after_close_is_sent_before_the_end(loop, case):
    """close() with bytes queued ends the connection once they are sent, even from
    connection_made(); a paused protocol is resumed first even when the queue was sent before
    the loop heard of it, and what it writes then (an SSL layer's close_notify) goes out too."""
    early = case == "closed_in_connection_made"
    if early and not isinstance(loop, cadrelio.Loop) and (3, 12) <= sys.version_info < (3, 14):
        pytest.skip("asyncio's socket transport of 3.12 and 3.13 keeps running a cancelled "
                    "writer when resume_writing() writes after close()")
    ours, peer = make_pair("unix")
    first, more = os.urandom(4 << 20), os.urandom(4 << 20) if early else b"tail"

    class WritesOnResume(Recorder):
        def connection_made(self, transport):
            super().connection_made(transport)
            transport.write(first)
            if early:
                transport.close()

        def resume_writing(self):
            super().resume_writing()
            if self.events.count("resume") == 1:
                self.transport.write(more)

    async def main():
        protocol = WritesOnResume(loop)
        transport = await connect(loop, ours, protocol)
        peer.settimeout(30)  # bytes that never come fail the test instead of hanging it
        received = loop.run_in_executor(None, recv_all, peer)
        # On cadrelio's loop the queue is seen empty here before the news of it runs.
        while not early and transport.get_write_buffer_size():
            await asyncio.sleep(0)
        transport.close()
        assert await received == first + more
        assert await protocol.lost is None
        peer.close()

    run(loop, main())


@pytest.mark.parametrize("pieces", [3, 200], ids=["few", "more_than_one_gathering_write"])
@pytest.mark.parametrize("form", ["list", "generator"])
def test_writelines_sends_the_concatenation_in_order(loop, pieces, form):
    """Bytes, bytearrays, memoryviews and empty items, more than the socket takes at once: the
    peer gets exactly their concatenation, also when write() and writelines() alternate."""
    ours, peer = make_pair("unix")
    kinds = (bytes, bytearray, memoryview)
    items = [kinds[i % 3](os.urandom(i * 997 % 40_000) if i % 7 else b"") for i in range(pieces)]
    expected = b"head" + b"".join(items) + b"tail" + b"".join(items[:2])

    async def main():
        protocol = Recorder(loop)
        transport = await connect(loop, ours, protocol)
        transport.write(b"head")
        transport.writelines(items if form == "list" else (item for item in items))
        transport.write(b"tail")
        transport.writelines(items[:2])
        transport.close()
        received = await loop.run_in_executor(None, recv_all, peer)
        assert await protocol.lost is None
        peer.close()
        return received

    assert run(loop, main()) == expected


def test_writelines_with_an_item_not_bytes_like_writes_nothing_and_refuses_after_write_eof(loop):
    ours, peer = make_pair("tcp")

    async def main():
        transport = await connect(loop, ours, Recorder(loop))
        with pytest.raises(TypeError):
            transport.writelines([b"never", "sent", b"either"])
        transport.writelines([])
        transport.writelines([b"only", b" this"])
        transport.write_eof()
        with pytest.raises(RuntimeError):
            transport.writelines([b"late"])
        received = await loop.run_in_executor(None, recv_all, peer)
        transport.close()
        peer.close()
        return received

    assert run(loop, main()) == b"only this"


def test_write_takes_every_bytes_like_form_and_refuses_the_rest_as_asyncio_does(loop):
    ours, peer = make_pair("tcp")

    class ByteSubclass(bytes):
        pass

    async def main():
        transport = await connect(loop, ours, Recorder(loop))
        transport.write(b"bytes ")
        transport.write(data=b"keyword ")
        transport.write(bytearray(b"bytearray "))
        transport.write(memoryview(b"memoryview "))
        transport.write(ByteSubclass(b"subclass"))
        transport.write(b"")
        transport.write(bytearray())
        with pytest.raises(TypeError) as refused:
            transport.write("text")
        transport.write_eof()
        with pytest.raises(RuntimeError) as late:
            transport.write(b"late")
        received = await loop.run_in_executor(None, recv_all, peer)
        transport.close()
        peer.close()
        return received, str(refused.value), str(late.value)

    assert run(loop, main()) == (
        b"bytes keyword bytearray memoryview subclass",
        "data argument must be a bytes, bytearray, or memoryview object, not 'str'" if sys.version_info >= (3, 14)
        else "data argument must be a bytes-like object, not 'str'",
        "Cannot call write() after write_eof()",
    )


def test_writes_after_the_close_are_dropped_and_logged_past_the_threshold(loop, caplog):
    ours, peer = make_pair("tcp")

    async def main():
        transport = await connect(loop, ours, Recorder(loop))
        transport.write(b"sent")
        transport.close()
        for _ in range(asyncio.constants.LOG_THRESHOLD_FOR_CONNLOST_WRITES + 2):
            transport.write(b"dropped")
        received = await loop.run_in_executor(None, recv_all, peer)
        peer.close()
        return received

    with caplog.at_level("WARNING", logger="asyncio"):
        assert run(loop, main()) == b"sent"
    assert [r.getMessage() for r in caplog.records] == ["socket.send() raised exception."] * 3


def test_peer_closing_mid_write_ends_the_connection_once(loop):
    ours, peer = make_pair("tcp")
    # Closing with unread data makes the peer's kernel answer with a reset.
    peer.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")

    async def main():
        protocol = Recorder(loop)
        transport = await connect(loop, ours, protocol)
        for _ in range(64):
            transport.write(b"x" * 65536)
        assert transport.get_write_buffer_size() > 0
        peer.recv(1000)
        peer.close()
        for _ in range(200):
            transport.write(b"y" * 65536)  # later writes are counted, not raised
            await asyncio.sleep(0.005)
            if protocol.lost.done():
                break
        assert isinstance(await protocol.lost, (ConnectionResetError, BrokenPipeError))
        assert protocol.events.count("lost") == 1 and transport.is_closing()

    run(loop, main())


def test_half_closed_connection_keeps_working_both_ways(loop):
    ours, peer = make_pair("tcp")

    async def main():
        protocol = Recorder(loop, keep_open_on_eof=True)
        transport = await connect(loop, ours, protocol)
        transport.write(b"request")
        transport.write_eof()
        assert await loop.run_in_executor(None, recv_all, peer) == b"request"
        with pytest.raises(RuntimeError):
            transport.write(b"late")
        peer.sendall(b"reply " * 1000)
        peer.shutdown(socket.SHUT_WR)
        while "eof" not in protocol.events:
            await asyncio.sleep(0.01)
        assert not transport.is_closing()  # eof_received kept it open
        assert bytes(protocol.data) == b"reply " * 1000
        transport.close()
        assert await protocol.lost is None
        peer.close()

    run(loop, main())


def test_slow_reader_pauses_and_resumes_the_writer_without_loss(loop):
    ours, peer = make_pair("unix")
    payload = os.urandom(4 << 20)

    async def main():
        protocol = Recorder(loop)
        transport = await connect(loop, ours, protocol)
        transport.set_write_buffer_limits(high=256 * 1024, low=64 * 1024)
        for start in range(0, len(payload), 100_000):
            transport.write(payload[start:start + 100_000])
        assert protocol.events[-1] == "pause" and transport.get_write_buffer_size() > 256 * 1024
        received = loop.run_in_executor(None, recv_exactly, peer, len(payload))
        while protocol.events[-1] != "resume":
            await asyncio.sleep(0.01)
        assert hashlib.sha256(await received).digest() == hashlib.sha256(payload).digest()
        transport.close()
        assert await protocol.lost is None
        peer.close()

    run(loop, main())


def test_a_connection_that_backs_up_again_and_again_sends_every_episode_in_order(loop, tmp_path):
    """Each time the socket's buffer fills, what stays queued is sent once the peer reads,
    as is a file sent after the queue drained, and writes between episodes go out at once."""
    ours, peer = make_pair("unix")
    episodes = [os.urandom(1 << 20) for _ in range(4)]
    sent_file = tmp_path / "file"
    sent_file.write_bytes(os.urandom(1 << 20))

    async def drained(transport):
        while transport.get_write_buffer_size():
            await asyncio.sleep(0.002)

    async def main():
        transport = await connect(loop, ours, Recorder(loop))
        for episode in episodes:
            transport.write(episode)
            assert transport.get_write_buffer_size() > 0
            received = await loop.run_in_executor(None, recv_exactly, peer, len(episode))
            assert received == episode
            await drained(transport)
            transport.write(b"between")
            assert transport.get_write_buffer_size() == 0
            assert await loop.run_in_executor(None, recv_exactly, peer, 7) == b"between"
        with open(sent_file, "rb") as file:
            sending = loop.create_task(loop.sendfile(transport, file))
            received = await loop.run_in_executor(None, recv_exactly, peer, 1 << 20)
            assert await sending == 1 << 20 and received == sent_file.read_bytes()
        transport.close()
        peer.close()

    run(loop, main())


def test_stream_reader_pausing_the_transport_from_its_callbacks_loses_nothing(loop):
    ours, peer = make_pair("unix")
    payload = os.urandom(2 << 20)

    async def main():
        # A small limit makes the reader pause and resume the transport over and over.
        reader, writer = await asyncio.open_connection(sock=ours, limit=4096)
        sending = loop.run_in_executor(None, peer.sendall, payload)
        received = bytearray()
        while len(received) < len(payload):
            received += await reader.read(1000)
            if len(received) % 7 == 0:
                await asyncio.sleep(0.001)
        await sending
        assert bytes(received) == payload
        writer.close()
        await writer.wait_closed()
        peer.close()

    run(loop, main())


@pytest.mark.parametrize("size", [1, 1000, 1 << 20])
def test_buffered_protocol_receives_everything_through_its_buffer(loop, size):
    ours, peer = make_pair("unix")
    payload = os.urandom(300_000)

    async def main():
        protocol = BufferRecorder(loop, size)
        await connect(loop, ours, protocol)
        await loop.run_in_executor(None, peer.sendall, payload)
        peer.close()
        assert await protocol.lost is None
        assert bytes(protocol.data) == payload
        assert protocol.events == ["made", "eof", "lost"]

    run(loop, main())


@pytest.mark.parametrize("successor", ["plain", "buffered", "close", "raise"])
def test_protocol_acting_on_the_transport_from_data_received(loop, successor):
    """The first delivery replaces the protocol (by a plain or a buffered one), closes the
    transport or fails; later bytes reach only the successor, nothing after close() or a failure,
    and a failure is reported as the connection's end."""
    ours, peer = make_pair("unix")
    first, rest = b"first", os.urandom(200_000)
    reports = []
    loop.set_exception_handler(lambda _loop, context: reports.append(context))

    async def main():
        follower = BufferRecorder(loop, 1000) if successor == "buffered" else Recorder(loop)

        class Handing(Recorder):
            def data_received(self, data):
                super().data_received(data)
                if successor == "raise":
                    raise ValueError("boom")
                if successor == "close":
                    self.transport.close()
                else:
                    self.transport.set_protocol(follower)
                    # The peer's next bytes are sent only now: they cannot reach the first protocol.
                    loop.run_in_executor(None, peer.sendall, rest)

        protocol = Handing(loop)
        transport = await connect(loop, ours, protocol)
        peer.sendall(first)
        if successor in ("close", "raise"):
            lost = await protocol.lost
            with contextlib.suppress(OSError):  # the transport's socket is closed by now
                peer.send(rest[:1000])
            await asyncio.sleep(0.1)
            assert protocol.events == ["made", "data", "lost"]
            assert isinstance(lost, ValueError) if successor == "raise" else lost is None
        else:
            while len(follower.data) < len(rest):
                await asyncio.sleep(0.01)
            transport.close()
            assert await follower.lost is None
            assert bytes(follower.data) == rest
        assert bytes(protocol.data) == first
        assert all(r["transport"] is transport for r in reports)
        assert [r["message"] for r in reports] == (
            ["Fatal error: protocol.data_received() call failed."] if successor == "raise" else [])
        peer.close()

    run(loop, main())


@pytest.mark.parametrize("ending", ["close", "abort"])
def test_ending_while_a_read_is_in_progress_never_touches_a_reused_descriptor(loop, ending):
    class EndsAfterSomeData(Recorder):
        """Ends the transport just after a delivery, while the next read may be under way, and
        at once takes a new pipe: a descriptor the transport let go of too early is reused by it."""

        def __init__(self, loop, deliveries):
            super().__init__(loop)
            self.deliveries = deliveries

        def data_received(self, data):
            self.deliveries -= 1
            if self.deliveries == 0:
                loop.call_soon(self.end_and_reuse)

        def end_and_reuse(self):
            getattr(self.transport, ending)()
            self.pipe = os.pipe()
            os.write(self.pipe[1], b"mine")

    async def one(round_number):
        ours, peer = socket.socketpair()
        ours.setblocking(False)
        peer.settimeout(30)
        stop = threading.Event()

        def flood():
            with contextlib.suppress(OSError):
                while not stop.is_set():
                    peer.send(b"z" * 65536)

        flooder = threading.Thread(target=flood)
        flooder.start()
        protocol = EndsAfterSomeData(loop, 1 + round_number % 3)
        await connect(loop, ours, protocol)
        await protocol.lost
        stop.set()
        flooder.join()  # our end is closed: a blocked send fails at once
        peer.close()
        read_end, write_end = protocol.pipe
        try:
            await asyncio.sleep(0.001)
            assert os.read(read_end, 4) == b"mine"
        finally:
            os.close(read_end)
            os.close(write_end)

    async def main():
        for round_number in range(100):
            await one(round_number)

    run(loop, main(), timeout=120)


class WriteOnly(EventRecorder, asyncio.BaseProtocol):
    """A write pipe's protocol, which need not have data_received."""


@pytest.mark.parametrize("queued, then_eof, expected", [
    (0, False, type(None)),  # nothing to send: the end of the reader is a plain end
    (1 << 20, False, BrokenPipeError),  # more than the pipe holds
    (1 << 20, True, BrokenPipeError),  # closing with data queued, a write refused after it
])
def test_write_pipe_notices_its_reader_leave(loop, queued, then_eof, expected):
    """Quietly, as asyncio's does: the broken pipe reaches connection_lost only."""
    read_end, write_end = os.pipe()
    reported = []
    loop.set_exception_handler(lambda _, context: reported.append(context))

    async def main():
        protocol = WriteOnly(loop)
        transport, _ = await loop.connect_write_pipe(lambda: protocol, os.fdopen(write_end, "wb", 0))
        transport.write(b"q" * queued)
        assert (transport.get_write_buffer_size() > 0) == (queued > 0)
        if then_eof:
            transport.write_eof()
            transport.write(b"refused")
            assert transport.is_closing()
        await asyncio.sleep(0.01)
        assert not protocol.lost.done()
        os.close(read_end)
        lost = await protocol.lost
        transport.close()
        return lost

    assert isinstance(run(loop, main()), expected)
    assert reported == []


def test_each_pipe_transport_has_only_its_own_directions_methods(loop):
    read_end, write_end = os.pipe()

    async def main():
        reading, _ = await loop.connect_read_pipe(lambda: Recorder(loop), os.fdopen(read_end, "rb", 0))
        writing, _ = await loop.connect_write_pipe(lambda: WriteOnly(loop), os.fdopen(write_end, "wb", 0))
        assert not any(hasattr(reading, name) for name in (
            "write", "writelines", "write_eof", "can_write_eof", "get_write_buffer_size",
            "get_write_buffer_limits", "set_write_buffer_limits"))
        for method in (writing.is_reading, writing.pause_reading, writing.resume_reading):
            with pytest.raises(NotImplementedError):
                method()
        reading.close()
        writing.close()

    run(loop, main())


def test_write_pipe_flushes_everything_that_fills_the_pipe_again_and_again(loop):
    """A child's stdin waits for room many times over (a pipe holds 64 KiB); every byte arrives."""
    payload = os.urandom(4 << 20)

    async def main():
        child = await asyncio.create_subprocess_exec("cat", stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        child.stdin.write(payload)
        child.stdin.write_eof()
        echoed, _ = await asyncio.wait_for(child.communicate(), 30)
        assert echoed == payload

    run(loop, main())


def test_sendfile_cut_short_by_the_peer_raises_and_leaves_the_file_where_it_stopped(loop, tmp_path):
    content = os.urandom(16 << 20)
    path = tmp_path / "content"
    path.write_bytes(content)
    ours, peer = make_pair("tcp")
    # Small buffers: the peer's reset surely finds the send under way.
    ours.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 16 * 1024)
    peer.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16 * 1024)

    def take_some_then_reset():
        got = 0
        while got < 1024:
            got += len(peer.recv(1024))
        peer.close()  # a close with unread data resets the connection

    async def main():
        transport = await connect(loop, ours, Recorder(loop))
        taken = loop.run_in_executor(None, take_some_then_reset)
        with open(path, "rb") as file:
            with pytest.raises(ConnectionError):
                await loop.sendfile(transport, file)
            assert 1024 <= file.tell() < len(content)
        await taken
        transport.close()

    run(loop, main())


def test_start_tls_upgrades_a_plain_connection(loop, tmp_path):
    key, cert = tmp_path / "key.pem", tmp_path / "cert.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", str(key),
                    "-out", str(cert), "-days", "2", "-subj", "/CN=localhost",
                    "-addext", "subjectAltName=DNS:localhost"], check=True, capture_output=True)
    server_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    server_context.load_cert_chain(cert, key)
    client_context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    client_context.load_verify_locations(cert)

    async def upgrade_then_echo(reader, writer):
        writer.write((await reader.readexactly(7)).upper())
        await writer.drain()
        await writer.start_tls(server_context)
        writer.write((await reader.readexactly(5)).upper())
        writer.close()

    async def main():
        ours, theirs = socket.socketpair()
        served = asyncio.ensure_future(loop.connect_accepted_socket(
            lambda: asyncio.StreamReaderProtocol(asyncio.StreamReader(), upgrade_then_echo), theirs))
        reader, writer = await asyncio.open_connection(sock=ours)
        await served
        writer.write(b"upgrade")
        assert await reader.readexactly(7) == b"UPGRADE"
        await writer.start_tls(client_context, server_hostname="localhost")
        assert writer.get_extra_info("ssl_object") is not None
        writer.write(b"quiet")
        assert await reader.read() == b"QUIET"
        writer.close()
        await writer.wait_closed()

    run(loop, main())


OWNED = r"File descriptor .* is used by transport"


@pytest.mark.parametrize("kind", ["tcp", "unix", "datagram"])
def test_watchers_and_socket_calls_refuse_a_transport_socket(loop, kind):
    if kind == "datagram":
        ours, peer = socket.socketpair(socket.AF_UNIX, socket.SOCK_DGRAM)
        ours.setblocking(False)
    else:
        ours, peer = make_pair(kind)

    async def main():
        if kind == "datagram":
            transport, _ = await loop.create_datagram_endpoint(asyncio.DatagramProtocol, sock=ours)
        else:
            transport = await connect(loop, ours, asyncio.Protocol())
        for target in (ours, ours.fileno()):
            for watch in (loop.add_reader, loop.add_writer):
                with pytest.raises(RuntimeError, match=OWNED):
                    watch(target, lambda: None)
            for unwatch in (loop.remove_reader, loop.remove_writer):
                with pytest.raises(RuntimeError, match=OWNED):
                    unwatch(target)
        # A socket call is refused once it would have to wait (nothing to read here).
        with pytest.raises(RuntimeError, match=OWNED):
            await loop.sock_recv(ours, 1)
        # Closing frees the descriptor for watchers at once.
        transport.close()
        loop.add_reader(ours.fileno(), lambda: None)
        assert loop.remove_reader(ours.fileno())

    try:
        run(loop, main())
    finally:
        peer.close()


def test_a_pipe_transport_leaves_its_descriptor_to_watchers(loop):
    """Only socket transports keep watchers off their descriptor, as asyncio's do."""
    read_end, write_end = os.pipe()

    async def main():
        transport, _ = await loop.connect_read_pipe(asyncio.Protocol, os.fdopen(read_end, "rb", 0))
        loop.add_reader(read_end, lambda: None)
        assert loop.remove_reader(read_end)
        transport.close()

    try:
        run(loop, main())
    finally:
        os.close(write_end)


def test_a_descriptor_number_reused_under_a_closing_transport_keeps_both_apart(aio_loop):
    """The socket under a transport was closed behind its back and its number reused by
    a new transport while the first was still closing: each stream's end reaches its own
    transport, and the number stays refused to watchers while the new one is open."""
    loop = aio_loop
    ours, peer = make_pair("unix")
    fd = ours.fileno()

    async def main():
        first, second = Recorder(loop), Recorder(loop)
        old = await connect(loop, ours, first)
        ours.close()
        old.close()
        reused, new_peer = socket.socketpair()  # the lowest free number, or moved onto it
        if reused.fileno() != fd:
            os.dup2(reused.fileno(), fd)
            reused.close()
            reused = socket.socket(fileno=fd)
        reused.setblocking(False)
        new = await connect(loop, reused, second)
        await first.lost
        for _ in range(5):
            await asyncio.sleep(0.01)  # the first stream's release, when it comes, is its own
        assert first.events.count("lost") == 1 and "lost" not in second.events
        with pytest.raises(RuntimeError, match=OWNED):
            loop.add_reader(fd, lambda: None)
        new.write(b"still here")
        assert await loop.run_in_executor(None, new_peer.recv, 100) == b"still here"
        new.close()
        await second.lost
        new_peer.close()
        peer.close()

    run(loop, main())


def test_a_transport_takes_attributes_set_on_it(loop):
    """Tests and tools patch a transport's methods on the instance, as asyncio's allow."""
    ours, peer = make_pair("unix")

    async def main():
        transport = await connect(loop, ours, Recorder(loop))
        paused = []
        transport.pause_reading = lambda: paused.append(True)
        transport.note = "kept"
        transport.pause_reading()
        assert paused == [True] and transport.note == "kept"
        transport.close()
        peer.close()

    run(loop, main())
