# A descriptor an open transport owns is refused to watchers and sock_* calls, on asyncio's
# loop and cadrelio's alike; once the transport is closing the descriptor is free again.
import asyncio
import socket

import pytest

from conftest import run
from test_aio_transports import connect, make_pair

OWNED = r"File descriptor .* is used by transport"


async def open_transport(loop, kind, sock):
    if kind == "datagram":
        transport, _ = await loop.create_datagram_endpoint(asyncio.DatagramProtocol, sock=sock)
        return transport
    return await connect(loop, sock, asyncio.Protocol())


def owned_pair(kind):
    if kind == "datagram":
        ours, peer = socket.socketpair(socket.AF_UNIX, socket.SOCK_DGRAM)
        ours.setblocking(False)
        return ours, peer
    return make_pair(kind)


@pytest.mark.parametrize("kind", ["tcp", "unix", "datagram"])
def test_watchers_and_socket_calls_refuse_a_transport_socket(loop, kind):
    ours, peer = owned_pair(kind)

    async def main():
        transport = await open_transport(loop, kind, ours)
        refused = []
        for name in ("add_reader", "add_writer"):
            for target in (ours, ours.fileno()):
                with pytest.raises(RuntimeError, match=OWNED):
                    getattr(loop, name)(target, lambda: None)
                refused.append(name)
        for name in ("remove_reader", "remove_writer"):
            for target in (ours, ours.fileno()):
                with pytest.raises(RuntimeError, match=OWNED):
                    getattr(loop, name)(target)
                refused.append(name)
        # A socket call is refused once it would have to wait (nothing to read here).
        with pytest.raises(RuntimeError, match=OWNED):
            await loop.sock_recv(ours, 1)
        # Closing frees the descriptor for watchers at once.
        transport.close()
        loop.add_reader(ours.fileno(), lambda: None)
        assert loop.remove_reader(ours.fileno())
        return len(refused)

    try:
        assert run(loop, main()) == 8
    finally:
        peer.close()


def test_watchers_still_take_a_descriptor_no_transport_owns(loop):
    first, second = socket.socketpair()

    async def main():
        seen = loop.create_future()
        loop.add_reader(first, lambda: seen.done() or seen.set_result(first.recv(4)))
        second.send(b"ping")
        try:
            return await seen
        finally:
            assert loop.remove_reader(first)

    try:
        assert run(loop, main()) == b"ping"
    finally:
        first.close()
        second.close()
