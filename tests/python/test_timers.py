# time, call_later and call_at: the loop's wall clock, the timer handles, and when they run.
#
# A timer handle refers to its loop, and the loop takes no part in cyclic garbage collection, so a
# loop is only freed once every timer handle it made has been run; tests drain their timers (or cut
# the handle's reference to the loop) before they let a loop go.
import asyncio
import gc
import json
import math
import random
import re
import sys
import threading
import time
import weakref
from types import SimpleNamespace

import pytest

import cadrel
import probes
from argument_model import Index, Real
from bodies import call_on_thread, drain, run_until_stopped, watchdog
from recorders import current_label, labelled_context, recording_handles
from scripts import run_python

TIMED = ["call_later", "call_at"]
# Generous: a timer this late has been lost, not delayed.
LATE_BOUND = 10.0
# Two readings of the same wall clock through different float conversions may differ by this much.
CLOCK_SLACK = 1e-6
UNCONVERTIBLE = "cannot convert float seconds to Duration: value is either too big or NaN"
FAILED_TIMER_REPORT = re.compile(r"thread 'cadrel-worker' panicked at src/runtime/duration\.cpp:\d+:\d+:\n"
                                 + re.escape(UNCONVERTIBLE) + "\n")


@pytest.fixture
def timer_handles(monkeypatch):
    """Puts a subclass of asyncio.TimerHandle in its place that records how each is built and run.

    Name it after `loop`: the records refer to the loop, and are dropped before its leak check.
    """
    yield from recording_handles(monkeypatch, "TimerHandle")


class FireLog:
    """A callback that records, per key, when (monotonic) and on which thread it ran."""

    def __init__(self):
        self.fired = {}

    def __call__(self, key, *args):
        self.fired[key] = SimpleNamespace(at=time.monotonic(), thread=threading.current_thread().name,
                                          args=args)

    def has(self, *keys):
        return lambda: all(key in self.fired for key in keys)


def run_once(loop):
    """One run that handles everything posted so far."""
    loop.stop()
    run_until_stopped(loop)


# --- time ----------------------------------------------------------------------------------------

@pytest.mark.parametrize("from_thread", [False, True], ids=["same thread", "other thread"])
def test_time_is_wall_clock_seconds_since_the_epoch_with_a_fraction(loop, from_thread):
    readings = []
    for _ in range(20):
        before = time.time()
        now = call_on_thread(loop.time) if from_thread else loop.time()
        after = time.time()
        assert type(now) is float
        assert before - CLOCK_SLACK <= now <= after + CLOCK_SLACK
        readings.append(now)
        time.sleep(0.0013)
    # Readings 1.3 ms apart cannot all fall on whole seconds.
    assert any(reading != math.floor(reading) for reading in readings)


# --- call_later: the handle and when it runs ------------------------------------------------------

@pytest.mark.parametrize("extras", [(), (1, 2), (None, "x", 3.5)], ids=["no extras", "1, 2", "three"])
def test_call_later_returns_a_timer_handle_and_runs_no_sooner_than_the_delay(loop, timer_handles,
                                                                          extras):
    log = FireLog()
    before, started = loop.time(), time.monotonic()
    handle = loop.call_later(0.2, log, "timer", *extras)
    after = loop.time()

    assert type(handle) is asyncio.TimerHandle
    assert before + 0.2 <= handle.when() <= after + 0.2
    [(built, args, keywords)] = timer_handles.built
    assert built is handle
    assert type(args[0]) is float and args[0] == handle.when()
    assert args[1] is log
    assert type(args[2]) is tuple and args[2] == ("timer", *extras)
    assert keywords == [("loop", loop)] and keywords[0][1] is loop

    drain(loop, log.has("timer"))
    fired = log.fired["timer"]
    assert fired.args == extras
    assert 0.2 <= fired.at - started < 0.2 + LATE_BOUND
    assert fired.thread == "test-loop-runner"  # the loop thread of drain's runs
    assert timer_handles.ran == [handle]  # the very object returned is the one posted


# Each expectation: (loop time read just before, just after, the handle's when) -> whether it fits.
NO_WAIT_DELAYS = {
    "0": (0, lambda before, after, when: before <= when <= after),
    "0.0": (0.0, lambda before, after, when: before <= when <= after),
    "-5": (-5, lambda before, after, when: before - 5 <= when <= after - 5),
    "-inf": (-math.inf, lambda before, after, when: when == -math.inf),
    "nan": (math.nan, lambda before, after, when: math.isnan(when)),
}


def assert_none_waited(loop, log, keys):
    """The timers under `keys` ran before one that waits a second, so none of them waited."""
    loop.call_later(1.0, log, "a second later")
    drain(loop, log.has(*keys, "a second later"))
    marker = log.fired["a second later"].at
    assert [key for key in keys if log.fired[key].at >= marker] == []


def test_call_later_without_a_positive_delay_does_not_wait(loop):
    log = FireLog()
    for key, (delay, when_fits) in NO_WAIT_DELAYS.items():
        before = loop.time()
        handle = loop.call_later(delay, log, key)
        after = loop.time()
        assert type(handle.when()) is float
        assert when_fits(before, after, handle.when()), (key, handle.when())
    assert_none_waited(loop, log, list(NO_WAIT_DELAYS))


@pytest.mark.subprocess
def test_a_delay_no_duration_can_hold_is_reported_by_a_worker_and_never_runs():
    done = run_python("""
        import json, math, time
        import cadrel

        loop = cadrel.CadrelLoop()
        seen = []
        handles = [loop.call_later(math.inf, seen.append, "inf"),
                   loop.call_at(math.inf, seen.append, "at inf"),
                   loop.call_later(2.0 ** 64, seen.append, "2**64"),
                   loop.call_later(1e300, seen.append, "1e300")]
        now = loop.time()
        loop.call_later(0.05, seen.append, "marker")
        deadline = time.monotonic() + 30
        while "marker" not in seen and time.monotonic() < deadline:
            loop.stop()
            loop.run_forever()
        time.sleep(0.2)
        loop.call_later(0, seen.append, "after")
        while "after" not in seen and time.monotonic() < deadline:
            loop.stop()
            loop.run_forever()
        print(json.dumps({"offsets": [h.when() - now for h in handles], "seen": seen}))
    """, timeout=60)
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout.strip().splitlines()[-1])
    offsets = result["offsets"]
    assert offsets[0] == math.inf and offsets[1] == math.inf
    assert offsets[2] == pytest.approx(2.0 ** 64, rel=1e-12)  # when = delay + the time of the call
    assert offsets[3] == pytest.approx(1e300, rel=1e-12)
    # The failed timers never ran; the runtime and the other timers went on.
    assert result["seen"] == ["marker", "after"]
    assert len(FAILED_TIMER_REPORT.findall(done.stderr)) == 4, done.stderr


# --- call_at ---------------------------------------------------------------------------------------

PAST_WHENS = {
    "a second ago": lambda now: now - 1.0,
    "epoch": lambda now: 0.0,
    "-inf": lambda now: -math.inf,
    "nan": lambda now: math.nan,
}


def test_call_at_in_the_past_or_nan_does_not_wait_and_carries_the_time_of_the_call(loop):
    log = FireLog()
    for key, when_of in PAST_WHENS.items():
        before = loop.time()
        handle = loop.call_at(when_of(before), log, key)
        after = loop.time()
        assert before <= handle.when() <= after, (key, handle.when())
    assert_none_waited(loop, log, list(PAST_WHENS))


def test_call_at_a_future_time_runs_about_then(loop):
    log = FireLog()
    target = loop.time() + 0.2
    started = time.monotonic()
    handle = loop.call_at(target, log, "timer", 7)
    after = loop.time()
    # call_at turns `when` into a delay, and call_later reads the clock again: the handle's
    # `when` is that second reading plus the delay, so it lies between the target and the target
    # plus the time the call took.
    assert target - CLOCK_SLACK <= handle.when() <= target + (after - (target - 0.2)) + CLOCK_SLACK
    drain(loop, log.has("timer"))
    assert log.fired["timer"].args == (7,)
    # The delay was counted from inside the call, after `started`; allow for comparing the wall
    # clock with the monotonic one.
    assert 0.2 - 1e-3 <= log.fired["timer"].at - started < 0.2 + LATE_BOUND


# --- what the handle is built from -------------------------------------------------------------------

@pytest.mark.parametrize("method", TIMED)
@pytest.mark.parametrize("context_kind", ["absent", None, "given"])
def test_context_keyword_is_passed_only_when_a_context_is_given(loop, timer_handles, method,
                                                                 context_kind):
    seen = []
    context = labelled_context("given context")
    kwargs = {} if context_kind == "absent" else {"context": context if context_kind else None}
    time_argument = 0.0 if method == "call_later" else loop.time()
    handle = getattr(loop, method)(time_argument, lambda: seen.append(current_label.get()), **kwargs)
    [(built, _, keywords)] = timer_handles.built
    assert built is handle
    expected = [("loop", loop)] + [("context", context)] * (context_kind == "given")
    assert [name for name, _ in keywords] == [name for name, _ in expected]
    assert all(value is want for (_, value), (_, want) in zip(keywords, expected))
    drain(loop, lambda: seen)
    assert seen == ["given context" if context_kind == "given" else "outside"]


NUMERIC_DELAYS = {"int 1": (1, 1.0), "True": (True, 1.0), "__index__ 1": (Index(1), 1.0),
                  "__float__ 0.3": (Real(0.3), 0.3)}


def test_ints_and_objects_convertible_to_float_are_delays_in_seconds(loop):
    log = FireLog()
    started = {}
    for key, (delay, seconds) in NUMERIC_DELAYS.items():
        before, started[key] = loop.time(), time.monotonic()
        handle = loop.call_later(delay, log, key)
        after = loop.time()
        assert type(handle.when()) is float
        assert before + seconds <= handle.when() <= after + seconds, key
    drain(loop, log.has(*NUMERIC_DELAYS))
    for key, (_, seconds) in NUMERIC_DELAYS.items():
        assert seconds <= log.fired[key].at - started[key] < seconds + LATE_BOUND, key


@pytest.mark.parametrize("method, name", [("call_later", "delay"), ("call_at", "when")])
@pytest.mark.parametrize("value", ["0", None, [0.0]], ids=repr)
def test_a_time_that_is_no_number_is_refused_and_nothing_is_scheduled(loop, method, name, value):
    seen = []

    def callback():
        seen.append("refused timer")

    refs_before = sys.getrefcount(callback), sys.getrefcount(loop)
    with pytest.raises(TypeError) as refused:
        getattr(loop, method)(value, callback)
    assert str(refused.value).startswith(f"argument '{name}': ")
    del refused
    gc.collect()  # the traceback's frames hold the arguments
    # A handle, built or scheduled, would hold the callback and the loop.
    assert (sys.getrefcount(callback), sys.getrefcount(loop)) == refs_before
    loop.call_later(0, seen.append, "marker")
    drain(loop, lambda: seen)
    time.sleep(0.05)
    run_once(loop)
    assert seen == ["marker"]


def refused_timer_handle(error):
    def handle_class(*args, **kwargs):
        raise error
    return handle_class


@pytest.mark.parametrize("method", TIMED)
@pytest.mark.parametrize("failure", ["TimerHandle raises", "TimerHandle missing",
                                     "asyncio not importable"])
def test_failure_to_build_the_handle_reaches_the_caller_and_schedules_nothing(loop, monkeypatch,
                                                                             method, failure):
    seen = []
    error = ValueError("refused by TimerHandle")
    refs_before = sys.getrefcount(loop)
    with monkeypatch.context() as patch:
        if failure == "TimerHandle raises":
            patch.setattr(asyncio, "TimerHandle", refused_timer_handle(error))
        elif failure == "TimerHandle missing":
            patch.delattr(asyncio, "TimerHandle")
        else:
            patch.setitem(sys.modules, "asyncio", None)
        with pytest.raises(BaseException) as raised:
            getattr(loop, method)(0.0, seen.append, "never")
    if failure == "TimerHandle raises":
        assert raised.value is error
    elif failure == "TimerHandle missing":
        assert raised.type is AttributeError and "TimerHandle" in str(raised.value)
    else:
        assert raised.type is ModuleNotFoundError
    del raised, error
    gc.collect()
    assert sys.getrefcount(loop) == refs_before
    loop.call_later(0, seen.append, "marker")
    drain(loop, lambda: seen)
    assert seen == ["marker"]


# --- timers and the run loop ------------------------------------------------------------------------

def test_timers_due_while_the_loop_is_not_running_run_at_the_next_run_in_channel_order(loop):
    log = FireLog()
    order = []

    def record(key):
        order.append(key)
        log(key)

    loop.call_later(0.05, record, "after 50 ms")
    loop.call_later(0, record, "no delay")
    loop.call_at(loop.time() - 1, record, "in the past")
    # The loop has never run: the timers fire and post meanwhile.
    time.sleep(1.0)
    loop.call_soon(record, "call_soon after")
    run_once(loop)
    # Everything posted before the stop ran in this one run, in the order it was posted.
    assert sorted(order[:2]) == ["in the past", "no delay"]
    assert order[2:] == ["after 50 ms", "call_soon after"]


def test_timer_scheduled_from_another_thread_runs_on_the_loop_thread(loop):
    log = FireLog()
    scheduled = []

    def schedule_from_a_thread():
        def schedule():
            scheduled.append(time.monotonic())
            loop.call_later(0.1, finish, "from a thread")

        threading.Thread(target=schedule, name="test-scheduler").start()

    def finish(key):
        log(key)
        loop.stop()

    loop.call_soon(schedule_from_a_thread)
    with watchdog(loop):
        loop.run_forever()
    fired = log.fired["from a thread"]
    assert fired.thread == threading.current_thread().name
    assert 0.1 <= fired.at - scheduled[0] < 0.1 + LATE_BOUND


def test_no_timer_runs_before_its_delay(loop):
    rng = random.Random(20240)
    # Delays around the runtime timer's millisecond granularity, then spread over 300 ms.
    delays = [0.0005, 0.000999, 0.001, 0.0010001, 0.0015, 0.002, 0.0099]
    delays += [rng.uniform(0, 0.3) for _ in range(200)]
    log = FireLog()
    scheduled = {}

    def schedule(keys):
        for key in keys:
            scheduled[key] = time.monotonic()
            loop.call_later(delays[key], log, key)

    keys = list(range(len(delays)))
    schedule(keys[::2])
    call_on_thread(lambda: schedule(keys[1::2]))
    drain(loop, log.has(*keys))
    early = [(delays[k], log.fired[k].at - scheduled[k]) for k in keys
             if log.fired[k].at - scheduled[k] < delays[k]]
    assert early == [], "timers ran before their delay: (delay, waited)"
    assert all(log.fired[k].at - scheduled[k] < delays[k] + LATE_BOUND for k in keys)


def test_cancel_needs_a_loop_hook_this_loop_lacks_so_the_timer_runs(loop, timer_handles):
    log = FireLog()
    handle = loop.call_later(0.05, log, "timer")
    # TimerHandle.cancel() first tells the loop through _timer_handle_cancelled, which this loop
    # does not have: the call fails before the handle is marked cancelled.
    with pytest.raises(AttributeError, match="_timer_handle_cancelled"):
        handle.cancel()
    assert not handle.cancelled()
    drain(loop, log.has("timer"))
    assert timer_handles.ran == [handle]


def test_a_cancelled_timer_handle_is_posted_but_not_run(loop, timer_handles, capsys):
    seen = []
    handle = loop.call_later(0.05, seen.append, "cancelled")
    asyncio.Handle.cancel(handle)  # marks it cancelled without the loop hook
    assert handle.cancelled()
    later = loop.call_later(0.1, seen.append, "later")
    drain(loop, lambda: seen)
    assert seen == ["later"]
    assert timer_handles.ran == [later]
    assert capsys.readouterr().err == ""


# --- releasing a loop with timers ------------------------------------------------------------------

class Witness:
    """A callback object whose only owner is a timer."""

    def __call__(self):
        raise AssertionError("a released timer ran")


def forgetful_timer_handle(monkeypatch):
    """Makes every TimerHandle drop its reference to the loop once built.

    A sleeping timer's handle otherwise keeps its loop alive, and the loop its runtime; with the
    reference cut, releasing the loop is what ends the sleeping timers.
    """

    class ForgetfulTimerHandle(asyncio.TimerHandle):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self._loop = None

    monkeypatch.setattr(asyncio, "TimerHandle", ForgetfulTimerHandle)


def enter_the_module():
    """A refused construction: an entry into the binding that releases deferred references."""
    with pytest.raises(TypeError):
        cadrel.CadrelLoop(None)


@pytest.mark.parametrize("pending", [1, 10_000])
def test_releasing_a_loop_with_sleeping_timers_drops_them_and_joins_its_workers(monkeypatch,
                                                                                 pending):
    forgetful_timer_handle(monkeypatch)
    workers_before, fds_before = probes.worker_count(), probes.fd_count()
    loop = cadrel.CadrelLoop()
    loop_ref = weakref.ref(loop)
    witnesses = []
    for i in range(pending):
        witness = Witness()
        witnesses.append(weakref.ref(witness))
        if i % 2:
            loop.call_later(30 + i % 100, witness)
        else:
            loop.call_at(loop.time() + 3600, witness)
    del witness
    # One timer that has run: its handle went through the channel and was released.
    seen = []
    loop.call_later(0, seen.append, "ran")
    drain(loop, lambda: seen)
    assert all(ref() is not None for ref in witnesses)  # held by the sleeping timers alone

    started = time.monotonic()
    del loop
    took = time.monotonic() - started
    enter_the_module()
    gc.collect()
    assert loop_ref() is None
    assert took < 5.0, f"releasing the loop took {took:.2f} s"
    assert sum(ref() is not None for ref in witnesses) == 0, "sleeping timers kept their callbacks"
    assert probes.workers_named_within(workers_before) == workers_before
    assert probes.fd_count() == fds_before


@pytest.mark.subprocess
def test_a_timer_due_after_the_loop_broke_is_dropped_silently():
    # A loop breaks when an internal failure escapes a handle; its channel then refuses posts.
    done = run_python("""
        import gc, json, time, weakref
        import cadrel

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

        class ReraisingLoop(cadrel.CadrelLoop):
            def call_exception_handler(self, context):
                raise context["exception"]

        class Witness:
            def __call__(self):
                print("the dropped timer ran", flush=True)

        panic = panic_class()
        loop = ReraisingLoop()
        witness = Witness()
        witness_ref = weakref.ref(witness)
        loop.call_later(0.3, witness)
        del witness

        def fail():
            raise panic("boom")

        loop.call_soon(fail)
        loop.stop()
        try:
            loop.run_forever()
        except BaseException as error:
            broke = type(error) is panic
        time.sleep(0.6)  # the timer fires into the refusing channel
        try:
            cadrel.CadrelLoop(None)
        except TypeError:
            pass
        gc.collect()
        print(json.dumps({"broke": broke, "released": witness_ref() is None}))
    """, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip().splitlines()[-1] == '{"broke": true, "released": true}', done.stdout
    # The failure that broke the loop is reported; the refused post adds nothing.
    assert "boom" in done.stderr
    assert UNCONVERTIBLE not in done.stderr and "dropped timer" not in done.stdout
