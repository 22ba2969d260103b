# run_forever, stop and close: the loop thread, the running-loop registration, failing callbacks.
import asyncio
import json
import re
import sys
import threading
import time
import types
import weakref

import pytest

from bodies import drain, watchdog
from scripts import run_python

PANIC_REPORT = re.compile(r"thread '[^'\n]*' panicked at src/loop/run_loop\.cpp:\d+:\d+:\n"
                          r"run_forever called more than once or concurrently\n")

# Child-side helper: the internal-failure exception class, obtained by provoking a refusal.
PANIC_CLASS = """
    def panic_class():
        probe = cadrel.CadrelLoop()
        caught = []
        def reenter():
            try:
                probe.run_forever()
            except BaseException as error:
                caught.append(type(error))
        probe.call_soon(reenter)
        probe.stop()
        probe.run_forever()
        return caught[0]
"""


def run_child(code):
    """Runs `code` in a child interpreter; returns the JSON value of its last line, and stderr."""
    done = run_python(code, timeout=60)
    assert done.returncode == 0, f"child exited with {done.returncode}:\n{done.stderr}"
    return json.loads(done.stdout.strip().splitlines()[-1]), done.stderr


def run_on_this_thread(loop):
    with watchdog(loop):
        assert loop.run_forever() is None


@pytest.fixture
def registration_restored():
    """Leaves this thread with no running loop, whatever the test registered and left behind."""
    yield
    asyncio.events._set_running_loop(None)


@pytest.mark.parametrize("registered_before", [False, True], ids=["none before", "other before"])
def test_loop_is_registered_for_the_run_only(loop, registration_restored, registered_before):
    if registered_before:
        asyncio.events._set_running_loop(object())
    seen = []

    def probe():
        seen.append((asyncio.get_running_loop() is loop, threading.get_ident(), loop.is_running()))

    loop.call_soon(probe)
    loop.stop()
    run_on_this_thread(loop)
    assert seen == [(True, threading.get_ident(), True)]
    # Reset to None at the end, never back to what was registered before.
    assert asyncio.events._get_running_loop() is None


@pytest.mark.parametrize("waker", ["call_soon", "call_soon_threadsafe", "stop"])
def test_other_thread_wakes_a_sleeping_loop(loop, waker):
    seen = []

    def wake():
        # Python code that runs while the loop thread waits: it must have let the interpreter go.
        deadline = time.monotonic() + 0.05
        while time.monotonic() < deadline:
            time.sleep(0.001)
        seen.append("posted")
        if waker == "stop":
            loop.stop()
        else:
            getattr(loop, waker)(woken)

    def woken():
        seen.append(("woken", threading.get_ident()))
        loop.stop()

    waker_thread = threading.Thread(target=wake)
    loop.call_soon(waker_thread.start)
    run_on_this_thread(loop)
    waker_thread.join(timeout=30)
    expected = ["posted"] if waker == "stop" else ["posted", ("woken", threading.get_ident())]
    assert seen == expected


def test_close_during_a_run_changes_nothing(loop):
    seen = []

    def close_then_record():
        assert loop.close() is None
        seen.append(loop.is_closed())

    loop.call_soon(close_then_record)
    loop.call_soon(seen.append, "still running")
    drain(loop, lambda: len(seen) == 2)
    assert seen == [False, "still running"]


# --- a queue handled in one stretch -------------------------------------------------------------

class Token:
    pass


def test_each_message_is_released_before_the_next_one_runs(loop):
    # The loop stays attached while messages are queued; each is still released as it is done.
    tokens = [Token() for _ in range(50)]
    refs = [weakref.ref(token) for token in tokens]
    dead_when_next_ran = []

    def check(index, token):
        dead_when_next_ran.append(index == 0 or refs[index - 1]() is None)

    for index, token in enumerate(tokens):
        loop.call_soon(check, index, token)
    del tokens, token
    loop.stop()
    run_on_this_thread(loop)
    assert dead_when_next_ran == [True] * 50


def test_other_threads_run_while_a_long_queue_is_handled(loop):
    # Nothing yields explicitly between queued callbacks: the interpreter's switch interval
    # hands the lock to other threads meanwhile.
    ticks, seen, finished = [0], [], threading.Event()

    def ticker():
        while not finished.is_set():
            ticks[0] += 1

    def work():
        seen.append(ticks[0])
        sum(range(2000))

    for _ in range(20000):
        loop.call_soon(work)
    loop.stop()
    other = threading.Thread(target=ticker)
    other.start()
    try:
        run_on_this_thread(loop)
    finally:
        finished.set()
        other.join(30)
    # The ticker advanced between callbacks of the one batch, many times over.
    assert len(set(seen)) > 10


def test_value_returned_by_a_callback_is_released(loop):
    class Result:
        pass

    refs = []

    def make_result():
        result = Result()
        refs.append(weakref.ref(result))
        return result

    loop.call_soon(make_result)
    drain(loop, lambda: refs)
    assert refs[0]() is None


class RefusingEvents(types.ModuleType):
    """Stands in for asyncio.events with a lookup of _set_running_loop that fails."""

    def __init__(self, error):
        super().__init__("asyncio.events")
        self.error = error

    def __getattr__(self, name):
        raise self.error


def refusing_setter(error):
    def set_running_loop(_loop):
        raise error
    return set_running_loop


@pytest.mark.parametrize("failure", ["call raises", "lookup raises", "import fails"])
def test_failed_registration_ends_the_call_and_leaves_the_loop_idle(loop, monkeypatch, failure):
    error = LookupError("refused registration")
    seen = []
    loop.call_soon(seen.append, "queued before")
    loop.stop()
    with monkeypatch.context() as patch:
        if failure == "call raises":
            patch.setattr(asyncio.events, "_set_running_loop", refusing_setter(error))
        elif failure == "lookup raises":
            patch.setattr(asyncio, "events", RefusingEvents(error))
        else:
            patch.setitem(sys.modules, "asyncio", None)
        with pytest.raises(BaseException) as raised:
            run_on_this_thread(loop)
    if failure == "import fails":
        assert raised.type is ModuleNotFoundError
    else:
        assert raised.value is error
    assert asyncio.events._get_running_loop() is None
    # The run never started: the queued callback and the Stop are still waiting for the next one.
    assert seen == []
    run_on_this_thread(loop)
    assert seen == ["queued before"]


def test_missing_registration_function_counts_as_absent(loop, monkeypatch):
    seen = []

    def probe():
        try:
            asyncio.get_running_loop()
        except RuntimeError:
            seen.append("no running loop")

    monkeypatch.delattr(asyncio.events, "_set_running_loop")
    loop.call_soon(probe)
    loop.stop()
    run_on_this_thread(loop)
    assert seen == ["no running loop"]


def test_failed_reset_at_the_end_reaches_the_caller_and_the_loop_runs_again(
        loop, monkeypatch, registration_restored):
    real_set = asyncio.events._set_running_loop
    error = LookupError("refused reset")

    def set_running_loop(value):
        if value is None:
            raise error
        real_set(value)

    seen = []
    loop.call_soon(seen.append, "first run")
    loop.stop()
    with monkeypatch.context() as patch:
        patch.setattr(asyncio.events, "_set_running_loop", set_running_loop)
        with pytest.raises(LookupError) as raised:
            run_on_this_thread(loop)
    assert raised.value is error
    real_set(None)
    loop.call_soon(seen.append, "second run")
    loop.stop()
    run_on_this_thread(loop)
    assert seen == ["first run", "second run"]


def test_run_from_another_thread_while_running_is_refused(loop, registration_restored):
    started, seen = threading.Event(), []
    runner = threading.Thread(target=loop.run_forever, name="test-loop-runner")
    loop.call_soon(started.set)
    with watchdog(loop):
        runner.start()
        assert started.wait(30)
        with pytest.raises(BaseException) as refused:
            loop.run_forever()
        # The refusal comes after the registration, which it leaves in place.
        assert asyncio.events._get_running_loop() is loop
        asyncio.events._set_running_loop(None)
        loop.call_soon(seen.append, "run goes on")
        loop.stop()
        runner.join(30)
    assert type(refused.value).__name__ == "PanicException"
    assert str(refused.value) == "run_forever called more than once or concurrently"
    assert seen == ["run goes on"]


@pytest.mark.subprocess
def test_exceptions_escaping_handles_are_printed_and_the_run_goes_on():
    result, err = run_child(PANIC_CLASS + """
    import json, sys
    import cadrel

    class DirectBaseError(BaseException):
        pass

    def raising(error):
        def callback():
            raise error
        return callback

    loop = cadrel.CadrelLoop()
    seen = []
    # (KeyboardInterrupt and SystemExit end the run instead: test_asyncio_parity.py.)
    cases = [ValueError("bad value"), DirectBaseError("direct"), panic_class()("swallowed panic")]
    for index, error in enumerate(cases):
        loop.call_soon(raising(error))
        loop.call_soon(sys.stderr.write, f"=== end of case {index}\\n")
    loop.call_soon(seen.append, "after the failures")
    loop.stop()
    returned = loop.run_forever()
    print(json.dumps({"returned": repr(returned), "seen": seen,
                      "last_value_set": hasattr(sys, "last_value")}))
    """)
    assert result == {"returned": "None", "seen": ["after the failures"], "last_value_set": False}
    sections = re.split(r"=== end of case \d\n", err)
    assert len(sections) == 4 and sections[3] == ""
    value_error, direct, panic = sections[:3]
    # Handle._run catches the error and passes it to call_exception_handler, which this loop
    # does not have: what escapes is that AttributeError, chained to the callback's error.
    assert "ValueError: bad value" in value_error
    assert ("AttributeError: 'builtins.CadrelLoop' object has no attribute "
            "'call_exception_handler'") in value_error
    assert value_error.index("ValueError") < value_error.index("AttributeError")
    assert "DirectBaseError: direct" in direct and "call_exception_handler" in direct
    # A panic the handle swallowed is not one that escaped _run: the run does not end.
    assert "PanicException: swallowed panic" in panic and "call_exception_handler" in panic
    assert "resuming an internal failure" not in err


@pytest.mark.subprocess
def test_system_exit_from_a_callback_ends_the_process():
    done = run_python("""
    import cadrel
    loop = cadrel.CadrelLoop()
    def leave():
        raise SystemExit(7)
    loop.call_soon(leave)
    loop.call_soon(print, "after the exit")
    loop.stop()
    loop.run_forever()
    print("run returned")
    """, timeout=60)
    assert done.returncode == 7
    assert done.stdout == ""


@pytest.mark.subprocess
def test_run_forever_from_a_callback_of_the_same_loop_is_refused():
    result, err = run_child("""
    import asyncio, json
    import cadrel

    loop = cadrel.CadrelLoop()
    seen = []

    def reenter():
        seen.append("before")
        try:
            loop.run_forever()
        except BaseException as error:
            cls = type(error)
            seen.append([cls.__module__, cls.__name__, [c.__name__ for c in cls.__mro__],
                         str(error), asyncio.get_running_loop() is loop])
        loop.call_soon(seen.append, "posted after the refusal")

    loop.call_soon(reenter)
    loop.call_soon(seen.append, "queued after")
    loop.call_soon(loop.stop)
    returned = loop.run_forever()
    print(json.dumps({"returned": repr(returned), "seen": seen,
                      "registered_after": asyncio.events._get_running_loop() is not None}))
    """)
    assert result == {
        "returned": "None",
        "seen": ["before",
                 ["pyo3_runtime", "PanicException", ["PanicException", "BaseException", "object"],
                  "run_forever called more than once or concurrently", True],
                 "queued after", "posted after the refusal"],
        "registered_after": False,
    }
    assert len(PANIC_REPORT.findall(err)) == 1, err


@pytest.mark.subprocess
def test_run_forever_of_another_loop_from_a_callback_is_refused_and_leaves_it_untouched():
    result, err = run_child("""
    import asyncio, json
    import cadrel

    outer, other = cadrel.CadrelLoop(), cadrel.CadrelLoop()
    seen = []

    def run_other():
        try:
            other.run_forever()
        except BaseException as error:
            seen.append(["refused", type(error).__name__,
                         asyncio.events._get_running_loop() is outer])
        seen.append("outer goes on")

    other.call_soon(seen.append, "other's callback")
    other.stop()
    outer.call_soon(run_other)
    outer.stop()
    outer_returned = outer.run_forever()
    other_returned = other.run_forever()
    other.call_soon(seen.append, "other again")
    other.stop()
    other.run_forever()
    print(json.dumps({"returned": [repr(outer_returned), repr(other_returned)], "seen": seen,
                      "registered_after": asyncio.events._get_running_loop() is not None}))
    """)
    assert result == {
        "returned": ["None", "None"],
        "seen": [["refused", "PanicException", True], "outer goes on", "other's callback",
                 "other again"],
        "registered_after": False,
    }
    assert "panicked at src/loop/run_loop.cpp:" in err


# Child-side: a loop whose exception handler re-raises, so that an exception a callback raises
# escapes Handle._run; the panic escaping breaks the loop, and each operation is tried after.
BROKEN_LOOP = PANIC_CLASS + """
    import asyncio, json, sys, weakref
    import cadrel

    class Witness:
        pass

    class ReraisingLoop(cadrel.CadrelLoop):
        def call_exception_handler(self, context):
            raise context["exception"]

    panic = panic_class()
    loop = ReraisingLoop()
    seen = []

    def fail():
        raise panic("boom")

    witness = Witness()
    witness_ref = weakref.ref(witness)
    loop.call_soon(seen.append, "before the failure")
    loop.call_soon(fail)
    loop.call_soon(seen.append, witness)
    del witness
    loop.stop()
    try:
        loop.run_forever()
        raised = None
    except BaseException as error:
        raised = [type(error) is panic, str(error)]

    def outcome(call):
        try:
            call()
        except NotImplementedError:
            return "not built"
        except BaseException as error:
            return [type(error).__name__, str(error)]
        return "accepted"

    attempts = {
        "stop": loop.stop,
        "call_soon": lambda: loop.call_soon(seen.append, "never"),
        "call_soon_threadsafe": lambda: loop.call_soon_threadsafe(seen.append, "never"),
        "_stop_cb": lambda: loop._stop_cb(None),
        "call_later": lambda: loop.call_later(0, seen.append, "never"),
        "call_at": lambda: loop.call_at(0.0, seen.append, "never"),
        "run_forever": loop.run_forever,
    }
    outcomes = {name: outcome(call) for name, call in attempts.items()}
    print(json.dumps({
        "raised": raised, "seen": [item for item in seen if isinstance(item, str)],
        "queued_released": witness_ref() is None,
        "registration_kept": asyncio.events._get_running_loop() is loop,
        "outcomes": outcomes,
    }))
"""


@pytest.fixture(scope="module")
def broken_loop():
    return run_child(BROKEN_LOOP)


@pytest.mark.subprocess
def test_internal_failure_escaping_a_handle_ends_the_run_and_breaks_the_loop(broken_loop):
    result, err = broken_loop
    assert result["raised"] == [True, "boom"]
    assert result["seen"] == ["before the failure"]
    # The run ended at once: what was queued behind the failure was dropped, not run.
    assert result["queued_released"] is True
    assert result["registration_kept"] is True
    notice = err.index("--- cadrel is resuming an internal failure")
    assert re.match(r"--- cadrel is resuming an internal failure[^\n]*\n", err[notice:])
    traceback = err[notice:]
    assert "Traceback (most recent call last):" in traceback
    assert "in fail" in traceback and "PanicException: boom" in traceback


BROKEN_REFUSALS = {
    "stop": ["RuntimeError", "loop closed"],
    "call_soon": ["RuntimeError", "loop closed"],
    "call_soon_threadsafe": ["RuntimeError", "loop closed"],
    "_stop_cb": ["RuntimeError", "loop closed"],
    "call_later": ["RuntimeError", "loop closed"],
    "call_at": ["RuntimeError", "loop closed"],
    "run_forever": ["PanicException", "run_forever called more than once or concurrently"],
}


@pytest.mark.subprocess
@pytest.mark.parametrize("operation", BROKEN_REFUSALS)
def test_broken_loop_refuses(broken_loop, operation):
    got = broken_loop[0]["outcomes"][operation]
    if got == "not built":
        pytest.skip(f"body of {operation} not built yet")
    assert got == BROKEN_REFUSALS[operation]
    if operation == "run_forever":
        assert len(PANIC_REPORT.findall(broken_loop[1])) == 2  # the probe's and this one
