# Servers over asyncio's loop and cadrelio's: descriptor hygiene under load, when cancels and
# closing race readiness, and when the process runs out of descriptors; Unix-domain servers.
import asyncio
import os
import resource
import socket
import sys

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
