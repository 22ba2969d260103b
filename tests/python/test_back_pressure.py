# Back-pressure on call_soon_threadsafe: threads that post faster than the loop thread runs their
# callbacks are slowed down instead of queueing without bound, and a loop that does not drain
# (blocked, or not running) never makes a posting thread hang. Each case runs in a child
# interpreter under a hard timeout, so a hang fails one test instead of the run.
import pytest

from scripts import run_json

pytestmark = pytest.mark.subprocess

# Past this many queued messages a host thread posting to a loop that another thread runs waits
# for the loop thread to drain the queue to half of it.
DEEP_QUEUE = 256 * 1024

# Shared by the children: each producer's callbacks are counted and checked for order.
ORDERED_PRODUCERS = """
import json, threading, time
import cadrel
from soak_scenarios import InOrder

def summary(counters, posted, **figures):
    return json.dumps({"ran": [c.expected for c in counters], "posted": posted,
                       "out_of_order": sum(c.misses for c in counters), **figures})
"""


def test_threads_that_outrun_the_loop_leave_a_bounded_queue_and_every_callback_in_order():
    producers, per_producer = 8, 200_000
    figures = run_json(ORDERED_PRODUCERS + f"""
loop = cadrel.CadrelLoop()
counters = [InOrder() for _ in range({producers})]
posted = [0] * {producers}
deepest = [0]
finished = threading.Event()

def produce(index):
    post, take = loop.call_soon_threadsafe, counters[index].take
    for sequence in range({per_producer}):
        post(take, sequence)
        posted[index] = sequence + 1

def sample_depth():
    # Posted and not yet run: at most what the channel holds at that moment.
    while not finished.wait(0.002):
        depth = sum(posted) - sum(c.expected for c in counters)
        deepest[0] = max(deepest[0], depth)

def coordinate():
    threads = [threading.Thread(target=produce, args=(i,)) for i in range({producers})]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    loop.call_soon_threadsafe(loop.stop)

sampler = threading.Thread(target=sample_depth)
sampler.start()
coordinator = threading.Thread(target=coordinate)
loop.call_soon(coordinator.start)
loop.run_forever()
finished.set()
sampler.join()
coordinator.join()
print(summary(counters, sum(posted), deepest=deepest[0]))
""", timeout=120)
    assert figures["posted"] == producers * per_producer
    assert figures["ran"] == [per_producer] * producers
    assert figures["out_of_order"] == 0
    # Eight posters outrun the loop thread several times over; unchecked, the queue would hold
    # most of the 1.6 million callbacks when posting ends. A quarter of the mark more covers the
    # posts that passed their check together and the sampler's coarse view.
    assert figures["deepest"] <= DEEP_QUEUE * 5 // 4


BLOCKED_ON_THE_POSTER = """
release = threading.Event()

def block_until_posted():
    # The loop thread waits for the posting thread, which posts far past the mark meanwhile.
    threading.Thread(target=post_all, args=(release.set,)).start()
    release.wait()

loop.call_soon(block_until_posted)
loop.run_forever()
"""

NOT_RUNNING = """
poster = threading.Thread(target=post_all, args=(lambda: None,))
poster.start()
poster.join()
loop.run_forever()
"""


@pytest.mark.parametrize("situation", [BLOCKED_ON_THE_POSTER, NOT_RUNNING],
                         ids=["loop-blocked-on-the-poster", "loop-not-running"])
def test_posting_past_the_mark_to_a_loop_that_does_not_drain_never_hangs(situation):
    count = DEEP_QUEUE + 65_536
    figures = run_json(ORDERED_PRODUCERS + f"""
loop = cadrel.CadrelLoop()
counters = [InOrder()]
timing = {{"longest": 0.0, "posting": 0.0}}

def post_all(then):
    post, take = loop.call_soon_threadsafe, counters[0].take
    longest = 0.0
    started = time.perf_counter()
    for sequence in range({count}):
        before = time.perf_counter()
        post(take, sequence)
        longest = max(longest, time.perf_counter() - before)
    timing["posting"] = time.perf_counter() - started
    timing["longest"] = longest
    post(loop.stop)
    then()
""" + situation + """
print(summary(counters, counters[0].expected, **timing))
""", timeout=60)
    assert figures["ran"] == [count]
    assert figures["out_of_order"] == 0
    # A post waits a few milliseconds at most, and only the first one past the mark waits for a
    # loop that consumes nothing. Waiting on every one of the 65,536 posts past the mark would
    # take minutes (the child's timeout fails the test first).
    assert figures["longest"] < 1.0
    assert figures["posting"] < 30.0
