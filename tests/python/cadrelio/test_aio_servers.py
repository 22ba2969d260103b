# Servers over asyncio's loop and cadrelio's: descriptor hygiene under load, when cancels and
# closing race readiness, and when the process runs out of descriptors; Unix-domain servers.
import asyncio
import gc
import os
import resource
import socket
import sys
import warnings

import pytest

import cadrelio
import probes
from conftest import run


class ClosingProtocol(asyncio.Protocol):
    """Says goodbye to each accepted connection, closes it at once and counts it."""

    accepted = 0

    def connection_made(self, transport):
        type(self).accepted += 1
        transport.write(b"bye")
        transport.close()


def test_ten_thousand_connections_leave_no_descriptor_or_thread(loop):
    threads_before = probes.thread_count()

    async def connect_one(address):
        with socket.socket() as client:
            client.setblocking(False)
            await loop.sock_connect(client, address)
            received = b""
            while chunk := await loop.sock_recv(client, 16):
                received += chunk
            assert received == b"bye"

    async def scenario():
        ClosingProtocol.accepted = 0
        server = await loop.create_server(ClosingProtocol, "127.0.0.1", 0, backlog=1000)
        address = server.sockets[0].getsockname()
        for _ in range(50):  # in rounds, so the client side stays within the descriptor limit
            await asyncio.gather(*(connect_one(address) for _ in range(200)))
        server.close()
        await server.wait_closed()
        return ClosingProtocol.accepted

    assert run(loop, scenario(), timeout=110) == 10_000
    assert probes.thread_count() <= threads_before + 1  # the default executor's resolver, at most


@pytest.mark.parametrize("arrivals", [0, 1, 5])
def test_cancels_and_closing_racing_readiness_leak_nothing(loop, arrivals):
    """Connects cancelled after ever more steps may meet the accept's readiness; then connections
    queue on the listening socket and the server closes in the same pass as their readiness
    report: each is refused, reset or accepted-and-closed, never leaked."""

    async def scenario():
        server = await loop.create_server(ClosingProtocol, "127.0.0.1", 0)
        address = server.sockets[0].getsockname()
        for delay_steps in range(6):
            attempt = asyncio.ensure_future(asyncio.open_connection(*address))
            for _ in range(delay_steps):
                await asyncio.sleep(0)
            attempt.cancel()
            try:
                _, writer = await attempt
            except asyncio.CancelledError:
                continue
            writer.close()
            await writer.wait_closed()
        clients = [socket.create_connection(address) for _ in range(arrivals)]
        server.close()
        await server.wait_closed()
        await asyncio.sleep(0.05)
        for client in clients:
            client.settimeout(5)
            try:
                assert client.recv(16) in (b"", b"bye")
            except ConnectionResetError:
                pass
            client.close()

    run(loop, scenario())


def test_accepting_pauses_when_out_of_descriptors_and_resumes(loop):
    reports = []
    loop.set_exception_handler(lambda _, context: reports.append(context))

    async def scenario():
        ClosingProtocol.accepted = 0
        server = await loop.create_server(ClosingProtocol, "127.0.0.1", 0)
        client = socket.create_connection(server.sockets[0].getsockname())
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        # No descriptor number is free above the ones open now: accept() fails with EMFILE.
        resource.setrlimit(resource.RLIMIT_NOFILE, (probes.fd_count() + 3, hard))
        try:
            filler = []
            try:
                while True:
                    filler.append(socket.socket())
            except OSError:
                pass
            await asyncio.sleep(0.3)
            assert ClosingProtocol.accepted == 0
            for sock in filler:
                sock.close()
        finally:
            resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
        client.settimeout(5)
        assert await loop.run_in_executor(None, client.recv, 16) == b"bye"  # accepted after the retry
        client.close()
        # asyncio's loop schedules one retry per failed accept in the batch; a retry that fires
        # after close() fails on the closed socket, so let them all fire first.
        await asyncio.sleep(0.2)
        server.close()
        await server.wait_closed()

    run(loop, scenario())
    assert ClosingProtocol.accepted == 1
    assert reports and {context["message"] for context in reports} == {"socket.accept() out of system resource"}
    if isinstance(loop, cadrelio.Loop):
        # asyncio's loop goes on through the batch, reporting and scheduling a retry per failed
        # accept; ours pauses at the first.
        assert len(reports) == 1


async def echo_upper(reader, writer):
    writer.write((await reader.read(100)).upper())
    await writer.drain()
    writer.close()


@pytest.mark.parametrize("abstract", [False, True], ids=["file", "abstract"])
def test_unix_server_and_client_exchange_and_clean_up(loop, tmp_path, abstract):
    path = f"\0cadrelio-test-{os.getpid()}-{id(loop)}" if abstract else str(tmp_path / "server.sock")

    async def exchange(**target):
        reader, writer = await asyncio.open_unix_connection(**target)
        writer.write(b"unix")
        reply = await reader.read()
        writer.close()
        await writer.wait_closed()
        return reply

    async def scenario():
        server = await asyncio.start_unix_server(echo_upper, path)
        # Abstract names come back as bytes.
        assert server.sockets[0].getsockname() == (path.encode() if abstract else path)
        assert await exchange(path=path) == b"UNIX"
        client = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        client.connect(path)
        assert await exchange(sock=client) == b"UNIX"
        server.close()
        await server.wait_closed()

    run(loop, scenario())
    if not abstract:  # removed on close from 3.13
        assert os.path.exists(path) == (sys.version_info < (3, 13))


def test_an_unbound_socket_is_refused_with_the_system_error(aio_loop):
    # A stream socket cannot listen unbound (EINVAL). asyncio's loop from 3.13 fails earlier, with
    # an IndexError on the empty name it reads for cleanup_socket.
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
        with pytest.raises(OSError):
            run(aio_loop, asyncio.start_unix_server(echo_upper, sock=sock))


class ExtrasProtocol(asyncio.Protocol):
    """Records what an accepted connection says of itself while open, if `ask`, and after its end."""

    def __init__(self, ask, seen, ended):
        self.ask, self.seen, self.ended = ask, seen, ended

    def connection_made(self, transport):
        self.transport = transport
        if self.ask:
            sock = transport.get_extra_info("socket")
            self.seen.append((transport.get_extra_info("peername"), transport.get_extra_info("sockname"),
                              sock.family, sock.type, sock.gettimeout(), sock.fileno() >= 0))
        transport.close()

    def connection_lost(self, exc):
        self.ended.append(self.transport)


@pytest.mark.parametrize("family", ["tcp", "unix"])
@pytest.mark.parametrize("ask", [True, False], ids=["asked_while_open", "never_asked"])
def test_an_accepted_connection_tells_its_socket_and_addresses_while_open_and_after(loop, tmp_path, family, ask):
    seen, ended = [], []

    async def scenario():
        factory = lambda: ExtrasProtocol(ask, seen, ended)  # noqa: E731
        if family == "tcp":
            server = await loop.create_server(factory, "127.0.0.1", 0)
            client = socket.create_connection(server.sockets[0].getsockname())
        else:
            path = str(tmp_path / "extras.sock")
            server = await loop.create_unix_server(factory, path)
            client = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            client.connect(path)
        with client:
            while not ended:
                await asyncio.sleep(0.01)
            peer = client.getsockname()
            here = server.sockets[0].getsockname()
        server.close()
        await server.wait_closed()
        return peer, here

    peer, here = run(loop, scenario())
    kind = socket.AF_INET if family == "tcp" else socket.AF_UNIX
    if ask:
        assert seen == [(peer, here, kind, socket.SOCK_STREAM, 0.0, True)]
    # What the socket said while open stays known once it is closed.
    [transport] = ended
    assert (transport.get_extra_info("peername"), transport.get_extra_info("sockname"),
            transport.get_extra_info("socket").fileno()) == (peer, here, -1)


def test_a_failing_protocol_factory_closes_only_its_own_connection(loop):
    """The refused connection's descriptor is closed once: the next connections, which may get the
    same number, are served."""
    calls = []

    def factory():
        calls.append(None)
        if len(calls) == 1:
            raise RuntimeError("no protocol for this one")
        return ClosingProtocol()

    async def scenario():
        server = await loop.create_server(factory, "127.0.0.1", 0)
        replies = []
        for _ in range(4):  # the first is refused: closed without a word
            reader, writer = await asyncio.open_connection(*server.sockets[0].getsockname())
            replies.append(await reader.read())
            writer.close()
        server.close()
        await server.wait_closed()
        return replies

    with warnings.catch_warnings():
        if not isinstance(loop, cadrelio.Loop):
            # asyncio's own loop (3.12 and later) leaves the refused connection's socket to the
            # garbage collector, which warns; cadrelio's closes it.
            warnings.simplefilter("ignore", ResourceWarning)
        assert run(loop, scenario()) == [b""] + [b"bye"] * 3
        gc.collect()
