# Stream transports moving large and mixed-size messages, over asyncio's loop and cadrelio's:
# every byte arrives once, in order, whatever storage the loop reuses between reads.
import asyncio
import os

import pytest

from conftest import run

# Around the sizes where a read batch changes how its storage is found, and past one batch.
SIZES = (1, 16 * 1024 - 1, 16 * 1024, 100 * 1024, 3000, 256 * 1024 + 1, 17, 64 * 1024)


class Echo(asyncio.Protocol):
    def connection_made(self, transport):
        self.transport = transport

    def data_received(self, data):
        self.transport.write(data)


class Collector(asyncio.Protocol):
    """Keeps what arrives; optionally pauses reading after each delivery for a moment."""

    def __init__(self, loop, pause_for):
        self.loop = loop
        self.pause_for = pause_for
        self.data = bytearray()
        self.deliveries = 0
        self.lost = loop.create_future()

    def connection_made(self, transport):
        self.transport = transport

    def data_received(self, data):
        self.data += data
        self.deliveries += 1
        if self.pause_for:
            self.transport.pause_reading()
            self.loop.call_later(self.pause_for, self.transport.resume_reading)

    def connection_lost(self, exc):
        self.lost.set_result(exc)


@pytest.mark.parametrize("connections", [1, 6])
def test_echo_of_mixed_sizes_returns_every_message_intact(loop, connections):
    async def client(port, number):
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        for round_number, size in enumerate(SIZES * 3):
            # Each message differs from every other, so a stale byte from reused storage shows.
            message = (bytes([number, round_number % 251]) + os.urandom(16)) * (size // 18 + 1)
            message = message[:size]
            writer.write(message)
            assert await reader.readexactly(size) == message
        writer.close()
        await writer.wait_closed()

    async def main():
        server = await loop.create_server(Echo, "127.0.0.1", 0)
        port = server.sockets[0].getsockname()[1]
        await asyncio.gather(*(client(port, number) for number in range(connections)))
        server.close()
        await server.wait_closed()

    run(loop, main(), timeout=60)


@pytest.mark.parametrize("pause_for", [0, 0.02])
def test_large_writes_from_a_peer_arrive_whole_and_in_order(loop, pause_for):
    payload = os.urandom(3 << 20)

    async def main():
        collector = Collector(loop, pause_for)
        server = await loop.create_server(lambda: collector, "127.0.0.1", 0)
        port = server.sockets[0].getsockname()[1]
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        for start in range(0, len(payload), 100 * 1024 + 7):
            writer.write(payload[start:start + 100 * 1024 + 7])
            await writer.drain()
        writer.close()
        await writer.wait_closed()
        await asyncio.wait_for(collector.lost, 30)
        assert len(collector.data) == len(payload)
        assert bytes(collector.data) == payload
        # Reads come in batches, not one delivery per kernel segment or per write.
        assert collector.deliveries < len(payload) // 1024
        server.close()
        await server.wait_closed()

    run(loop, main(), timeout=60)


@pytest.mark.parametrize("first_asked", ["open", "closed"])
def test_socket_extra_info_is_the_sockets_whenever_first_asked(loop, first_asked):
    async def main():
        server = await loop.create_server(lambda: Collector(loop, 0), "127.0.0.1", 0)
        server_port = server.sockets[0].getsockname()[1]
        transport, protocol = await loop.create_connection(
            lambda: Collector(loop, 0), "127.0.0.1", server_port)
        sock = transport.get_extra_info("socket") if first_asked == "open" else None
        expected = {"sockname": transport._sock.getsockname(), "peername": ("127.0.0.1", server_port)}
        if first_asked == "open":
            assert sock.fileno() == transport._sock.fileno()
            assert {key: transport.get_extra_info(key) for key in expected} == expected
        transport.close()
        await protocol.lost
        assert {key: transport.get_extra_info(key) for key in expected} == expected
        assert transport.get_extra_info("socket").fileno() == -1
        assert transport.get_extra_info("missing", "default") == "default"
        server.close()
        await server.wait_closed()

    run(loop, main())
