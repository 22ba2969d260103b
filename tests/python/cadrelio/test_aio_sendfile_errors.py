# A sendfile the peer cuts short, over asyncio's loop and cadrelio's: it fails with the
# connection's error, and the file's position still says how far it came.
import asyncio
import os
import socket

from conftest import run
from test_aio_transports import Recorder, connect, make_pair


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
        # A close with unread data resets the connection.
        peer.close()
        return got

    async def main():
        transport = await connect(loop, ours, Recorder(loop))
        taken = loop.run_in_executor(None, take_some_then_reset)
        with open(path, "rb") as file:
            try:
                await loop.sendfile(transport, file)
            except ConnectionError:
                failure = "ConnectionError"
            else:
                failure = None
            position = file.tell()
        await taken
        transport.close()
        return failure, 1024 <= position < len(content)

    assert run(loop, main()) == ("ConnectionError", True)
