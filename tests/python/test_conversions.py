# Conversion of matched arguments to native values, and how a conversion's failure is reported.
import math
import operator
import socket

import pytest

from argument_model import Index, Real
from bodies import NOT_BUILT, drain, reach_body
from scripts import run_json


def cb(*args):
    pass


class HasFileno:
    def fileno(self):
        return 0


class Holder:
    class Nested:
        """Its qualified name differs from its plain name."""


def index_error_text(value):
    with pytest.raises(TypeError) as refused:
        operator.index(value)
    return str(refused.value)


def float_error_text(value):
    # math.sqrt converts its argument with the host's general conversion to float.
    with pytest.raises(TypeError) as refused:
        math.sqrt(value)
    return str(refused.value)


def assert_argument_error(raised, name, text):
    assert type(raised.value) is TypeError
    assert str(raised.value) == f"argument '{name}': {text}"


# --- value: a bool, or numpy's boolean scalar read through its truth slot -------------------

def spoof_numpy_bool(type_name, truth, module="numpy"):
    """A class that looks like numpy's boolean scalar type by name and module."""
    return type(type_name, (), {"__module__": module, "__bool__": lambda self: truth()})()


def test_value_accepts_bool_and_numpy_bool(loop):
    numpy = pytest.importorskip("numpy")
    for value, expected in [(numpy.bool_(True), True), (False, False), (True, True),
                            (numpy.bool_(False), False)]:
        assert loop.set_debug(value) is None
        assert loop.get_debug() is expected


@pytest.mark.parametrize("type_name", ["bool_", "bool"])
def test_value_of_any_type_named_like_numpy_bool_is_read_through_truth(loop, type_name):
    loop.set_debug(True)
    loop.set_debug(spoof_numpy_bool(type_name, lambda: False))
    assert loop.get_debug() is False
    loop.set_debug(spoof_numpy_bool(type_name, lambda: True))
    assert loop.get_debug() is True


@pytest.mark.parametrize("value", [
    1, 0, None, 1.0, "True", Holder.Nested(),
    # The same name outside numpy is just another type.
    spoof_numpy_bool("bool_", lambda: True, module="elsewhere"),
], ids=["1", "0", "None", "1.0", "'True'", "nested-class", "bool_-outside-numpy"])
def test_value_refuses_non_bool_and_keeps_the_flag(loop, value):
    for flag in (True, False):
        loop.set_debug(flag)
        with pytest.raises(TypeError) as refused:
            loop.set_debug(value)
        qualname = type(value).__qualname__
        assert_argument_error(refused, "value", f"'{qualname}' object cannot be cast as 'bool'")
        assert loop.get_debug() is flag


def test_value_refuses_numpy_integer(loop):
    numpy = pytest.importorskip("numpy")
    with pytest.raises(TypeError) as refused:
        loop.set_debug(numpy.int64(1))
    assert_argument_error(refused, "value", "'int64' object cannot be cast as 'bool'")


# --- fd: a C long that fits in 32 bits -----------------------------------------------------

FD_METHODS = {
    "add_reader": lambda loop, fd: loop.add_reader(fd, cb, ()),
    "add_writer": lambda loop, fd: loop.add_writer(fd, cb, ()),
    "remove_reader": lambda loop, fd: loop.remove_reader(fd),
    "remove_writer": lambda loop, fd: loop.remove_writer(fd),
}
OUT_OF_32_BITS = "out of range integral type conversion attempted"
OUT_OF_C_LONG = "Python int too large to convert to C long"


@pytest.mark.parametrize("method", sorted(FD_METHODS))
@pytest.mark.parametrize("fd, message", [
    (2**31, OUT_OF_32_BITS),
    (-2**31 - 1, OUT_OF_32_BITS),
    (2**40, OUT_OF_32_BITS),
    (Index(2**31), OUT_OF_32_BITS),
    (2**63, OUT_OF_C_LONG),
    (-2**63 - 1, OUT_OF_C_LONG),
    (2**100, OUT_OF_C_LONG),
], ids=["2**31", "-2**31-1", "2**40", "Index(2**31)", "2**63", "-2**63-1", "2**100"])
def test_fd_out_of_range_raises_overflow_unchanged(loop, method, fd, message):
    with pytest.raises(OverflowError) as refused:
        FD_METHODS[method](loop, fd)
    assert type(refused.value) is OverflowError
    assert str(refused.value) == message


@pytest.mark.parametrize("method", sorted(FD_METHODS))
@pytest.mark.parametrize("make_fd", [
    lambda: 1.5, lambda: 3.0, lambda: "3", lambda: None, lambda: HasFileno(),
    lambda: socket.socket(),
], ids=["1.5", "3.0", "'3'", "None", "fileno-only", "socket"])
def test_fd_refuses_non_integers_naming_the_argument(loop, method, make_fd):
    fd = make_fd()
    try:
        with pytest.raises(TypeError) as refused:
            FD_METHODS[method](loop, fd)
        assert_argument_error(refused, "fd", index_error_text(fd))
    finally:
        if isinstance(fd, socket.socket):
            fd.close()


@pytest.mark.parametrize("method", ["remove_reader", "remove_writer"])
@pytest.mark.parametrize("fd", [2**31 - 1, -2**31, -1, 0, True, Index(5)],
                         ids=["2**31-1", "-2**31", "-1", "0", "True", "Index(5)"])
def test_fd_accepts_32_bit_integers(loop, method, fd):
    reach_body(FD_METHODS[method], loop, fd)


@pytest.mark.parametrize("method", ["add_reader", "add_writer"])
def test_fd_accepts_index_objects_for_watchers(pipe, loop, method):
    reach_body(FD_METHODS[method], loop, Index(pipe[0]))


# --- args of add_reader / add_writer: a tuple or tuple subclass ----------------------------

class TupleSubclass(tuple):
    pass


@pytest.mark.parametrize("method", ["add_reader", "add_writer"])
@pytest.mark.parametrize("args", [[1], None, {}, "ab", Holder.Nested()],
                         ids=["list", "None", "dict", "str", "nested-class"])
def test_args_refuses_non_tuples(loop, method, args):
    with pytest.raises(TypeError) as refused:
        getattr(loop, method)(3, cb, args)
    qualname = type(args).__qualname__
    assert_argument_error(refused, "args", f"'{qualname}' object cannot be cast as 'tuple'")


@pytest.mark.parametrize("method", ["add_reader", "add_writer"])
def test_args_accepts_tuples_and_subclasses(pipe, loop, method):
    watch = getattr(loop, method)
    reach_body(watch, pipe[0], cb, (1, 2))
    reach_body(watch, pipe[0], cb, TupleSubclass((1,)))


@pytest.mark.parametrize("method", ["add_reader", "add_writer"])
def test_parameters_convert_in_declaration_order(loop, method):
    with pytest.raises(TypeError) as refused:
        getattr(loop, method)(1.5, cb, [1])
    assert_argument_error(refused, "fd", index_error_text(1.5))


# --- delay and when: the host's conversion to float ----------------------------------------

TIMED = [("call_later", "delay"), ("call_at", "when")]


@pytest.mark.parametrize("method, name", TIMED)
@pytest.mark.parametrize("value", ["1", None, b"1", [1.0], 1j], ids=repr)
def test_time_refuses_non_numbers_naming_the_argument(loop, method, name, value):
    for call in (lambda: getattr(loop, method)(value, cb),
                 lambda: getattr(loop, method)(callback=cb, **{name: value})):
        with pytest.raises(TypeError) as refused:
            call()
        assert_argument_error(refused, name, float_error_text(value))


# Every value lies in the past or gives no delay, so the timers fire at once and can be drained.
@pytest.mark.parametrize("method, name", TIMED)
@pytest.mark.parametrize("value", [0, 0.25, Index(1), Real(0.5), True, -2**40],
                         ids=["0", "0.25", "Index(1)", "Real(0.5)", "True", "-2**40"])
def test_time_accepts_ints_and_float_or_index_objects(loop, method, name, value):
    ran = []
    if reach_body(getattr(loop, method), value, ran.append, name) is not NOT_BUILT:
        drain(loop, lambda: ran)


@pytest.mark.subprocess
def test_delay_takes_the_float_protocol_before_the_index_protocol():
    # The timers stay asleep for their whole delay, holding the loop, so they live in a child.
    result = run_json("""
        import json
        import cadrel

        class Both:
            def __float__(self):
                return 100.0
            def __index__(self):
                return 1

        class Index:
            def __index__(self):
                return 50

        loop = cadrel.CadrelLoop()
        try:
            offsets = []
            for delay in (Both(), Index(), 2**40):
                handle = loop.call_later(delay, print)
                offsets.append(handle.when() - loop.time())
        except NotImplementedError as missing:
            offsets = str(missing)
        print(json.dumps(offsets))
    """)
    if isinstance(result, str):
        pytest.skip(f"a method body is not built yet: {result}")
    assert 99.0 < result[0] <= 100.0
    assert 49.0 < result[1] <= 50.0
    assert 2**40 - 1.0 < result[2] <= 2**40


# --- what a failing conversion raises ------------------------------------------------------

class RaisingHook:
    """Raises the given exception from whichever conversion protocol the adapter calls."""

    def __init__(self, error):
        self.error = error

    def raise_it(self):
        raise self.error

    __index__ = __float__ = __bool__ = lambda self: self.raise_it()


class NumpyBoolRaising(RaisingHook):
    """Taken for numpy's boolean scalar, so `value` reads it through the truth slot."""


NumpyBoolRaising.__name__ = NumpyBoolRaising.__qualname__ = "bool_"
NumpyBoolRaising.__module__ = "numpy"

CONVERTED = {
    "value": lambda loop, hook: loop.set_debug(NumpyBoolRaising(hook.error)),
    "fd": lambda loop, hook: loop.remove_reader(hook),
    "delay": lambda loop, hook: loop.call_later(hook, cb),
    "when": lambda loop, hook: loop.call_at(hook, cb),
}


class SubTypeError(TypeError):
    pass


def caused(error, cause):
    error.__cause__ = cause
    return error


@pytest.mark.parametrize("name", sorted(CONVERTED))
@pytest.mark.parametrize("cause", [None, KeyError("why")], ids=["no-cause", "with-cause"])
def test_type_error_is_reraised_naming_the_argument_with_its_cause(loop, name, cause):
    original = caused(TypeError("conversion refused"), cause)
    with pytest.raises(TypeError) as refused:
        CONVERTED[name](loop, RaisingHook(original))
    assert refused.value is not original
    assert_argument_error(refused, name, "conversion refused")
    assert refused.value.__cause__ is cause


@pytest.mark.parametrize("name", sorted(CONVERTED))
@pytest.mark.parametrize("make_error", [
    lambda: SubTypeError("sub"), lambda: ValueError("value"), lambda: OverflowError("big"),
    lambda: caused(ZeroDivisionError("zero"), KeyError("why")),
], ids=["TypeError-subclass", "ValueError", "OverflowError", "ZeroDivisionError-with-cause"])
def test_other_conversion_errors_pass_unchanged(loop, name, make_error):
    original = make_error()
    cause = original.__cause__
    with pytest.raises(Exception) as refused:
        CONVERTED[name](loop, RaisingHook(original))
    assert refused.value is original
    assert refused.value.__cause__ is cause
