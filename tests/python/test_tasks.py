# create_task, run_until_complete and _stop_cb: coroutines and futures on the loop.
import asyncio
import gc
import inspect
import re
import sys

import pytest

from bodies import call_on_thread, drain, run_until_stopped, watchdog
from cadrel import CadrelLoop
from recorders import current_label, labelled_context

DEFAULT_NAME = re.compile(r"Task-\d+")


@pytest.fixture
def task_keywords(monkeypatch):
    """Puts a subclass of asyncio.Task in its place that records the keywords of each creation.

    Name it after `loop`: the records refer to the loop, and are dropped before its leak check.
    """
    record = []

    class RecordingTask(asyncio.Task):
        def __init__(self, coro, **kwargs):
            record.append(list(kwargs.items()))
            super().__init__(coro, **kwargs)

    monkeypatch.setattr(asyncio, "Task", RecordingTask)
    yield record
    record.clear()


class DuckFuture:
    """Passes asyncio.isfuture; records its done-callbacks and can finish at once or refuse them."""

    _asyncio_future_blocking = False

    def __init__(self, value="duck result", done=True, refusal=None):
        self.value, self.done, self.refusal = value, done, refusal
        self.callbacks = []

    def add_done_callback(self, callback):
        if self.refusal is not None:
            raise self.refusal
        self.callbacks.append(callback)
        if self.done:
            callback(self)

    def result(self):
        return self.value


def complete(loop, future):
    with watchdog(loop):
        return loop.run_until_complete(future)


def settle(loop):
    """Runs what is still queued, such as a done-callback posted after the run it was meant for."""
    loop.stop()
    run_until_stopped(loop)


async def returns_five():
    for _ in range(3):
        await asyncio.sleep(0)  # each step goes through call_soon
    return 5


async def raises(error):
    await asyncio.sleep(0)
    raise error


def finished_future(loop, outcome):
    future = asyncio.Future(loop=loop)
    if outcome == "cancelled":
        future.cancel()
    elif isinstance(outcome, BaseException):
        future.set_exception(outcome)
    else:
        future.set_result(outcome)
    return future


@pytest.mark.parametrize("case", ["coroutine returns", "coroutine raises", "done future",
                                  "failed future", "cancelled future"])
def test_run_until_complete_hands_back_the_outcome(loop, case):
    error = ValueError("from the future")
    future = {
        "coroutine returns": lambda: returns_five(),
        "coroutine raises": lambda: raises(error),
        "done future": lambda: finished_future(loop, 7),
        "failed future": lambda: finished_future(loop, error),
        "cancelled future": lambda: finished_future(loop, "cancelled"),
    }[case]()
    if case == "coroutine returns":
        assert complete(loop, future) == 5
    elif case == "done future":
        assert complete(loop, future) == 7
    elif case == "cancelled future":
        with pytest.raises(asyncio.CancelledError):
            complete(loop, future)
    else:
        with pytest.raises(ValueError) as raised:
            complete(loop, future)
        assert raised.value is error
    assert asyncio.events._get_running_loop() is None


def test_future_is_used_unchanged_with_this_loops_stop_callback(loop, task_keywords):
    future = DuckFuture()
    assert complete(loop, future) == "duck result"
    assert task_keywords == []
    [callback] = future.callbacks
    assert callback == loop._stop_cb and callback.__self__ is loop


def test_subclass_stop_callback_is_the_one_registered(task_keywords):
    class CountingLoop(CadrelLoop):
        def _stop_cb(self, fut):
            stopped_for.append(fut)
            return super()._stop_cb(fut)

    stopped_for = []
    counting = CountingLoop()
    assert complete(counting, returns_five()) == 5
    [[(_, bound_loop)]] = task_keywords
    assert bound_loop is counting
    assert len(stopped_for) == 1 and stopped_for[0].result() == 5
    task_keywords.clear()


def test_task_made_before_the_loop_runs_waits_for_the_run(loop, task_keywords):
    steps = []

    async def work():
        steps.append("started")
        return "done"

    coro = work()
    task = loop.create_task(coro)
    assert task_keywords == [[("loop", loop)]]
    assert task.get_loop() is loop
    assert inspect.getcoroutinestate(coro) == inspect.CORO_CREATED and steps == []
    drain(loop, task.done)
    assert steps == ["started"] and task.result() == "done"


def make_task_elsewhere(loop, where, coro):
    """Calls loop.create_task(coro) from `where`; returns the task once it is made."""
    if where == "no running loop":
        return loop.create_task(coro)
    if where == "another thread during a run":
        made = []
        loop.call_soon(lambda: made.append(call_on_thread(lambda: loop.create_task(coro))))
        drain(loop, lambda: made)
        return made[0]
    if where == "another loop's callback":
        other, made = CadrelLoop(), []
        other.call_soon(lambda: made.append(loop.create_task(coro)))
        drain(other, lambda: made)
        return made[0]

    async def outer():
        return loop.create_task(coro)

    return complete(loop, outer())


@pytest.mark.parametrize("where, passes_loop", [
    ("no running loop", True),
    ("another thread during a run", True),
    ("another loop's callback", True),
    ("inside this loop", False),
])
def test_loop_keyword_is_passed_unless_this_loop_is_running_here(loop, task_keywords, where,
                                                                 passes_loop):
    async def work():
        return asyncio.get_running_loop() is loop

    task = make_task_elsewhere(loop, where, work())
    assert task_keywords[-1] == ([("loop", loop)] if passes_loop else [])
    drain(loop, task.done)
    assert task.get_loop() is loop and task.result() is True


@pytest.mark.parametrize("keywords, expected_keys", [
    ({}, ["loop"]),
    ({"name": "worker"}, ["name", "loop"]),
    ({"name": None}, ["loop"]),
    ({"context": "labelled"}, ["context", "loop"]),
    ({"context": None}, ["loop"]),
    ({"name": "worker", "context": "labelled"}, ["name", "context", "loop"]),
])
def test_name_and_context_are_passed_only_when_given(loop, task_keywords, keywords, expected_keys):
    context = labelled_context("given context")
    if keywords.get("context") == "labelled":
        keywords = dict(keywords, context=context)

    async def work():
        return current_label.get()

    task = loop.create_task(work(), **keywords)
    expected_values = dict(keywords, loop=loop)
    [recorded] = task_keywords
    assert [key for key, _ in recorded] == expected_keys
    assert all(value is expected_values[key] for key, value in recorded)
    if keywords.get("name"):
        assert task.get_name() == "worker"
    else:
        assert DEFAULT_NAME.fullmatch(task.get_name())
    drain(loop, task.done)
    assert task.result() == ("given context" if "context" in expected_keys else "outside")


class Awaitable:
    def __await__(self):
        yield


@pytest.mark.parametrize("method", ["create_task", "run_until_complete"])
@pytest.mark.parametrize("refused", [42, Awaitable()], ids=["int", "awaitable"])
def test_what_asyncio_task_refuses_leaves_nothing_scheduled(loop, method, refused):
    refs_before = sys.getrefcount(loop)
    with pytest.raises(TypeError, match="a coroutine was expected"):
        getattr(loop, method)(refused)
    gc.collect()
    assert sys.getrefcount(loop) == refs_before
    # Nothing was queued, not even a Stop: the next run ends at the first Stop posted here.
    seen = []
    for label in ("first", "second"):
        loop.call_soon(seen.append, label)
        loop.stop()
    run_until_stopped(loop)
    assert seen == ["first"]
    settle(loop)


def test_stop_before_the_future_is_done(loop):
    first = asyncio.Future(loop=loop)
    loop.call_soon(loop.stop)
    with pytest.raises(asyncio.InvalidStateError):
        complete(loop, first)

    steps = []
    never = asyncio.Future(loop=loop)

    async def second():
        steps.append("second started")
        await never

    task = loop.create_task(second())
    loop.call_soon(first.set_result, "first done")
    # first's done-callback is still registered: its Stop ends this run for another future.
    with pytest.raises(asyncio.InvalidStateError):
        complete(loop, task)
    assert steps == ["second started"] and not task.done()

    task.cancel()
    drain(loop, task.done)
    settle(loop)  # runs task's own stop callback, posted after drain's Stop


def test_stop_cb_posts_a_stop(loop):
    seen = []
    loop.call_soon(seen.append, "before")
    assert loop._stop_cb(None) is None
    loop.call_soon(seen.append, "after")
    run_until_stopped(loop)
    assert seen == ["before"]
    settle(loop)
    assert seen == ["before", "after"]


@pytest.mark.parametrize("method, failure", [
    ("create_task", "asyncio not importable"),
    ("run_until_complete", "asyncio not importable"),
    ("run_until_complete", "isfuture raises"),
    ("run_until_complete", "truth test raises"),
])
def test_failure_before_the_task_is_made_creates_nothing(loop, monkeypatch, task_keywords, method,
                                                         failure):
    error = LookupError("refused check")

    class Undecided:
        def __bool__(self):
            raise error

    def isfuture(_obj):
        if failure == "isfuture raises":
            raise error
        return Undecided()

    coro = returns_five()
    with monkeypatch.context() as patch:
        if failure == "asyncio not importable":
            patch.setitem(sys.modules, "asyncio", None)
        else:
            patch.setattr(asyncio, "isfuture", isfuture)
        with pytest.raises(Exception) as raised:
            getattr(loop, method)(coro)
    if failure == "asyncio not importable":
        assert raised.type is ModuleNotFoundError
    else:
        assert raised.value is error
    assert task_keywords == [] and inspect.getcoroutinestate(coro) == inspect.CORO_CREATED
    coro.close()


class EqualToAll:
    def __eq__(self, other):
        return True

    __hash__ = object.__hash__


def refusing_get_running_loop():
    raise LookupError("not a RuntimeError")


@pytest.mark.parametrize("get_running_loop", [refusing_get_running_loop, EqualToAll],
                         ids=["raises", "answers an object equal to the loop"])
def test_loop_is_passed_unless_the_running_loop_is_this_very_loop(loop, monkeypatch, task_keywords,
                                                                  get_running_loop):
    async def work():
        return "done"

    with monkeypatch.context() as patch:
        patch.setattr(asyncio, "get_running_loop", get_running_loop)
        task = loop.create_task(work())
    assert task_keywords == [[("loop", loop)]]
    drain(loop, task.done)
    assert task.result() == "done"


def test_failed_stop_callback_lookup_leaves_the_task_scheduled(task_keywords):
    error = LookupError("no stop callback")

    class NoStopCallbackLoop(CadrelLoop):
        @property
        def _stop_cb(self):
            raise error

    steps = []

    async def work():
        steps.append("ran")

    refusing = NoStopCallbackLoop()
    with pytest.raises(LookupError) as raised:
        refusing.run_until_complete(work())
    assert raised.value is error
    assert len(task_keywords) == 1 and steps == []
    settle(refusing)
    assert steps == ["ran"]
    task_keywords.clear()


def test_refused_done_callback_reaches_the_caller(loop):
    error = LookupError("no callbacks taken")
    with pytest.raises(LookupError) as raised:
        loop.run_until_complete(DuckFuture(refusal=error))
    assert raised.value is error


def test_refused_run_leaves_the_done_callback_registered(loop):
    future, seen = DuckFuture(done=False), []

    def nested():
        try:
            loop.run_until_complete(future)
        except BaseException as error:
            seen.append([type(error).__name__, str(error)])

    loop.call_soon(nested)
    drain(loop, lambda: seen)
    assert seen == [["PanicException", "run_forever called more than once or concurrently"]]
    assert future.callbacks == [loop._stop_cb]
