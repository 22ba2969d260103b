# An idle loop waits for descriptors and timers on its own thread: readiness and due timers reach
# their callbacks with no worker woken, in deadline order whichever thread fired them, and the
# wait spends no CPU and still ends on a signal.
import asyncio
import random
import signal
import socket
import time
import weakref

import pytest

import cadrel
import cadrelio
import probes
from bodies import watchdog


@pytest.fixture(params=["asyncio", "cadrel"])
def any_loop(request):
    new_loop = asyncio.new_event_loop() if request.param == "asyncio" else cadrel.CadrelLoop()
    yield new_loop
    new_loop.close()


@pytest.fixture(params=["cadrel", "cadrelio"])
def native_loop(request):
    """CadrelLoop (with the `loop` fixture's release checks) or cadrelio's loop on the same core."""
    if request.param == "cadrel":
        yield request.getfixturevalue("loop")
        return
    new_loop = cadrelio.Loop()
    yield new_loop
    new_loop.close()


def watch_reader(loop, fd, callback, *args):
    # CadrelLoop takes the callback's arguments as one tuple.
    if isinstance(loop, cadrel.CadrelLoop):
        loop.add_reader(fd, callback, args)
    else:
        loop.add_reader(fd, callback, *args)


def ping_pong(loop, rounds):
    """`rounds` round trips of one byte over a socket pair whose ends the loop watches."""
    ends = socket.socketpair()
    remaining = [rounds]
    # A watcher holds its callback: one that held the loop would keep it alive for good.
    loop_ref = weakref.ref(loop)

    # One callback for both ends: the first end counts the rounds, the other echoes. CadrelLoop
    # may still run a callback queued before its watcher was removed: it does nothing once the
    # rounds are over.
    def on_readable(sock):
        if not remaining[0]:
            return
        try:
            sock.recv(64)
        except BlockingIOError:
            return
        if sock is ends[0]:
            remaining[0] -= 1
            if not remaining[0]:
                loop_ref().stop()
                return
        sock.send(b"x")

    for sock in ends:
        sock.setblocking(False)
        watch_reader(loop, sock.fileno(), on_readable, sock)
    try:
        ends[0].send(b"x")
        with watchdog(loop):
            loop.run_forever()
    finally:
        for sock in ends:
            loop.remove_reader(sock.fileno())
            sock.close()
    assert remaining == [0]


def test_readiness_and_due_timers_on_an_idle_loop_wake_no_worker(native_loop):
    loop = native_loop
    ping_pong(loop, 50)  # the watchers' first registration happens on workers
    rounds = 500
    before = probes.worker_context_switches()
    ping_pong(loop, rounds)
    readiness_switches = probes.worker_context_switches() - before

    count = 100
    fired = []
    for i in range(count):
        loop.call_later(0.1 + 0.002 * i, fired.append, i)
    loop.call_later(0.1 + 0.002 * count, loop.stop)
    time.sleep(0.05)  # workers run the timer tasks' first steps now, before the count
    before = probes.worker_context_switches()
    with watchdog(loop):
        loop.run_forever()
    timer_switches = probes.worker_context_switches() - before
    assert fired == list(range(count))
    # Two readiness events per round, one deadline per timer: had each woken a worker, these would
    # be 1000 and 100 or more. A few come from the hand-over of the wait when a run begins and from
    # the watchers' removal, a few more when the machine keeps the loop thread away for a while.
    assert readiness_switches < rounds // 10
    assert timer_switches < count // 4


def test_timers_armed_by_the_loop_thread_ring_no_doorbell(native_loop):
    # Each callback arms the next, earliest, timer. The loop thread starts a timer's task in its
    # own round in the wait, after leaving it: nobody sleeps there to be woken through the
    # doorbell (a write to an eventfd), so arming a timer costs no write at all.
    loop, rounds = native_loop, 300
    if probes.write_calls() is None:
        pytest.skip("the kernel keeps no count of write calls")
    fired = []

    def arm(i):
        fired.append(i)
        if i < rounds:
            loop.call_later(0.0002, arm, i + 1)
        else:
            loop.stop()

    loop.call_soon(arm, 0)
    before = probes.write_calls()
    with watchdog(loop):
        loop.run_forever()
    writes = probes.write_calls() - before
    assert fired == list(range(rounds + 1))
    assert writes < rounds // 10


def test_timers_run_in_deadline_order_while_callbacks_block(any_loop):
    """Some timers start a stretch of callbacks that keeps the loop thread busy past later
    deadlines (timers then come due while it runs Python code, and CadrelLoop hands its wait to a
    worker), the others leave it idle."""
    loop = any_loop
    count = 30
    spacing = 0.01
    order = list(range(count))
    random.Random(30).shuffle(order)
    deadlines = {}
    fired = []

    def block(left):
        time.sleep(spacing / 2)
        if left:
            loop.call_soon(block, left - 1)

    def on_timer(i):
        fired.append((i, time.monotonic()))
        if i % 5 == 2 and i < count - 5:  # every stretch ends before the last timer
            loop.call_soon(block, 5)
        if len(fired) == count:
            loop.stop()

    start = time.monotonic() + 0.05
    for i in order:
        delay = start + i * spacing - time.monotonic()
        deadlines[i] = time.monotonic() + delay  # a timer may not run before this
        loop.call_later(delay, on_timer, i)
    with watchdog(loop):
        loop.run_forever()
    assert [i for i, _ in fired] == list(range(count))
    assert [i for i, at in fired if at < deadlines[i]] == []


class Interrupted(Exception):
    pass


def test_an_idle_wait_spends_no_cpu_and_a_signal_ends_it(any_loop):
    """With a watcher and a pending timer the loop waits without polling; a signal's handler
    ends the wait and raises out of the run."""
    loop = any_loop
    left, right = socket.socketpair()

    def raise_interrupted(signum, frame):
        signal.setitimer(signal.ITIMER_REAL, 0)
        raise Interrupted

    previous = signal.signal(signal.SIGALRM, raise_interrupted)
    try:
        watch_reader(loop, left.fileno(), int)
        # A pending timer holds its handle, and CadrelLoop's handle holds the loop: the second
        # run lets it fire, so that the loop can go.
        loop.call_later(1.0, loop.stop)
        # Again until the handler runs: a signal that lands outside the wait interrupts nothing.
        signal.setitimer(signal.ITIMER_REAL, 0.5, 0.05)
        started, cpu = time.monotonic(), time.process_time()
        with watchdog(loop), pytest.raises(Interrupted):
            loop.run_forever()
        cpu, elapsed = time.process_time() - cpu, time.monotonic() - started
        with watchdog(loop):
            loop.run_forever()
        loop.remove_reader(left.fileno())
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        left.close()
        right.close()
    # Polling of any kind would take a good part of the half second.
    assert cpu < 0.1 and elapsed < 10
