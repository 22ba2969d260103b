# The class's method table: every method with its registered text signature.

# Methods the host calls with no arguments at all.
NO_ARGUMENT_SIGNATURES = {
    "get_debug": "($self)",
    "run_forever": "($self)",
    "stop": "($self)",
    "is_running": "($self)",
    "is_closed": "($self)",
    "close": "($self)",
    "time": "($self)",
}

# Methods that take their arguments as a vector with keyword names.
VECTOR_SIGNATURES = {
    "set_debug": "($self, value)",
    "create_task": "($self, coro, *, name=None, context=None)",
    "run_until_complete": "($self, future)",
    "_stop_cb": "($self, _fut)",
    "call_soon": "($self, callback, *args, context=None)",
    "call_soon_threadsafe": "($self, callback, *args, context=None)",
    "call_later": "($self, delay, callback, *args, context=None)",
    "call_at": "($self, when, callback, *args, context=None)",
    "add_reader": "($self, fd, cb, args)",
    "remove_reader": "($self, fd)",
    "add_writer": "($self, fd, cb, args)",
    "remove_writer": "($self, fd)",
}

SIGNATURES = {**NO_ARGUMENT_SIGNATURES, **VECTOR_SIGNATURES}


def bound_signature(text_signature):
    """The signature inspect reports for the bound method: the text signature without $self."""
    return text_signature.replace("$self, ", "").replace("$self", "")
