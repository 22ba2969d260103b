# asyncio's own Handle class is built and run natively; each case runs once with it and once with
# a plain subclass in its place (built and run through its Python methods): both must agree.
import asyncio
import contextvars
import inspect

import pytest

import cadrel
from bodies import drain
from scripts import run_json

label = contextvars.ContextVar("label", default="outside")


class PlainHandle(asyncio.Handle):
    __slots__ = ()


@pytest.fixture(params=["asyncio's class", "a subclass"])
def handle_class(request, monkeypatch):
    if request.param == "a subclass":
        monkeypatch.setattr(asyncio, "Handle", PlainHandle)
    return asyncio.Handle


def slots(handle):
    names = ("_callback", "_args", "_loop", "_cancelled", "_repr", "_source_traceback")
    return {name: getattr(handle, name) for name in names}


def test_handles_hold_and_run_what_the_class_would(loop, handle_class):
    seen = []

    def callback(*args):
        seen.append((args, label.get()))

    given = contextvars.copy_context()
    given.run(label.set, "given")
    token = label.set("at the call")
    try:
        copied = loop.call_soon(callback, 1, 2)
    finally:
        label.reset(token)
    explicit = loop.call_soon(callback, context=given)
    skipped = loop.call_soon(callback, 3)
    skipped.cancel()

    assert type(copied) is handle_class
    assert slots(copied) == {"_callback": callback, "_args": (1, 2), "_loop": loop, "_cancelled": False,
                             "_repr": None, "_source_traceback": None}
    assert explicit._context is given and copied._context is not given
    before = loop.time()
    timer = loop.call_later(0.05, callback, 4)
    assert type(timer) is asyncio.TimerHandle and slots(timer)["_args"] == (4,)
    assert before + 0.05 <= timer.when() <= loop.time() + 0.05 and timer._scheduled is False
    drain(loop, lambda: len(seen) >= 3)
    assert seen == [((1, 2), "at the call"), ((), "given"), ((4,), "outside")]


def format_callback(callback, args):
    """asyncio's text for a callback, as Handle._run gives it with debug mode off."""
    formatter = asyncio.format_helpers._format_callback_source
    takes_debug = "debug" in inspect.signature(formatter).parameters
    return formatter(callback, args, **({"debug": False} if takes_debug else {}))


class ReportingLoop(cadrel.CadrelLoop):
    def call_exception_handler(self, context):
        self.reports.append(context)


def test_a_failing_callback_is_reported_as_the_class_would(handle_class, capsys):
    def fail(value):
        raise ValueError(value)

    loop = ReportingLoop()
    loop.reports = []
    reported = loop.call_soon(fail, "reported")
    drain(loop, lambda: loop.reports)
    [context] = loop.reports
    assert context.keys() == {"message", "exception", "handle"} and context["handle"] is reported
    assert context["message"] == "Exception in callback " + format_callback(fail, ("reported",))
    assert type(context["exception"]) is ValueError and context["exception"].args == ("reported",)

    # A CadrelLoop has no call_exception_handler: that failure is printed, chained to the first.
    plain = cadrel.CadrelLoop()
    done = []
    plain.call_soon(fail, "printed")
    plain.call_soon(done.append, True)
    drain(plain, lambda: done)
    err = capsys.readouterr().err
    assert "ValueError: printed" in err and "During handling of the above exception" in err
    assert "AttributeError" in err and "call_exception_handler" in err


@pytest.mark.parametrize("cls, method, schedule", [
    ("Handle", "__init__", "call_soon"),
    ("Handle", "_run", "call_soon"),
    ("Handle", "_run", "call_later"),  # TimerHandle runs Handle's _run
    ("TimerHandle", "_run", "call_later"),
    ("TimerHandle", "__init__", "call_later"),
])
def test_a_method_patched_after_use_is_called(loop, monkeypatch, cls, method, schedule):
    done = []

    def post(value):
        if schedule == "call_soon":
            loop.call_soon(done.append, value)
        else:
            loop.call_later(0, done.append, value)

    post("before")
    drain(loop, lambda: done)
    calls = []
    original = getattr(getattr(asyncio.events, cls), method)

    def patched(self, *args, **kwargs):
        calls.append(method)
        return original(self, *args, **kwargs)

    monkeypatch.setattr(getattr(asyncio.events, cls), method, patched)
    post("after")
    drain(loop, lambda: len(done) == 2)
    assert calls == [method] and done == ["before", "after"]


@pytest.mark.parametrize("cls, schedule", [("Handle", "call_soon(f)"), ("TimerHandle", "call_later(0, f)")])
def test_a_class_patched_before_first_use_and_restored_after_is_honoured_both_ways(cls, schedule):
    """A class found not to be asyncio's unchanged one is remembered as such only in that state:
    once restored, its handles are built and run natively again, and patching it again counts."""
    figures = run_json(f"""
        import asyncio, json
        import cadrel
        from bodies import drain

        loop, target, calls, done = cadrel.CadrelLoop(), asyncio.events.{cls}, [], []
        original = target.__init__

        def patched(self, *args, **kwargs):
            calls.append(1)
            original(self, *args, **kwargs)

        def post_three():
            expected, f = len(done) + 3, lambda: done.append(1)
            for _ in range(3):
                loop.{schedule}
            drain(loop, lambda: len(done) == expected)
            return len(calls)

        counts = []
        for init in (patched, original, patched):  # patched before any handle is built
            target.__init__ = init
            counts.append(post_three())
        print(json.dumps(counts + [len(done)]))
    """)
    assert figures == [3, 3, 6, 9]
