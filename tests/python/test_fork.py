# A loop used in a child made by os.fork(): no hang, no crash, clear refusals.
import pytest

from scripts import run_json, run_python

FORK_SCRIPT = """
import json, os, sys, cadrel

loop = cadrel.CadrelLoop()
loop.call_later(0.01, loop.stop)
loop.run_forever()  # the parent's workers have run a timer before the fork

read_end, write_end = os.pipe()
pid = os.fork()
if pid == 0:
    report = {}
    ran = []
    loop.call_soon(ran.append, "soon")  # needs only the channel: still works
    loop.stop()
    loop.run_forever()
    report["call_soon"] = ran
    refusals = {}
    for name, call in [("call_later", lambda: loop.call_later(0.01, print)),
                       ("call_at", lambda: loop.call_at(loop.time(), print)),
                       ("add_reader", lambda: loop.add_reader(read_end, print, ())),
                       ("add_writer", lambda: loop.add_writer(write_end, print, ())),
                       ("remove_reader", lambda: loop.remove_reader(read_end)),
                       ("remove_writer", lambda: loop.remove_writer(write_end))]:
        try:
            call()
            refusals[name] = None
        except RuntimeError as error:
            refusals[name] = str(error)
    report["refusals"] = refusals
    fresh = cadrel.CadrelLoop()  # a loop made in the child works normally
    fresh.call_later(0.01, fresh.stop)
    fresh.run_forever()
    del fresh
    del loop  # releasing the inherited loop must not wait for the parent's threads
    report["child_done"] = True
    os.write(write_end, json.dumps(report).encode())
    os._exit(0)

os.close(write_end)
_, status = os.waitpid(pid, 0)
child = json.loads(os.read(read_end, 65536).decode() or "null")
loop.call_later(0.01, loop.stop)
loop.run_forever()  # the parent's loop is unaffected
print(json.dumps({"status": status, "child": child, "parent_ok": True}))
"""


def test_a_forked_child_refuses_runtime_work_and_releases_the_loop_without_hanging():
    result = run_json(FORK_SCRIPT, timeout=60)
    assert result["status"] == 0 and result["parent_ok"]
    child = result["child"]
    assert child["call_soon"] == ["soon"]
    assert child["child_done"]
    for name, message in child["refusals"].items():
        assert message is not None, f"{name} was accepted in the child"
        assert "os.fork()" in message


FORK_WHILE_BUSY_SCRIPT = """
import os, sys, threading, time, cadrel
from probes import forks_that_hang

loop = cadrel.CadrelLoop()

def post():
    while True:
        loop.call_soon_threadsafe(id, 1)
        time.sleep(0)

threading.Thread(target=post, daemon=True).start()
threading.Thread(target=loop.run_forever, daemon=True).start()
time.sleep(0.1)

def busy_for_a_moment():
    busy_until = time.monotonic() + 0.01
    while time.monotonic() < busy_until:
        sum(range(1000))

hung = forks_that_hang(10, child=lambda: sys.exit(0),  # a normal exit: atexit hooks run
                       before_fork=busy_for_a_moment)
print(hung, flush=True)
os._exit(0)
"""


def test_a_child_forked_while_the_parents_threads_attach_exits_normally():
    # Threads of the parent that were attaching at the moment of the fork do not exist in the
    # child; its exit must not wait for them.
    done = run_python(FORK_WHILE_BUSY_SCRIPT, timeout=150)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["0"], "children hung at exit"


# A cadrelio loop's watchers live in an epoll set that a forked child shares with its parent:
# the child letting go of its copy of the loop (closing it, or dropping it) must not remove
# the parent's descriptors from that set.
CADRELIO_FORK_SCRIPT = """
import gc, json, os, socket, cadrelio

loop = cadrelio.new_event_loop()
watched, peer = socket.socketpair()
watched.setblocking(False)
calls = []

def on_readable():
    calls.append(watched.recv(16))
    loop.stop()

loop.add_reader(watched, on_readable)
loop.call_later(0.05, loop.stop)
loop.run_forever()  # the watcher is registered and waiting
pid = os.fork()
if pid == 0:
    how = {how!r}
    if how == "close":
        loop.close()
    del loop
    gc.collect()
    os._exit(0)
_, status = os.waitpid(pid, 0)
peer.send(b"after")
timeout = loop.call_later(10, loop.stop)
loop.run_forever()
timeout.cancel()
loop.close()
print(json.dumps({{"status": status, "calls": [call.decode() for call in calls]}}))
"""


@pytest.mark.parametrize("how", ["close", "drop"])
def test_a_forked_child_letting_go_of_a_cadrelio_loop_leaves_the_parents_watchers(how):
    result = run_json(CADRELIO_FORK_SCRIPT.format(how=how), timeout=60)
    assert result == {"status": 0, "calls": ["after"]}
