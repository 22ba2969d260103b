# Servers (create_server, start_server) over asyncio's loop and cadrelio's: accepting, closing,
# descriptor hygiene under load and when the process runs out of descriptors.
import asyncio
import resource
import socket

import pytest

import cadrelio
import probes
from conftest import run


class ClosingProtocol(asyncio.Protocol):
    """Closes each accepted connection at once and counts it."""

    accepted = 0

    def connection_made(self, transport):
        type(self).accepted += 1
        transport.close()


async def echo_upper(reader, writer):
    writer.write((await reader.read(100)).upper())
    await writer.drain()
    writer.close()


def test_start_server_echoes_then_close_and_wait_closed_end_it(loop):
    async def scenario():
        server = await asyncio.start_server(echo_upper, "127.0.0.1", 0)
        assert server.is_serving()
        port = server.sockets[0].getsockname()[1]
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        writer.write(b"ping")
        assert await reader.read() == b"PING"
        writer.close()
        await writer.wait_closed()
        server.close()
        await server.wait_closed()
        assert server.sockets == () and not server.is_serving()
        with pytest.raises(OSError):
            await asyncio.open_connection("127.0.0.1", port)

    run(loop, scenario())


def test_ten_thousand_connections_leave_no_descriptor_or_thread(loop):
    threads_before = probes.thread_count()

    async def connect_one(address):
        with socket.socket() as client:
            client.setblocking(False)
            await loop.sock_connect(client, address)
            while await loop.sock_recv(client, 16):
                pass

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
def test_closing_races_arriving_connections_without_leaking(loop, arrivals):
    # Connections queue on the listening socket and the server closes in the same pass as
    # their readiness report: each is refused, reset or accepted-and-closed, never leaked.
    async def scenario():
        server = await loop.create_server(ClosingProtocol, "127.0.0.1", 0)
        address = server.sockets[0].getsockname()
        clients = [socket.create_connection(address) for _ in range(arrivals)]
        server.close()
        await server.wait_closed()
        await asyncio.sleep(0.05)
        for client in clients:
            client.settimeout(5)
            try:
                assert client.recv(1) == b""
            except ConnectionResetError:
                pass
            client.close()

    run(loop, scenario())


def test_cancelled_connect_racing_readiness_leaks_nothing(loop):
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
        server.close()
        await server.wait_closed()
        await asyncio.sleep(0.05)

    run(loop, scenario())


def test_accepting_pauses_when_out_of_descriptors_and_resumes(loop):
    reports = []
    loop.set_exception_handler(lambda _, context: reports.append(context))

    async def scenario():
        ClosingProtocol.accepted = 0
        server = await loop.create_server(ClosingProtocol, "127.0.0.1", 0)
        address = server.sockets[0].getsockname()
        client = socket.create_connection(address)
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
        assert await loop.run_in_executor(None, client.recv, 1) == b""  # accepted after the retry
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
