# Soak tests: sustained load on the loop, one scenario per child interpreter (soak_scenarios.py),
# so that each one's peak memory is its own and a crash or a hang fails only that test.
#
# Excluded from the default run; run them with `-m soak`, and `-s` to see the figures. When the
# environment names a file in CADREL_SOAK_REPORT, each passing scenario appends its figures there
# as one JSON line.
import json
import os
import time

import pytest

import soak_scenarios as scenarios
from scripts import run_python

pytestmark = [pytest.mark.soak, pytest.mark.subprocess]

REPORT_VARIABLE = "CADREL_SOAK_REPORT"
MIB = 1024 * 1024
# A timer may run this much after its time while 300 threads share two processors.
LATE_BOUND = 5.0
# The queue depth past which posting threads wait for the loop thread to drain it.
BACKLOG_BOUND = 256 * 1024


def run_scenario(name, timeout):
    """Runs one scenario in a child killed after `timeout` seconds; returns its figures.

    The loop prints an exception that escapes a callback and goes on, so anything on standard
    error fails the scenario.
    """
    started = time.monotonic()
    done = run_python(f"import soak_scenarios\nsoak_scenarios.main({name!r})", timeout=timeout)
    child_seconds = time.monotonic() - started
    assert done.returncode == 0, f"child exited with {done.returncode}:\n{done.stderr}"
    assert done.stderr == ""
    figures = json.loads(done.stdout.strip().splitlines()[-1])
    figures["child_seconds"] = child_seconds
    assert not figures["stalled"], f"the run stopped making progress: {figures}"
    return figures


def assert_back_to_baseline(figures):
    """The loops were freed, their workers joined and no descriptor or thread was left behind."""
    assert figures["loops_alive_after_release"] == 0, "a loop outlived its last reference"
    assert figures["workers_before"] == 0
    assert figures["workers_after"] == 0, "cadrel-worker threads outlived their loops"
    assert figures["fds_after"] == figures["fds_before"], "descriptors leaked"
    assert figures["threads_after"] == figures["threads_before"], "threads leaked"


def report(name, figures, summary):
    """Prints one line of figures for `pytest -s` and appends them to the report file, if named."""
    line = (f"soak {name}: {summary}; peak RSS {figures['peak_rss'] / MIB:,.0f} MiB; "
            f"{figures['child_seconds']:.1f} s in the child; threads and descriptors back to "
            f"baseline")
    print(f"\n{line}")
    path = os.environ.get(REPORT_VARIABLE)
    if path:
        with open(path, "a") as out:
            out.write(json.dumps({"scenario": name, "summary": line, **figures}) + "\n")


def per_second(count, seconds):
    return f"{count / seconds:,.0f}/s"


def test_eight_threads_post_ten_million_callbacks_that_each_run_once_in_their_order():
    figures = run_scenario("callbacks", timeout=90)
    per_producer = scenarios.TOTAL_CALLBACKS // scenarios.PRODUCERS
    assert figures["posted"] == scenarios.TOTAL_CALLBACKS
    # Each producer's callbacks ran exactly as often as it posted, with no sequence number out of
    # place: together, each ran once and in its producer's order.
    assert figures["ran"] == [per_producer] * scenarios.PRODUCERS
    assert figures["out_of_order"] == 0
    assert_back_to_baseline(figures)
    # The producers outrun the loop thread, and would queue millions of callbacks (each a handle
    # and its context) if posting did not wait for a deep queue to drain: the backlog, and with it
    # the process, stays small.
    assert figures["peak_queued"] <= 2 * BACKLOG_BOUND
    assert figures["peak_rss"] <= 512 * MIB
    seconds = figures["seconds"]
    report("callbacks", figures,
           f"{figures['posted']:,} from {figures['producers']} threads in {seconds:.1f} s = "
           f"{per_second(figures['posted'], seconds)}; posting ended after "
           f"{figures['posting_seconds']:.1f} s with {figures['queued_when_posting_ended']:,} "
           f"still queued; at most {figures['peak_queued']:,} queued (sampled); "
           f"RSS after release {figures['rss_after'] / MIB:,.0f} MiB")


def test_a_hundred_loops_at_once_fire_every_timer_once_on_time_and_move_every_byte():
    figures = run_scenario("loops", timeout=180)
    rounds, loops = scenarios.ROUNDS, scenarios.LOOPS
    assert figures["errors"] == []
    assert (figures["rounds"], figures["loops_reported"]) == (rounds, rounds * loops)
    assert figures["loops_not_done"] == 0
    # Every loop existed, with its workers, at the same time as all the others.
    assert figures["peak_workers"] == loops * figures["processors"]

    assert figures["timers_fired"] == figures["timers_scheduled"]
    assert figures["timers_not_once"] == 0
    assert figures["earliest_slack"] >= 0, "a timer ran before its time on the loop's clock"
    assert figures["earliest_monotonic_slack"] >= 0, "a call_later ran before its delay"
    assert figures["latest_slack"] < LATE_BOUND

    assert figures["pongs_checked"] == figures["pongs_expected"]
    assert figures["ping_errors"] == 0
    assert figures["bulk_received"] == figures["bulk_expected"]
    assert figures["bulk_corrupt"] == 0
    assert_back_to_baseline(figures)
    seconds = figures["seconds"]
    report("loops", figures,
           f"{rounds} rounds of {loops} loops at once in {seconds:.1f} s: "
           f"{figures['timers_fired']:,} timers = {per_second(figures['timers_fired'], seconds)} "
           f"(each {figures['earliest_slack'] * 1e3:.2f} to {figures['latest_slack'] * 1e3:.0f} "
           f"ms after its time), {figures['events']:,} watcher events = "
           f"{per_second(figures['events'], seconds)}, "
           f"{figures['bulk_received'] / MIB:,.0f} MiB piped; peak {figures['peak_threads']} "
           f"threads ({figures['peak_workers']} workers)")


def test_ten_thousand_tcp_connections_echo_through_reused_descriptor_numbers():
    figures = run_scenario("connections", timeout=60)
    connections = scenarios.CONNECTIONS
    assert figures["started"] == connections
    assert figures["failed_connects"] == 0
    assert figures["bad_echoes"] == 0
    assert figures["echoed"] == connections
    assert figures["server_closed"] == connections
    assert figures["left_open"] == 0
    # Each descriptor number served ten sockets or more on average.
    assert figures["descriptor_numbers_used"] * 10 <= 2 * connections
    assert_back_to_baseline(figures)
    seconds = figures["seconds"]
    stale = figures["stale_calls"]
    report("connections", figures,
           f"{connections:,} TCP echoes, at most {figures['concurrency']} at once, in "
           f"{seconds:.1f} s = {per_second(connections, seconds)}; "
           f"{figures['descriptor_numbers_used']} descriptor numbers for {2 * connections:,} "
           f"sockets; calls after removal: "
           + ", ".join(f"{count} {watcher}" for watcher, count in stale.items())
           + f"; {figures['empty_wakes']} reader calls found nothing")
