# Every method called with random positional and keyword arguments of random types: each refusal
# must be the one argument_model predicts, leave the loop as it was and keep no reference; each
# call the model accepts must get past matching and conversion and be cleaned up after.
import asyncio
import contextvars
import gc
import math
import os
import sys
from collections import Counter

import pytest
from hypothesis import HealthCheck, assume, given, settings

import argument_model as model
import probes
from argument_model import Acceptance, Env, Method, Recorder, Refusal, predict
from bodies import drain, run_until_stopped, watchdog
from cadrel import CadrelLoop
from methods import NO_ARGUMENT_SIGNATURES, VECTOR_SIGNATURES
from scripts import run_json

# Reproducible in CI (derandomize) and leaves no example database behind. Examples are slow only
# under sanitizers, and a filtered example (an accepted call that would have to wait or touch a
# descriptor the test does not own) is cheap.
FUZZ = settings(max_examples=150, deadline=None, database=None, derandomize=True,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much,
                                       HealthCheck.data_too_large])

# Methods that take no arguments refuse every call the same way: fewer examples suffice.
FEW = settings(FUZZ, max_examples=50)

# A hung run ends the block at most this late, however many examples ran before it.
FUZZ_TIMEOUT = 300.0

WATCHERS = {"add_reader", "add_writer"}


@pytest.fixture
def pipes():
    """Descriptors the fuzzed calls may use: a pipe holding one unread byte, so both of its ends
    are ready for what a watcher of the matching kind waits for, and a sentinel pipe whose write
    end shows when the loop has handled the descriptors' readiness.

    Name it before `loop`, so the loop and its watchers go first.
    """
    watched = os.pipe()
    sentinel = os.pipe()
    os.write(watched[1], b"x")
    yield watched, sentinel
    for fd in watched + sentinel:
        os.close(fd)


# --- the model itself ------------------------------------------------------------------------

def test_model_covers_exactly_the_method_table():
    modelled = {name: m.text_signature() for name, m in model.VECTOR_METHODS.items()}
    assert modelled == VECTOR_SIGNATURES


# --- running one call ------------------------------------------------------------------------

class Outcome:
    def __init__(self, result=None, error=None):
        self.result, self.error = result, error


def attempt(function, args, kwargs):
    try:
        return Outcome(result=function(*args, **kwargs))
    except BaseException as error:  # compared with the model by the caller
        return Outcome(error=error)


def target(call, loop):
    """The callable and positional arguments for a call, through the instance or the type."""
    if call.method is model.CONSTRUCTOR:
        return CadrelLoop, ()
    if call.via_type:
        return getattr(CadrelLoop, call.method.name), (loop,)
    return getattr(loop, call.method.name), ()


def trackable(value):
    """Objects whose reference count only the call under test could change: not the shared
    singletons and caches (None, bools, small ints, one-character strings, the empty tuple)."""
    if value is None or isinstance(value, bool) or value == ():
        return False
    if type(value) is int and -5 <= value <= 256:
        return False
    return not (isinstance(value, (str, bytes)) and len(value) <= 1)


def reference_counts(objects):
    return [sys.getrefcount(value) for value in objects]


def assert_refusal_keeps_no_reference(function, args, kwargs, tracked, check):
    """Makes a call the model refuses and hands its outcome to `check`; once the outcome is gone,
    every object in `tracked` must have the reference count it had before. The collector is paused
    meanwhile: freeing some unrelated garbage that refers to one of them would change its count."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        counts = reference_counts(tracked)
        check(attempt(function, args, kwargs))
        assert reference_counts(tracked) == counts, "the refused call kept a reference"
    finally:
        if enabled:
            gc.enable()


def check_refusal(error, refusal):
    assert error is not None, f"accepted, but the model expects {refusal.kind.__name__}: " \
                              f"{refusal.message}"
    assert (type(error), str(error)) == (refusal.kind, refusal.message)
    if refusal.raised_by is not None:
        assert refusal.raised_by.raised_last(error), "the hook's error did not pass unchanged"
    elif refusal.category == "conversion" and refusal.kind is TypeError:
        # Renamed after the argument, carrying the original error's cause.
        assert error.__cause__ is refusal.cause


def is_argument_error(error, method):
    if isinstance(error, model.ProtocolMisuse):
        return True
    if type(error) is TypeError:
        text = str(error)
        return text.startswith(f"CadrelLoop.{method.name}()") or text.startswith("argument '")
    return type(error) is OverflowError and str(error) in (
        "Python int too large to convert to C long",
        "out of range integral type conversion attempted")


def loop_state(loop):
    return loop.is_running(), loop.is_closed(), loop.get_debug()


def assert_no_stray_stop_and_nothing_posted(loop, recorders):
    """Runs what is queued: a two-step chain must run whole (a stray stop() would end the run
    after its first step), and no recorder from the refused call may have been called."""
    steps = []

    def second():
        steps.append(2)
        loop.stop()

    loop.call_soon(lambda: steps.append(1) or loop.call_soon(second))
    run_until_stopped(loop)
    first_run = list(steps)
    drain(loop, lambda: len(steps) == 2)  # the rest of a cut-short chain, so the loop is free
    assert first_run == [1, 2], "a refused call left the loop stopping"
    assert all(not r.calls for r in recorders), "a refused call posted a callback"


def assert_no_watcher(loop, sentinel_write, recorders):
    """Waits until the loop reports the sentinel's readiness; by then a watcher the refused call
    registered on the test's ready pipe would have run too."""
    sentinel = Recorder()
    loop.add_writer(sentinel_write, sentinel, ())
    try:
        drain(loop, lambda: sentinel.calls)
    finally:
        loop.remove_writer(sentinel_write)
    loop.stop()
    run_until_stopped(loop)
    assert all(not r.calls for r in recorders), "a refused call registered a watcher"


class Fuzzer:
    """Makes one call per example, checks it against the model and cleans up after it."""

    def __init__(self, loop, pipes):
        self.loop = loop
        (self.read_end, self.write_end), (_, self.sentinel_write) = pipes
        self.seen = Counter()

    def harmless(self, method, values):
        """Whether an accepted call can run here and be undone at once."""
        if method.name == "call_later":
            return math.isfinite(values["delay"]) and values["delay"] <= 0
        if method.name == "call_at":
            return math.isfinite(values["when"]) and values["when"] <= self.loop.time()
        if method.name in WATCHERS:
            return values["fd"] in (self.read_end, self.write_end) and (
                isinstance(values["cb"], Recorder) or not self.becomes_ready(method, values["fd"]))
        return True

    def becomes_ready(self, method, fd):
        return (method.name, fd) in (("add_reader", self.read_end), ("add_writer", self.write_end))

    def check(self, call):
        env = Env(fds=(self.read_end, self.write_end))
        args, kwargs = call.build(env)
        expected = predict(call.method, args, kwargs)
        if isinstance(expected, Acceptance):
            assume(self.harmless(call.method, expected.values))
        function, leading = target(call, self.loop)
        args = leading + args
        state = loop_state(self.loop)
        tracked = [value for value in env.built if trackable(value)]
        self.loop.is_closed()  # releases references that worker threads dropped earlier
        if isinstance(expected, Refusal):
            self.seen[expected.category] += 1

            def check(outcome):
                if outcome.error is None:
                    self.undo_unexpected(call.method, outcome.result)
                check_refusal(outcome.error, expected)

            assert_refusal_keeps_no_reference(function, args, kwargs, tracked, check)
            assert loop_state(self.loop) == state
            assert_no_stray_stop_and_nothing_posted(self.loop, env.recorders)
            if call.method.name in WATCHERS:
                assert_no_watcher(self.loop, self.sentinel_write, env.recorders)
        else:
            self.seen["accepted"] += 1
            outcome = attempt(function, args, kwargs)
            assert not is_argument_error(outcome.error, call.method), \
                f"the model accepts: {outcome.error!r}"
            self.clean_up(call.method, expected, outcome.result)

    def undo_unexpected(self, method, result):
        """Undoes a call the model refuses but the loop accepted, so that the test reports that
        and not also a loop left referenced by what the call scheduled."""
        if isinstance(result, asyncio.Handle):
            done = result._callback = Recorder()
            result._context = contextvars.copy_context()
            drain(self.loop, lambda: done.calls)
        elif method.name in WATCHERS:
            for fd in (self.read_end, self.write_end):
                getattr(self.loop, method.name.replace("add_", "remove_"))(fd)

    def clean_up(self, method, accepted, result):
        """Checks what an accepted call did, as far as it is about the arguments, and undoes it."""
        loop, values = self.loop, accepted.values
        if method.name == "set_debug":
            assert loop.get_debug() is values["value"]
        elif isinstance(result, asyncio.Handle):
            # The handle runs once with the extra positionals. A callback or context that could
            # not run cleanly is swapped for a recorder first: what it would do is not argument
            # matching's concern.
            callback, context = values["callback"], values["context"]
            if not isinstance(callback, Recorder) or not (
                    context is None or isinstance(context, contextvars.Context)):
                callback = result._callback = Recorder()
                result._context = contextvars.copy_context()
            drain(loop, lambda: callback.calls)
            assert_same_objects(callback.calls, [accepted.extras])
        elif method.name in WATCHERS:
            fd, callback = values["fd"], values["cb"]
            try:
                if self.becomes_ready(method, fd):
                    drain(loop, lambda: callback.calls)
                    assert_same_objects(callback.calls[:1], [values["args"]])
            finally:
                getattr(loop, method.name.replace("add_", "remove_"))(fd)
        elif method.name == "_stop_cb":
            # It posted a stop: one run ends at it, so no later run ends early.
            run_until_stopped(loop)


def assert_same_objects(calls, expected_calls):
    assert [len(c) for c in calls] == [len(c) for c in expected_calls]
    for got, expected in zip(calls, expected_calls):
        assert all(a is b for a, b in zip(got, expected)), f"called with {got!r}"


# --- child interpreter: a crash fails one test, not the run ----------------------------------
# Ahead of the fuzzing in pytest's own process, so that a refused call that crashes the process
# is reported here before the same kind of call takes the whole run down.

SMOKE = """
    import json, os
    from hypothesis import HealthCheck, assume, given, settings
    import argument_model as model
    from cadrel import CadrelLoop

    loop = CadrelLoop()
    env_fds = os.pipe()
    report = {}

    def refusal_of(call, args, kwargs):
        if call.method.name in model.VECTOR_METHODS or call.method is model.CONSTRUCTOR:
            expected = model.predict(call.method, args, kwargs)
            assume(isinstance(expected, model.Refusal))
            return type(expected).__name__, expected.kind.__name__, expected.message
        try:
            [].copy(*args, **kwargs)
        except TypeError as error:
            text = str(error).replace("list.copy", f"CadrelLoop.{call.method.name}")
            return "Refusal", "TypeError", text

    def fuzz(method, strategy):
        seen = report.setdefault(method.name, {"calls": 0, "mismatches": []})

        @settings(max_examples=EXAMPLES, deadline=None, database=None, derandomize=True,
                  suppress_health_check=list(HealthCheck))
        @given(call=strategy(method))
        def run(call):
            args, kwargs = call.build(model.Env(fds=env_fds))
            expected = refusal_of(call, args, kwargs)
            if method is model.CONSTRUCTOR:
                function, leading = CadrelLoop, ()
            elif call.via_type:
                function, leading = getattr(CadrelLoop, method.name), (loop,)
            else:
                function, leading = getattr(loop, method.name), ()
            try:
                function(*leading, *args, **kwargs)
                got = ("accepted",)
            except BaseException as error:
                got = ("Refusal", type(error).__name__, str(error))
            seen["calls"] += 1
            if got != expected and len(seen["mismatches"]) < 3:
                seen["mismatches"].append([repr(call), list(expected), list(got)])

        run()

    for method in model.VECTOR_METHODS.values():
        fuzz(method, model.calls)
    for name in NO_ARGUMENT:
        fuzz(model.Method(name), model.calls_with_some_argument)
    fuzz(model.CONSTRUCTOR, model.calls_with_some_argument)
    print(json.dumps(report))
"""


@pytest.mark.subprocess
def test_refused_calls_in_a_child_interpreter():
    code = SMOKE.replace("EXAMPLES", "30")
    code = code.replace("NO_ARGUMENT", repr(sorted(NO_ARGUMENT_SIGNATURES)))
    report = run_json(code, timeout=240)
    assert set(report) == set(VECTOR_SIGNATURES) | set(NO_ARGUMENT_SIGNATURES) | {"__new__"}
    assert {name: seen["mismatches"] for name, seen in report.items() if seen["mismatches"]} == {}
    assert all(seen["calls"] >= 10 for seen in report.values()), report


# --- fuzzing in this process -----------------------------------------------------------------

# Rules that must refuse some of each method's calls, so a generator that stopped reaching one is
# noticed. Every method has positional parameters to miss or repeat by keyword.
def expected_categories(method):
    categories = {"accepted", "unexpected", "multiple", "missing"}
    if not method.collects_extras:
        categories.add("too many")
    if any(conversion != model.ANY for _, conversion in method.parameters):
        categories.add("conversion")
    return categories


@pytest.mark.parametrize("name", sorted(VECTOR_SIGNATURES))
def test_vector_method_calls_match_the_model(pipes, loop, name):
    method = model.VECTOR_METHODS[name]
    fuzzer = Fuzzer(loop, pipes)

    @FUZZ
    @given(call=model.calls(method))
    def check(call):
        fuzzer.check(call)

    with watchdog(loop, timeout=FUZZ_TIMEOUT):
        check()
    assert set(fuzzer.seen) >= expected_categories(method), fuzzer.seen


def host_no_argument_message(args, kwargs, name):
    """The host's own refusal for a method that takes no arguments, worded for list.copy."""
    with pytest.raises(TypeError) as refused:
        [].copy(*args, **kwargs)
    return str(refused.value).replace("list.copy", f"CadrelLoop.{name}")


@pytest.mark.parametrize("name", sorted(NO_ARGUMENT_SIGNATURES))
def test_no_argument_methods_refuse_any_argument(pipes, loop, name):
    # Includes run_forever, close and stop: refused, they must neither run, close nor stop.
    owned = pipes[0]

    @FEW
    @given(call=model.calls_with_some_argument(Method(name)))
    def check(call):
        env = Env(fds=owned)
        args, kwargs = call.build(env)
        message = host_no_argument_message(args, kwargs, name)
        function, leading = target(call, loop)
        state = loop_state(loop)
        tracked = [value for value in env.built if trackable(value)]

        def check(outcome):
            assert type(outcome.error) is TypeError and str(outcome.error) == message

        assert_refusal_keeps_no_reference(function, leading + args, kwargs, tracked, check)
        assert loop_state(loop) == state
        assert_no_stray_stop_and_nothing_posted(loop, env.recorders)

    with watchdog(loop, timeout=FUZZ_TIMEOUT):
        check()


def test_constructor_refuses_any_argument():
    workers = probes.worker_count()

    @FEW
    @given(call=model.calls_with_some_argument(model.CONSTRUCTOR))
    def check(call):
        env = Env()
        args, kwargs = call.build(env)
        expected = predict(model.CONSTRUCTOR, args, kwargs)
        tracked = [value for value in env.built if trackable(value)]
        assert_refusal_keeps_no_reference(
            CadrelLoop, args, kwargs, tracked, lambda outcome: check_refusal(outcome.error, expected))
        assert probes.worker_count() == workers, "a refused construction started workers"

    check()


# --- text that is not plain C text -----------------------------------------------------------
# A keyword name, a type's qualified name and a conversion error's text are Python strings that may
# hold NUL or lone surrogates; each is reported as given. The fuzzing above leaves such text out
# so that a fault here does not hide its other findings. (Messages built through C strings would
# cut the text at a NUL and raise UnicodeEncodeError for a lone surrogate.)

ODD_TEXT = ["a\x00b", "x\udc80y"]


@pytest.mark.parametrize("text", ODD_TEXT, ids=["NUL", "surrogate"])
# One method of each kind of parameter list.
@pytest.mark.parametrize("name", ["__new__", "set_debug", "create_task", "call_soon"])
def test_unexpected_keyword_is_named_verbatim(loop, name, text):
    function = CadrelLoop if name == "__new__" else getattr(loop, name)
    with pytest.raises(TypeError) as refused:
        function(**{text: 1})
    assert type(refused.value) is TypeError
    assert str(refused.value) == f"CadrelLoop.{name}() got an unexpected keyword argument '{text}'"


def odd_qualname(text):
    odd = type("Odd", (), {})
    odd.__qualname__ = text
    return odd()


@pytest.mark.parametrize("text", ODD_TEXT, ids=["NUL", "surrogate"])
@pytest.mark.parametrize("name, call, target_type", [
    ("value", lambda loop, arg: loop.set_debug(arg), "bool"),
    ("args", lambda loop, arg: loop.add_reader(-1, print, arg), "tuple"),
], ids=["value", "args"])
def test_type_name_in_a_cast_error_is_verbatim(loop, text, name, call, target_type):
    with pytest.raises(TypeError) as refused:
        call(loop, odd_qualname(text))
    assert type(refused.value) is TypeError
    expected = f"argument '{name}': '{text}' object cannot be cast as '{target_type}'"
    assert str(refused.value) == expected


@pytest.mark.parametrize("text", ODD_TEXT, ids=["NUL", "surrogate"])
@pytest.mark.parametrize("name, call", [
    ("fd", lambda loop, arg: loop.remove_writer(arg)),
    ("delay", lambda loop, arg: loop.call_later(arg, print)),
    ("when", lambda loop, arg: loop.call_at(arg, print)),
], ids=["fd", "delay", "when"])
def test_conversion_error_text_is_carried_verbatim(loop, text, name, call):
    with pytest.raises(TypeError) as refused:
        call(loop, model.RaisingHook(TypeError, text, None))
    assert type(refused.value) is TypeError
    assert str(refused.value) == f"argument '{name}': {text}"
