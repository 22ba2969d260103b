# The `loop` fixture of the cadrelio tests: each behavioural case runs over asyncio's own loop
# and cadrelio.Loop, and must leave neither workers nor descriptors behind.
import asyncio
import faulthandler
import gc

import pytest

import cadrelio
import probes

LOOP_FACTORIES = {
    "asyncio": asyncio.new_event_loop,
    "cadrelio": cadrelio.new_event_loop,
}


HARD_TIMEOUT = 120


@pytest.fixture(autouse=True)
def hard_timeout():
    """Ends the whole run with every thread's stack if one test hangs."""
    faulthandler.dump_traceback_later(HARD_TIMEOUT, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.fixture(params=sorted(LOOP_FACTORIES))
def loop(request):
    """A fresh loop of each kind, closed after the test; nothing of it may outlive it."""
    workers_before = probes.worker_count()
    fds_before = probes.fd_count()
    new_loop = LOOP_FACTORIES[request.param]()
    yield new_loop
    new_loop.close()
    del new_loop
    gc.collect()
    assert probes.workers_named_within(workers_before) == workers_before, "the loop's worker threads outlived close()"
    assert probes.fd_count() == fds_before, "descriptors leaked across the loop's life"


@pytest.fixture
def aio_loop():
    """A cadrelio loop for behaviour that only cadrelio has (its native core)."""
    new_loop = cadrelio.Loop()
    yield new_loop
    new_loop.close()


def run(loop, coro, timeout=30):
    """Runs `coro` on `loop` under a hard timeout."""
    return loop.run_until_complete(asyncio.wait_for(coro, timeout))
