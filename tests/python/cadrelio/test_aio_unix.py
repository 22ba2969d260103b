# Unix-domain stream servers and connections over asyncio's loop and cadrelio's.
import asyncio
import os
import socket
import sys

import pytest

from conftest import run

CLEANS_UP = sys.version_info >= (3, 13)


async def echo_upper(reader, writer):
    writer.write((await reader.read(100)).upper())
    await writer.drain()
    writer.close()


async def exchange(path_or_sock):
    kwargs = {"path": path_or_sock} if not isinstance(path_or_sock, socket.socket) else {"sock": path_or_sock}
    reader, writer = await asyncio.open_unix_connection(**kwargs)
    writer.write(b"unix")
    reply = await reader.read()
    writer.close()
    await writer.wait_closed()
    return reply


@pytest.mark.parametrize("abstract", [False, True], ids=["file", "abstract"])
def test_unix_server_and_client_exchange_and_clean_up(loop, tmp_path, abstract):
    path = f"\0cadrelio-test-{os.getpid()}-{id(loop)}" if abstract else str(tmp_path / "server.sock")

    async def scenario():
        server = await asyncio.start_unix_server(echo_upper, path)
        # Abstract names come back as bytes.
        assert server.sockets[0].getsockname() == (path.encode() if abstract else path)
        assert await exchange(path) == b"UNIX"
        client = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        client.connect(path)
        assert await exchange(client) == b"UNIX"
        server.close()
        await server.wait_closed()

    run(loop, scenario())
    if not abstract:
        assert os.path.exists(path) != CLEANS_UP


def test_a_stale_socket_file_is_replaced_but_another_file_is_not(loop, tmp_path):
    stale = str(tmp_path / "stale.sock")
    with socket.socket(socket.AF_UNIX) as left_behind:
        left_behind.bind(stale)
    regular = tmp_path / "regular"
    regular.write_bytes(b"keep")

    async def scenario():
        server = await asyncio.start_unix_server(echo_upper, stale)
        assert await exchange(stale) == b"UNIX"
        server.close()
        await server.wait_closed()
        with pytest.raises(OSError) as refused:
            await asyncio.start_unix_server(echo_upper, str(regular))
        assert refused.value.errno == 98  # EADDRINUSE, with the path in the message
        assert str(regular) in str(refused.value)

    run(loop, scenario())
    assert regular.read_bytes() == b"keep"


SOCKET_KINDS = {"unix": (socket.AF_UNIX, socket.SOCK_STREAM), "inet": (socket.AF_INET, socket.SOCK_STREAM),
                "unix-datagram": (socket.AF_UNIX, socket.SOCK_DGRAM)}


@pytest.mark.parametrize("method, arguments, error", [
    ("create_unix_server", {}, ValueError),
    ("create_unix_server", {"sock": "inet"}, ValueError),
    ("create_unix_server", {"path": "/nonexistent/x", "ssl": True}, TypeError),
    ("create_unix_connection", {"path": "/nonexistent/x", "server_hostname": "h"}, ValueError),
    ("create_unix_connection", {"sock": "unix-datagram"}, ValueError),
])
def test_bad_arguments_are_refused(loop, method, arguments, error):
    sock = socket.socket(*SOCKET_KINDS[arguments["sock"]]) if "sock" in arguments else None
    if sock is not None:
        arguments = dict(arguments, sock=sock)
    try:
        with pytest.raises(error):
            run(loop, getattr(loop, method)(asyncio.Protocol, **arguments))
    finally:
        if sock is not None:
            sock.close()


def test_an_unbound_socket_is_refused_with_the_system_error(aio_loop):
    # A stream socket cannot listen unbound (EINVAL). asyncio's loop from 3.13 fails earlier, with
    # an IndexError on the empty name it reads for cleanup_socket.
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
        with pytest.raises(OSError):
            run(aio_loop, asyncio.start_unix_server(echo_upper, sock=sock))
