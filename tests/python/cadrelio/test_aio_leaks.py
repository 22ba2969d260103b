# No host objects left behind by repeated work: each workload runs on a fresh loop several
# times, and the interpreter's count of allocated memory blocks (and, on a debug interpreter,
# of references) must not grow with every run. Any object kept per operation or per loop
# shows as a steady rise; caches that fill once show only in the warm-up runs.
import asyncio
import gc
import os
import socket
import sys

import pytest

import cadrel
import cadrelio

ROUNDS = 20  # operations per run: a leak per operation shows as a rise of at least this much
# What a run may add for good: the measuring itself and the interpreter's own counters and
# caches add a few blocks; anything kept per operation, or a loop's worth of objects, adds
# more on every run.
STEADY_RISE = ROUNDS // 2


async def _callbacks(loop):
    done = loop.create_future()
    for i in range(ROUNDS):
        loop.call_soon(int, i)
        loop.call_later(3600, int).cancel()
        loop.call_soon_threadsafe(str, i)
    loop.call_later(0.001, done.set_result, None)
    await done


async def _tasks(loop):
    async def fails():
        raise ValueError("expected")

    async def sleeps():
        await asyncio.sleep(3600)

    results = await asyncio.gather(*(fails() for _ in range(ROUNDS)), return_exceptions=True)
    assert all(isinstance(result, ValueError) for result in results)
    sleepers = [loop.create_task(sleeps()) for _ in range(ROUNDS)]
    await asyncio.sleep(0)
    for task in sleepers:
        task.cancel()
    await asyncio.gather(*sleepers, return_exceptions=True)


async def _readers(loop):
    a, b = socket.socketpair()
    with a, b:
        a.setblocking(False)
        b.setblocking(False)
        for _ in range(ROUNDS):
            got = loop.create_future()
            loop.add_reader(a.fileno(), lambda: got.done() or got.set_result(a.recv(10)))
            b.send(b"x")
            assert await got == b"x"
            loop.remove_reader(a.fileno())
            await loop.sock_sendall(b, b"y")
            assert await loop.sock_recv(a, 10) == b"y"


async def _tcp_streams(loop):
    async def echo(reader, writer):
        while data := await reader.read(1024):
            writer.write(data)
            await writer.drain()
        writer.close()
        await writer.wait_closed()

    server = await asyncio.start_server(echo, "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    for _ in range(ROUNDS // 4):
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        for _ in range(4):
            writer.write(b"ping" * 100)
            assert await reader.readexactly(400) == b"ping" * 100
        writer.write_eof()
        assert await reader.read() == b""
        writer.close()
        await writer.wait_closed()
    server.close()
    await server.wait_closed()
    # A refused connection: its error and the failed transport must go too.
    with socket.socket() as unused:
        unused.bind(("127.0.0.1", 0))
        refused_port = unused.getsockname()[1]
    with pytest.raises(ConnectionRefusedError):
        await asyncio.open_connection("127.0.0.1", refused_port)


async def _datagrams(loop):
    received = asyncio.Queue()

    class Collect(asyncio.DatagramProtocol):
        def datagram_received(self, data, addr):
            received.put_nowait(data)

    receiver, _ = await loop.create_datagram_endpoint(Collect, local_addr=("127.0.0.1", 0))
    sender, _ = await loop.create_datagram_endpoint(
        asyncio.DatagramProtocol, remote_addr=receiver.get_extra_info("sockname"))
    for i in range(ROUNDS):
        sender.sendto(b"%d" % i)
        assert await received.get() == b"%d" % i
    sender.close()
    receiver.close()
    await asyncio.sleep(0)


async def _pipes(loop):
    read_end, write_end = os.pipe()
    reader = asyncio.StreamReader()
    read_transport, _ = await loop.connect_read_pipe(
        lambda: asyncio.StreamReaderProtocol(reader), os.fdopen(read_end, "rb", buffering=0))
    write_transport, _ = await loop.connect_write_pipe(
        asyncio.Protocol, os.fdopen(write_end, "wb", buffering=0))
    for _ in range(ROUNDS):
        write_transport.write(b"line\n")
        assert await reader.readline() == b"line\n"
    write_transport.close()
    assert await reader.read() == b""
    read_transport.close()
    await asyncio.sleep(0)


async def _subprocesses(loop):
    for _ in range(STEADY_RISE):
        process = await asyncio.create_subprocess_exec("echo", "out", stdout=asyncio.subprocess.PIPE)
        out, _ = await process.communicate()
        assert out == b"out\n" and process.returncode == 0


WORKLOADS = {
    "callbacks": _callbacks, "tasks": _tasks, "readers": _readers, "tcp_streams": _tcp_streams,
    "datagrams": _datagrams, "pipes": _pipes, "subprocesses": _subprocesses,
}


def _run_on_fresh_loop(new_loop, workload):
    loop = new_loop()
    try:
        loop.run_until_complete(asyncio.wait_for(workload(loop), 60))
    finally:
        loop.run_until_complete(loop.shutdown_asyncgens())
        loop.close()


def _cadrel_loop_work():
    """CadrelLoop's own methods, on a fresh loop."""
    loop = cadrel.CadrelLoop()
    a, b = socket.socketpair()
    with a, b:
        for i in range(ROUNDS):
            loop.call_soon(int, i)
            loop.call_soon(int).cancel()
            loop.call_later(0, str, i)
            loop.call_soon_threadsafe(str, i)
            loop.add_reader(a.fileno(), int, ())
            loop.remove_reader(a.fileno())
        loop.call_later(0.001, loop.stop)
        loop.run_forever()

        async def fails():
            raise ValueError("expected")

        for _ in range(ROUNDS):
            with pytest.raises(ValueError):
                loop.run_until_complete(fails())
    loop.close()


def _counters():
    gc.collect()
    blocks = sys.getallocatedblocks()
    references = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0
    return blocks, references


def _rises(run, warm_ups=3, measured=3):
    """The rise of each counter over each measured run, after the warm-up runs."""
    for _ in range(warm_ups):
        run()
    rises = []
    before = _counters()
    for _ in range(measured):
        run()
        after = _counters()
        rises.append(tuple(a - b for a, b in zip(after, before)))
        before = after
    return rises


def _assert_no_steady_rise(rises, allowed):
    """Fails when a counter rose by more than `allowed` on every measured run."""
    for index, name in enumerate(("memory blocks", "references")):
        series = [rise[index] for rise in rises]
        assert not all(rise > allowed[index] for rise in series), f"{name} rose on every run: {series}"


@pytest.mark.parametrize("workload", sorted(WORKLOADS))
def test_repeated_work_leaves_nothing_behind(workload):
    # asyncio's own loop runs the same work first: what the interpreter and asyncio keep
    # (3.11 keeps a block or so per child process, on either loop) is allowed on top.
    baseline = _rises(lambda: _run_on_fresh_loop(asyncio.new_event_loop, WORKLOADS[workload]))
    allowed = [max(rise[index] for rise in baseline) + STEADY_RISE // 2 for index in range(2)]
    _assert_no_steady_rise(_rises(lambda: _run_on_fresh_loop(cadrelio.new_event_loop, WORKLOADS[workload])),
                           allowed)


def test_repeated_work_on_cadrel_loop_leaves_nothing_behind():
    _assert_no_steady_rise(_rises(_cadrel_loop_work), [STEADY_RISE, STEADY_RISE])
