# Stand-ins that let tests record how the loop builds and runs handles, and in which context.
import asyncio
import contextvars
from types import SimpleNamespace

# Callbacks read this to tell which context they ran in; only copies ever set it.
current_label = contextvars.ContextVar("current_label", default="outside")


def labelled_context(label):
    context = contextvars.copy_context()
    context.run(current_label.set, label)
    return context


def recording_handles(monkeypatch, class_name):
    """Puts a subclass of asyncio.<class_name> in its place that records how each is built and run.

    A generator for a fixture to yield from: the records are dropped when the fixture ends, so
    name that fixture after `loop`, as the records refer to the loop and must go before its leak
    check.
    """
    record = SimpleNamespace(built=[], ran=[])
    base = getattr(asyncio, class_name)

    class Recording(base):
        def __init__(self, *args, **kwargs):
            record.built.append((self, args, list(kwargs.items())))
            super().__init__(*args, **kwargs)

        def _run(self):
            record.ran.append(self)
            super()._run()

    # Handles put their class name in their repr, so keep the name each test file used to give it.
    Recording.__name__ = Recording.__qualname__ = "Recording" + class_name
    monkeypatch.setattr(asyncio, class_name, Recording)
    yield record
    record.built.clear()
    record.ran.clear()
