# Worker threads never enter the interpreter: references they drop are released later on a host
# thread, so no finalizer (and no loop's release) ever runs on a cadrel-worker, and a child forked
# while they drop references finds the pending-release list usable.
import json

import pytest

from scripts import run_json, run_python

# Child-side: objects that record the name of the thread their finalizer runs on.
FINALIZER_THREADS = """
import gc, json, os, socket, threading, time, weakref
import cadrel

def thread_name():
    with open("/proc/thread-self/comm") as comm:
        return comm.read().strip()

finalized_on = []

class Recorded:
    def __init__(self, tag):
        self.tag = tag
    def __del__(self):
        finalized_on.append((self.tag, thread_name()))
"""

# A reader callback bound to an object that holds the loop: once the reader is removed and the
# program lets go of the loop, the last reference to the loop is the one its watcher dropped on a
# worker. Readiness of another descriptor of the same loop must not make a worker release it.
LAST_REFERENCE_DROPPED_BY_A_WATCHER = FINALIZER_THREADS + """
class Holder(Recorded):
    def __init__(self, loop):
        super().__init__("holder")
        self.loop = loop
    def on_read(self):
        pass

loop = cadrel.CadrelLoop()
gone = weakref.ref(loop)
holder = Holder(loop)
first, first_peer = socket.socketpair()
second, second_peer = socket.socketpair()
loop.add_reader(first.fileno(), holder.on_read, ())
loop.add_reader(second.fileno(), id, (Recorded("args"),))
time.sleep(0.2)          # both watchers have registered their descriptors
loop.remove_reader(first.fileno())
time.sleep(0.2)          # a worker has ended the first watcher and dropped its callback
del loop, holder
second_peer.send(b"x")   # the second watcher wakes on a worker
time.sleep(0.5)
alive_before_host_entry = gone() is not None
cadrel.CadrelLoop().get_debug()   # any host entry releases what the workers dropped
time.sleep(0.1)
print(json.dumps({"alive_before_host_entry": alive_before_host_entry,
                  "freed": gone() is None,
                  "finalized_on": finalized_on}), flush=True)
"""


@pytest.mark.subprocess
def test_a_loop_whose_last_reference_a_watcher_dropped_is_released_on_a_host_thread():
    result = run_json(LAST_REFERENCE_DROPPED_BY_A_WATCHER, timeout=60)
    assert result["freed"]
    assert "holder" in [tag for tag, _ in result["finalized_on"]]
    assert all(name != "cadrel-worker" for _, name in result["finalized_on"]), result


# Watchers replaced, removed, cancelled before they ran and ended by the loop's release, and
# callbacks run: every argument is finalized, each on a host thread.
CHURN = FINALIZER_THREADS + """
created = 0
def recorded(tag):
    global created
    created += 1
    return Recorded(tag)

loop = cadrel.CadrelLoop()
pairs = [socket.socketpair() for _ in range(4)]
for left, right in pairs:
    right.send(b"x")
ran = []
def run():
    while not stop.is_set():
        loop.call_soon_threadsafe(loop.stop)
        loop.run_forever()
stop = threading.Event()
runner = threading.Thread(target=run)
runner.start()
for round in range(300):
    for left, right in pairs:
        loop.add_reader(left.fileno(), ran.append, (recorded("reader"),))
        loop.add_writer(right.fileno(), ran.append, (recorded("writer"),))
        if round % 3 == 0:
            loop.remove_reader(left.fileno())
    time.sleep(0)
stop.set()
runner.join()
loop.call_soon(loop.stop)
loop.run_forever()
del loop
ran.clear()
gc.collect()
cadrel.CadrelLoop().get_debug()
names = sorted({name for _, name in finalized_on})
print(json.dumps({"created": created, "finalized": len(finalized_on), "names": names}), flush=True)
"""


@pytest.mark.subprocess
def test_no_finalizer_runs_on_a_worker_thread():
    result = run_json(CHURN, timeout=60)
    assert result["finalized"] == result["created"]
    assert "cadrel-worker" not in result["names"], result


# The forking thread is attached; workers drop references (replaced watchers) at any moment, so
# some forks catch one in the middle of adding to the pending-release list. The child then enters
# the host, which releases that list, and must exit.
FORK_WHILE_WORKERS_RELEASE = """
import os, socket, sys, threading, time, cadrel
from probes import forks_that_hang

loop = cadrel.CadrelLoop()
left, right = socket.socketpair()
right.send(b"x")
def churn():
    while True:
        loop.add_reader(left.fileno(), id, (object(),))
        loop.add_writer(right.fileno(), id, (object(),))
for _ in range(2):
    threading.Thread(target=churn, daemon=True).start()
time.sleep(0.1)
hung = forks_that_hang(FORKS, child=lambda: cadrel.CadrelLoop.get_debug(loop), timeout=5)
print(hung, flush=True)
os._exit(0)
"""


@pytest.mark.subprocess
def test_a_child_forked_while_workers_release_references_does_not_hang():
    done = run_python("FORKS = 200\n" + FORK_WHILE_WORKERS_RELEASE, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["0"], "children hung in the pending-release list"
