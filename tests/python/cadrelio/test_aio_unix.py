# Unix-domain stream servers and connections over asyncio's loop and cadrelio's.
import asyncio
import os
import socket
import sys

import pytest

from conftest import run


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
