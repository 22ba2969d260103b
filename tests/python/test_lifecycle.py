# A loop's worker threads and resources: started by construction, gone when the loop is released.
import gc
import threading
import weakref

import pytest

import probes
from cadrel import CadrelLoop
from scripts import run_json


def test_construction_starts_one_named_worker_per_processor():
    workers, threads = probes.worker_count(), probes.thread_count()
    loop = CadrelLoop()
    assert probes.thread_count() - threads == probes.processor_count()
    # Every thread the loop started carries the worker name.
    expected = workers + probes.processor_count()
    assert probes.workers_named_within(expected) == expected
    del loop
    assert probes.workers_named_within(workers) == workers
    assert probes.thread_count() == threads


def test_each_loop_has_its_own_workers():
    workers = probes.worker_count()
    first, second = CadrelLoop(), CadrelLoop()
    expected = workers + 2 * probes.processor_count()
    assert probes.workers_named_within(expected) == expected
    del first
    assert probes.workers_named_within(expected - probes.processor_count()) - workers == probes.processor_count()
    del second
    assert probes.workers_named_within(workers) == workers


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1})])
def test_refused_construction_leaves_no_threads(args, kwargs):
    threads = probes.thread_count()
    with pytest.raises(TypeError):
        CadrelLoop(*args, **kwargs)
    assert probes.thread_count() == threads


def test_weak_references_are_cleared_after_the_workers_are_joined():
    threads = probes.thread_count()
    seen = []
    loop = CadrelLoop()
    # A joined worker may still be listed for a moment, so the callback polls (bounded).
    ref = weakref.ref(loop, lambda _: seen.append(probes.threads_within(threads)))
    del loop
    assert ref() is None
    assert seen == [threads]


def test_subclass_instance_release_joins_workers():
    class Subclass(CadrelLoop):
        pass

    threads = probes.thread_count()
    loop = Subclass()
    loop.payload = [1, 2, 3]
    assert probes.thread_count() - threads == probes.processor_count()
    del loop
    assert probes.threads_within(threads) == threads


def test_release_on_another_thread_joins_there():
    threads = probes.thread_count()
    holder = [CadrelLoop()]
    after_release = []

    def release():
        holder.pop()
        # Only this releasing thread remains beyond those there before the loop.
        after_release.append(probes.threads_within(threads + 1) - 1)

    releaser = threading.Thread(target=release)
    releaser.start()
    releaser.join(timeout=60)
    assert not releaser.is_alive()
    assert after_release == [threads]


def test_many_loops_leak_nothing():
    for _ in range(20):  # let the allocator and the thread stacks reach their steady size
        CadrelLoop()
    gc.collect()
    threads, fds, rss = probes.thread_count(), probes.fd_count(), probes.rss_bytes()
    for _ in range(1000):
        CadrelLoop()
    assert probes.threads_within(threads) == threads
    assert probes.fd_count() == fds
    assert probes.rss_bytes() - rss < 20 * 1024 * 1024


@pytest.mark.subprocess
def test_worker_count_follows_the_affinity_mask():
    result = run_json("""
        import json, os
        import cadrel, probes
        os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
        loop = cadrel.CadrelLoop()
        print(json.dumps(probes.workers_named_within(1)))
    """)
    assert result == 1


@pytest.mark.subprocess
def test_runtime_that_cannot_be_built_raises_runtime_error():
    result = run_json("""
        import errno, json, os, resource
        import cadrel, probes
        threads_before = probes.thread_count()
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        # With a limit of zero no new descriptor can be opened; those already open stay usable.
        resource.setrlimit(resource.RLIMIT_NOFILE, (0, hard))
        try:
            cadrel.CadrelLoop()
        except BaseException as error:
            outcome = [type(error).__name__, str(error)]
        else:
            outcome = ["no error", ""]
        finally:
            resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
        threads_after = probes.thread_count()
        # The failure left nothing behind that stops a later loop.
        later = cadrel.CadrelLoop()
        workers = probes.workers_named_within(probes.processor_count())
        del later
        print(json.dumps({
            "outcome": outcome,
            "expected": f"{os.strerror(errno.EMFILE)} (os error {errno.EMFILE})",
            "threads_before": threads_before, "threads_after": threads_after,
            "workers_later": workers, "processors": probes.processor_count(),
        }))
    """)
    assert result["outcome"] == ["RuntimeError", result["expected"]]
    assert result["threads_after"] == result["threads_before"]
    assert result["workers_later"] == result["processors"]
