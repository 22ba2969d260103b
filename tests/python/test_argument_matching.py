# Matching of call arguments to parameters, and the exact TypeError for every way it fails.
import re

import pytest

from bodies import NOT_BUILT, call_body, drain, reach_body
from cadrel import CadrelLoop
from methods import NO_ARGUMENT_SIGNATURES


def cb(*args):
    pass


def too_many(method, declared, given):
    was = "was" if given == 1 else "were"
    return f"CadrelLoop.{method}() takes {declared} positional arguments but {given} {was} given"


def missing(method, *names):
    quoted = [f"'{name}'" for name in names]
    if len(quoted) == 1:
        listed, noun = quoted[0], "argument"
    elif len(quoted) == 2:
        listed, noun = " and ".join(quoted), "arguments"
    else:
        listed, noun = ", ".join(quoted[:-1]) + ", and " + quoted[-1], "arguments"
    return f"CadrelLoop.{method}() missing {len(quoted)} required positional {noun}: {listed}"


def unexpected(method, keyword):
    return f"CadrelLoop.{method}() got an unexpected keyword argument '{keyword}'"


def multiple(method, name):
    return f"CadrelLoop.{method}() got multiple values for argument '{name}'"


def case(method, args, kwargs, message):
    shown = ", ".join([repr(a) if a is not cb else "cb" for a in args]
                      + [f"{k}={v!r}" if v is not cb else f"{k}=cb" for k, v in kwargs.items()])
    return pytest.param(method, args, kwargs, message, id=f"{method}({shown})")


def soon_cases(method):
    return [
        case(method, (), {}, missing(method, "callback")),
        case(method, (), {"context": None}, missing(method, "callback")),
        case(method, (cb,), {"callback": cb}, multiple(method, "callback")),
        case(method, (cb, 1, 2), {"callback": cb}, multiple(method, "callback")),
        # Extra positionals are collected, never named.
        case(method, (cb,), {"args": (1,)}, unexpected(method, "args")),
        case(method, (cb,), {"name": "n"}, unexpected(method, "name")),
    ]


def timed_cases(method, first):
    other = "delay" if first == "when" else "when"
    return [
        case(method, (), {}, missing(method, first, "callback")),
        case(method, (1.0,), {}, missing(method, "callback")),
        case(method, (), {"callback": cb}, missing(method, first)),
        case(method, (1.0, cb), {first: 1.0}, multiple(method, first)),
        case(method, (1.0, cb), {other: 1.0}, unexpected(method, other)),
    ]


def watcher_cases(method):
    return [
        case(method, (), {}, missing(method, "fd", "cb", "args")),
        case(method, (3,), {}, missing(method, "cb", "args")),
        case(method, (3, cb), {}, missing(method, "args")),
        case(method, (), {"fd": 3}, missing(method, "cb", "args")),
        case(method, (3,), {"args": ()}, missing(method, "cb")),
        case(method, (3, cb, (), 4), {}, too_many(method, 3, 4)),
        case(method, (3, cb, ()), {"fd": 3}, multiple(method, "fd")),
        case(method, (3, cb, ()), {"context": None}, unexpected(method, "context")),
    ]


def removal_cases(method):
    return [
        case(method, (), {}, missing(method, "fd")),
        case(method, (3, 4), {}, too_many(method, 1, 2)),
        case(method, (3,), {"fd": 3}, multiple(method, "fd")),
        case(method, (3,), {"cb": cb}, unexpected(method, "cb")),
    ]


REFUSED_CALLS = [
    case("set_debug", (), {}, missing("set_debug", "value")),
    case("set_debug", (True, False), {}, too_many("set_debug", 1, 2)),
    case("set_debug", (True,), {"value": False}, multiple("set_debug", "value")),
    case("set_debug", (True,), {"x": 1}, unexpected("set_debug", "x")),
    case("create_task", (), {}, missing("create_task", "coro")),
    case("create_task", (), {"name": "t"}, missing("create_task", "coro")),
    case("create_task", (None, "t"), {}, too_many("create_task", 1, 2)),
    case("create_task", (None,), {"coro": None}, multiple("create_task", "coro")),
    case("create_task", (None,), {"loop": None}, unexpected("create_task", "loop")),
    case("run_until_complete", (), {}, missing("run_until_complete", "future")),
    case("run_until_complete", (None, 1), {}, too_many("run_until_complete", 1, 2)),
    case("run_until_complete", (None,), {"future": None}, multiple("run_until_complete", "future")),
    case("run_until_complete", (None,), {"timeout": 1}, unexpected("run_until_complete", "timeout")),
    case("_stop_cb", (), {}, missing("_stop_cb", "_fut")),
    case("_stop_cb", (None, None), {}, too_many("_stop_cb", 1, 2)),
    case("_stop_cb", (None,), {"_fut": None}, multiple("_stop_cb", "_fut")),
    case("_stop_cb", (), {"fut": None}, unexpected("_stop_cb", "fut")),
    *soon_cases("call_soon"),
    *soon_cases("call_soon_threadsafe"),
    *timed_cases("call_later", "delay"),
    *timed_cases("call_at", "when"),
    *watcher_cases("add_reader"),
    *watcher_cases("add_writer"),
    *removal_cases("remove_reader"),
    *removal_cases("remove_writer"),
    # Too many positionals are found before any keyword is looked at.
    case("set_debug", (True, False), {"x": 1}, too_many("set_debug", 1, 2)),
    # Keywords are placed in the order given; the first misfit is the one reported.
    case("call_soon", (cb,), {"callback": cb, "bogus": 1}, multiple("call_soon", "callback")),
    case("call_soon", (cb,), {"bogus": 1, "callback": cb}, unexpected("call_soon", "bogus")),
    # A misplaced keyword is reported before missing positionals.
    case("add_reader", (), {"bogus": 1}, unexpected("add_reader", "bogus")),
    case("remove_writer", (), {"bogus": 1, "fd": 3}, unexpected("remove_writer", "bogus")),
]


@pytest.mark.parametrize("method, args, kwargs, message", REFUSED_CALLS)
def test_refused_call(loop, method, args, kwargs, message):
    with pytest.raises(TypeError) as refused:
        getattr(loop, method)(*args, **kwargs)
    assert type(refused.value) is TypeError
    assert str(refused.value) == message


def host_no_argument_messages(method):
    """The host's own refusals for a no-argument method, worded as it words them for list.copy."""
    messages = []
    for call in (lambda: [].copy(1), lambda: [].copy(1, 2), lambda: [].copy(x=1)):
        with pytest.raises(TypeError) as refused:
            call()
        messages.append(str(refused.value).replace("list.copy", f"CadrelLoop.{method}"))
    return messages


@pytest.mark.parametrize("method", sorted(NO_ARGUMENT_SIGNATURES))
def test_no_argument_method_refuses_any_argument(loop, method):
    bound = getattr(loop, method)
    got = []
    for call in (lambda: bound(1), lambda: bound(1, 2), lambda: bound(x=1)):
        with pytest.raises(TypeError) as refused:
            call()
        got.append(str(refused.value))
    assert got == host_no_argument_messages(method)


@pytest.mark.parametrize("args, kwargs, message", [
    ((1,), {}, "CadrelLoop.__new__() takes 0 positional arguments but 1 was given"),
    ((1, 2), {}, "CadrelLoop.__new__() takes 0 positional arguments but 2 were given"),
    ((), {"x": 1}, "CadrelLoop.__new__() got an unexpected keyword argument 'x'"),
    ((1,), {"x": 1}, "CadrelLoop.__new__() takes 0 positional arguments but 1 was given"),
])
def test_constructor_refuses_any_argument(args, kwargs, message):
    with pytest.raises(TypeError) as refused:
        CadrelLoop(*args, **kwargs)
    assert type(refused.value) is TypeError
    assert str(refused.value) == message



# Calls whose callback `f` must run with the given arguments once the loop runs.
SCHEDULING_CALLS = [
    ("call_soon(callback=f)", lambda loop, f: loop.call_soon(callback=f), ()),
    ("call_soon(f, 1, 2, context=None)",
     lambda loop, f: loop.call_soon(f, 1, 2, context=None), (1, 2)),
    ("call_soon_threadsafe(callback=f, context=None)",
     lambda loop, f: loop.call_soon_threadsafe(callback=f, context=None), ()),
    ("call_soon_threadsafe(f, 1, 2)", lambda loop, f: loop.call_soon_threadsafe(f, 1, 2), (1, 2)),
    ("call_later(delay=0, callback=f)", lambda loop, f: loop.call_later(delay=0, callback=f), ()),
    ("call_later(-1, f, 1, 2, 3, context=None)",
     lambda loop, f: loop.call_later(-1, f, 1, 2, 3, context=None), (1, 2, 3)),
    ("call_at(callback=f, when=0.0)", lambda loop, f: loop.call_at(callback=f, when=0.0), ()),
    ("call_at(0.0, f, 1, context=None)", lambda loop, f: loop.call_at(0.0, f, 1, context=None),
     (1,)),
]


@pytest.mark.parametrize("schedule, expected_args",
                         [pytest.param(call, args, id=name) for name, call, args in SCHEDULING_CALLS])
def test_accepted_call_passes_its_arguments_to_the_callback(loop, schedule, expected_args):
    ran = []
    if reach_body(schedule, loop, lambda *args: ran.append(args)) is not NOT_BUILT:
        drain(loop, lambda: ran)
        assert ran == [expected_args]


@pytest.mark.parametrize("method, kwargs", [
    ("remove_reader", {"fd": -1}),
    ("remove_writer", {"fd": -1}),
    ("_stop_cb", {"_fut": None}),
])
def test_accepted_call_by_keyword_reaches_the_body(loop, method, kwargs):
    reach_body(getattr(loop, method), **kwargs)


@pytest.mark.parametrize("method", ["add_reader", "add_writer"])
def test_watcher_parameters_by_keyword(pipe, loop, method):
    assert reach_body(getattr(loop, method), args=(), cb=cb, fd=pipe[0]) in (None, NOT_BUILT)


def test_create_task_name_none_is_the_same_as_no_name(loop):
    async def work():
        return 7

    tasks = [call_body(loop.create_task, work(), name=None),
             call_body(loop.create_task, work()),
             call_body(loop.create_task, coro=work(), name="worker", context=None)]
    drain(loop, lambda: all(task.done() for task in tasks))
    assert [task.result() for task in tasks] == [7, 7, 7]
    assert all(task.get_loop() is loop for task in tasks)
    assert [re.fullmatch(r"Task-\d+", task.get_name()) is not None for task in tasks] == [
        True, True, False]
    assert tasks[2].get_name() == "worker"
