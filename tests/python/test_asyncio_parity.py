# Where CadrelLoop behaves as asyncio's own loop does, each test body runs over both loops:
# exceptions that end a run, cancelled handles, and signals that arrive while the loop sleeps.
import asyncio
import json
import os
import signal
import subprocess
import sys
import time

import pytest

import cadrel
import probes
from bodies import watchdog
from scripts import HARD_TIMEOUT, child_env, run_python

LOOP_KINDS = ["asyncio", "cadrel"]

# Child-side: a loop of the kind named by KIND.
NEW_LOOP = """
import asyncio, builtins, functools, json, os, signal, sys, threading, time
import cadrel

def new_loop():
    return asyncio.new_event_loop() if KIND == "asyncio" else cadrel.CadrelLoop()
"""


class CadrelLoopThatCountsCancelledTimers(cadrel.CadrelLoop):
    """TimerHandle.cancel() tells its loop through `_timer_handle_cancelled`, which asyncio's loop
    has and CadrelLoop does not; a subclass supplies it so that timers can be cancelled at all."""

    def _timer_handle_cancelled(self, handle):
        pass


@pytest.fixture(params=LOOP_KINDS)
def any_loop(request):
    if request.param == "cadrel":
        yield request.getfixturevalue("loop")
    else:
        loop = asyncio.new_event_loop()
        yield loop
        loop.close()


def run_briefly(loop):
    """Runs `loop` until a stop() queued behind everything scheduled so far has run."""
    with watchdog(loop):
        loop.call_soon(loop.stop)
        loop.run_forever()


# --- exceptions that end a run ------------------------------------------------------------------

ESCAPE_CHILD = NEW_LOOP + """
EXCEPTION = getattr(builtins, EXCEPTION_NAME)

def raise_it():
    raise EXCEPTION("from the loop")

async def failing_task():
    raise EXCEPTION("from a task")

def run_once(loop):
    later = []
    if SCHEDULE == "call_soon":
        loop.call_soon(raise_it)
        loop.call_soon(later.append, "ran")
    elif SCHEDULE == "call_later":
        loop.call_later(0.001, raise_it)
        loop.call_later(0.2, later.append, "ran")
    outcome = {"finally": False}
    try:
        if SCHEDULE == "task":
            loop.run_until_complete(failing_task())
        else:
            loop.run_forever()
        outcome["raised"] = None
    except BaseException as error:
        outcome["raised"] = type(error).__name__
    finally:
        outcome["finally"] = True
    outcome["running_loop_after"] = repr(asyncio.events._get_running_loop())
    # The loop is still usable: what was queued behind the exception runs in the next run.
    loop.call_later(0.5, loop.stop)
    loop.run_forever()
    outcome["later"] = later
    outcome["rerun_loop_after"] = repr(asyncio.events._get_running_loop())
    return outcome

report = {}
report["main"] = run_once(new_loop())
box = []
thread = threading.Thread(target=lambda: box.append(run_once(new_loop())))
thread.start()
thread.join(30)
report["thread"] = box[0] if box else "the loop thread did not return"
print(json.dumps(report), flush=True)
"""


@pytest.mark.subprocess
@pytest.mark.parametrize("schedule", ["call_soon", "call_later", "task"])
@pytest.mark.parametrize("exception", ["SystemExit", "KeyboardInterrupt"])
@pytest.mark.parametrize("kind", LOOP_KINDS)
def test_system_exit_and_keyboard_interrupt_leave_the_run_and_the_loop_stays_usable(
        kind, exception, schedule):
    code = f"KIND = {kind!r}\nEXCEPTION_NAME = {exception!r}\nSCHEDULE = {schedule!r}\n"
    done = run_python(code + ESCAPE_CHILD, timeout=60)
    assert done.returncode == 0, f"child exited with {done.returncode}:\n{done.stderr}"
    lines = done.stdout.strip().splitlines()
    assert lines, f"the child printed nothing:\n{done.stderr}"
    report = json.loads(lines[-1])
    for where in ("main", "thread"):
        outcome = report[where]
        assert isinstance(outcome, dict), f"{where}: {outcome}"
        assert outcome["raised"] == exception, where
        assert outcome["finally"], where
        assert outcome["running_loop_after"] == "None", where
        assert outcome["rerun_loop_after"] == "None", where
        if schedule != "task":
            assert outcome["later"] == ["ran"], where
    # The exception went to the caller, not to the loop's error printing.
    assert "Traceback" not in done.stderr, done.stderr


@pytest.mark.parametrize("exception", [ValueError, ArithmeticError])
def test_other_callback_exceptions_are_printed_and_the_run_goes_on(loop, capfd, exception):
    ran = []

    def fail():
        raise exception("printed, not raised")

    loop.call_soon(fail)
    loop.call_soon(ran.append, "after")
    run_briefly(loop)
    assert ran == ["after"]
    assert "printed, not raised" in capfd.readouterr().err


# --- cancelled handles --------------------------------------------------------------------------

def test_a_cancelled_handle_is_skipped(any_loop, capfd):
    ran = []
    cancelled = any_loop.call_soon(ran.append, "cancelled")
    kept = any_loop.call_soon(ran.append, "kept")
    cancelled.cancel()
    run_briefly(any_loop)
    assert ran == ["kept"]
    assert not kept.cancelled()
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("kind", LOOP_KINDS)
def test_a_cancelled_timer_is_skipped(kind, capfd):
    loop = asyncio.new_event_loop() if kind == "asyncio" else CadrelLoopThatCountsCancelledTimers()
    try:
        ran = []
        cancelled = loop.call_later(0.01, ran.append, "cancelled")
        loop.call_later(0.02, ran.append, "kept")
        cancelled.cancel()
        loop.call_later(0.2, loop.stop)
        with watchdog(loop):
            loop.run_forever()
        assert ran == ["kept"]
        assert capfd.readouterr().err == ""
    finally:
        loop.close()
        del loop


# --- signals ------------------------------------------------------------------------------------

SIGNAL_CHILD = NEW_LOOP + """
class Interrupted(Exception):
    pass

handled = []

def on_usr1(signum, frame):
    handled.append(signum)
    loop.call_soon_threadsafe(loop.stop)

def on_usr2(signum, frame):
    raise Interrupted("from the handler")

signal.signal(signal.SIGUSR1, on_usr1)
signal.signal(signal.SIGUSR2, on_usr2)
# Python leaves SIGINT ignored when it starts with it ignored (a job started in the
# background by a non-interactive shell, as CI may be); install its usual handler.
signal.signal(signal.SIGINT, signal.default_int_handler)
loop = new_loop()
for _ in range(3):
    # Announced from inside the run; after it nothing is scheduled and the loop sleeps.
    loop.call_soon(functools.partial(print, "running", flush=True))
    outcome = {}
    try:
        loop.run_forever()
        outcome["raised"] = None
    except BaseException as error:
        outcome["raised"] = type(error).__name__
    outcome["handled"] = handled[:]
    print(json.dumps(outcome), flush=True)
loop.close()
"""

SIGNALS_IN_TURN = [(signal.SIGINT, "KeyboardInterrupt", []),
                   (signal.SIGUSR1, None, [signal.SIGUSR1]),
                   (signal.SIGUSR2, "Interrupted", [signal.SIGUSR1])]


@pytest.mark.subprocess
@pytest.mark.parametrize("kind", LOOP_KINDS)
def test_a_signal_wakes_a_sleeping_loop_and_its_handler_runs_promptly(kind):
    child = subprocess.Popen([sys.executable, "-c", f"KIND = {kind!r}\n" + SIGNAL_CHILD],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             env=child_env())
    try:
        for signum, raised, handled in SIGNALS_IN_TURN:
            assert child.stdout.readline() == "running\n", child.stderr.read()
            time.sleep(0.3)  # the loop has gone to sleep on an empty queue
            sent = time.monotonic()
            child.send_signal(signum)
            line = _read_line_within(child, 10.0)
            assert line is not None, f"the loop did not wake for {signal.Signals(signum).name}"
            assert time.monotonic() - sent < 5.0
            assert json.loads(line) == {"raised": raised, "handled": handled}
        assert child.wait(timeout=HARD_TIMEOUT) == 0
        assert child.stderr.read() == ""
    finally:
        if child.poll() is None:
            child.kill()
        child.communicate()


def _read_line_within(child, timeout):
    import selectors
    with selectors.DefaultSelector() as selector:
        selector.register(child.stdout, selectors.EVENT_READ)
        if not selector.select(timeout):
            return None
    return child.stdout.readline()


ASYNC_SIGNALS = [signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGUSR1, signal.SIGUSR2,
                 signal.SIGCHLD, signal.SIGALRM, signal.SIGPIPE]


def _blocked_signals(tid):
    with open(f"/proc/self/task/{tid}/status") as status:
        for line in status:
            if line.startswith("SigBlk:"):
                mask = int(line.split()[1], 16)
                return {signum for signum in ASYNC_SIGNALS if mask & (1 << (signum - 1))}
    raise AssertionError("SigBlk missing")


def test_worker_threads_block_asynchronous_signals_and_the_creator_keeps_its_mask(loop):
    assert probes.workers_named_within(probes.processor_count()) == probes.processor_count()
    workers = probes.worker_tids()
    assert workers
    for tid in workers:
        assert _blocked_signals(tid) == set(ASYNC_SIGNALS), tid
    # Building the loop left the calling thread's own mask as it was.
    assert _blocked_signals(str(__import__("threading").get_native_id())) == set()
