# Scheduling, running and stopping: the same cases over asyncio's loop and cadrelio's.
import asyncio
import contextvars
import socket
import sys
import threading
import time
from unittest import mock

import pytest

import cadrelio

from conftest import run


def test_call_soon_runs_in_order_with_args_and_context(loop):
    var = contextvars.ContextVar("var", default="unset")
    ctx = contextvars.copy_context()
    ctx.run(var.set, "inside")
    calls = []
    for i in range(3):
        loop.call_soon(calls.append, i)
    loop.call_soon(lambda: calls.append(var.get()), context=ctx)
    loop.call_soon(lambda: calls.append(var.get()))
    loop.call_soon(loop.stop)
    loop.run_forever()
    assert calls == [0, 1, 2, "inside", "unset"]


def test_callbacks_scheduled_by_callbacks_run_in_the_next_pass_after_stop(loop):
    calls = []

    def first():
        calls.append("first")
        loop.stop()
        loop.call_soon(calls.append, "later")

    loop.call_soon(first)
    loop.run_forever()
    assert calls == ["first"]
    loop.call_soon(loop.stop)
    loop.run_forever()
    assert calls == ["first", "later"]


def test_timers_fire_by_deadline_never_early(loop):
    calls = []
    start = loop.time()
    for delay in (0.05, 0.01, 0.03):
        loop.call_at(start + delay, lambda d=delay: calls.append((d, loop.time() - start)))
    loop.call_at(start + 0.07, loop.stop)
    loop.run_forever()
    assert [delay for delay, _ in calls] == [0.01, 0.03, 0.05]
    assert all(elapsed >= delay for delay, elapsed in calls)


def test_call_at_keeps_the_time_it_was_given(loop):
    """when() is the caller's number as given: an int stays an int (aiohttp checks)."""
    start = int(loop.time())
    handles = [loop.call_at(start + 3600, print), loop.call_at(start + 3600.25, print)]
    try:
        assert [(type(h.when()), h.when()) for h in handles] == [(int, start + 3600), (float, start + 3600.25)]
    finally:
        for handle in handles:
            handle.cancel()


@pytest.mark.parametrize("how", ["patched", "subclass"])
def test_timers_follow_a_replaced_clock(loop, how):
    """call_later adds to loop.time() and a timer is due once loop.time() reaches it, so a
    test that moves the clock moves the timers (aiohttp's keep-alive tests do)."""
    shift, fired = [0.0], []
    real_time = loop.time
    if how == "subclass":
        class ShiftedClock(type(loop)):
            def time(self):
                return super().time() + shift[0]
        clocked, patch = ShiftedClock(), None
    else:
        clocked, patch = loop, mock.patch.object(loop, "time", lambda: real_time() + shift[0])
        patch.start()
    try:
        clocked.call_later(3600, fired.append, "later")
        clocked.call_at(clocked.time() + 7200, fired.append, "at")
        for expected in ([], ["later"], ["later", "at"]):
            clocked.call_soon(clocked.stop)
            clocked.run_forever()
            assert fired == expected
            shift[0] += 3600
    finally:
        patch.stop() if patch else clocked.close()
    # Back on its own clock, the loop's timers run in real time again.
    loop.call_later(0.01, fired.append, "real")
    loop.call_later(0.02, loop.stop)
    loop.run_forever()
    assert fired == ["later", "at", "real"]


def test_cancelled_timer_does_not_run(loop):
    calls = []
    handle = loop.call_later(0.01, calls.append, "cancelled")
    loop.call_later(0.02, calls.append, "kept")
    handle.cancel()
    loop.call_later(0.05, loop.stop)
    loop.run_forever()
    assert calls == ["kept"]
    assert handle.cancelled()


@pytest.mark.parametrize("debug", [False, True], ids=["plain", "debug"])
def test_cancelled_handles_never_run_whoever_cancels_them(loop, debug):
    """Cancelled before the run, by an earlier callback of the same pass, or from another
    thread: none runs, with debug mode off or on."""
    loop.set_debug(debug)
    calls, errors = [], []
    # A cancelled handle has lost its callback: running it would raise, and report here.
    loop.set_exception_handler(lambda _, context: errors.append(context))
    early = loop.call_soon(calls.append, "cancelled before the run")
    early.cancel()
    in_pass = []
    loop.call_soon(lambda: in_pass[0].cancel())  # runs first in the pass
    in_pass.append(loop.call_soon(calls.append, "cancelled by an earlier callback"))
    loop.call_soon(calls.append, "kept")
    posted = loop.call_soon_threadsafe(calls.append, "cancelled from another thread")
    canceller = threading.Thread(target=posted.cancel)
    canceller.start()
    canceller.join()
    loop.call_soon(loop.stop)
    loop.run_forever()
    assert (calls, errors) == (["kept"], [])
    assert early.cancelled() and in_pass[0].cancelled() and posted.cancelled()


def test_time_is_monotonic(loop):
    assert loop.time() == pytest.approx(time.monotonic(), abs=0.05)


@pytest.mark.parametrize("method, args, message", [
    ("call_later", (None, print), "delay must not be None"),
    ("call_at", (None, print), "when cannot be None"),
])
def test_none_time_is_refused(loop, method, args, message):
    with pytest.raises(TypeError, match=message):
        getattr(loop, method)(*args)


def test_call_soon_threadsafe_wakes_a_sleeping_loop(loop):
    calls = []

    def from_thread():
        time.sleep(0.05)
        loop.call_soon_threadsafe(calls.append, "woken")
        loop.call_soon_threadsafe(loop.stop)

    thread = threading.Thread(target=from_thread)
    thread.start()
    loop.run_forever()
    thread.join(10)
    assert calls == ["woken"]


def test_handles_are_of_the_classes_asyncio_gives(loop):
    # 3.14 (and later 3.13 releases) give call_soon_threadsafe a handle whose lock orders a
    # cancel() from another thread against the run.
    def classes(of_loop):
        handles = [of_loop.call_soon(print), of_loop.call_soon_threadsafe(print), of_loop.call_later(3600, print)]
        for handle in handles:
            handle.cancel()
        return [type(handle) for handle in handles]

    reference = asyncio.SelectorEventLoop()
    try:
        assert classes(loop) == classes(reference)
    finally:
        reference.close()


def test_is_running_and_running_loop_only_inside_a_run(loop):
    seen = []

    def inside():
        seen.append((loop.is_running(), asyncio.get_running_loop() is loop))
        loop.stop()

    assert not loop.is_running()
    loop.call_soon(inside)
    loop.run_forever()
    assert seen == [(True, True)]
    assert not loop.is_running()
    with pytest.raises(RuntimeError):
        asyncio.get_running_loop()


def test_running_a_running_loop_is_refused(loop):
    async def nested():
        with pytest.raises(RuntimeError, match="already running"):
            loop.run_forever()
        if isinstance(loop, cadrelio.Loop):
            # asyncio 3.13.0's own loop nests this run instead of refusing it.
            never_run = asyncio.sleep(0)
            with pytest.raises(RuntimeError, match="already running"):
                loop.run_until_complete(never_run)
            never_run.close()

    run(loop, nested())


def test_close_refuses_later_scheduling(loop):
    loop.close()
    assert loop.is_closed()
    for call in (lambda: loop.call_soon(print), lambda: loop.call_later(1, print),
                 lambda: loop.call_at(1, print), lambda: loop.call_soon_threadsafe(print),
                 lambda: loop.run_forever()):
        with pytest.raises(RuntimeError, match="Event loop is closed"):
            call()
    loop.close()  # closing twice is harmless


def test_closing_a_running_loop_is_refused(loop):
    async def close_inside():
        with pytest.raises(RuntimeError, match="Cannot close a running event loop"):
            loop.close()

    run(loop, close_inside())
    assert not loop.is_closed()


def test_asyncio_primitives_work(loop):
    async def main():
        queue = asyncio.Queue()
        loop.call_later(0.01, queue.put_nowait, "item")
        got = await asyncio.wait_for(queue.get(), 10)
        results = await asyncio.gather(*(asyncio.sleep(0.001 * i, i) for i in range(4)))
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(asyncio.sleep(30), 0.02)
        summed = await loop.run_in_executor(None, sum, [1, 2, 3])
        event = asyncio.Event()
        loop.call_soon(event.set)
        await event.wait()
        return got, results, summed

    assert run(loop, main()) == ("item", [0, 1, 2, 3], 6)


def test_keyboard_interrupt_from_a_callback_ends_the_run_and_the_loop_stays_usable(loop):
    def interrupt():
        raise KeyboardInterrupt

    loop.call_soon(interrupt)
    with pytest.raises(KeyboardInterrupt):
        loop.run_forever()
    assert not loop.is_running()
    assert run(loop, asyncio.sleep(0, "again")) == "again"


def test_shutdown_asyncgens_finalizes_open_generators(loop):
    closed = []

    async def gen():
        try:
            yield 1
            yield 2
        finally:
            closed.append(True)

    async def main():
        agen = gen()
        await agen.__anext__()
        return agen

    agen = run(loop, main())
    run(loop, loop.shutdown_asyncgens())
    assert closed == [True]
    del agen


def test_debug_mode_reports_slow_callbacks(loop, caplog):
    loop.set_debug(True)
    loop.slow_callback_duration = 0.01
    loop.call_soon(time.sleep, 0.05)
    loop.call_soon(loop.stop)
    with caplog.at_level("WARNING", logger="asyncio"):
        loop.run_forever()
    assert "took" in caplog.text and "seconds" in caplog.text


def test_debug_mode_refuses_calls_from_another_thread(loop):
    loop.set_debug(True)
    errors = []

    def from_thread():
        try:
            loop.call_soon(print)
        except RuntimeError as exc:
            errors.append(str(exc))
        loop.call_soon_threadsafe(loop.stop)

    loop.call_soon(lambda: threading.Thread(target=from_thread).start())
    loop.run_forever()
    assert errors and "Non-thread-safe operation" in errors[0]


@pytest.mark.skipif(sys.version_info < (3, 12), reason="asyncio.run takes loop_factory from 3.12")
def test_asyncio_run_with_loop_factory():
    import cadrelio

    async def main():
        await asyncio.sleep(0.001)
        return type(asyncio.get_running_loop()).__name__

    assert asyncio.run(main(), loop_factory=cadrelio.new_event_loop) == "Loop"


@pytest.mark.parametrize("debug", [False, True])
def test_a_finished_task_is_released_at_once(loop, debug):
    # Its never-retrieved exception is then reported while the loop still runs.
    loop.set_debug(debug)
    reports = []
    loop.set_exception_handler(lambda loop_, context: reports.append(context["message"]))

    async def fail():
        1 / 0

    async def main():
        loop.create_task(fail())
        await asyncio.sleep(0)
        await asyncio.sleep(0)
        return list(reports)

    assert run(loop, main()) == ["Task exception was never retrieved"]


def test_handles_run_in_the_order_they_were_scheduled_across_threads(loop):
    calls = []
    thread = threading.Thread(target=loop.call_soon_threadsafe, args=(calls.append, "from thread"))
    thread.start()
    thread.join(10)
    loop.call_soon(calls.append, "from loop thread")
    loop.call_soon(loop.stop)
    loop.run_forever()
    assert calls == ["from thread", "from loop thread"]


@pytest.mark.parametrize("source", ["watcher", "stream"])
def test_io_seen_during_a_pass_runs_after_the_handles_that_pass_scheduled(loop, source):
    ours, peer = socket.socketpair()
    ours.setblocking(False)
    order = []

    class Reader(asyncio.Protocol):
        def data_received(self, data):
            order.append("io")

    def send_then_schedule():
        peer.send(b"x")
        time.sleep(0.2)  # the readiness has surely been reported by now
        loop.call_soon(order.append, "scheduled")

    async def main():
        if source == "watcher":
            loop.add_reader(ours, lambda: order.append("io") or ours.recv(16))
        else:
            transport, _ = await loop.connect_accepted_socket(Reader, ours)
        await asyncio.sleep(0.05)  # the reader is waiting
        loop.call_soon(send_then_schedule)
        while len(order) < 2:
            await asyncio.sleep(0.01)
        if source == "watcher":
            loop.remove_reader(ours)
        else:
            transport.close()
            await asyncio.sleep(0)
        return order

    try:
        assert run(loop, main()) == ["scheduled", "io"]
    finally:
        ours.close()
        peer.close()


def _task_outcome(loop, make):
    """What create_task gives for `make(coro)`: the task's class, loop, name and the context
    value its coroutine saw, or the exception's type."""
    async def probe():
        return _probe_var.get()

    coro = probe()
    try:
        task = make(coro)
    except Exception as exc:
        coro.close()
        return type(exc)
    return type(task), task.get_loop() is loop, task.get_name().startswith("Task-") or task.get_name(), \
        loop.run_until_complete(task)


_probe_var = contextvars.ContextVar("probe", default="unset")
_other_context = contextvars.copy_context()
_other_context.run(_probe_var.set, "other")


class _OwnTask(asyncio.Task):
    pass


@pytest.mark.parametrize("make, expected", [
    (lambda loop, coro: loop.create_task(coro), (asyncio.Task, True, True, "unset")),
    (lambda loop, coro: loop.create_task(coro, name="n"), (asyncio.Task, True, "n", "unset")),
    (lambda loop, coro: loop.create_task(coro, context=_other_context, name="c"), (asyncio.Task, True, "c", "other")),
    (lambda loop, coro: loop.create_task(coro=coro), (asyncio.Task, True, True, "unset")),
    (lambda loop, coro: loop.create_task(coro, name="a", bogus=1), TypeError),
    (lambda loop, coro: loop.create_task(coro, "positional"), TypeError),
], ids=["plain", "name", "context-then-name", "coro-by-keyword", "unknown-keyword", "extra-positional"])
def test_create_task_makes_asyncios_task_for_every_call_form(loop, make, expected):
    assert _task_outcome(loop, lambda coro: make(loop, coro)) == expected


def test_create_task_honours_a_factory_a_replaced_task_class_debug_mode_and_closing(loop, monkeypatch):
    seen = []

    def factory(of_loop, coro, **kwargs):
        seen.append(kwargs.get("context", "no context"))
        return _OwnTask(coro, loop=of_loop, **kwargs)

    loop.set_task_factory(factory)
    assert _task_outcome(loop, lambda coro: loop.create_task(coro, name="f", context=_other_context)) == \
        (_OwnTask, True, "f", "other")
    assert seen == [_other_context]
    loop.set_task_factory(None)

    monkeypatch.setattr(asyncio.tasks, "Task", _OwnTask)  # looked up at each call, as asyncio does
    assert _task_outcome(loop, loop.create_task)[0] is _OwnTask
    monkeypatch.undo()

    # Debug mode: the task remembers where it was made, the create_task frame left out.
    loop.set_debug(True)
    assert loop.get_debug() is True
    coro = asyncio.sleep(0)
    task = loop.create_task(coro)
    assert task._source_traceback[-1].name == "test_create_task_honours_a_factory_a_replaced_task_class_debug_mode_and_closing"
    loop.run_until_complete(task)
    loop.set_debug(False)
    assert loop.get_debug() is False

    loop.close()
    assert _task_outcome(loop, loop.create_task) is RuntimeError


def test_handles_and_tasks_ask_a_loop_class_whose_get_debug_is_its_own(loop):
    """Handle and Task record where they were made when get_debug() says so, whatever the
    debug flag; a get_debug replaced after the loop has made some is asked from then on."""
    class AskedLoop(type(loop)):
        pass

    own = AskedLoop()
    own.set_debug(False)  # whatever the environment asks for (python -X dev turns it on)
    try:
        assert own.call_soon(int)._source_traceback is None
        AskedLoop.get_debug = lambda self: True
        made = [own.call_soon(int), own.call_later(60, int), own.create_task(asyncio.sleep(0))]
        assert all(item._source_traceback for item in made)
        made[1].cancel()
        own.run_until_complete(made[2])
        del AskedLoop.get_debug
        assert own.call_soon(int)._source_traceback is None
    finally:
        own.close()


def test_create_future_makes_asyncios_future_of_the_loop(loop, monkeypatch):
    future = loop.create_future()
    assert type(future) is asyncio.Future and future.get_loop() is loop
    future.set_result(1)
    assert loop.run_until_complete(future) == 1

    class OwnFuture(asyncio.Future):
        pass

    monkeypatch.setattr(asyncio.futures, "Future", OwnFuture)
    assert type(loop.create_future()) is OwnFuture
