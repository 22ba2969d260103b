# Order of the loop's messages: callbacks and stops are handled in the order they were posted.
import pytest

from scripts import run_json

# A scenario runs in a child interpreter, so a run that never ends fails instead of hanging. Its
# body fills `runs` with what each run saw.
SCENARIO = """
    import json, threading
    import cadrel

    loop = cadrel.CadrelLoop()
    seen, runs = [], []

    def run():
        assert loop.run_forever() is None
        runs.append(list(seen))
        seen.clear()

{body}
    print(json.dumps({{"runs": runs}}))
"""


def run_scenario(body):
    indented = "\n".join("    " + line for line in body.strip("\n").splitlines())
    return run_json(SCENARIO.format(body=indented), timeout=60)["runs"]


pytestmark = pytest.mark.subprocess


def test_stop_before_a_run_ends_it_after_what_was_queued_before():
    runs = run_scenario("""
loop.call_soon(seen.append, "a")
loop.stop()
loop.call_soon_threadsafe(seen.append, "b")
loop.stop()
loop.call_soon(seen.append, "c")
loop.stop()
run()
run()
run()
""")
    assert runs == [["a"], ["b"], ["c"]]


def test_callback_that_stops_then_schedules():
    runs = run_scenario("""
def first():
    loop.stop()
    loop.call_soon(seen.append, "next run")
loop.call_soon(first)
loop.call_soon(seen.append, "same run")
run()
loop.stop()
run()
""")
    assert runs == [["same run"], ["next run"]]


def test_messages_from_another_thread_keep_their_order():
    runs = run_scenario("""
def post():
    for i in range(100):
        (loop.call_soon if i % 2 else loop.call_soon_threadsafe)(seen.append, i)
    loop.stop()
poster = threading.Thread(target=post)
poster.start()
poster.join(timeout=30)
run()
""")
    assert runs == [list(range(100))]


def test_stops_from_another_thread_split_its_callbacks_between_runs():
    runs = run_scenario("""
def post():
    for i in range(30):
        [loop.call_soon, loop.call_soon_threadsafe][i % 2](seen.append, i)
        if i % 10 == 9:
            loop.stop()
poster = threading.Thread(target=post)
poster.start()
poster.join(timeout=30)
run()
run()
run()
""")
    assert runs == [list(range(0, 10)), list(range(10, 20)), list(range(20, 30))]


def test_running_loop_answers_and_is_registered():
    runs = run_scenario("""
import asyncio
def probe():
    seen.append([loop.is_running(), loop.is_closed(), asyncio.get_running_loop() is loop])
    loop.stop()
loop.call_soon(probe)
run()
try:
    asyncio.get_running_loop()
    seen.append("still registered")
except RuntimeError:
    seen.append("unregistered")
seen.append(loop.is_running())
runs.append(list(seen))
""")
    assert runs == [[[True, False, True]], ["unregistered", True]]
