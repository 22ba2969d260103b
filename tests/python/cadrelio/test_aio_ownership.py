# A descriptor an open transport owns is refused to watchers and sock_* calls, on asyncio's
# loop and cadrelio's alike; once the transport is closing the descriptor is free again.
import asyncio
import socket

import pytest

from conftest import run
from test_aio_transports import connect, make_pair

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
