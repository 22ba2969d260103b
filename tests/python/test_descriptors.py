# add_reader, add_writer, remove_reader and remove_writer: watchers, their callbacks and their limits.
#
# A watcher holds its callback, so a callback that referred to the loop would keep the loop alive
# (the loop takes no part in cyclic garbage collection); callbacks here never refer to their loop.
# Readiness is edge-triggered and shared by a descriptor's reader and writer, so a callback may
# be called once more than the bytes alone explain; callbacks that read tolerate BlockingIOError,
# and exact counts are asserted only on descriptors where nothing else happens.
import gc
import json
import os
import re
import socket
import sys
import threading
import time

import pytest

import probes
from bodies import call_on_thread, drain, run_until_stopped, watchdog
from socket_pairs import nonblocking_pair
from scripts import run_json, run_python

DIRECTIONS = ["reader", "writer"]
# Long enough for a watcher that should stay quiet to have posted, had it been going to.
QUIET = 0.3
OUT_OF_32_BITS = "out of range integral type conversion attempted"


class Recorder:
    """A callback that records its arguments and thread, and optionally reads what is waiting."""

    def __init__(self, reads=None):
        self.calls = []
        self.threads = set()
        self.reads = reads

    def __call__(self, *args):
        self.calls.append(args)
        self.threads.add(threading.current_thread().name)
        if self.reads is not None:
            try:
                self.reads.recv(65536)
            except BlockingIOError:  # a wake shared with the other direction
                pass

    @property
    def count(self):
        return len(self.calls)

    def reached(self, count):
        return lambda: len(self.calls) >= count


@pytest.fixture
def sockets():
    """A connected pair of non-blocking stream sockets (watched end, peer), closed after the test.

    Name it before `loop` in a test's parameters, so the loop and its watchers go first.
    """
    with nonblocking_pair() as pair:
        yield pair


def add(loop, direction, fd, cb, args=()):
    return getattr(loop, f"add_{direction}")(fd, cb, args)


def remove(loop, direction, fd):
    return getattr(loop, f"remove_{direction}")(fd)


def run_for(loop, seconds):
    """Runs the loop on this thread for about `seconds`."""
    with watchdog(loop):
        loop.call_later(seconds, loop.stop)
        loop.run_forever()


def run_once(loop):
    """One run that handles everything posted so far."""
    loop.stop()
    run_until_stopped(loop)


def settle(seconds=QUIET):
    """Lets the workers post whatever they are going to, without running the loop."""
    time.sleep(seconds)


def fill_send_buffer(sock):
    """Writes until the socket refuses more; returns the byte count."""
    total, chunk = 0, b"x" * 65536
    while True:
        try:
            total += sock.send(chunk)
        except BlockingIOError:
            return total


def drain_socket(sock):
    """Reads until nothing is left (blocking reads would wait for the peer)."""
    total = 0
    while True:
        try:
            data = sock.recv(1 << 20)
        except BlockingIOError:
            return total
        if not data:
            return total
        total += len(data)


def flush_deferred_releases(loop):
    """References that workers dropped wait for the next entry into the binding; this is one."""
    loop.is_closed()


class Posts:
    """The arguments tuple of one watcher, and a wait for the watcher to post.

    A message shares the watcher's callback and tuple without a host reference of its own, so
    the host cannot count the messages that wait: `wait_for` gives the watcher a generous pause
    to post, and the run that follows counts the calls. The tuple's reference count still shows
    that no message keeps a reference: it is built here and shared with nothing else.
    """

    def __init__(self, *items):
        self.args = (*items, object())
        self.held = None

    def _references(self):
        return sys.getrefcount(self.args)

    def watched(self):
        """Takes the baseline; call it once the watcher holds the tuple."""
        self.held = self._references()

    @property
    def waiting(self):
        """References to the tuple taken since the baseline: none, whatever was posted."""
        return self._references() - self.held

    def wait_for(self, count):
        """Gives the watcher time to post its message for the latest event."""
        time.sleep(0.3)
        assert self.waiting == 0, f"a message took a reference of its own ({count} posted)"


# --- one call per kernel event ------------------------------------------------------------------

def test_unread_input_gives_no_second_call_and_new_input_gives_one(sockets, loop):
    local, peer = sockets
    reader = Recorder()  # never reads
    assert loop.add_reader(local.fileno(), reader, ()) is None
    settle(0.1)  # the watcher registers before the first byte
    peer.send(b"a")
    drain(loop, reader.reached(1))
    assert reader.calls == [()]
    run_for(loop, QUIET)
    assert reader.count == 1, "called again for a byte left unread"

    peer.send(b"b")
    drain(loop, reader.reached(2))
    run_for(loop, QUIET)
    assert reader.count == 2
    assert local.recv(16) == b"ab", "the loop read from the descriptor"


def test_each_event_posts_one_message_without_waiting_for_the_loop(sockets, loop):
    local, peer = sockets
    reader = Recorder()
    posts = Posts("r")
    loop.add_reader(local.fileno(), reader, posts.args)
    posts.watched()
    settle(0.1)  # the watcher registers before the first byte
    for posted in range(1, 4):
        peer.send(b"x")
        posts.wait_for(posted)
    assert reader.count == 0  # nothing runs until the loop does
    loop.stop()
    with watchdog(loop):
        loop.run_forever()
    assert reader.calls == [posts.args] * 3
    run_for(loop, QUIET)
    assert reader.count == 3


def test_a_writer_on_an_empty_send_buffer_is_called_once_not_in_a_loop(sockets, loop):
    local, _ = sockets
    writer = Recorder()
    loop.add_writer(local.fileno(), writer, ())
    drain(loop, writer.reached(1))
    run_for(loop, 1.0)
    assert writer.count == 1


def test_a_writer_is_called_again_when_a_full_buffer_drains(sockets, loop):
    local, peer = sockets
    fill_send_buffer(local)
    writer = Recorder()
    loop.add_writer(local.fileno(), writer, ())
    run_for(loop, QUIET)
    assert writer.count == 0, "called while the send buffer was full"
    drain_socket(peer)
    drain(loop, writer.reached(1))


class TupleSubclass(tuple):
    pass


@pytest.mark.parametrize("direction", DIRECTIONS)
@pytest.mark.parametrize("args, expected", [
    ((), ()),
    ((1, 2), (1, 2)),
    (TupleSubclass((1, 2)), (1, 2)),
    (("only",), ("only",)),
], ids=["empty", "pair", "tuple-subclass", "one"])
def test_the_callback_gets_the_tuples_items_as_positional_arguments(sockets, loop, direction, args,
                                                                    expected):
    local, peer = sockets
    recorder = Recorder()
    add(loop, direction, local.fileno(), recorder, args)
    peer.send(b"x")
    drain(loop, recorder.reached(1))
    assert recorder.calls[0] == expected


def test_a_message_carries_the_very_arguments_tuple_not_a_copy(sockets, loop):
    local, peer = sockets
    posts = Posts([])
    recorder = Recorder()
    loop.add_reader(local.fileno(), recorder, posts.args)
    posts.watched()
    settle(0.1)
    peer.send(b"x")
    posts.wait_for(1)  # the message holds a reference to this very tuple
    drain(loop, recorder.reached(1))
    assert recorder.calls[0] == posts.args
    assert recorder.calls[0][0] is posts.args[0]
    flush_deferred_releases(loop)
    assert posts.waiting == 0, "the message's reference was not released"


def test_keyword_arguments_name_the_same_watcher(sockets, loop):
    local, peer = sockets
    # It reads what arrived, so that one byte is one readiness however the runs fall.
    reader = Recorder(reads=local)
    loop.add_reader(fd=local.fileno(), cb=reader, args=(7,))
    peer.send(b"x")
    drain(loop, reader.reached(1))
    # The byte's arrival may race the registration and be reported twice; every
    # report carries the arguments given by keyword.
    assert set(reader.calls) == {(7,)}
    loop.remove_reader(fd=local.fileno())
    settle(0.1)
    run_once(loop)  # what was posted before the removal still runs
    count = reader.count
    peer.send(b"y")
    run_for(loop, QUIET)
    assert reader.count == count


def test_a_callback_that_raises_is_called_again_for_the_next_event(sockets, loop, capfd):
    local, peer = sockets
    calls = []

    def failing():
        calls.append(None)
        raise ValueError("watched callback failed")

    loop.add_reader(local.fileno(), failing, ())
    peer.send(b"a")
    drain(loop, lambda: len(calls) == 1)
    peer.send(b"b")
    drain(loop, lambda: len(calls) == 2)
    assert capfd.readouterr().err.count("ValueError: watched callback failed") == 2


# --- where and when callbacks run ------------------------------------------------------------------

def test_watchers_added_while_the_loop_is_not_running_fire_at_the_next_run(sockets, loop):
    local, peer = sockets
    reader, writer = Recorder(), Recorder()
    reader_posts, writer_posts = Posts("r"), Posts("w")
    loop.add_reader(local.fileno(), reader, reader_posts.args)
    loop.add_writer(peer.fileno(), writer, writer_posts.args)
    reader_posts.watched()
    writer_posts.watched()
    writer_posts.wait_for(1)  # the writer is told at once that the socket is writable
    reader_posts.wait_for(0)
    peer.send(b"x")
    reader_posts.wait_for(1)
    assert (reader.count, writer.count) == (0, 0)
    loop.stop()
    with watchdog(loop):
        loop.run_forever()  # one run: what was posted before the stop runs in it
    assert (reader.calls, writer.calls) == ([reader_posts.args], [writer_posts.args])


def test_watchers_added_and_removed_from_another_thread_work_the_same(sockets, loop):
    local, peer = sockets
    reader = Recorder(reads=local)
    assert call_on_thread(lambda: loop.add_reader(local.fileno(), reader, ())) is None
    peer.send(b"x")
    drain(loop, reader.reached(1))
    # Callbacks run on the loop thread (drain's runner), never on the adding thread or a worker.
    assert reader.threads == {"test-loop-runner"}

    assert call_on_thread(lambda: loop.remove_reader(local.fileno())) is None
    settle(0.1)
    run_once(loop)  # what was posted before the removal still runs
    count = reader.count
    peer.send(b"y")
    run_for(loop, QUIET)
    assert reader.count == count


def test_callbacks_posted_before_removal_still_run(sockets, loop):
    local, peer = sockets
    reader = Recorder()
    posts = Posts()
    loop.add_reader(local.fileno(), reader, posts.args)
    posts.watched()
    settle(0.1)
    peer.send(b"x")
    posts.wait_for(1)  # posted, not yet run
    loop.remove_reader(local.fileno())
    assert reader.count == 0
    loop.stop()
    with watchdog(loop):
        loop.run_forever()
    assert reader.calls == [posts.args]
    peer.send(b"y")
    run_for(loop, QUIET)
    assert reader.count == 1


# --- removal ------------------------------------------------------------------------------------

@pytest.mark.parametrize("direction", DIRECTIONS)
def test_removing_twice_is_harmless_and_leaves_the_descriptor_open_and_usable(sockets, loop,
                                                                            direction):
    local, peer = sockets
    recorder = Recorder()
    add(loop, direction, local.fileno(), recorder)
    if direction == "reader":
        peer.send(b"x")
    drain(loop, recorder.reached(1))
    assert remove(loop, direction, local.fileno()) is None
    assert remove(loop, direction, local.fileno()) is None
    other = "writer" if direction == "reader" else "reader"
    assert remove(loop, other, local.fileno()) is None  # never had one

    os.fstat(local.fileno())
    count = recorder.count
    local.send(b"ping")
    assert peer.recv(16) == b"ping"
    peer.send(b"pong")
    run_for(loop, QUIET)
    assert recorder.count == count, "called after removal"
    assert local.recv(16).endswith(b"pong")


@pytest.mark.parametrize("direction", DIRECTIONS)
def test_removing_a_descriptor_that_was_never_watched_returns_none(loop, direction):
    assert remove(loop, direction, 12345) is None
    assert remove(loop, direction, -1) is None


# --- a reader and a writer on one descriptor ------------------------------------------------------

def test_a_reader_and_a_writer_on_one_descriptor_both_work(sockets, loop):
    local, peer = sockets
    reader, writer = Recorder(reads=local), Recorder()
    loop.add_reader(local.fileno(), reader, ("r",))
    loop.add_writer(local.fileno(), writer, ("w",))
    peer.send(b"x")
    drain(loop, lambda: reader.count >= 1 and writer.count >= 1)
    assert set(reader.calls) == {("r",)} and set(writer.calls) == {("w",)}

    # Either one's removal leaves the other's interest in place.
    loop.remove_writer(local.fileno())
    settle(0.1)
    reads = reader.count
    peer.send(b"y")
    drain(loop, reader.reached(reads + 1))

    loop.add_writer(local.fileno(), writer, ("w",))
    loop.remove_reader(local.fileno())
    fill_send_buffer(local)
    settle(0.1)
    run_once(loop)
    writes = writer.count
    drain_socket(peer)
    drain(loop, writer.reached(writes + 1))


# --- replacement ----------------------------------------------------------------------------------

@pytest.mark.parametrize("direction", DIRECTIONS)
def test_adding_again_replaces_the_callback_and_the_new_one_keeps_working(sockets, loop, direction):
    local, peer = sockets
    old, new = Recorder(), Recorder(reads=local)
    add(loop, direction, local.fileno(), old, ("old",))
    # A watcher that is in the middle of a pass when it is replaced still posts that pass, so
    # replace it once it is quiet.
    settle(0.1)
    run_once(loop)
    old_calls = old.count
    add(loop, direction, local.fileno(), new, ("new",))
    if direction == "writer":
        drain(loop, new.reached(1))
        fill_send_buffer(local)
        settle(0.1)
        calls = new.count
        drain_socket(peer)
        drain(loop, new.reached(calls + 1))
    else:
        for round_ in range(1, 4):
            peer.send(b"x")
            drain(loop, new.reached(round_))
    run_for(loop, QUIET)
    assert old.count == old_calls
    assert set(new.calls) == {("new",)}


def test_many_replacements_in_a_row_leave_exactly_the_last_watcher(sockets, loop):
    local, peer = sockets
    replaced = Recorder()
    for i in range(200):
        loop.add_reader(local.fileno(), replaced, (i,))
    last = Recorder(reads=local)
    loop.add_reader(local.fileno(), last, ("last",))
    settle(0.1)
    for round_ in range(1, 3):
        peer.send(b"x")
        drain(loop, last.reached(round_))
    run_for(loop, QUIET)
    assert replaced.count == 0


def test_a_replacement_reports_input_that_is_already_waiting(sockets, loop):
    local, peer = sockets
    first, second = Recorder(), Recorder()
    loop.add_reader(local.fileno(), first, ())
    peer.send(b"x")
    drain(loop, first.reached(1))
    # The byte is still unread: the successor is told without any new activity.
    loop.add_reader(local.fileno(), second, ())
    drain(loop, second.reached(1))
    # The byte may have been reported twice while the first watcher registered
    # (its arrival raced the registration), so count the first one's calls from
    # here: new input goes to the successor alone.
    calls = first.count
    peer.send(b"y")
    drain(loop, second.reached(2))
    assert first.count == calls


def test_replacing_the_reader_does_not_disturb_the_writer(sockets, loop):
    local, peer = sockets
    writer = Recorder()
    loop.add_writer(local.fileno(), writer, ())
    drain(loop, writer.reached(1))
    for _ in range(20):
        loop.add_reader(local.fileno(), Recorder(), ())
    loop.remove_reader(local.fileno())
    settle(0.1)
    fill_send_buffer(local)
    settle(0.1)
    run_once(loop)
    writes = writer.count
    drain_socket(peer)
    drain(loop, writer.reached(writes + 1))


@pytest.mark.parametrize("writer_holds_on", [False, True], ids=["alone", "writer-holds-on"])
def test_a_reused_descriptor_number_is_watched_again(loop, writer_holds_on):
    old_local, old_peer = socket.socketpair()
    number = old_local.fileno()
    stale = Recorder()
    loop.add_reader(number, stale, ())
    if writer_holds_on:
        # The writer of the number keeps the old registration held, so the new reader joins it.
        # It stays the number's writer, so it may well be called for the new socket.
        loop.add_writer(number, Recorder(), ())
    settle(0.1)  # the old watchers hold their registration
    run_once(loop)
    old_local.close()  # without removal: the kernel drops the closed file from the epoll set
    old_peer.close()

    new_pair = socket.socketpair()
    try:
        by_number = {s.fileno(): s for s in new_pair}
        assert number in by_number, "the closed number was not reused"
        watched = by_number[number]
        peer = next(s for s in new_pair if s is not watched)
        watched.setblocking(False)
        fresh = Recorder(reads=watched)
        loop.add_reader(number, fresh, ())
        peer.send(b"x")
        drain(loop, fresh.reached(1))
        # Once the predecessors let go, their release must not remove the new interest.
        if writer_holds_on:
            loop.remove_writer(number)
        settle()
        for _ in range(2):
            calls = fresh.count
            peer.send(b"x")
            drain(loop, fresh.reached(calls + 1))
        assert stale.count == 0
        loop.remove_reader(number)
    finally:
        for sock in new_pair:
            sock.close()


@pytest.mark.parametrize("reuse_number", [False, True], ids=["number-free", "number-reused"])
def test_a_watched_number_closed_while_a_dup_keeps_its_file_open_reports_nothing_more(loop,
                                                                                     reuse_number):
    # The kernel keeps the closed number's epoll entry while the dup holds the file open, and no
    # removal can name it any more: its events must reach neither the released watcher (nor its
    # freed memory) nor a new watcher of the reused number.
    old_local, old_peer = socket.socketpair()
    old_peer.setblocking(False)
    number = old_local.fileno()
    duplicate = os.dup(number)
    new_pair = ()
    try:
        stale = Recorder()
        loop.add_reader(number, stale, ())
        settle(0.1)
        run_once(loop)
        old_local.close()
        assert loop.remove_reader(number) is None
        settle(0.1)  # a worker's next wait frees the released registration
        fresh = None
        if reuse_number:
            new_pair = socket.socketpair()
            by_number = {s.fileno(): s for s in new_pair}
            assert number in by_number, "the closed number was not reused"
            watched = by_number[number]
            watched.setblocking(False)
            fresh = Recorder(reads=watched)
            loop.add_reader(number, fresh, ())
        for _ in range(3):
            old_peer.send(b"x")  # input for the old file, which the dup keeps open
            settle(0.05)
        run_for(loop, QUIET)
        assert stale.count == 0
        if fresh is not None:
            assert fresh.count == 0, "the old file's input reached the new watcher"
            peer = next(s for s in new_pair if s is not watched)
            peer.send(b"x")
            drain(loop, fresh.reached(1))
            loop.remove_reader(number)
    finally:
        for sock in new_pair:
            sock.close()
        os.close(duplicate)
        old_peer.close()


# --- final closed states ----------------------------------------------------------------------------

@pytest.mark.parametrize("direction", DIRECTIONS)
def test_a_peer_hang_up_is_reported_without_spinning_and_removal_ends_it(loop, direction):
    local, peer = socket.socketpair()  # not the fixture's: the peer closes during the test
    try:
        recorder = Recorder()  # never reads: the end of input stays pending
        add(loop, direction, local.fileno(), recorder)
        if direction == "writer":
            drain(loop, recorder.reached(1))
        settle(0.1)
        before = recorder.count
        peer.close()
        drain(loop, recorder.reached(before + 1))

        cpu_before, wall_before = time.process_time(), time.monotonic()
        run_for(loop, 0.5)
        cpu, wall = time.process_time() - cpu_before, time.monotonic() - wall_before
        assert recorder.count <= before + 3, f"{recorder.count - before} calls for one hang-up"
        assert cpu < wall / 2, f"{cpu:.2f} s of processor time in {wall:.2f} s: a watcher spins"

        assert remove(loop, direction, local.fileno()) is None
        run_once(loop)  # whatever was posted before the removal
        count = recorder.count
        run_for(loop, QUIET)
        assert recorder.count == count
    finally:
        local.close()
        peer.close()


# --- bad input ------------------------------------------------------------------------------------

def refusals(loop, fd):
    """The refused calls, each with the exception class and the message (or pattern) it raises."""
    with socket.socket() as sock:
        yield lambda cb: loop.add_reader(fd, cb, [1]), TypeError, \
            "argument 'args': 'list' object cannot be cast as 'tuple'"
        yield lambda cb: loop.add_writer(fd, cb, [1]), TypeError, \
            "argument 'args': 'list' object cannot be cast as 'tuple'"
        yield lambda cb: loop.add_reader(sock, cb, ()), TypeError, \
            "argument 'fd': 'socket' object cannot be interpreted as an integer"
        yield lambda cb: loop.add_reader(2**31, cb, ()), OverflowError, OUT_OF_32_BITS
        yield lambda cb: loop.add_writer(-2**31 - 1, cb, ()), OverflowError, OUT_OF_32_BITS
        yield lambda cb: loop.remove_reader(2**31), OverflowError, OUT_OF_32_BITS
        yield lambda cb: loop.remove_reader(sock), TypeError, re.compile(r"argument 'fd': ")


def test_refused_calls_register_nothing_and_cancel_nothing(sockets, loop):
    local, peer = sockets
    reader, writer = Recorder(reads=local), Recorder()
    loop.add_reader(local.fileno(), reader, ())
    loop.add_writer(local.fileno(), writer, ())
    drain(loop, writer.reached(1))
    refused_cb = Recorder()
    refs_before = sys.getrefcount(refused_cb)

    for call, error, message in refusals(loop, local.fileno()):
        with pytest.raises(error) as raised:
            call(refused_cb)
        assert type(raised.value) is error
        if isinstance(message, str):
            assert str(raised.value) == message
        else:
            assert message.match(str(raised.value)), str(raised.value)
    del raised
    gc.collect()
    assert sys.getrefcount(refused_cb) == refs_before, "a refused call kept the callback"

    # The earlier watchers of the descriptor are untouched.
    peer.send(b"x")
    drain(loop, reader.reached(1))
    fill_send_buffer(local)
    settle(0.1)
    run_once(loop)
    writes = writer.count
    drain_socket(peer)
    drain(loop, writer.reached(writes + 1))
    assert refused_cb.count == 0


def test_any_object_is_accepted_as_the_callback(sockets, loop, capfd):
    local, peer = sockets
    assert loop.add_reader(local.fileno(), 42, ()) is None
    peer.send(b"x")
    later = Recorder()
    drain(loop, lambda: "not callable" in capfd.readouterr().err)
    loop.call_soon(later)  # the run went on after the failed call
    drain(loop, later.reached(1))


# --- refusals by the kernel (standard error of a child interpreter) -------------------------------

REFUSED_CHILD = """
    import json, os, tempfile, time, cadrel

    loop = cadrel.CadrelLoop()
    calls = []
    add = getattr(loop, "add_{direction}")
    remove = getattr(loop, "remove_{direction}")
    regular = tempfile.TemporaryFile()
    results = [add(-1, calls.append, (1,)), add(regular.fileno(), calls.append, (2,))]
    for _ in range(2):
        time.sleep(0.25)
        loop.stop()
        loop.run_forever()
    results += [remove(-1), remove(regular.fileno()), remove(-1)]
    os.fstat(regular.fileno())  # still open
    print(json.dumps({{"file": regular.fileno(), "calls": calls, "results": results}}))
    regular.close()
"""


@pytest.mark.subprocess
@pytest.mark.parametrize("direction", DIRECTIONS)
def test_refused_descriptors_are_reported_on_standard_error_and_never_called(direction):
    done = run_python(REFUSED_CHILD.format(direction=direction), timeout=60)
    assert done.returncode == 0, done.stderr
    outcome = json.loads(done.stdout.strip().splitlines()[-1])
    assert outcome["calls"] == []
    assert outcome["results"] == [None] * 5
    lines = sorted(done.stderr.splitlines())
    assert lines == sorted([
        "Failed to register FD -1: Bad file descriptor (os error 9)",
        f"Failed to register FD {outcome['file']}: Operation not permitted (os error 1)",
    ])


# --- release of a loop while watchers are busy ------------------------------------------------------

RELEASE_DURING_FLOOD = """
    import gc, socket, threading, time, weakref, cadrel

    local, peer = socket.socketpair()
    local.setblocking(False)
    peer.setblocking(False)
    stop = threading.Event()

    def flood():
        while not stop.is_set():
            try:
                peer.send(b"x" * 512)
            except BlockingIOError:
                time.sleep(0.0005)

    def consume():
        try:
            local.recv(1 << 20)
        except BlockingIOError:
            pass

    flooder = threading.Thread(target=flood)
    flooder.start()
    for round_ in range(30):
        loop = cadrel.CadrelLoop()
        loop.add_reader(local.fileno(), consume, ())
        loop.add_writer(local.fileno(), int, ())
        if round_ % 3:
            loop.stop()
            loop.run_forever()  # one run, then the release with messages queued
        else:
            time.sleep(0.01)  # never ran: the channel fills while the release begins
        ref = weakref.ref(loop)
        del loop
        gc.collect()
        assert ref() is None
    stop.set()
    flooder.join()
    print("done")
"""


@pytest.mark.subprocess
def test_releasing_a_loop_while_a_peer_floods_its_descriptor_neither_crashes_nor_hangs():
    done = run_python(RELEASE_DURING_FLOOD, timeout=90)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["done"]
    assert "panicked" not in done.stderr, done.stderr


FINALIZING_CHILD = """
    import ctypes, os, signal, time, cadrel

    loop = cadrel.CadrelLoop()
    if {leak}:
        # Kept alive on purpose: its workers outlive the interpreter's finalization.
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(loop))
    # A bare pipe: no file object that finalization could close under the watcher.
    read_end, write_end = os.pipe()
    # A bare process too: a Popen object would warn, at finalization, that it still runs.
    writer = os.posix_spawn("/bin/sh", ["sh", "-c", "while :; do echo x; sleep 0.01; done"], os.environ,
                            file_actions=[(os.POSIX_SPAWN_DUP2, write_end, 1)])
    os.close(write_end)
    loop.add_reader(read_end, int, ())
    time.sleep(0.2)

    class SlowTeardown:
        # Module globals are gone by the time this runs, so it keeps what it needs.
        def __del__(self, sleep=time.sleep, kill=os.kill, wait=os.waitpid, pid=writer,
                    sigkill=signal.SIGKILL):
            sleep(0.5)  # the interpreter is finalizing; input keeps arriving meanwhile
            kill(pid, sigkill)
            wait(pid, 0)

    slow = SlowTeardown()
    print("exiting", flush=True)
"""

@pytest.mark.subprocess
@pytest.mark.parametrize("leak", [True, False],
                         ids=["loop-outlives-the-interpreter", "loop-released-in-teardown"])
def test_a_watcher_never_attaches_while_the_interpreter_finalizes(leak):
    done = run_python(FINALIZING_CHILD.format(leak=leak), timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["exiting"]
    # Watchers post without entering the interpreter: nothing reaches standard error.
    assert done.stderr == ""


# --- scale ------------------------------------------------------------------------------------------

TEN_THOUSAND_CHILD = """
    import json, random, resource, socket, time, cadrel
    from bodies import drain

    PAIRS = 5_000
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = 2 * PAIRS + 256
    if soft < wanted:
        if hard != resource.RLIM_INFINITY and hard < wanted:
            print(json.dumps({{"skip": f"descriptor limit {{hard}}"}}))
            raise SystemExit(0)
        resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, hard))

    pairs = [socket.socketpair() for _ in range(PAIRS)]
    ends = [end for pair in pairs for end in pair]
    fired = []
    loop = cadrel.CadrelLoop()
    for index, end in enumerate(ends):
        loop.add_reader(end.fileno(), fired.append, (index,))
    time.sleep(0.5)  # every watcher registers
    rng = random.Random(7)
    sample = rng.sample(range(len(ends)), {sample})
    for index in sample:
        ends[index ^ 1].send(b"x")  # the other end of its pair
    drain(loop, lambda: len(set(fired)) >= len(sample), timeout=60)
    time.sleep(0.3)
    loop.stop()
    loop.run_forever()
    for end in ends:
        loop.remove_reader(end.fileno())
    print(json.dumps({{"fired": fired, "sample": sample}}))
"""


@pytest.mark.subprocess
def test_ten_thousand_watched_descriptors_call_exactly_the_ready_ones():
    outcome = run_json(TEN_THOUSAND_CHILD.format(sample=50), timeout=110)
    if "skip" in outcome:
        pytest.skip(outcome["skip"])
    assert sorted(outcome["fired"]) == sorted(outcome["sample"])


CYCLES = 100_000


def test_a_hundred_thousand_add_remove_cycles_leave_threads_descriptors_and_memory_flat(loop):
    pairs = [socket.socketpair() for _ in range(3)]
    try:
        fds = [end.fileno() for pair in pairs for end in pair]

        def callback():
            pass

        def cycles(count):
            add_reader, remove_reader = loop.add_reader, loop.remove_reader
            add_writer, remove_writer = loop.add_writer, loop.remove_writer
            for i in range(count):
                fd = fds[i % len(fds)]
                if i & 1:
                    add_reader(fd, callback, ())
                    remove_reader(fd)
                else:
                    add_writer(fd, callback, ())
                    remove_writer(fd)

        def settled_refs(expected, timeout=10.0):
            """The callback's reference count once the cancelled watchers have let go."""
            deadline = time.monotonic() + timeout
            while True:
                run_once(loop)  # messages posted by writers that registered before removal
                flush_deferred_releases(loop)
                gc.collect()
                refs = sys.getrefcount(callback)
                if refs == expected or time.monotonic() > deadline:
                    return refs
                time.sleep(0.01)

        refs = sys.getrefcount(callback)
        cycles(10_000)
        run_once(loop)  # writers posted once each time they registered
        assert settled_refs(refs) == refs
        before = (probes.thread_count(), probes.fd_count(), probes.rss_bytes())
        cycles(CYCLES)
        assert settled_refs(refs) == refs, "cancelled watchers kept their callback"
        after = (probes.thread_count(), probes.fd_count(), probes.rss_bytes())
        # Nothing added: on a loaded machine a thread of an earlier test may still
        # have been ending when `before` was taken.
        assert after[0] <= before[0] and after[1] <= before[1], (before, after)
        assert after[2] - before[2] < 32 * 1024 * 1024

        # The descriptors are still watchable.
        local, peer = pairs[0]
        local.setblocking(False)
        reader = Recorder(reads=local)
        loop.add_reader(local.fileno(), reader, ())
        peer.send(b"x")
        drain(loop, reader.reached(1))
        loop.remove_reader(local.fileno())
    finally:
        for pair in pairs:
            for end in pair:
                end.close()


def test_concurrent_adds_and_removes_on_one_descriptor_leave_one_working_watcher(sockets, loop):
    local, peer = sockets
    callback = Recorder()
    refs = sys.getrefcount(callback)
    fd = local.fileno()

    def churn():
        for i in range(500):
            loop.add_reader(fd, callback, ())
            loop.add_writer(fd, callback, ())
            if i % 3 == 0:
                loop.remove_reader(fd)
            loop.remove_writer(fd)

    threads = [threading.Thread(target=churn, name=f"test-churn-{i}") for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert not any(thread.is_alive() for thread in threads)

    loop.remove_reader(fd)
    final = Recorder(reads=local)
    loop.add_reader(fd, final, ())
    settle(0.1)
    run_once(loop)
    peer.send(b"x")
    drain(loop, final.reached(1))
    loop.remove_reader(fd)
    deadline = time.monotonic() + 10
    while sys.getrefcount(callback) != refs and time.monotonic() < deadline:
        run_once(loop)  # messages that watchers posted before their removal
        flush_deferred_releases(loop)
        time.sleep(0.01)
    assert sys.getrefcount(callback) == refs, "removed watchers kept their callback"
