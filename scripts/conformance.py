#!/usr/bin/env python3
"""Runs CPython's own asyncio tests on cadrelio.Loop and prints a pass table per module.

Usage: python scripts/conformance.py [--modules test_events,test_tasks] [--transports]
                                    [--details FILE] [--require PERCENT]

The interpreter running the script must have cadrelio installed and carry the
standard library's test package (Debian: libpython3.X-testsuite). Each module
runs in a child interpreter of its own under a hard timeout:

- test_events and test_sock_lowlevel: their event-loop mixins are run by a test
  class whose create_event_loop() returns cadrelio.Loop();
- every other module: asyncio's default policy is replaced by cadrelio's, so
  asyncio.new_event_loop(), asyncio.run() and IsolatedAsyncioTestCase make
  cadrelio loops;
- the transport modules (--transports: servers, streams, TLS, sendfile,
  subprocesses, Unix endpoints) also name asyncio.SelectorEventLoop where they
  mean "a Unix loop": there it makes cadrelio loops too.

Only tests that made a cadrelio loop count: a test that never made one ran on
asyncio's own TestLoop (virtual time) or tested asyncio's classes alone.
A test that fails only because it needs a transport, server, pipe or
subprocess (asyncio's base loop raises NotImplementedError for those) is listed
as deferred: those come with the native transports. Tests that inspect
asyncio's own loop internals are listed in NOT_APPLICABLE with a reason each
and are not run.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile

MODULES = [
    "test_events", "test_sock_lowlevel", "test_tasks", "test_futures", "test_futures2",
    "test_locks", "test_queues", "test_timeouts", "test_waitfor", "test_taskgroups",
    "test_runners", "test_context", "test_pep492", "test_threads",
]
# Modules that newer Pythons added.
if sys.version_info >= (3, 12):
    MODULES.append("test_eager_task_factory")
if sys.version_info >= (3, 14):
    MODULES += ["test_free_threading", "test_graph"]
# Run with --transports (make conformance runs both sets, each gated with --require 95).
TRANSPORT_MODULES = [
    "test_server", "test_streams", "test_sslproto", "test_ssl", "test_buffered_proto", "test_sendfile",
    "test_subprocess", "test_unix_events",
]

# Test name (class.method, or a method name for every class) -> why it does not apply.
NOT_APPLICABLE = {
    "test_timeout_rounding": "counts the calls of asyncio's selector (loop._selector.select)",
    "test_loop_factory_default_event_loop": "asserts that asyncio.EventLoop is asyncio's own "
                                            "selector loop class",
    "SelectorEventLoopSignalTests": "mocks the signal module inside asyncio.unix_events",
    "SelectorEventLoopUnixSockSendfileTests": "drives the selector loop's own sendfile helpers "
                                              "(_sock_sendfile_native_impl)",
    "test_create_unix_server_bind_error": "mocks the socket module inside asyncio.unix_events "
                                          "(on a real loop it binds /test)",
    "test_create_subprocess_fails_with_inactive_watcher": "asserts that asyncio's child watcher "
                                                          "refuses; cadrelio.Loop needs none",
    "test_watcher_implementation": "asserts which of asyncio's child watchers the loop holds "
                                   "(loop._watcher)",
    "test_pid_not_reaped_before_exit_published": "reads the thread table of asyncio's child "
                                                 "watcher (loop._watcher._threads)",
    "SubprocessFastWatcherTests": "installs asyncio's FastChildWatcher, which reaps every child "
                                  "of the process; cadrelio.Loop uses no child watcher",
    "test_remote_shutdown_receives_trailing_data_on_slow_socket": "reads the selector transport's "
                                                                  "_read_ready_cb and swaps its _sock",
}

# Hooks that asyncio's base loop expects a concrete loop to supply for servers; a test
# failing for want of them needs the transports still to come.
SERVER_MACHINERY = ("'_start_serving'", "'_stop_serving'")

MODULE_TIMEOUT = 1200
TEST_TIMEOUT = 120
# A test that runs away (asyncio's own loop spinning on a mocked selector, recording every
# call) fails at this much address space instead of taking the machine's memory.
CHILD_ADDRESS_SPACE = 8 << 30


# ---- child: run one module, one JSON line per test ----------------------------

def _install_our_loop(module_name):
    import asyncio
    import cadrelio

    created = [0]
    original_init = cadrelio.Loop.__init__

    def counting_init(self, *args, **kwargs):
        created[0] += 1
        original_init(self, *args, **kwargs)

    cadrelio.Loop.__init__ = counting_init
    # Tests that name their loop class directly (3.14's IsolatedAsyncioTestCase subclasses set
    # loop_factory = asyncio.EventLoop) read it when their module is imported, after this.
    if hasattr(asyncio, "EventLoop"):
        asyncio.EventLoop = cadrelio.Loop
    if module_name in TRANSPORT_MODULES:
        class SelectorNamedLoop(cadrelio.Loop):
            """cadrelio's loop under the selector loop's name; the selector argument is moot."""

            def __init__(self, selector=None):
                super().__init__()

        asyncio.SelectorEventLoop = SelectorNamedLoop
    policy = cadrelio.EventLoopPolicy
    # asyncio builds its default policy from this name whenever the policy is reset to None
    # (every asyncio test case does so in tearDown).
    asyncio.DefaultEventLoopPolicy = policy
    asyncio.events.DefaultEventLoopPolicy = policy
    # 3.14 builds it from unix_events' private name instead (the public one is deprecated).
    if hasattr(asyncio.unix_events, "_DefaultEventLoopPolicy"):
        asyncio.unix_events._DefaultEventLoopPolicy = policy
    asyncio.events._set_event_loop_policy(None) if hasattr(asyncio.events, "_set_event_loop_policy") \
        else asyncio.set_event_loop_policy(None)
    return created


def _suite_for(module_name, created):
    import importlib
    import unittest
    import cadrelio

    module = importlib.import_module(f"test.test_asyncio.{module_name}")
    loader = unittest.TestLoader()
    if module_name in ("test_events", "test_sock_lowlevel"):
        from test.test_asyncio import utils as test_utils
        if module_name == "test_events":
            mixin = getattr(module, "UnixEventLoopTestsMixin", module.EventLoopTestsMixin)
            bases = (mixin, module.SubprocessTestsMixin, test_utils.TestCase)
        else:
            bases = (module.BaseSockTestsMixin, test_utils.TestCase)
        ours = type("CadrelioLoopTests", bases, {"create_event_loop": lambda self: cadrelio.Loop(),
                                                 "__module__": module.__name__})
        return loader.loadTestsFromTestCase(ours)
    return loader.loadTestsFromModule(module)


def _error_kind(err):
    """'deferred' when the failure is asyncio's base loop refusing a transport."""
    import traceback
    exc_type, exc, tb = err
    if exc_type is AttributeError and any(name in str(exc) for name in SERVER_MACHINERY):
        return "deferred"
    if exc_type is NotImplementedError:
        frames = traceback.extract_tb(tb)
        if frames and os.sep + "asyncio" + os.sep in frames[-1].filename:
            return "deferred"
    return "error"


def child(module_name, out_path):
    import faulthandler
    import resource
    import signal
    import traceback
    import unittest

    # As from a terminal: started with SIGINT ignored (a background job of a non-interactive
    # shell, as CI may be), Python keeps it ignored, and then the runner tests that interrupt
    # themselves with _thread.interrupt_main() never end.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    resource.setrlimit(resource.RLIMIT_AS, (CHILD_ADDRESS_SPACE, CHILD_ADDRESS_SPACE))

    created = _install_our_loop(module_name)
    suite = _suite_for(module_name, created)
    # Tests that do not apply are not run: on a real loop some of them act for real (a
    # mocked socket module that is not used, say, leaves the test binding a path in /).
    # A test named alone still has its setUp and tearDown run, as they leave state (the
    # policy's "a loop was set" flag) that the next test of its class may depend on; a
    # class that does not apply is skipped whole (its setUp may install asyncio's machinery).
    def skipped_in_body():
        raise unittest.SkipTest("not applicable")

    for test in _tests_of(suite):
        if not _not_applicable_reason(test.id()):
            continue
        class_name = _short_name(test.id()).rpartition(".")[0]
        skip = unittest.skip("not applicable")(lambda: None) if class_name in NOT_APPLICABLE \
            else skipped_in_body
        setattr(test, test._testMethodName, skip)
    out = open(out_path, "a", buffering=1)

    class Recorder(unittest.TestResult):
        # Some versions report a skipped class's tests with stopTest but no startTest.
        _before = None

        def startTest(self, test):
            super().startTest(test)
            self._before = created[0]
            self._outcome = "pass"
            self._detail = ""
            faulthandler.dump_traceback_later(TEST_TIMEOUT, exit=True)
            out.write(json.dumps({"test": test.id(), "outcome": "started"}) + "\n")

        def _fail(self, err, kind):
            if self._outcome in ("pass", "deferred"):
                self._outcome = kind
                lines = traceback.format_exception_only(err[0], err[1])
                self._detail = lines[-1].strip()[:200]

        def addError(self, test, err):
            super().addError(test, err)
            self._fail(err, _error_kind(err))

        def addFailure(self, test, err):
            super().addFailure(test, err)
            self._fail(err, "fail")

        def addSubTest(self, test, subtest, err):
            super().addSubTest(test, subtest, err)
            if err is not None:
                kind = "fail" if issubclass(err[0], test.failureException) else _error_kind(err)
                self._fail(err, kind)

        def addSkip(self, test, reason):
            super().addSkip(test, reason)
            self._outcome = "skip"
            self._detail = reason

        def addUnexpectedSuccess(self, test):
            super().addUnexpectedSuccess(test)
            self._outcome = "fail"
            self._detail = "unexpected success"

        def stopTest(self, test):
            faulthandler.cancel_dump_traceback_later()
            started = self._before is not None
            ours = (started and created[0] > self._before) or bool(_not_applicable_reason(test.id()))
            out.write(json.dumps({"test": test.id(), "outcome": self._outcome if started else "skip",
                                  "ours": ours, "detail": self._detail if started else ""}) + "\n")
            self._before = None
            super().stopTest(test)

    suite.run(Recorder())
    out.close()


# ---- parent: run each module, classify, print the table -----------------------

def _short_name(test_id):
    parts = test_id.split(".")
    return ".".join(parts[-2:])


def _not_applicable_reason(test_id):
    short = _short_name(test_id)
    class_name, _, method = short.rpartition(".")
    return NOT_APPLICABLE.get(short) or NOT_APPLICABLE.get(method) or NOT_APPLICABLE.get(class_name)


def _tests_of(suite):
    import unittest
    for item in suite:
        if isinstance(item, unittest.TestSuite):
            yield from _tests_of(item)
        else:
            yield item


def run_module(module_name):
    with tempfile.NamedTemporaryFile("r", suffix=".jsonl", delete=False) as handle:
        path = handle.name
    try:
        completed = subprocess.run([sys.executable, __file__, "--child", module_name, path],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                   timeout=MODULE_TIMEOUT)
        crashed = completed.returncode != 0
        stderr_tail = completed.stderr.decode(errors="replace")[-2000:]
    except subprocess.TimeoutExpired:
        crashed, stderr_tail = True, "module timed out"
    records, started = {}, None
    with open(path) as lines:
        for line in lines:
            record = json.loads(line)
            if record["outcome"] == "started":
                started = record["test"]
            else:
                records[record["test"]] = record
                started = None
    os.unlink(path)
    if started is not None:  # the child died inside this test
        records[started] = {"test": started, "outcome": "error", "ours": True,
                            "detail": "crashed or hung: " + stderr_tail.strip().splitlines()[-1:][0]
                            if stderr_tail.strip() else "crashed or hung"}
    return records, crashed, stderr_tail


def summarise(module_name, records):
    row = {"module": module_name, "ours": 0, "pass": 0, "fail": 0, "skip": 0, "n/a": 0,
           "deferred": 0}
    failures, not_applicable, deferred = [], [], []
    for test_id, record in sorted(records.items()):
        if not record["ours"]:
            continue
        row["ours"] += 1
        reason = _not_applicable_reason(test_id)
        if reason:
            row["n/a"] += 1
            not_applicable.append((test_id, reason))
        elif record["outcome"] == "pass":
            row["pass"] += 1
        elif record["outcome"] == "skip":
            row["skip"] += 1
        elif record["outcome"] == "deferred":
            row["deferred"] += 1
            deferred.append(test_id)
        else:
            row["fail"] += 1
            failures.append((test_id, record["detail"]))
    applicable = row["pass"] + row["fail"]
    row["rate"] = 100.0 * row["pass"] / applicable if applicable else None
    return row, failures, not_applicable, deferred


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--modules", default=",".join(MODULES))
    parser.add_argument("--transports", action="store_true",
                        help="run the transport modules instead of --modules")
    parser.add_argument("--details", help="write failing, deferred and not-applicable tests here")
    parser.add_argument("--require", type=float, metavar="PERCENT",
                        help="exit 1 when a module or the total passes less than this, or a child crashed")
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(*args.child)
        return 0

    print(f"asyncio conformance of cadrelio.Loop on Python {sys.version.split()[0]}")
    header = f"{'module':<20}{'ran':>6}{'pass':>6}{'fail':>6}{'skip':>6}{'n/a':>6}{'deferred':>10}{'pass %':>9}"
    print(header)
    print("-" * len(header))
    totals = {"ours": 0, "pass": 0, "fail": 0, "skip": 0, "n/a": 0, "deferred": 0}
    details = []
    short = []
    modules = TRANSPORT_MODULES if args.transports else args.modules.split(",")
    for module_name in modules:
        records, crashed, stderr_tail = run_module(module_name)
        row, failures, not_applicable, deferred = summarise(module_name, records)
        for key in totals:
            totals[key] += row[key]
        mark = "  (child crashed)" if crashed else ""
        if crashed or (args.require is not None and row["rate"] is not None and row["rate"] < args.require):
            short.append(module_name)
        print(f"{module_name:<20}{row['ours']:>6}{row['pass']:>6}{row['fail']:>6}{row['skip']:>6}"
              f"{row['n/a']:>6}{row['deferred']:>10}{_percent(row['rate'])}{mark}", flush=True)
        details.append(f"## {module_name}")
        details += [f"FAIL {test}: {detail}" for test, detail in failures]
        details += [f"N/A  {test}: {reason}" for test, reason in not_applicable]
        details += [f"DEFERRED {test}" for test in deferred]
        if crashed:
            details.append("child stderr tail: " + stderr_tail)
    applicable = totals["pass"] + totals["fail"]
    rate = 100.0 * totals["pass"] / applicable if applicable else None
    print("-" * len(header))
    print(f"{'total':<20}{totals['ours']:>6}{totals['pass']:>6}{totals['fail']:>6}{totals['skip']:>6}"
          f"{totals['n/a']:>6}{totals['deferred']:>10}{_percent(rate)}")
    print("ran: tests that made a cadrelio loop; pass % = pass / (pass + fail), "
          "not counting skipped, not-applicable and deferred (transport) tests")
    if NOT_APPLICABLE:
        print("\nnot applicable:")
        for name, reason in sorted(NOT_APPLICABLE.items()):
            print(f"  {name}: {reason}")
    if args.details:
        with open(args.details, "w") as out:
            out.write("\n".join(details) + "\n")
    if args.require is not None:
        if rate is None or rate < args.require:
            short.append("total")
        if short:
            print(f"\nbelow {args.require:g}% or crashed: {', '.join(short)}")
            print("\n".join(line for line in details if line.startswith(("FAIL", "child stderr"))))
            return 1
    return 0


def _percent(rate):
    """A pass rate for the table; a dash where no test of ours applied."""
    return f"{rate:>8.1f}%" if rate is not None else f"{'-':>9}"


if __name__ == "__main__":
    sys.exit(main())
