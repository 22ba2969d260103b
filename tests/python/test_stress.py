# Heavy use of the loop: many producer threads at once, and many short runs in a row.
import gc
import importlib
import sys
import threading

import probes
from bodies import watchdog

PRODUCERS = 4
POSTS_PER_PRODUCER = 250_000

CYCLES = 1_000
CALLBACKS_PER_CYCLE = 100


def test_callbacks_from_many_threads_each_run_once_in_their_order(loop):
    # Loaded before the producers start: a first import raced by several threads is tested on its
    # own, with call_soon.
    importlib.import_module("asyncio")
    received = [[] for _ in range(PRODUCERS)]
    stop_producing = threading.Event()  # set only if the watchdog has cut the run short

    def produce(index):
        record = received[index].append
        for i in range(POSTS_PER_PRODUCER):
            if stop_producing.is_set():
                return
            loop.call_soon_threadsafe(record, i)

    producers = [threading.Thread(target=produce, args=(i,), name=f"test-producer-{i}")
                 for i in range(PRODUCERS)]

    def coordinate():
        for producer in producers:
            producer.start()
        for producer in producers:
            producer.join()
        # Behind every producer's last post: ends the run once all of them have run.
        loop.call_soon_threadsafe(loop.stop)

    coordinator = threading.Thread(target=coordinate, name="test-coordinator")
    try:
        with watchdog(loop, timeout=120):
            coordinator.start()
            assert loop.run_forever() is None
    finally:
        stop_producing.set()
        coordinator.join(timeout=60)
        # Whatever a cut-short run left queued is run, so the loop can be released.
        loop.stop()
        loop.run_forever()
    assert not coordinator.is_alive()
    for index, seen in enumerate(received):
        assert len(seen) == POSTS_PER_PRODUCER, f"producer {index}: {len(seen)} callbacks ran"
        assert seen == list(range(POSTS_PER_PRODUCER)), f"producer {index}: order not kept"


def test_many_short_runs_leave_references_and_memory_flat(loop):
    calls = []

    def callback():
        calls.append(None)

    def cycles(count):
        for _ in range(count):
            for _ in range(CALLBACKS_PER_CYCLE):
                loop.call_soon(callback)
            loop.stop()
            assert loop.run_forever() is None
        assert len(calls) == count * CALLBACKS_PER_CYCLE
        calls.clear()

    def measure():
        gc.collect()
        loop.is_closed()  # an entry into the binding releases references dropped while detached
        return (sys.getrefcount(loop), sys.getrefcount(callback), probes.thread_count(),
                probes.fd_count())

    with watchdog(loop, timeout=120):
        cycles(50)  # lets the allocator and the channel's storage reach their steady size
        before, rss_before = measure(), probes.rss_bytes()
        cycles(CYCLES)
        after, rss_after = measure(), probes.rss_bytes()
    assert after == before
    assert rss_after - rss_before < 16 * 1024 * 1024
