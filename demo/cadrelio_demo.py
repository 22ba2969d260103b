"""cadrelio demo: sleep, wait_for, gather, a queue, run_in_executor, a signal handler, a TCP
server and client over streams, and a subprocess.

Runs the same program through cadrelio.run(main()) and through asyncio's own entry point
with cadrelio's loop factory (asyncio.run on 3.12+, asyncio.Runner on 3.11).
"""
import asyncio
import hashlib
import os
import signal
import sys

import cadrelio


async def producer(queue, count):
    for i in range(count):
        await asyncio.sleep(0.001)
        await queue.put(i)
    await queue.put(None)


async def consumer(queue):
    total = 0
    while (item := await queue.get()) is not None:
        total += item
    return total


async def echo(reader, writer):
    while line := await reader.readline():
        writer.write(line.upper())
        await writer.drain()
    writer.close()


async def talk_to_echo_server(lines):
    server = await asyncio.start_server(echo, "127.0.0.1", 0)
    reader, writer = await asyncio.open_connection(*server.sockets[0].getsockname()[:2])
    answers = []
    for line in lines:
        writer.write(line.encode() + b"\n")
        answers.append((await reader.readline()).decode().strip())
    writer.close()
    await writer.wait_closed()
    server.close()
    await server.wait_closed()
    return answers


async def run_child():
    child = await asyncio.create_subprocess_exec(
        sys.executable, "-c", "import sys; print(sum(map(int, sys.stdin.read().split())))",
        stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.PIPE)
    out, _ = await child.communicate(b"1 2 3 4")
    return out.decode().strip(), child.returncode


async def main():
    loop = asyncio.get_running_loop()
    got_signal = asyncio.Event()
    loop.add_signal_handler(signal.SIGUSR1, got_signal.set)
    loop.call_later(0.05, os.kill, os.getpid(), signal.SIGUSR1)

    queue = asyncio.Queue(maxsize=4)
    _, total = await asyncio.gather(producer(queue, 50), consumer(queue))
    digest = await loop.run_in_executor(None, lambda: hashlib.sha256(b"cadrel" * 100_000).hexdigest()[:12])
    try:
        await asyncio.wait_for(asyncio.sleep(10), timeout=0.05)
        timed_out = False
    except asyncio.TimeoutError:
        timed_out = True
    await asyncio.wait_for(got_signal.wait(), timeout=5)
    loop.remove_signal_handler(signal.SIGUSR1)
    echoed = await talk_to_echo_server(["hello", "cadrel"])
    child_sum, child_status = await run_child()
    return (f"loop={type(loop).__module__}.{type(loop).__name__} queue total={total} "
            f"executor sha256={digest} wait_for timed out={timed_out} SIGUSR1 handled={got_signal.is_set()} "
            f"echo server answered={echoed} child summed={child_sum} (exit status {child_status})")


if __name__ == "__main__":
    print("cadrelio.run(main()):", cadrelio.run(main()))
    if sys.version_info >= (3, 12):
        print("asyncio.run(main(), loop_factory=cadrelio.new_event_loop):",
              asyncio.run(main(), loop_factory=cadrelio.new_event_loop))
    else:
        with asyncio.Runner(loop_factory=cadrelio.new_event_loop) as runner:
            print("asyncio.Runner(loop_factory=cadrelio.new_event_loop).run(main()):", runner.run(main()))
