# Interpreter exit while loops are alive and busy: no crash, no hang, no host code on a worker.
#
# Each scenario runs in a child interpreter that prints "exiting" and returns from its main module
# while loops hold pending timers and watchers, while daemon threads post to them, run them or are
# inside a callback. Races at exit are rare per run, so each scenario runs several times.
import pytest

from scripts import run_python

RUNS_PER_SCENARIO = 4

# Common to every child: a probe whose finalizer reports when a cadrel worker thread runs it after
# finalization has begun (no worker may run host code then), and a helper that starts daemons.
PROLOGUE = """
import os, socket, sys, threading, time
import cadrel

def on_worker():
    try:
        with open("/proc/thread-self/comm") as comm:
            return comm.read().strip() == "cadrel-worker"
    except OSError:
        return False

class Probe:
    def __del__(self, write=os.write, finalizing=sys.is_finalizing, on_worker=on_worker):
        if finalizing() and on_worker():
            write(2, b"host code ran on a cadrel-worker during finalization\\n")

def daemon(target, *args):
    thread = threading.Thread(target=target, args=args, daemon=True)
    thread.start()
    return thread

def ticker(loop, interval):
    def tick(probe):
        loop.call_later(interval, tick, Probe())
    return tick
"""

SCENARIOS = {
    # Several idle loops with thousands of timers, some due while the interpreter finalizes.
    "pending-timers": """
loops = [cadrel.CadrelLoop() for _ in range(3)]
for index, loop in enumerate(loops):
    for i in range(2000):
        loop.call_later(i * 0.0001, id, Probe())
    loop.call_at(loop.time() + 3600, int)
time.sleep(0.05)
""",
    # A loop run by a daemon thread keeps rescheduling timers through the exit.
    "daemon-running-timers": """
loop = cadrel.CadrelLoop()
def run():
    loop.call_soon(ticker(loop, 0.0002), Probe())
    loop.run_forever()
daemon(run)
time.sleep(0.05)
""",
    # Readers and writers whose descriptors are always ready: every worker posts continuously,
    # and a daemon thread keeps replacing watchers, which releases their arguments.
    "firing-watchers": """
loop = cadrel.CadrelLoop()
pairs = [socket.socketpair() for _ in range(4)]
for left, right in pairs:
    right.send(b"x" * 1024)
    loop.add_reader(left.fileno(), id, (Probe(),))
    loop.add_writer(right.fileno(), id, (Probe(),))
def churn():
    while True:
        for left, right in pairs:
            loop.add_writer(right.fileno(), id, (Probe(),))
            loop.add_reader(left.fileno(), id, (Probe(),))
daemon(churn)
def run():
    while True:
        loop.stop()
        loop.run_forever()
daemon(run)
time.sleep(0.05)
""",
    # Threads post callbacks as fast as they can to a loop that a daemon thread runs.
    "posting-threads": """
loop = cadrel.CadrelLoop()
def post():
    while True:
        loop.call_soon_threadsafe(len, (Probe(),))
for _ in range(4):
    daemon(post)
daemon(loop.run_forever)
time.sleep(0.05)
""",
    # The loop thread releases each message's arguments, whose finalizers run Python code, so
    # finalization often begins inside a release.
    "finalizers-in-releases": """
class SlowFinalizer:
    def __del__(self):
        sum(range(200000))
loop = cadrel.CadrelLoop()
def post():
    while True:
        loop.call_soon_threadsafe(id, SlowFinalizer())
for _ in range(2):
    daemon(post)
daemon(loop.run_forever)
time.sleep(0.05)
""",
    # A daemon loop thread is inside a long Python callback when finalization begins.
    "daemon-inside-a-callback": """
loop = cadrel.CadrelLoop()
def busy():
    deadline = time.monotonic() + 5
    total = 0
    while time.monotonic() < deadline:
        total += sum(range(100))
    loop.call_soon(busy)
loop.call_soon(busy)
daemon(loop.run_forever)
time.sleep(0.05)
""",
    # Everything at once, with the main thread's own loop holding pending timers.
    "all-at-once": """
main_loop = cadrel.CadrelLoop()
for i in range(500):
    main_loop.call_later(i * 0.0002, id, Probe())
main_loop.call_later(0.01, main_loop.stop)
main_loop.run_forever()
loops = [cadrel.CadrelLoop() for _ in range(4)]
left, right = socket.socketpair()
right.send(b"x")
loops[0].add_reader(left.fileno(), id, (Probe(),))
loops[1].add_writer(right.fileno(), id, (Probe(),))
for loop in loops:
    daemon(loop.run_forever)
    loop.call_soon_threadsafe(ticker(loop, 0.0001), Probe())
def post():
    while True:
        for loop in loops:
            loop.call_soon_threadsafe(len, (Probe(),))
for _ in range(2):
    daemon(post)
time.sleep(0.05)
""",
}

EPILOGUE = """
print("exiting", flush=True)
"""



@pytest.mark.subprocess
@pytest.mark.parametrize("scenario", sorted(SCENARIOS))
def test_exiting_with_busy_loops_neither_crashes_nor_hangs(scenario):
    for run in range(RUNS_PER_SCENARIO):
        done = run_python(PROLOGUE + SCENARIOS[scenario] + EPILOGUE, timeout=60)
        context = f"run {run} of {scenario}: exit status {done.returncode}\n{done.stderr}"
        assert done.returncode == 0, context
        assert done.stdout.split() == ["exiting"], context
        assert done.stderr == "", context


ATEXIT_JOIN = """
import atexit, threading

state = {}

def stop_and_join():
    state["loop"].call_soon_threadsafe(state["loop"].stop)
    state["thread"].join(timeout=20)
    print("joined" if not state["thread"].is_alive() else "still running", flush=True)

atexit.register(stop_and_join)  # registered before cadrel is imported, so it runs after its hook

import cadrel
loop = cadrel.CadrelLoop()
thread = threading.Thread(target=loop.run_forever, daemon=True)
thread.start()
state.update(loop=loop, thread=thread)
print("exiting", flush=True)
"""


@pytest.mark.subprocess
def test_an_exit_hook_can_still_stop_and_join_a_loop_thread():
    done = run_python(ATEXIT_JOIN, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["exiting", "joined"]
    assert done.stderr == ""
