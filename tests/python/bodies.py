# Calls into method bodies that may still raise NotImplementedError, bounded runs of a loop, and
# calls made on another thread.
import contextlib
import threading
import time

import pytest

NOT_BUILT = object()

# A run that should end at once is given this long before the test fails.
RUN_TIMEOUT = 30.0


def call_body(method, *args, **kwargs):
    """Calls `method` for its result; the test is skipped while the body is not built."""
    try:
        return method(*args, **kwargs)
    except NotImplementedError:
        pytest.skip(f"body of {method.__name__} not built yet")


def reach_body(method, *args, **kwargs):
    """Calls `method` only to show that matching and conversion accepted the arguments.

    A body that is not built yet raises NotImplementedError after the arguments were accepted,
    so that counts as reached; any other exception fails the test.
    """
    try:
        return method(*args, **kwargs)
    except NotImplementedError:
        return NOT_BUILT


def run_until_stopped(loop):
    """One run_forever on a helper thread, so that a run that never ends fails the test."""
    outcome = []

    def run():
        try:
            outcome.append(loop.run_forever())
        except BaseException as error:  # handed to the test's thread below
            outcome.append(error)

    runner = threading.Thread(target=run, name="test-loop-runner", daemon=True)
    runner.start()
    runner.join(RUN_TIMEOUT)
    assert not runner.is_alive(), "run_forever did not return after a queued stop()"
    if isinstance(outcome[0], BaseException):
        raise outcome[0]
    assert outcome == [None]


def drain(loop, done, timeout=RUN_TIMEOUT):
    """Runs the loop in short runs until done() holds.

    A posted handle refers back to the loop, and the loop takes no part in cyclic garbage
    collection, so a loop released with handles still queued or sleeping in timers would never
    be freed. Each run ends at the stop() queued just before it; timers that post later are
    handled by a following run.
    """
    deadline = time.monotonic() + timeout
    while not done():
        assert time.monotonic() < deadline, "posted callbacks did not run in time"
        loop.stop()
        run_until_stopped(loop)


@contextlib.contextmanager
def watchdog(loop, timeout=RUN_TIMEOUT):
    """Bounds runs of `loop` made inside the block, on whichever thread makes them.

    If the block has not finished after `timeout`, the watchdog posts a stop() so that a run that
    would never end returns, and the test fails on leaving the block.
    """
    finished, fired = threading.Event(), threading.Event()

    def guard():
        if not finished.wait(timeout):
            fired.set()
            loop.stop()

    guard_thread = threading.Thread(target=guard, name="test-loop-watchdog", daemon=True)
    guard_thread.start()
    try:
        yield
    finally:
        finished.set()
        guard_thread.join()
    assert not fired.is_set(), f"the loop was still running after {timeout} s"



def call_on_thread(function, timeout=RUN_TIMEOUT):
    """Calls `function` on a new thread and returns its result, or raises what it raised."""
    outcome = []

    def call():
        try:
            outcome.append((True, function()))
        except BaseException as error:  # handed to the test's thread below
            outcome.append((False, error))

    caller = threading.Thread(target=call, name="test-other-thread")
    caller.start()
    caller.join(timeout)
    assert outcome, "the call on the other thread did not finish"
    succeeded, value = outcome[0]
    if not succeeded:
        raise value
    return value
