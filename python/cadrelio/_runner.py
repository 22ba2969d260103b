"""Entry points: new_event_loop, run and (before 3.14) EventLoopPolicy."""

import asyncio

from ._loop import Loop

__all__ = ("new_event_loop", "run")


def new_event_loop():
    """A new cadrelio loop (use as ``loop_factory``)."""
    return Loop()


def run(main, *, debug=None):
    """Run coroutine `main` on a new cadrelio loop and return its result.

    As asyncio.run: cancels the tasks left over, shuts down asynchronous
    generators and the default executor, then closes the loop. Cannot be
    called while another loop runs in this thread.
    """
    with asyncio.Runner(debug=debug, loop_factory=new_event_loop) as runner:
        return runner.run(main)


def _policy_class():
    # The platform's default policy (on Unix it also carries the child watchers of
    # 3.11-3.13), taken by its private name: asyncio deprecates its policy system
    # from 3.14, and the public names warn there.
    base = (getattr(asyncio.unix_events, "_UnixDefaultEventLoopPolicy", None)
            if hasattr(asyncio, "unix_events") else None)
    if base is None:
        base = (getattr(asyncio.events, "_BaseDefaultEventLoopPolicy", None)
                or asyncio.events.BaseDefaultEventLoopPolicy)

    class EventLoopPolicy(base):
        """An event-loop policy whose loops are cadrelio loops (Python 3.11-3.13)."""

        def _loop_factory(self):
            return Loop()

        def __repr__(self):
            return f"<{type(self).__name__}>"

    EventLoopPolicy.__module__ = "cadrelio"
    return EventLoopPolicy
