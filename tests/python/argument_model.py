# A model of how CadrelLoop's methods match call arguments to parameters and convert them, written
# from the matching rules alone, and hypothesis strategies that build calls of random shape from
# arguments of random types. The fuzz tests compare every real call with the model's prediction.
import contextvars
import ctypes
import math
import operator
from dataclasses import dataclass, field

from hypothesis import strategies as st

# --- the parameter table ---------------------------------------------------------------------

# How a parameter's argument is converted: ANY keeps the object, the rest convert as named.
ANY, DOUBLE, FD, BOOL, TUPLE = "any", "double", "fd", "bool", "tuple"


@dataclass(frozen=True)
class Method:
    name: str
    positional: tuple = ()  # (name, conversion) pairs, all required
    collects_extras: bool = False  # extra positionals become the callback's arguments
    keyword_only: tuple = ()  # (name, conversion) pairs, optional, default None

    @property
    def full_name(self):
        return f"CadrelLoop.{self.name}()"

    @property
    def parameters(self):
        return self.positional + self.keyword_only

    def text_signature(self):
        """The signature in the form the method table registers it."""
        parts = ["$self"] + [name for name, _ in self.positional]
        if self.collects_extras:
            parts.append("*args")
        elif self.keyword_only:
            parts.append("*")
        parts += [f"{name}=None" for name, _ in self.keyword_only]
        return f"({', '.join(parts)})"


CONTEXT = (("context", ANY),)

VECTOR_METHODS = {m.name: m for m in [
    Method("set_debug", (("value", BOOL),)),
    Method("create_task", (("coro", ANY),), keyword_only=(("name", ANY),) + CONTEXT),
    Method("run_until_complete", (("future", ANY),)),
    Method("_stop_cb", (("_fut", ANY),)),
    Method("call_soon", (("callback", ANY),), True, CONTEXT),
    Method("call_soon_threadsafe", (("callback", ANY),), True, CONTEXT),
    Method("call_later", (("delay", DOUBLE), ("callback", ANY)), True, CONTEXT),
    Method("call_at", (("when", DOUBLE), ("callback", ANY)), True, CONTEXT),
    Method("add_reader", (("fd", FD), ("cb", ANY), ("args", TUPLE))),
    Method("remove_reader", (("fd", FD),)),
    Method("add_writer", (("fd", FD), ("cb", ANY), ("args", TUPLE))),
    Method("remove_writer", (("fd", FD),)),
]}

CONSTRUCTOR = Method("__new__")

# --- predictions -----------------------------------------------------------------------------


@dataclass
class Refusal:
    """The exception the model expects: its exact type and text.

    `cause` is what a TypeError re-raised under the argument's name must carry as __cause__ (the
    original error's own cause). `raised_by` is the argument object whose conversion hook raised
    an error that must pass through as the very same object.
    """
    kind: type
    message: str
    cause: object = None
    raised_by: object = None
    category: str = "conversion"  # which rule refused the call, for the tests' statistics


@dataclass
class Acceptance:
    """Matching and conversion succeed; `values` holds each parameter's converted value."""
    values: dict
    extras: tuple = ()


def _quoted_list(names):
    quoted = [f"'{name}'" for name in names]
    if len(quoted) == 1:
        return quoted[0]
    if len(quoted) == 2:
        return " and ".join(quoted)
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def predict(method, args, kwargs):
    """What calling `method` with these positional and keyword arguments must do."""
    full = method.full_name
    names = [name for name, _ in method.positional]
    keyword_only = [name for name, _ in method.keyword_only]
    if len(args) > len(names) and not method.collects_extras:
        was = "was" if len(args) == 1 else "were"
        return Refusal(TypeError, f"{full} takes {len(names)} positional arguments but "
                                  f"{len(args)} {was} given", category="too many")
    slots = dict(zip(names, args))
    extras = tuple(args[len(names):])
    for keyword, value in kwargs.items():
        if keyword not in keyword_only and keyword not in names:
            return Refusal(TypeError, f"{full} got an unexpected keyword argument '{keyword}'",
                           category="unexpected")
        if keyword in slots:
            return Refusal(TypeError, f"{full} got multiple values for argument '{keyword}'",
                           category="multiple")
        slots[keyword] = value
    missing = [name for name in names if name not in slots]
    if missing:
        noun = "argument" if len(missing) == 1 else "arguments"
        return Refusal(TypeError, f"{full} missing {len(missing)} required positional {noun}: "
                                  f"{_quoted_list(missing)}", category="missing")
    values = {}
    for name, conversion in method.parameters:
        if name not in slots:
            values[name] = None
            continue
        converted = CONVERSIONS[conversion](name, slots[name])
        if isinstance(converted, Refusal):
            return converted
        values[name] = converted
    return Acceptance(values, extras)


def _refused_by_host(name, value, error):
    """A host conversion's error: a plain TypeError is renamed after the argument, the rest pass."""
    if type(error) is TypeError:
        return Refusal(TypeError, f"argument '{name}': {error}", cause=error.__cause__)
    raised_by = value if isinstance(value, RaisingHook) else None
    return Refusal(type(error), str(error), cause=error.__cause__, raised_by=raised_by)


def _cannot_cast(name, value, target):
    return Refusal(TypeError, f"argument '{name}': '{type(value).__qualname__}' object cannot be "
                              f"cast as '{target}'")


def to_double(name, value):
    # math.ldexp(x, 0) is x itself, read with the host's own conversion of an object to double.
    try:
        return math.ldexp(value, 0)
    except BaseException as error:
        return _refused_by_host(name, value, error)


LONG_BITS = 8 * ctypes.sizeof(ctypes.c_long)


def to_fd(name, value):
    # The host reads a C long through the index protocol; the result must then fit in 32 bits.
    try:
        number = operator.index(value)
    except BaseException as error:
        return _refused_by_host(name, value, error)
    if not -2**(LONG_BITS - 1) <= number < 2**(LONG_BITS - 1):
        return Refusal(OverflowError, "Python int too large to convert to C long")
    if not -2**31 <= number < 2**31:
        return Refusal(OverflowError, "out of range integral type conversion attempted")
    return number


def is_numpy_bool(value):
    return type(value).__module__ == "numpy" and type(value).__name__ in ("bool_", "bool")


def to_bool(name, value):
    if isinstance(value, bool):
        return value
    if is_numpy_bool(value):
        try:
            return bool(value)
        except BaseException as error:
            return _refused_by_host(name, value, error)
    return _cannot_cast(name, value, "bool")


def to_tuple(name, value):
    return value if isinstance(value, tuple) else _cannot_cast(name, value, "tuple")


CONVERSIONS = {
    ANY: lambda name, value: value,
    DOUBLE: to_double,
    FD: to_fd,
    BOOL: to_bool,
    TUPLE: to_tuple,
}

# --- argument objects ------------------------------------------------------------------------


class Recorder:
    """A callback that records the arguments of every call."""

    def __init__(self):
        self.calls = []

    def __call__(self, *args):
        self.calls.append(args)

    def __repr__(self):
        return f"<Recorder {len(self.calls)} calls>"


class Index:
    """An integer only through the index protocol."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Real:
    """A number only through the float protocol."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class IndexAndReal(Index, Real):
    """Both protocols, giving different numbers: the float protocol must win for a double."""

    def __init__(self, index, real):
        Index.__init__(self, index)
        self.real = real

    def __float__(self):
        return self.real


class FilenoOnly:
    """Has a descriptor, but is no integer."""

    def __init__(self, fd):
        self.fd = fd

    def fileno(self):
        return self.fd


class IntSubclass(int):
    pass


class ProtocolMisuse(AssertionError):
    """Raised by an argument when it is converted in a way it never should be."""


class FloatSubclass(float):
    # A float object is read directly; its own __float__ is never asked.
    def __float__(self):
        raise ProtocolMisuse("the float protocol was used on a float")


class TupleSubclass(tuple):
    pass


class Holder:
    class Nested:
        """Its qualified name differs from its plain name."""


class FormatLike:
    """Its qualified name looks like format directives."""


FormatLike.__qualname__ = "%s%U{0}"


class BoundaryError(BaseException):
    """Not an Exception: must pass through conversions like any other error."""


class SubTypeError(TypeError):
    pass


def _tagged(error, tag):
    error.tag = tag
    return error


class RaisingHook:
    """Raises a fresh error from every conversion protocol it could be asked through.

    The error is built anew on each call and never stored, so that no reference cycle through its
    traceback keeps the hook alive; each carries a new tag, so that the error that reaches the
    caller can be told to be the one the hook raised last.
    """

    def __init__(self, kind, text, cause):
        self.kind, self.text, self.cause = kind, text, cause
        self.raised = 0

    def raised_last(self, error):
        return getattr(error, "tag", None) == (id(self), self.raised)

    def raise_it(self):
        self.raised += 1
        raise _tagged(self.kind(self.text), (id(self), self.raised)) from self.cause

    __index__ = __float__ = __bool__ = lambda self: self.raise_it()


class BadReturn:
    """Returns an object of the wrong type from its conversion protocols."""

    def __init__(self, result):
        self.result = result

    __index__ = __float__ = lambda self: self.result


def _numpy_bool_type():
    """A class that looks like numpy's boolean scalar type by name and module."""

    def truth(self):
        if isinstance(self.truth, RaisingHook):
            self.truth.raise_it()
        return self.truth

    def init(self, truth):
        self.truth = truth

    return type("bool_", (), {"__module__": "numpy", "__init__": init, "__bool__": truth})


NumpyBool = _numpy_bool_type()

# --- symbolic arguments ----------------------------------------------------------------------
# Strategies draw descriptions of arguments; each example builds fresh objects from them, so that
# objects tied to one test (its pipe's descriptors, recorders) can be used, and reference counts
# of objects no other example shares can be compared.


@dataclass
class Env:
    """What an example's arguments are built against."""
    fds: tuple = (-1, -1)  # descriptors the test owns: a pipe's read and write ends
    recorders: list = field(default_factory=list)
    built: list = field(default_factory=list)  # every object built, for reference counts


@dataclass(frozen=True)
class Sym:
    kind: str
    payload: object = None

    def __repr__(self):
        if self.kind == "plain":
            return repr(self.payload)
        if self.payload is None:
            return f"{self.kind}()"
        if isinstance(self.payload, tuple):
            return f"{self.kind}{self.payload!r}"
        return f"{self.kind}({self.payload!r})"

    def build(self, env):
        value = BUILDERS[self.kind](self.payload, env)
        env.built.append(value)
        return value


def _built_items(items, env):
    return [item.build(env) if isinstance(item, Sym) else item for item in items]


def _inner(inner, env):
    return inner.build(env) if isinstance(inner, Sym) else inner


def _raising(payload, env):
    kind, text, with_cause = payload
    return RaisingHook(kind, text, KeyError("cause") if with_cause else None)


BUILDERS = {
    "plain": lambda value, env: value,
    "pipe_fd": lambda end, env: env.fds[end],
    "Index": lambda inner, env: Index(_inner(inner, env)),
    "Real": lambda value, env: Real(value),
    "IndexAndReal": lambda pair, env: IndexAndReal(*pair),
    "FilenoOnly": lambda inner, env: FilenoOnly(_inner(inner, env)),
    "IntSubclass": lambda inner, env: IntSubclass(_inner(inner, env)),
    "FloatSubclass": lambda value, env: FloatSubclass(value),
    "Raising": _raising,
    "BadReturn": lambda result, env: BadReturn(result),
    "NumpyBool": lambda truth, env: NumpyBool(_raising(truth, env) if isinstance(truth, tuple)
                                              else truth),
    "tuple": lambda items, env: tuple(_built_items(items, env)),
    "TupleSubclass": lambda items, env: TupleSubclass(_built_items(items, env)),
    "list": lambda items, env: _built_items(items, env),
    "dict": lambda items, env: dict(enumerate(_built_items(items, env))),
    "Recorder": lambda _, env: env.recorders.append(Recorder()) or env.recorders[-1],
    "Context": lambda _, env: contextvars.copy_context(),
    "object": lambda _, env: object(),
    "Nested": lambda _, env: Holder.Nested(),
    "FormatLike": lambda _, env: FormatLike(),
}


def sym(kind, payload=None):
    return Sym(kind, payload)


def plain(values):
    return values.map(lambda value: Sym("plain", value))


# Text for keyword names and error messages, from a spelled-out alphabet (ASCII, quotes, format
# directives, a control character, Latin-1, combining, right-to-left, CJK, beyond the BMP), as
# hypothesis's own text strategies cache Unicode tables in a .hypothesis directory. NUL and lone
# surrogates are left out: how such text is reported is tested on its own, so that a fault there
# does not mask the other findings of every fuzzed method.
ALPHABET = "az_ Z09'\"{}%sU\\\n\x7f\xe9\xff\u0301\u05d0\u4e2d\U0001f600\U0010fffd"
FORMAT_TEXT = ["%s", "%U%d", "{}", "{0}{name}"]
SAFE_TEXT = st.lists(st.sampled_from(ALPHABET), max_size=6).map("".join) | st.sampled_from(
    FORMAT_TEXT)

EDGE_INTS = [0, 1, -1, 2, 255, 256, 2**31 - 1, 2**31, -2**31, -2**31 - 1, 2**32, 2**40,
             2**63 - 1, 2**63, -2**63, -2**63 - 1, 2**64, 2**100, -2**100]
EDGE_FLOATS = [0.0, -0.0, 0.5, -1.0, 1e-300, -1e300, 1e300, math.inf, -math.inf, math.nan,
               float(2**63), -float(2**63)]

ints = st.one_of(st.sampled_from(EDGE_INTS), st.integers())
floats = st.one_of(st.sampled_from(EDGE_FLOATS), st.floats())

ERROR_KINDS = [TypeError, SubTypeError, ValueError, OverflowError, KeyError, ZeroDivisionError,
               BoundaryError]
raising = st.tuples(st.sampled_from(ERROR_KINDS), SAFE_TEXT, st.booleans())


PIPE_END = st.sampled_from([0, 1]).map(lambda end: sym("pipe_fd", end))

# Plain objects, and objects with unusual conversion protocols; no containers.
SCALARS = st.one_of(
    plain(st.none() | st.booleans()),
    plain(ints),
    plain(floats),
    plain(SAFE_TEXT | st.binary(max_size=4)),
    PIPE_END,
    (ints | PIPE_END).map(lambda inner: sym("Index", inner)),
    floats.map(lambda x: sym("Real", x)),
    st.tuples(ints, floats).map(lambda pair: sym("IndexAndReal", pair)),
    ints.map(lambda n: sym("FilenoOnly", n)),
    ints.map(lambda n: sym("IntSubclass", n)),
    floats.map(lambda x: sym("FloatSubclass", x)),
    raising.map(lambda spec: sym("Raising", spec)),
    st.sampled_from(["3", 3.0, None, 2**70]).map(lambda result: sym("BadReturn", result)),
    (st.booleans() | raising).map(lambda truth: sym("NumpyBool", truth)),
    st.sampled_from(["Recorder", "Context", "object", "Nested", "FormatLike"]).map(sym),
)

# Any argument: scalars and small containers of them.
ANYTHING = st.one_of(
    SCALARS,
    st.tuples(st.sampled_from(["tuple", "TupleSubclass", "list", "dict"]),
              st.lists(SCALARS, max_size=3).map(tuple)).map(lambda pair: sym(*pair)),
)

_non_positive_ints = st.integers(max_value=0)
_non_positive_floats = st.floats(max_value=0.0, allow_nan=False, allow_infinity=False)

# What each conversion accepts (mostly), drawn often so that calls get past it: numbers that
# convert to a double <= 0 (a timer given one fires at once), the test's own descriptors, bools,
# tuples; and for parameters that keep any object, callbacks, None and contexts.
SUITABLE = {
    DOUBLE: st.one_of(
        plain(_non_positive_ints),
        plain(_non_positive_floats),
        plain(st.just(False)),
        _non_positive_ints.map(lambda n: sym("Index", n)),
        _non_positive_floats.map(lambda x: sym("Real", x)),
        st.tuples(ints, _non_positive_floats).map(lambda pair: sym("IndexAndReal", pair)),
        _non_positive_floats.map(lambda x: sym("FloatSubclass", x)),
        _non_positive_ints.map(lambda n: sym("IntSubclass", n)),
    ),
    FD: st.one_of(PIPE_END, PIPE_END.map(lambda inner: sym("Index", inner)),
                  PIPE_END.map(lambda inner: sym("IntSubclass", inner)),
                  # Just inside and just outside the 32-bit range: never a registered descriptor.
                  plain(st.sampled_from([2**31 - 1, 2**31, -2**31, -2**31 - 1]))),
    BOOL: st.one_of(plain(st.booleans()), st.booleans().map(lambda b: sym("NumpyBool", b))),
    TUPLE: st.tuples(st.sampled_from(["tuple", "TupleSubclass"]),
                     st.lists(ANYTHING, max_size=3).map(tuple)).map(lambda pair: sym(*pair)),
    ANY: st.one_of(st.just(sym("Recorder")), plain(st.none()), st.just(sym("Context"))),
}

# Arguments whose conversion goes wrong in unusual ways: hooks that raise, protocols that return
# the wrong type, ints beyond 32 bits or beyond a C long.
AWKWARD = st.one_of(
    raising.map(lambda spec: sym("Raising", spec)),
    st.one_of(
        # The edges of the 32-bit and C long ranges, plain and behind __index__.
        plain(st.sampled_from(EDGE_INTS)),
        raising.map(lambda spec: sym("NumpyBool", spec)),
        st.sampled_from(["3", 3.0, None, 2**70]).map(lambda result: sym("BadReturn", result)),
        st.sampled_from(EDGE_INTS).map(lambda n: sym("Index", n)),
    ),
)


def choose_argument(draw, choice, conversion):
    """An argument for a parameter of this conversion: suitable half of the time, otherwise
    awkward or anything. The choice is made with a seeded random number rather than one_of, which
    leans heavily on its first branch."""
    if conversion == ANY:
        branches, weights = [SUITABLE[ANY], ANYTHING], [1, 1]
    else:
        branches, weights = [SUITABLE[conversion], AWKWARD, ANYTHING], [5, 3, 2]
    return draw(choice.choices(branches, weights)[0])


# Keyword names a method could be given by mistake: every parameter name of any method, names
# close to them, and arbitrary text.
DECOY_KEYWORDS = sorted({name for m in VECTOR_METHODS.values() for name, _ in m.parameters}
                        | {"args", "loop", "self", "kwargs", "Fd", "fd ", "x", ""}
                        | set(FORMAT_TEXT))


@dataclass
class Call:
    """A call's shape: positional arguments, then keywords in the order given."""
    method: Method
    args: tuple
    kwargs: tuple  # (name, Sym) pairs
    via_type: bool  # CadrelLoop.method(loop, ...) rather than loop.method(...)

    def __repr__(self):
        shown = [repr(a) for a in self.args] + [f"{k}={v!r}" for k, v in self.kwargs]
        if self.method is CONSTRUCTOR:
            return f"CadrelLoop({', '.join(shown)})"
        prefix = "CadrelLoop" if self.via_type else "loop"
        return f"{prefix}.{self.method.name}({', '.join(shown)})"

    def build(self, env):
        args = tuple(a.build(env) for a in self.args)
        kwargs = {name: value.build(env) for name, value in self.kwargs}
        return args, kwargs


MISTAKES = ["extra positional", "drop positional", "drop keyword", "decoy keyword",
            "repeat by keyword"]


@st.composite
def calls(draw, method):
    """Mostly well-formed calls, often with one or two mistakes in their shape."""
    conversion = dict(method.parameters)
    choice = draw(st.randoms(use_true_random=False))
    names = [name for name, _ in method.positional]
    by_position = draw(st.integers(0, len(names)))
    optional = [name for name, _ in method.keyword_only if draw(st.booleans())]
    keywords = draw(st.permutations(names[by_position:] + optional))
    args = [choose_argument(draw, choice, conversion[name]) for name in names[:by_position]]
    if method.collects_extras and by_position == len(names):
        args += draw(st.lists(ANYTHING, max_size=3))
    kwargs = [(name, choose_argument(draw, choice, conversion[name])) for name in keywords]
    mistakes = draw(st.lists(st.sampled_from(MISTAKES), max_size=2)) if draw(st.booleans()) else []
    for mistake in mistakes:
        if mistake == "extra positional":
            # Past every positional parameter, even if some of them were to go by keyword.
            while True:
                args.append(draw(ANYTHING))
                if method.collects_extras or len(args) > len(names):
                    break
        elif mistake == "drop positional" and args:
            args.pop(draw(st.integers(0, len(args) - 1)))
        elif mistake == "drop keyword" and kwargs:
            kwargs.pop(draw(st.integers(0, len(kwargs) - 1)))
        elif mistake == "decoy keyword":
            name = draw(st.sampled_from(DECOY_KEYWORDS) | SAFE_TEXT)
            if name not in dict(kwargs):
                kwargs.insert(draw(st.integers(0, len(kwargs))),
                              (name, choose_argument(draw, choice, conversion.get(name, ANY))))
        elif mistake == "repeat by keyword" and by_position:
            name = draw(st.sampled_from(names[:by_position]))
            if name not in dict(kwargs):
                kwargs.insert(draw(st.integers(0, len(kwargs))), (name, draw(ANYTHING)))
    return Call(method, tuple(args), tuple(kwargs), draw(st.booleans()))


@st.composite
def calls_with_some_argument(draw, method):
    """Calls of random shape that give at least one argument, for methods that take none."""
    args = draw(st.lists(ANYTHING, max_size=3))
    names = draw(st.lists(st.sampled_from(DECOY_KEYWORDS) | SAFE_TEXT, unique=True,
                          min_size=0 if args else 1, max_size=3))
    kwargs = tuple((name, draw(ANYTHING)) for name in names)
    return Call(method, tuple(args), kwargs, draw(st.booleans()))
