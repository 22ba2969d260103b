# The class CadrelLoop as the host sees it: identity, method table and instance layout.
import gc
import inspect
import weakref

import pytest

from cadrel import CadrelLoop
from methods import SIGNATURES, bound_signature

TPFLAGS_IMMUTABLETYPE = 1 << 8
TPFLAGS_HEAPTYPE = 1 << 9
TPFLAGS_BASETYPE = 1 << 10
TPFLAGS_HAVE_GC = 1 << 14


def test_class_identity():
    assert CadrelLoop.__name__ == "CadrelLoop"
    assert CadrelLoop.__qualname__ == "CadrelLoop"
    assert CadrelLoop.__module__ == "builtins"
    assert CadrelLoop.__bases__ == (object,)
    assert type(CadrelLoop) is type
    assert CadrelLoop.__text_signature__ == "()"
    assert str(inspect.signature(CadrelLoop)) == "()"
    # The type's docstring is the signature alone. A type made by PyType_FromSpec reports
    # an empty body as "" rather than None, so both mean "no documentation".
    assert CadrelLoop.__doc__ in (None, "")


def test_type_flags():
    flags = CadrelLoop.__flags__
    assert flags & TPFLAGS_HEAPTYPE
    assert flags & TPFLAGS_BASETYPE
    assert not flags & TPFLAGS_HAVE_GC
    assert not flags & TPFLAGS_IMMUTABLETYPE
    assert CadrelLoop.__weakrefoffset__ > 0
    assert CadrelLoop.__dictoffset__ == 0


def test_class_defines_exactly_the_nineteen_methods():
    own = vars(CadrelLoop)
    public = {name for name in own if not (name.startswith("__") and name.endswith("__"))}
    assert public == set(SIGNATURES)
    assert len(SIGNATURES) == 19
    # Besides the methods, only what type creation itself adds; no properties, no instance dict.
    dunders = set(own) - public
    assert dunders <= {"__new__", "__doc__", "__module__", "__weakref__"}


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_method_signature_and_doc(name, loop):
    descriptor = vars(CadrelLoop)[name]
    assert type(descriptor).__name__ == "method_descriptor"
    assert descriptor.__text_signature__ == SIGNATURES[name]
    assert descriptor.__doc__ is None
    assert str(inspect.signature(getattr(loop, name))) == bound_signature(SIGNATURES[name])


def test_create_task_signature_kinds():
    params = inspect.signature(CadrelLoop.create_task).parameters
    kinds = {name: (p.kind, p.default) for name, p in params.items()}
    assert kinds == {
        "self": (inspect.Parameter.POSITIONAL_ONLY, inspect.Parameter.empty),
        "coro": (inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.empty),
        "name": (inspect.Parameter.KEYWORD_ONLY, None),
        "context": (inspect.Parameter.KEYWORD_ONLY, None),
    }


def test_instance_takes_weak_references_but_no_attributes(loop):
    assert not hasattr(loop, "__dict__")
    with pytest.raises(AttributeError):
        loop.foo = 1
    assert not gc.is_tracked(loop)
    ref = weakref.ref(loop)
    assert ref() is loop
    assert weakref.getweakrefcount(loop) == 1


def test_host_subclass_gets_attributes_and_the_methods():
    class Subclass(CadrelLoop):
        pass

    loop = Subclass()
    loop.tag = "mine"
    assert vars(loop) == {"tag": "mine"}
    assert isinstance(loop, CadrelLoop)
    assert loop.get_debug() is False
    loop.set_debug(True)
    assert loop.get_debug() is True
    assert weakref.ref(loop)() is loop
    with pytest.raises(TypeError) as refused:
        Subclass(1)
    assert str(refused.value) == "CadrelLoop.__new__() takes 0 positional arguments but 1 was given"

