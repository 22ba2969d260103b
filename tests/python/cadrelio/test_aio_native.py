# Behaviour only cadrelio's native core has: its workers, its timer memory, its release.
import asyncio
import gc
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
import warnings
import weakref

import pytest

import cadrelio
import probes


def test_close_joins_the_workers_and_releases_descriptors():
    workers = probes.worker_count()
    fds = probes.fd_count()
    loop = cadrelio.Loop()
    assert probes.worker_count() > workers
    loop.call_later(3600, print)
    loop.close()
    assert probes.workers_named_within(workers) == workers
    assert probes.fd_count() == fds


def test_equal_deadlines_run_in_scheduling_order(aio_loop):
    calls = []
    when = aio_loop.time() + 0.02
    for i in range(50):
        aio_loop.call_at(when, calls.append, i)
    aio_loop.call_at(when, aio_loop.stop)
    aio_loop.run_forever()
    assert calls == list(range(50))


def test_cancelled_timers_are_released_at_cancel_time(aio_loop):
    count = 20_000
    handles = [aio_loop.call_later(3600, print) for _ in range(count)]
    refs = [weakref.ref(h) for h in handles]
    for handle in handles:
        handle.cancel()
    del handles, handle
    queued, cancelled = aio_loop._timer_counts()
    # Compaction keeps the heap within a constant of its live size (none here).
    assert queued < 200 and cancelled <= queued
    assert sum(ref() is not None for ref in refs) < 200


def test_cancelled_timers_do_not_disturb_the_live_ones(aio_loop):
    fired = []
    keep = [aio_loop.call_later(0.01 + i * 0.0001, fired.append, i) for i in range(0, 300, 3)]
    for i in range(300):
        if i % 3:
            aio_loop.call_later(0.01, fired.append, -1).cancel()
    aio_loop.call_later(0.2, aio_loop.stop)
    aio_loop.run_forever()
    assert fired == list(range(0, 300, 3))
    assert all(not h.cancelled() for h in keep)


def test_an_earlier_timer_scheduled_while_the_loop_sleeps_wakes_it(aio_loop):
    aio_loop.call_later(30, aio_loop.stop)
    started = time.monotonic()
    threading.Timer(0.05, aio_loop.call_soon_threadsafe,
                    (lambda: aio_loop.call_later(0.02, aio_loop.stop),)).start()
    aio_loop.run_forever()
    assert time.monotonic() - started < 10


def test_a_loop_dropped_without_close_releases_its_workers():
    workers = probes.worker_count()

    def make_and_drop():
        loop = cadrelio.Loop()
        for delay in (1, 60, 3600):
            loop.call_later(delay, print)
        loop.run_until_complete(asyncio.sleep(0))

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ResourceWarning)
        make_and_drop()
        gc.collect()
    assert probes.workers_named_within(workers) == workers


UNDER_THREAD_SANITIZER = "libtsan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.skipif(UNDER_THREAD_SANITIZER,
                    reason="ThreadSanitizer defers a signal's handler until the receiving thread "
                           "enters an intercepted call; the loop thread sleeps in a raw futex "
                           "system call, so the handler (which writes the wake-up byte) waits")
def test_add_signal_handler_runs_on_the_loop(aio_loop):
    got = []

    def on_signal(tag):
        got.append(tag)
        aio_loop.stop()

    aio_loop.add_signal_handler(signal.SIGUSR1, on_signal, "usr1")
    try:
        threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGUSR1)).start()
        aio_loop.call_later(20, aio_loop.stop)
        aio_loop.run_forever()
    finally:
        assert aio_loop.remove_signal_handler(signal.SIGUSR1)
    assert got == ["usr1"]
    assert not aio_loop.remove_signal_handler(signal.SIGUSR1)


@pytest.mark.parametrize("removed_in_a_later_run", [True, False])
def test_closing_leaves_no_signal_wakeup_descriptor_behind(loop, removed_in_a_later_run):
    """A closed loop's socket must not stay the interpreter's wake-up descriptor: signals
    would be written to a closed (or reused) descriptor number."""
    previous = signal.set_wakeup_fd(-1)
    try:
        async def add():
            loop.add_signal_handler(signal.SIGUSR1, lambda: None)

        async def remove():
            assert loop.remove_signal_handler(signal.SIGUSR1)

        loop.run_until_complete(add())  # the run ends with the handler installed
        if removed_in_a_later_run:
            loop.run_until_complete(remove())
        loop.close()
        assert signal.set_wakeup_fd(-1) == -1
    finally:
        signal.set_wakeup_fd(previous)


@pytest.mark.parametrize("bad, error", [("x", TypeError), (0, ValueError), (signal.SIGKILL, RuntimeError)])
def test_add_signal_handler_refuses_bad_signals(aio_loop, bad, error):
    with pytest.raises(error):
        aio_loop.add_signal_handler(bad, print)
    assert aio_loop._signal_handlers == {}


CTRL_C_PROGRAM = textwrap.dedent("""
    import asyncio, os, signal, sys, threading, time
    import cadrelio

    # Started with SIGINT ignored (a background job of a non-interactive shell, as CI may
    # be), Python keeps it ignored; install its usual handler.
    signal.signal(signal.SIGINT, signal.default_int_handler)

    def interrupt_soon():
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()

    mode = sys.argv[1]
    started = time.monotonic()
    if mode == "run_forever":
        loop = cadrelio.Loop()
        loop.call_later(60, loop.stop)
        interrupt_soon()
        try:
            loop.run_forever()
        except KeyboardInterrupt:
            print("interrupted", round(time.monotonic() - started) < 10)
        # Still usable, then closes cleanly.
        print(loop.run_until_complete(asyncio.sleep(0.01, "usable")))
        loop.close()
    else:
        async def main():
            await asyncio.sleep(60)
        interrupt_soon()
        try:
            cadrelio.run(main())
        except KeyboardInterrupt:
            print("interrupted", round(time.monotonic() - started) < 10)
        print("usable")
    print("threads", threading.active_count())
""")


@pytest.mark.subprocess
@pytest.mark.parametrize("mode", ["run_forever", "run"])
def test_ctrl_c_interrupts_a_sleeping_loop_promptly(mode):
    result = subprocess.run([sys.executable, "-c", CTRL_C_PROGRAM, mode], capture_output=True,
                            text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[:3] == ["interrupted True", "usable", "threads 1"]


def test_workers_block_asynchronous_signals(aio_loop):
    # Otherwise a process-directed signal may land on a worker sleeping in epoll_wait.
    blocked_masks = []
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as comm, open(f"/proc/self/task/{tid}/status") as status:
                if comm.read().strip() != probes.WORKER_NAME:
                    continue
                fields = dict(line.split(":", 1) for line in status if ":" in line)
        except FileNotFoundError:
            continue
        blocked_masks.append(int(fields["SigBlk"].strip(), 16))
    assert blocked_masks, "no cadrel-worker threads found"
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGUSR1, signal.SIGCHLD):
        assert all(mask & (1 << (signum - 1)) for mask in blocked_masks), signum
    # The creating thread keeps its own mask.
    assert signal.SIGINT not in signal.pthread_sigmask(signal.SIG_BLOCK, [])
