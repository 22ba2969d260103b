"""A tour of cadrel: each step is one small function that prints what it shows."""

import asyncio
import os
import socket
import threading
import time

import cadrel

WORKER_NAME = "cadrel-worker"


def thread_names():
    """Names of this process's threads as the kernel shows them.

    threading.enumerate() lists only threads that Python started; the loops'
    workers are native threads, so read /proc instead.
    """
    names = []
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as comm:
                names.append(comm.read().strip())
        except FileNotFoundError:  # the thread ended while we listed them
            pass
    return names


def count_workers():
    return sum(1 for name in thread_names() if name == WORKER_NAME)


def wait_for_workers(expected, timeout=5.0):
    """Polls until `expected` workers exist; they start just after construction."""
    deadline = time.monotonic() + timeout
    while count_workers() != expected and time.monotonic() < deadline:
        time.sleep(0.01)
    return count_workers()


def show_threads(title):
    names = thread_names()
    workers = names.count(WORKER_NAME)
    print(f"{title}: {len(names)} threads, {workers} named {WORKER_NAME!r}")


def create_loops(count):
    loops = [cadrel.CadrelLoop() for _ in range(count)]
    print(f"created {count} loops")
    return loops


def release_loops(loops):
    # Releasing the last reference shuts a loop's runtime down and joins its workers
    # before the release returns, so no waiting is needed afterwards.
    count = len(loops)
    loops.clear()
    print(f"released {count} loops")


def workers_demo(count=3):
    show_threads("before")
    loops = create_loops(count)
    per_loop = len(os.sched_getaffinity(0))
    wait_for_workers(count * per_loop)
    show_threads(f"with {count} loops ({per_loop} workers each expected)")
    release_loops(loops)
    show_threads("after")
    return count_workers() == 0


def tasks_demo(count=10_000):
    """A producer task resolves asyncio.Futures that a consumer task awaits."""
    loop = cadrel.CadrelLoop()

    async def producer(futures):
        for index, future in enumerate(futures):
            future.set_result(index * index)
            await asyncio.sleep(0)  # let the consumer run

    async def consumer(futures):
        total = 0
        for future in futures:
            total += await future
        return total

    async def exchange():
        futures = [asyncio.Future() for _ in range(count)]
        consuming = loop.create_task(consumer(futures), name="consumer")
        await loop.create_task(producer(futures), name="producer")
        return await consuming

    started = time.perf_counter()
    total = loop.run_until_complete(exchange())
    elapsed = time.perf_counter() - started
    expected = sum(index * index for index in range(count))
    print(f"tasks: {count} values passed between two tasks through futures in "
          f"{elapsed * 1e3:.1f} ms ({elapsed / count * 1e6:.2f} us each), sum correct: {total == expected}")
    return total == expected


def thread_feed_demo(items=100_000):
    """A plain thread posts work with call_soon_threadsafe while the loop runs."""
    loop = cadrel.CadrelLoop()
    received = []

    def producer():
        post = loop.call_soon_threadsafe
        for item in range(items):
            post(received.append, item)
        post(loop.stop)

    feeder = threading.Thread(target=producer, name="feeder")
    started = time.perf_counter()
    loop.call_soon(feeder.start)
    loop.run_forever()
    elapsed = time.perf_counter() - started
    feeder.join()
    in_order = received == list(range(items))
    print(f"thread feed: {len(received)} callbacks from another thread in {elapsed * 1e3:.1f} ms "
          f"({elapsed / items * 1e9:.0f} ns each), in order: {in_order}")
    return in_order


def timers_demo():
    """Timers sleep on the workers; callbacks come back on the loop thread in time order."""
    loop = cadrel.CadrelLoop()
    fired = []
    started = time.monotonic()
    for delay in (0.05, 0.01, 0.03):
        loop.call_later(delay, lambda d=delay: fired.append((d, time.monotonic() - started)))
    loop.call_later(0.08, loop.stop)
    loop.run_forever()
    order = [delay for delay, _ in fired]
    late = max(at - delay for delay, at in fired)
    print(f"timers: fired in order {order}, at most {late * 1e3:.2f} ms after their deadline")
    return order == sorted(order) and late >= 0


def descriptor_demo(messages=1_000):
    """A worker waits on a socket; each readiness becomes a callback on the loop thread."""
    loop = cadrel.CadrelLoop()
    ours, peer = socket.socketpair()
    ours.setblocking(False)
    got = bytearray()

    def on_readable():
        try:
            got.extend(ours.recv(65536))
        except BlockingIOError:  # readiness is edge-triggered; a late wake may find nothing
            return
        if len(got) >= messages:
            loop.stop()

    loop.add_reader(ours.fileno(), on_readable, ())

    def writer():
        for _ in range(messages):
            peer.send(b"x")

    sender = threading.Thread(target=writer)
    started = time.perf_counter()
    loop.call_soon(sender.start)
    loop.run_forever()
    elapsed = time.perf_counter() - started
    sender.join()
    loop.remove_reader(ours.fileno())
    ours.close()
    peer.close()
    print(f"descriptor: {len(got)} bytes read through add_reader in {elapsed * 1e3:.1f} ms")
    return len(got) == messages


def main():
    steps = [workers_demo, tasks_demo, thread_feed_demo, timers_demo, descriptor_demo]
    ok = all([step() for step in steps])
    print("demo finished" if ok else "demo found a problem!")
    return 0 if ok else 1


if __name__ == "__main__":
    raise SystemExit(main())
