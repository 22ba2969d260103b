# Datagram endpoints over asyncio's loop and cadrelio's: echo, errors, flow control, closing.
import asyncio
import socket
import sys

import pytest

import cadrelio

from conftest import run
from recording import EventRecorder


class Recorder(EventRecorder, asyncio.DatagramProtocol):
    """Keeps what happens to it; `arrived` is set by each datagram or error."""

    def __init__(self, echo=False):
        super().__init__(asyncio.get_running_loop())
        self.echo = echo
        self.datagrams, self.errors = [], []
        self.arrived = asyncio.Event()

    def datagram_received(self, data, addr):
        self.datagrams.append((data, addr))
        if self.echo:
            self.transport.sendto(data.upper(), addr)
        self.arrived.set()

    def error_received(self, exc):
        self.errors.append(exc)
        self.arrived.set()


async def until(predicate, timeout=10):
    async with asyncio.timeout(timeout):
        while not predicate():
            await asyncio.sleep(0.005)


@pytest.mark.parametrize("connected", [True, False], ids=["connected", "unconnected"])
def test_udp_echo(loop, connected):
    async def scenario():
        server_transport, server = await loop.create_datagram_endpoint(
            lambda: Recorder(echo=True), local_addr=("127.0.0.1", 0))
        address = server_transport.get_extra_info("sockname")
        if connected:
            transport, client = await loop.create_datagram_endpoint(Recorder, remote_addr=address)
            assert transport.get_extra_info("peername") == address
            for payload in (b"one", b"two"):
                transport.sendto(payload)
            with pytest.raises(ValueError):
                transport.sendto(b"elsewhere", ("127.0.0.1", 9))
        else:
            transport, client = await loop.create_datagram_endpoint(Recorder, local_addr=("127.0.0.1", 0))
            for payload in (b"one", b"two"):
                transport.sendto(payload, address)
        await until(lambda: len(client.datagrams) == 2)
        assert [data for data, _ in client.datagrams] == [b"ONE", b"TWO"]
        assert {addr for _, addr in client.datagrams} == {address}
        assert server.datagrams[0][1] == transport.get_extra_info("sockname")
        for each in (transport, server_transport):
            each.close()
        assert await client.lost is None and await server.lost is None
        assert client.events == ["made", "lost"]

    run(loop, scenario())


def test_errors_reach_error_received_and_the_transport_stays_open(loop):
    async def scenario():
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as vacant:
            vacant.bind(("127.0.0.1", 0))
            address = vacant.getsockname()
        transport, client = await loop.create_datagram_endpoint(Recorder, remote_addr=address)
        for _ in range(3):
            client.arrived.clear()
            transport.sendto(b"anyone?")  # the port unreachable reply fails the next call
            await asyncio.wait_for(client.arrived.wait(), 5)
        assert len(client.errors) >= 2
        assert all(isinstance(exc, ConnectionRefusedError) for exc in client.errors)
        assert not transport.is_closing()
        transport.close()
        await client.lost

    run(loop, scenario())


@pytest.fixture
def receiver(tmp_path):
    """A Unix datagram socket nobody reads yet: a sender to it blocks once its queue is full."""
    path = str(tmp_path / "receiver.sock")
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(path)
    sock.setblocking(False)
    yield sock, path
    sock.close()


def test_flow_control_follows_the_queued_datagrams(loop, receiver):
    receiver_sock, path = receiver

    async def scenario():
        transport, sender = await loop.create_datagram_endpoint(Recorder, remote_addr=path, family=socket.AF_UNIX)
        transport.set_write_buffer_limits(high=4096, low=1024)
        sent = 0
        while "pause" not in sender.events:  # the receiver reads nothing: the kernel queue fills
            transport.sendto(b"x" * 512)
            sent += 1
            assert sent < 100_000
        queued = transport.get_write_buffer_size()
        assert queued > 4096
        received = 0
        while received < sent:
            try:
                assert receiver_sock.recv(1024) == b"x" * 512
                received += 1
            except BlockingIOError:
                await asyncio.sleep(0.001)
        assert sender.events == ["made", "pause", "resume"]
        # asyncio 3.13.0 counts a header per queued datagram but never takes it off again.
        if isinstance(loop, cadrelio.Loop) or sys.version_info[:3] != (3, 13, 0):
            assert transport.get_write_buffer_size() == 0
        transport.close()
        await sender.lost

    run(loop, scenario())
