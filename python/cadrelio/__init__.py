"""cadrelio: asyncio's event-loop API on cadrel's native runtime.

    asyncio.run(main(), loop_factory=cadrelio.new_event_loop)   # 3.12+
    cadrelio.run(main())                                        # any version
"""

from ._loop import Loop
from ._runner import new_event_loop, run

__all__ = ("Loop", "new_event_loop", "run", "EventLoopPolicy")


def __getattr__(name):
    # Built on first use: defining a policy class touches asyncio's policy
    # machinery, which 3.14 deprecates.
    if name == "EventLoopPolicy":
        from ._runner import _policy_class
        policy = _policy_class()
        globals()[name] = policy
        return policy
    raise AttributeError(f"module 'cadrelio' has no attribute {name!r}")
