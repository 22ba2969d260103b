# call_soon and call_soon_threadsafe: the handle each builds, posts and returns, and how it runs.
import asyncio
import gc
import sys

import pytest

from bodies import call_on_thread, drain
from recorders import current_label, labelled_context, recording_handles
from scripts import run_json

METHODS = ["call_soon", "call_soon_threadsafe"]


@pytest.fixture
def handles(monkeypatch):
    """Puts a subclass of asyncio.Handle in its place that records how each handle is built and run.

    Name it after `loop`: the records refer to the loop, and are dropped before its leak check.
    """
    yield from recording_handles(monkeypatch, "Handle")


# (extra positionals, the context argument: "given", None or "absent", the expected args tuple)
BUILDS = {
    "no arguments": ((), "absent", ()),
    "extras and a context": ((1, 2), "given", (1, 2)),
    "context=None": ((None,), None, (None,)),
}


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("from_thread", [False, True], ids=["same thread", "other thread"])
@pytest.mark.parametrize("build", BUILDS.values(), ids=BUILDS.keys())
def test_handle_is_built_from_exactly_the_arguments_given(loop, handles, method, from_thread,
                                                          build):
    extras, context_kind, expected_args = build
    seen = []

    def callback(*args):
        seen.append((args, current_label.get()))

    kwargs = {}
    context = labelled_context("given context")
    if context_kind == "given":
        kwargs["context"] = context
    elif context_kind is None:
        kwargs["context"] = None
    schedule = getattr(loop, method)

    def call():
        return schedule(callback, *extras, **kwargs)

    handle = call_on_thread(call) if from_thread else call()

    assert type(handle) is asyncio.Handle
    [(built, args, keywords)] = handles.built
    assert built is handle
    assert args[0] is callback
    assert type(args[1]) is tuple and args[1] == expected_args
    expected_keywords = [("loop", loop)] + [("context", context)] * (context_kind == "given")
    assert [name for name, _ in keywords] == [name for name, _ in expected_keywords]
    assert all(value is expected for (_, value), (_, expected) in zip(keywords, expected_keywords))

    drain(loop, lambda: seen)
    assert handles.ran == [handle]
    assert seen == [(expected_args, "given context" if context_kind == "given" else "outside")]


@pytest.mark.parametrize("method", METHODS)
def test_callbacks_queued_before_the_first_run_run_in_call_order(loop, method):
    seen = []
    other = "call_soon" if method == "call_soon_threadsafe" else "call_soon_threadsafe"
    for i in range(50):
        getattr(loop, method if i % 3 else other)(seen.append, i)
    drain(loop, lambda: len(seen) >= 50)
    assert seen == list(range(50))


def test_non_callable_callback_is_accepted_and_fails_only_when_run(loop, handles, capsys):
    seen = []
    handle = loop.call_soon(42, "extra")
    assert handle._callback == 42 and handle._args == ("extra",)
    loop.call_soon(seen.append, "later")
    drain(loop, lambda: seen)
    assert handles.ran[0] is handle
    assert seen == ["later"]
    err = capsys.readouterr().err
    assert "TypeError: 'int' object is not callable" in err
    # Handle._run hands the error to call_exception_handler, which this loop does not have.
    assert "AttributeError" in err and "call_exception_handler" in err


def test_a_cancelled_handle_is_skipped_without_a_report(loop, handles, capsys):
    seen = []
    handle = loop.call_soon(seen.append, "cancelled")
    handle.cancel()
    later = loop.call_soon(seen.append, "later")
    drain(loop, lambda: seen)
    assert handles.ran == [later]
    assert seen == ["later"]
    assert capsys.readouterr().err == ""


class SuppliedHandle(asyncio.Handle):
    __slots__ = ()


@pytest.mark.parametrize("supplier", ["module __getattr__", "module subclass property"])
def test_handle_class_is_what_attribute_lookup_on_asyncio_gives(loop, monkeypatch, supplier):
    """The class is looked up as an attribute of the module each call: a name the module's
    __getattr__ supplies, or a property of a module subclass, is honoured."""
    if supplier == "module __getattr__":
        monkeypatch.delattr(asyncio, "Handle")

        def module_getattr(name):
            if name == "Handle":
                return SuppliedHandle
            raise AttributeError(name)
        monkeypatch.setattr(asyncio, "__getattr__", module_getattr, raising=False)
    else:
        subclass = type("SupplyingModule", (type(asyncio),), {"Handle": property(lambda _: SuppliedHandle)})
        monkeypatch.setattr(asyncio, "__class__", subclass)
    ran = []
    handle = loop.call_soon(ran.append, "ran")
    monkeypatch.undo()
    assert type(handle) is SuppliedHandle
    drain(loop, lambda: ran)


def refused_handle_error(error):
    def handle_class(*args, **kwargs):
        raise error
    return handle_class


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("failure", ["Handle raises", "Handle missing", "asyncio not importable"])
def test_failure_to_build_the_handle_reaches_the_caller_and_posts_nothing(loop, monkeypatch, method,
                                                                          failure):
    seen = []
    error = ValueError("refused by Handle")
    refs_before = sys.getrefcount(loop)
    with monkeypatch.context() as patch:
        if failure == "Handle raises":
            patch.setattr(asyncio, "Handle", refused_handle_error(error))
        elif failure == "Handle missing":
            patch.delattr(asyncio, "Handle")
        else:
            patch.setitem(sys.modules, "asyncio", None)
        with pytest.raises(BaseException) as raised:
            getattr(loop, method)(seen.append, "never")
    if failure == "Handle raises":
        assert raised.value is error
    elif failure == "Handle missing":
        assert raised.type is AttributeError and "Handle" in str(raised.value)
    else:
        assert raised.type is ModuleNotFoundError
    del raised, error
    gc.collect()  # the traceback's frames hold the keywords, loop included
    # A queued handle would hold a reference to the loop, and would run in the next run.
    assert sys.getrefcount(loop) == refs_before
    loop.call_soon(seen.append, "marker")
    drain(loop, lambda: seen)
    assert seen == ["marker"]


@pytest.mark.subprocess
@pytest.mark.parametrize("method", METHODS)
def test_first_calls_from_several_threads_wait_for_asyncio_to_load(method):
    # The first call of a process imports asyncio, which takes a while. Threads that call while
    # it is still loading must get the finished module, as the host's import gives it to them.
    result = run_json(f"""
        import json, sys, threading
        import cadrel
        loaded_before = "asyncio" in sys.modules
        loop = cadrel.CadrelLoop()
        outcomes = []

        def post(i):
            try:
                loop.{method}(outcomes.append, i)
            except BaseException as error:
                outcomes.append(repr(error))

        threads = [threading.Thread(target=post, args=(i,)) for i in range(8)]
        threads[0].start()
        while "asyncio" not in sys.modules and threads[0].is_alive():
            pass
        for thread in threads[1:]:
            thread.start()
        for thread in threads:
            thread.join()
        loop.stop()
        loop.run_forever()
        outcomes = sorted(map(str, outcomes))
        print(json.dumps({{"loaded_before": loaded_before, "outcomes": outcomes}}))
    """, timeout=60)
    assert result == {"loaded_before": False, "outcomes": [str(i) for i in range(8)]}


@pytest.mark.subprocess
def test_a_first_run_racing_a_first_post_from_another_thread_gets_loaded_modules():
    # run_forever's first use of asyncio overlaps another thread's first call_soon_threadsafe:
    # both must see the finished package, not a submodule loaded beside a half-done import.
    result = run_json("""
        import json, sys, threading
        import cadrel
        loaded_before = "asyncio" in sys.modules
        loop = cadrel.CadrelLoop()
        errors = []

        def post():
            try:
                loop.call_soon_threadsafe(loop.stop)
            except BaseException as error:
                errors.append(repr(error))
                loop.stop()

        poster = threading.Thread(target=post)
        poster.start()
        try:
            loop.run_forever()
        except BaseException as error:
            errors.append("run_forever: " + repr(error))
        poster.join()
        print(json.dumps({"loaded_before": loaded_before, "errors": errors}))
    """, timeout=60)
    assert result == {"loaded_before": False, "errors": []}
