# Fixtures shared by the Python tests, with the leak checks that every test gets.
import gc
import os
import sys
import weakref

import pytest

import cadrel
import probes


def pytest_configure(config):
    config.addinivalue_line("markers", "subprocess: runs a child interpreter under a hard timeout")


def _drop_lingering_references(item):
    """Lets a finished test's objects go before a leak check counts what is left.

    pytest keeps fixture values in item.funcargs until the item is fully torn down, keeps the
    failing exception in sys.last_* (with the test's frame and its locals), and pytest.raises
    leaves frame/traceback cycles that only the collector frees.
    """
    if item.funcargs:
        item.funcargs.clear()
    for name in ("last_type", "last_value", "last_traceback"):
        if hasattr(sys, name):
            delattr(sys, name)
    gc.collect()
    # References that a thread dropped while detached from the interpreter wait on the binding's
    # pending-release list until the next call through the binding; a refused construction is
    # such a call and has no other effect.
    try:
        cadrel.CadrelLoop(None)
    except TypeError:
        pass


@pytest.fixture(autouse=True)
def no_leaked_workers(request):
    """Fails a test that leaves more "cadrel-worker" threads behind than it found."""
    before = probes.worker_count()

    def check():
        _drop_lingering_references(request.node)
        assert probes.workers_named_within(before) == before, "the test left cadrel-worker threads running"

    # A node finalizer registered first runs last, after every other fixture's teardown.
    request.node.addfinalizer(check)


@pytest.fixture(scope="session", autouse=True)
def no_workers_at_session_end():
    yield
    gc.collect()
    assert probes.workers_named_within(0) == 0, "cadrel-worker threads outlived the test session"


@pytest.fixture
def loop(request):
    """A fresh loop; once the test lets it go, its worker threads and descriptors must be gone."""
    workers_before = probes.worker_count()
    fds_before = probes.fd_count()
    new_loop = cadrel.CadrelLoop()
    ref = weakref.ref(new_loop)

    def check_released():
        _drop_lingering_references(request.node)
        assert ref() is None, "the loop is still referenced after the test"
        assert probes.workers_named_within(workers_before) == workers_before, "the loop's worker threads outlived it"
        assert probes.fd_count() == fds_before, "descriptors leaked across the loop's life"

    # Registered before pytest schedules this fixture's own teardown, so it runs after it, once
    # pytest has dropped its cached copy of the value.
    request.node.addfinalizer(check_released)
    yield new_loop
    del new_loop


@pytest.fixture
def pipe():
    """A pipe (read end, write end), closed after the test.

    Name it before `loop` in a test's parameters, so the loop and its watchers go first.
    """
    read_fd, write_fd = os.pipe()
    yield read_fd, write_fd
    os.close(read_fd)
    os.close(write_fd)
