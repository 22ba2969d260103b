# Stream transports (sockets, pipes, TLS) over asyncio's loop and cadrelio's: each case runs on both.
import asyncio
import contextlib
import gc
import hashlib
import os
import socket
import ssl
import subprocess
import threading

import pytest

import probes
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
        if self.events[-1] != "data":
            self.events.append("data")

    def eof_received(self):
        self.events.append("eof")
        return self.keep_open_on_eof


class BufferRecorder(Recorder, asyncio.BufferedProtocol):
    """Reads through small buffers of its own."""

    def __init__(self, loop, size):
        Recorder.__init__(self, loop)
        self.buffer = bytearray(size)

    def get_buffer(self, sizehint):
        return self.buffer

    def buffer_updated(self, nbytes):
        self.data += self.buffer[:nbytes]


def make_pair(kind):
    """A connected (ours, peer) pair of stream sockets; the peer is blocking."""
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


@pytest.mark.parametrize("kind", ["tcp", "unix"])
def test_round_trip_order_and_extra_info(loop, kind):
    ours, peer = make_pair(kind)
    sockname = ours.getsockname()

    async def main():
        protocol = Recorder(loop)
        transport = await connect(loop, ours, protocol)
        assert isinstance(transport, asyncio.Transport)
        assert protocol.events == ["made"]  # before the waiter resolved
        assert transport.get_protocol() is protocol
        extra_socket = transport.get_extra_info("socket")
        assert isinstance(extra_socket, asyncio.trsock.TransportSocket)
        assert extra_socket.fileno() == ours.fileno()
        assert transport.get_extra_info("sockname") == sockname
        assert transport.get_extra_info("peername") == ours.getpeername()
        assert transport.can_write_eof() and transport.is_reading()
        peer.sendall(b"ping")
        transport.writelines([b"po", b"ng"])
        assert await loop.run_in_executor(None, peer.recv, 4) == b"pong"
        peer.close()
        assert await protocol.lost is None
        assert bytes(protocol.data) == b"ping"
        assert protocol.events == ["made", "data", "eof", "lost"]
        assert transport.is_closing() and transport.get_extra_info("socket").fileno() == -1

    run(loop, main())


@pytest.mark.parametrize("ending", ["close", "abort"])
@pytest.mark.parametrize("moment", ["connection_made", "connected"])
def test_ending_at_once_still_loses_the_connection(loop, ending, moment):
    class EndsAtOnce(Recorder):
        def connection_made(self, transport):
            super().connection_made(transport)
            if moment == "connection_made":
                getattr(transport, ending)()

    async def main():
        for _ in range(50):
            ours, peer = socket.socketpair()
            ours.setblocking(False)
            protocol = EndsAtOnce(loop)
            transport = await connect(loop, ours, protocol)
            if moment == "connected":
                getattr(transport, ending)()  # the workers may not have run yet
            assert await protocol.lost is None
            assert protocol.events == ["made", "lost"]
            peer.close()

    run(loop, main())


@pytest.mark.parametrize("moment", ["connection_made", "connected", "after_a_small_write"])
def test_more_than_the_socket_takes_is_sent_whenever_it_is_written(loop, moment):
    """Bytes beyond what the kernel takes at once are flushed later, whether written before the
    transport started its workers, after, or after writes that went out at once; close()
    waits for them."""
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


def test_closing_after_the_loop_closed_raises_and_the_socket_goes_with_the_transport(loop):
    ours, peer = socket.socketpair()
    ours.setblocking(False)
    protocol = Recorder(loop)
    transport = run(loop, connect(loop, ours, protocol))
    loop.close()
    with pytest.raises(RuntimeError, match="closed"):
        transport.close()
    assert protocol.events == ["made"]
    with pytest.warns(ResourceWarning):
        del transport, protocol
        gc.collect()
    assert ours.fileno() == -1
    peer.close()


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
        exc = await protocol.lost
        assert isinstance(exc, (ConnectionResetError, BrokenPipeError))
        assert protocol.events.count("lost") == 1
        assert transport.is_closing()

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
        assert transport.get_write_buffer_limits() == (64 * 1024, 256 * 1024)
        for start in range(0, len(payload), 100_000):
            transport.write(payload[start:start + 100_000])
        assert protocol.events[-1] == "pause"
        assert transport.get_write_buffer_size() > 256 * 1024
        received = loop.run_in_executor(None, recv_exactly, peer, len(payload))
        while protocol.events[-1] != "resume":
            await asyncio.sleep(0.01)
        assert hashlib.sha256(await received).digest() == hashlib.sha256(payload).digest()
        while transport.get_write_buffer_size():
            await asyncio.sleep(0.01)
        transport.close()
        assert await protocol.lost is None
        peer.close()

    run(loop, main())


def recv_exactly(sock, size):
    data = bytearray()
    while len(data) < size:
        data += sock.recv(min(1 << 20, size - len(data)))
    return bytes(data)


def test_pause_reading_holds_data_back_until_resumed(loop):
    ours, peer = make_pair("tcp")

    async def main():
        protocol = Recorder(loop)
        transport = await connect(loop, ours, protocol)
        transport.pause_reading()
        assert not transport.is_reading()
        peer.sendall(b"held" * 1000)
        peer.shutdown(socket.SHUT_WR)
        await asyncio.sleep(0.3)
        assert protocol.events == ["made"]
        transport.resume_reading()
        assert transport.is_reading()
        assert await protocol.lost is None
        assert bytes(protocol.data) == b"held" * 1000
        assert protocol.events == ["made", "data", "eof", "lost"]
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


@pytest.mark.parametrize("successor", ["plain", "buffered", "close"])
def test_protocol_acting_on_the_transport_from_data_received(loop, successor):
    """The first delivery replaces the protocol (by a plain or a buffered one) or closes the
    transport; later bytes reach only the successor, nothing after close()."""
    ours, peer = make_pair("unix")
    first, rest = b"first", os.urandom(200_000)

    async def main():
        follower = BufferRecorder(loop, 1000) if successor == "buffered" else Recorder(loop)
        follower.events.append("handed")

        class Handing(Recorder):
            def data_received(self, data):
                super().data_received(data)
                if successor == "close":
                    self.transport.close()
                else:
                    self.transport.set_protocol(follower)
                    # The peer's next bytes are sent only now: they cannot reach the first protocol.
                    loop.run_in_executor(None, peer.sendall, rest)

        protocol = Handing(loop)
        transport = await connect(loop, ours, protocol)
        peer.sendall(first)
        if successor == "close":
            assert await protocol.lost is None
            with contextlib.suppress(OSError):  # the transport's socket is closed by now
                peer.send(rest[:1000])
            await asyncio.sleep(0.1)
            assert protocol.events == ["made", "data", "lost"]
        else:
            while len(follower.data) < len(rest):
                await asyncio.sleep(0.01)
            transport.close()
            assert await follower.lost is None
            assert bytes(follower.data) == rest
        assert bytes(protocol.data) == first
        peer.close()

    run(loop, main())


def test_failing_protocol_is_reported_and_loses_the_connection(loop):
    ours, peer = make_pair("unix")
    reports = []
    loop.set_exception_handler(lambda _loop, context: reports.append(context))

    class Failing(Recorder):
        def data_received(self, data):
            raise ValueError("boom")

    async def main():
        protocol = Failing(loop)
        transport = await connect(loop, ours, protocol)
        peer.sendall(b"x")
        assert isinstance(await protocol.lost, ValueError)
        assert [r["message"] for r in reports] == ["Fatal error: protocol.data_received() call failed."]
        assert reports[0]["transport"] is transport
        peer.close()

    run(loop, main())


def test_ten_thousand_connections_leave_nothing_behind(loop):
    threads_before = probes.thread_count()
    fds_before = probes.fd_count()

    async def one():
        ours, peer = socket.socketpair()
        ours.setblocking(False)
        protocol = Recorder(loop)
        transport = await connect(loop, ours, protocol)
        transport.write(b"hi")
        peer.close()
        await protocol.lost

    async def main():
        for _ in range(100):
            await asyncio.gather(*(one() for _ in range(100)))

    run(loop, main(), timeout=300)
    assert probes.fd_count() == fds_before
    assert probes.thread_count() == threads_before


@pytest.mark.parametrize("ending", ["close", "abort"])
def test_ending_while_a_read_is_in_progress_never_touches_a_reused_descriptor(loop, ending):
    class EndsAfterSomeData(Recorder):
        """Ends the transport just after a delivery, while the next read may be under way, and
        at once takes a new pipe: a descriptor the transport let go of too early is reused by it."""

        def __init__(self, loop, deliveries):
            super().__init__(loop)
            self.deliveries = deliveries
            self.pipe = None

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
            try:
                while not stop.is_set():
                    peer.send(b"z" * 65536)
            except OSError:
                pass

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


def test_pipes_flow_and_the_writer_notices_its_reader_leave(loop):
    async def main():
        read_end, write_end = os.pipe()
        reader = Recorder(loop)
        writer = Recorder(loop)
        read_transport, _ = await loop.connect_read_pipe(lambda: reader, os.fdopen(read_end, "rb", 0))
        write_transport, _ = await loop.connect_write_pipe(lambda: writer, os.fdopen(write_end, "wb", 0))
        assert read_transport.get_extra_info("pipe").fileno() == read_end
        write_transport.write(b"through the pipe")
        while bytes(reader.data) != b"through the pipe":
            await asyncio.sleep(0.01)
        read_transport.close()
        assert await reader.lost is None
        assert await writer.lost is None  # the reader left while nothing was queued

        read_end, write_end = os.pipe()
        writer = Recorder(loop)
        write_transport, _ = await loop.connect_write_pipe(lambda: writer, os.fdopen(write_end, "wb", 0))
        write_transport.write(b"q" * (1 << 20))  # more than the pipe holds
        assert write_transport.get_write_buffer_size() > 0
        os.close(read_end)
        assert isinstance(await writer.lost, BrokenPipeError)

        # Closing with data queued, a write refused after it, then the reader leaves.
        read_end, write_end = os.pipe()
        writer = Recorder(loop)
        write_transport, _ = await loop.connect_write_pipe(lambda: writer, os.fdopen(write_end, "wb", 0))
        write_transport.write(b"q" * (1 << 20))
        write_transport.write_eof()
        write_transport.write(b"refused")
        assert write_transport.is_closing() and not writer.lost.done()
        os.close(read_end)
        assert isinstance(await writer.lost, BrokenPipeError)

    run(loop, main())


def test_read_pipe_delivers_end_of_file_then_loses_the_connection(loop):
    async def main():
        read_end, write_end = os.pipe()
        reader = Recorder(loop)
        await loop.connect_read_pipe(lambda: reader, os.fdopen(read_end, "rb", 0))
        os.write(write_end, b"last words")
        os.close(write_end)
        assert await reader.lost is None
        assert bytes(reader.data) == b"last words"
        assert reader.events == ["made", "data", "eof", "lost"]

    run(loop, main())


@pytest.mark.parametrize("fallback", [True, False])
def test_sendfile_sends_the_file_range_after_queued_data(loop, tmp_path, fallback):
    content = os.urandom(3 << 20)
    path = tmp_path / "content"
    path.write_bytes(content)
    ours, peer = make_pair("tcp")

    async def main():
        protocol = Recorder(loop)
        transport = await connect(loop, ours, protocol)
        transport.write(b"head" * 100_000)  # queued: the file follows it
        expected = b"head" * 100_000 + content[1000:-1000]
        received = loop.run_in_executor(None, recv_exactly, peer, len(expected))
        with open(path, "rb") as file:
            sent = await loop.sendfile(transport, file, offset=1000, count=len(content) - 2000, fallback=fallback)
            assert sent == len(content) - 2000 and file.tell() == len(content) - 1000
        assert await received == expected
        assert transport.get_protocol() is protocol and transport.is_reading()
        transport.close()
        assert await protocol.lost is None
        peer.close()

    run(loop, main())


@pytest.fixture(scope="module")
def tls_contexts(tmp_path_factory):
    directory = tmp_path_factory.mktemp("tls")
    key, cert = directory / "key.pem", directory / "cert.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", str(key),
                    "-out", str(cert), "-days", "2", "-subj", "/CN=localhost",
                    "-addext", "subjectAltName=DNS:localhost"], check=True, capture_output=True)
    server = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    server.load_cert_chain(cert, key)
    client = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    client.load_verify_locations(cert)
    return server, client


def test_tls_connection_and_start_tls(loop, tls_contexts):
    server_context, client_context = tls_contexts

    async def echo(reader, writer):
        data = await reader.read(100)
        writer.write(data.upper())
        await writer.drain()
        if data == b"upgrade":
            await writer.start_tls(server_context)
            writer.write((await reader.readexactly(5)).upper())
        writer.close()

    async def main():
        # TLS from the first byte.
        ours, theirs = socket.socketpair()
        served = asyncio.ensure_future(loop.connect_accepted_socket(
            lambda: asyncio.StreamReaderProtocol(asyncio.StreamReader(), echo), theirs, ssl=server_context))
        reader, writer = await asyncio.open_connection(sock=ours, ssl=client_context, server_hostname="localhost")
        await served
        assert writer.get_extra_info("ssl_object") is not None
        writer.write(b"secret")
        assert await reader.read() == b"SECRET"
        writer.close()
        await writer.wait_closed()

        # Plain first, then upgraded.
        ours, theirs = socket.socketpair()
        served = asyncio.ensure_future(loop.connect_accepted_socket(
            lambda: asyncio.StreamReaderProtocol(asyncio.StreamReader(), echo), theirs))
        reader, writer = await asyncio.open_connection(sock=ours)
        await served
        writer.write(b"upgrade")
        assert await reader.readexactly(7) == b"UPGRADE"
        await writer.start_tls(client_context, server_hostname="localhost")
        writer.write(b"quiet")
        assert await reader.read() == b"QUIET"
        writer.close()
        await writer.wait_closed()

    run(loop, main())


def test_a_write_pipe_sees_its_reader_go_away_without_reading(loop):
    """A write pipe's protocol need not have data_received: the end of its reader reaches
    connection_lost with BrokenPipeError however the write side learns of it."""
    read_fd, write_fd = os.pipe()

    class WriteOnly(asyncio.BaseProtocol):
        def __init__(self):
            self.lost = loop.create_future()

        def connection_lost(self, exc):
            self.lost.set_result(exc)

    async def main():
        with open(write_fd, "wb", buffering=0) as pipe:
            transport, protocol = await loop.connect_write_pipe(WriteOnly, pipe)
            transport.write(b"x" * 1_000_000)  # more than the pipe holds: the rest is queued
            await asyncio.sleep(0.01)
            os.close(read_fd)
            exc = await asyncio.wait_for(protocol.lost, 10)
            transport.close()
            return exc

    assert isinstance(run(loop, main()), BrokenPipeError)
