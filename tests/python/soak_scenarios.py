# The soak scenarios, run one per child interpreter by test_soak.py: `python -c "import
# soak_scenarios; soak_scenarios.main('callbacks')"` prints one JSON line of figures.
#
# Each scenario returns its figures and weak references to the loops it made, and holds nothing
# once it has returned; main() then adds what the process looks like afterwards (loops freed,
# worker threads, descriptors, peak memory) next to what it looked like before, for the test to
# compare.
#
# Callbacks given to watchers reach their loop only through a weak proxy: a watcher holds its
# callback, and the loop takes no part in cyclic garbage collection, so a callback holding the
# loop would keep it alive for as long as a message for it sat queued.
# Loaded before any thread starts, so that no scenario races asyncio's first import.
import asyncio  # noqa: F401
import errno
import gc
import json
import os
import random
import resource
import socket
import threading
import time
import weakref

import cadrel
import probes

# --- shared ---------------------------------------------------------------------------------------

# A scenario whose progress figure has not moved for this long is stopped and reported stalled.
STALL_SECONDS = 20.0


class StallGuard:
    """Stops a run whose progress stands still, so that a lost event fails with figures, not a hang.

    `progress` returns a number that grows while the run works; `stop` ends the run(s).
    """

    def __init__(self, progress, stop, stall=STALL_SECONDS):
        self.progress, self.stop, self.stall = progress, stop, stall
        self.fired = False
        self._finished = threading.Event()
        self._thread = threading.Thread(target=self._watch, name="soak-stall-guard", daemon=True)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._finished.set()
        self._thread.join()

    def _watch(self):
        last, since = self.progress(), time.monotonic()
        while not self._finished.wait(0.5):
            now = self.progress()
            if now != last:
                last, since = now, time.monotonic()
            elif time.monotonic() - since > self.stall:
                self.fired = True
                self.stop()
                return


def flush_pending_releases():
    """References that worker threads dropped wait for the next entry into the binding.

    A refused construction is such an entry and has no other effect.
    """
    try:
        cadrel.CadrelLoop(None)
    except TypeError:
        pass


def settle_and_run_once(loop, pause=0.1):
    """Runs what watchers posted before their removal (a watcher mid-pass still posts that pass)."""
    time.sleep(pause)
    loop.stop()
    loop.run_forever()


def main(name):
    gc.collect()
    before = {"workers": probes.worker_count(), "fds": probes.fd_count(),
              "threads": probes.thread_count()}
    figures, loop_refs = SCENARIOS[name]()
    gc.collect()
    flush_pending_releases()
    gc.collect()
    figures["loops_alive_after_release"] = sum(ref() is not None for ref in loop_refs)
    # Workers are joined when their loop is released; the wait only covers /proc catching up.
    figures["workers_before"] = before["workers"]
    figures["workers_after"] = probes.workers_named_within(before["workers"], timeout=10)
    figures["fds_before"] = before["fds"]
    figures["fds_after"] = probes.fd_count()
    figures["threads_before"] = before["threads"]
    figures["threads_after"] = probes.thread_count()
    figures["processors"] = probes.processor_count()
    figures["rss_after"] = probes.rss_bytes()
    figures["peak_rss"] = probes.peak_rss_bytes()
    print(json.dumps(figures))


# --- 1. many threads posting to one loop ----------------------------------------------------------

PRODUCERS = 8
TOTAL_CALLBACKS = 10_000_000
POSTS_PER_CHUNK = 4096  # a producer notes its progress and checks for abandon once per chunk


class InOrder:
    """Counts one producer's callbacks and notes any that arrive out of sequence.

    With no misses, the sequence numbers seen were exactly 0, 1, ..., expected - 1.
    """

    __slots__ = ("expected", "misses")

    def __init__(self):
        self.expected = 0
        self.misses = 0

    def take(self, sequence):
        if sequence != self.expected:
            self.misses += 1
        self.expected = sequence + 1


def callbacks_from_threads():
    per_producer = TOTAL_CALLBACKS // PRODUCERS
    loop = cadrel.CadrelLoop()
    loop_ref = weakref.ref(loop)
    counters = [InOrder() for _ in range(PRODUCERS)]
    posted = [0] * PRODUCERS
    abandon = threading.Event()  # set only when the stall guard has cut the run short
    posting = {}

    def ran():
        return sum(counter.expected for counter in counters)

    def produce(index):
        post, take = loop.call_soon_threadsafe, counters[index].take
        for chunk in range(0, per_producer, POSTS_PER_CHUNK):
            if abandon.is_set():
                return
            for sequence in range(chunk, min(chunk + POSTS_PER_CHUNK, per_producer)):
                post(take, sequence)
            posted[index] = sequence + 1

    def progress():
        # Both sides count: while the producers post, the loop thread may get little time.
        return sum(posted) + ran()

    deepest = [0]
    sampling_done = threading.Event()

    def sample_depth():
        # Posted (noted once per chunk) and not yet run: the backlog, give or take a chunk each.
        while not sampling_done.wait(0.01):
            deepest[0] = max(deepest[0], sum(posted) - ran())

    producers = [threading.Thread(target=produce, args=(i,), name=f"soak-producer-{i}")
                 for i in range(PRODUCERS)]

    def coordinate():
        for producer in producers:
            producer.start()
        for producer in producers:
            producer.join()
        # How far behind the loop was when the last post went in.
        posting["seconds"] = time.perf_counter() - started
        posting["ran_by_then"] = ran()
        # Behind every producer's last post, so the run ends once all of them have run.
        loop.call_soon_threadsafe(loop.stop)

    def stop():
        abandon.set()
        loop.stop()

    coordinator = threading.Thread(target=coordinate, name="soak-coordinator")
    sampler = threading.Thread(target=sample_depth, name="soak-depth-sampler")
    started = time.perf_counter()
    with StallGuard(progress, stop) as guard:
        sampler.start()
        coordinator.start()
        loop.run_forever()
        elapsed = time.perf_counter() - started
    coordinator.join()
    sampling_done.set()
    sampler.join()
    if guard.fired:
        settle_and_run_once(loop)  # what a cut-short run left queued refers to the loop
    return {
        "producers": PRODUCERS,
        "posted": sum(posted),
        "ran": [counter.expected for counter in counters],
        "out_of_order": sum(counter.misses for counter in counters),
        "stalled": guard.fired,
        "seconds": elapsed,
        "posting_seconds": posting.get("seconds"),
        "queued_when_posting_ended": sum(posted) - posting.get("ran_by_then", 0),
        "peak_queued": deepest[0],
    }, [loop_ref]


# --- 2. a hundred loops at once, each with timers and watchers ------------------------------------

LOOPS = 100
ROUNDS = 20
TIMERS_PER_LOOP = 100
LONGEST_DELAY = 0.3
PING_ROUNDS = 50
PING_SIZE = 32
BULK_BYTES = 256 * 1024
BULK_CHUNK = 16 * 1024


def read_available(read):
    """Everything `read` gives until it would block; returns (data, reached_end_of_input)."""
    parts = []
    while True:
        try:
            part = read(65536)
        except BlockingIOError:
            return b"".join(parts), False
        if not part:
            return b"".join(parts), True
        parts.append(part)


class LoopSession:
    """One loop's work for one round: timers, a ping-pong over a socket pair, a bulk pipe.

    Every callback runs on the loop's own thread; the loop is reached through a weak proxy.
    """

    def __init__(self, loop, seed):
        self.loop = loop
        rng = random.Random(seed)
        self.delays = [rng.uniform(0, LONGEST_DELAY) for _ in range(TIMERS_PER_LOOP)]
        self.delays[:4] = [0.0, 0.0005, 0.001, 0.0015]  # around the timer's granularity
        self.whens = [None] * TIMERS_PER_LOOP
        self.fired_at = [[] for _ in range(TIMERS_PER_LOOP)]  # (loop time, monotonic time)
        self.later_since = {}  # call_later key: monotonic time just before the call
        self.timers_fired = 0
        self.events = 0

        self.ping_a, self.ping_b = socket.socketpair()
        self.ping_a.setblocking(False)
        self.ping_b.setblocking(False)
        self.pings_sent = 0
        self.pongs_checked = 0
        self.ping_errors = 0
        self.buffers = {"a": bytearray(), "b": bytearray()}

        self.bulk_read, self.bulk_write = os.pipe()
        os.set_blocking(self.bulk_read, False)
        os.set_blocking(self.bulk_write, False)
        self.bulk_out = rng.randbytes(BULK_BYTES)
        self.bulk_sent = 0
        self.bulk_in = bytearray()
        self.bulk_ended = False
        self.stopped = False

    @staticmethod
    def ping(number):
        return f"{number:0{PING_SIZE}d}".encode()

    def start(self):
        loop = self.loop
        for key, delay in enumerate(self.delays):
            if key % 2:
                when = loop.time() + delay
                loop.call_at(when, self.on_timer, key)
            else:
                self.later_since[key] = time.monotonic()
                when = loop.call_later(delay, self.on_timer, key).when()
            self.whens[key] = when
        loop.add_reader(self.ping_a.fileno(), self.on_ping_readable, ("a",))
        loop.add_reader(self.ping_b.fileno(), self.on_ping_readable, ("b",))
        loop.add_reader(self.bulk_read, self.on_bulk_readable, ())
        loop.add_writer(self.bulk_write, self.on_bulk_writable, ())
        self.ping_a.send(self.ping(0))
        self.pings_sent = 1

    def on_timer(self, key):
        self.fired_at[key].append((self.loop.time(), time.monotonic()))
        self.timers_fired += 1
        self.stop_if_done()

    def on_ping_readable(self, side):
        # "b" answers each ping with the same bytes; "a" checks the answer and sends the next.
        self.events += 1
        sock = self.ping_a if side == "a" else self.ping_b
        data, _ = read_available(sock.recv)
        buffer = self.buffers[side]
        buffer += data
        while len(buffer) >= PING_SIZE:
            message = bytes(buffer[:PING_SIZE])
            del buffer[:PING_SIZE]
            if side == "b":
                sock.send(message)
                continue
            if message != self.ping(self.pongs_checked):
                self.ping_errors += 1
            self.pongs_checked += 1
            if self.pings_sent < PING_ROUNDS:
                sock.send(self.ping(self.pings_sent))
                self.pings_sent += 1
        self.stop_if_done()

    def on_bulk_writable(self):
        self.events += 1
        if self.bulk_write is None:
            return  # posted before the watcher was removed
        while self.bulk_sent < BULK_BYTES:
            chunk = self.bulk_out[self.bulk_sent:self.bulk_sent + BULK_CHUNK]
            try:
                self.bulk_sent += os.write(self.bulk_write, chunk)
            except BlockingIOError:
                return  # called again once the reader has made room
        self.loop.remove_writer(self.bulk_write)
        os.close(self.bulk_write)  # the reader sees the end of input
        self.bulk_write = None

    def on_bulk_readable(self):
        self.events += 1
        if self.bulk_ended:
            return
        data, ended = read_available(lambda size: os.read(self.bulk_read, size))
        self.bulk_in += data
        if ended:
            self.bulk_ended = True
            self.loop.remove_reader(self.bulk_read)
        self.stop_if_done()

    def done(self):
        return (self.timers_fired >= TIMERS_PER_LOOP and self.pongs_checked >= PING_ROUNDS
                and self.bulk_ended)

    def stop_if_done(self):
        if not self.stopped and self.done():
            self.stopped = True
            self.loop.stop()

    def finish(self):
        """Removes the remaining watchers, runs what they posted before, closes the descriptors."""
        loop = self.loop
        loop.remove_reader(self.ping_a.fileno())
        loop.remove_reader(self.ping_b.fileno())
        if not self.bulk_ended:
            loop.remove_reader(self.bulk_read)
        if self.bulk_write is not None:
            loop.remove_writer(self.bulk_write)
        settle_and_run_once(loop)
        self.ping_a.close()
        self.ping_b.close()
        os.close(self.bulk_read)
        if self.bulk_write is not None:
            os.close(self.bulk_write)

    def figures(self):
        counts = [len(times) for times in self.fired_at]
        # How long after its time each timer ran. `when` is in loop time, which is the wall
        # clock while the timers sleep on the monotonic one; call_later's delay is also checked
        # on the monotonic clock, which nothing adjusts.
        slack = [times[0][0] - when for times, when in zip(self.fired_at, self.whens) if times]
        monotonic_slack = [self.fired_at[key][0][1] - since - self.delays[key]
                           for key, since in self.later_since.items() if self.fired_at[key]]
        return {
            "timers_not_once": sum(count != 1 for count in counts),
            "timers_fired": sum(counts),
            "earliest_slack": min(slack, default=None),
            "latest_slack": max(slack, default=None),
            "earliest_monotonic_slack": min(monotonic_slack, default=None),
            "events": self.events,
            "pongs_checked": self.pongs_checked,
            "ping_errors": self.ping_errors,
            "bulk_received": len(self.bulk_in),
            "bulk_intact": bytes(self.bulk_in) == self.bulk_out,
            "done": self.done(),
        }


def hundred_loops():
    rounds = []
    loop_refs = []
    errors = []
    peaks = {"threads": 0, "workers": 0}
    sampling = threading.Event()

    def sample():
        while not sampling.wait(0.02):
            names = probes.thread_names()
            peaks["threads"] = max(peaks["threads"], len(names))
            peaks["workers"] = max(peaks["workers"], names.count(probes.WORKER_NAME))

    sampler = threading.Thread(target=sample, name="soak-sampler")
    sampler.start()
    for round_ in range(ROUNDS):
        results = [None] * LOOPS
        sessions = [None] * LOOPS
        # Every loop exists before any starts work, and none goes before all have finished.
        # The timeouts only turn a thread that died before reaching a barrier into an error.
        start_work = threading.Barrier(LOOPS + 1, timeout=60)
        release = threading.Barrier(LOOPS, timeout=120)

        def run_one(index):
            try:
                loop = cadrel.CadrelLoop()
                loop_refs.append(weakref.ref(loop))
                session = LoopSession(weakref.proxy(loop), seed=round_ * LOOPS + index)
                sessions[index] = session
                start_work.wait()
                session.start()
                loop.run_forever()
                session.finish()
                results[index] = session.figures()
                release.wait()
            except BaseException as error:  # reported with the figures
                errors.append(f"loop {index}: {error!r}")

        threads = [threading.Thread(target=run_one, args=(i,), name=f"soak-loop-{i}")
                   for i in range(LOOPS)]
        setting_up = time.perf_counter()
        for thread in threads:
            thread.start()
        start_work.wait()
        started = time.perf_counter()

        def progress():
            return sum(s.timers_fired + s.events for s in sessions)

        def stop_all():
            release.abort()  # the threads of loops that did finish must not wait for the others
            for ref in loop_refs:
                if (loop := ref()) is not None:
                    loop.stop()

        with StallGuard(progress, stop_all) as guard:
            for thread in threads:
                thread.join()
        elapsed = time.perf_counter() - started
        rounds.append({"seconds": elapsed, "setup_seconds": started - setting_up,
                       "stalled": guard.fired, "loops": results})
        if guard.fired:
            break
    sampling.set()
    sampler.join()

    loops = [loop for round_ in rounds for loop in round_["loops"] if loop is not None]

    def extreme(choose, key):
        return choose((loop[key] for loop in loops if loop[key] is not None), default=None)

    return {
        "errors": errors,
        "rounds": len(rounds),
        "loops_per_round": LOOPS,
        "loops_reported": len(loops),
        "stalled": any(round_["stalled"] for round_ in rounds),
        "seconds": sum(round_["seconds"] for round_ in rounds),
        "round_seconds": [round_["seconds"] for round_ in rounds],
        # Starting the threads and making the loops, sockets and pipes, outside "seconds".
        "setup_seconds": sum(round_["setup_seconds"] for round_ in rounds),
        "timers_scheduled": len(rounds) * LOOPS * TIMERS_PER_LOOP,
        "timers_fired": sum(loop["timers_fired"] for loop in loops),
        "timers_not_once": sum(loop["timers_not_once"] for loop in loops),
        "earliest_slack": extreme(min, "earliest_slack"),
        "latest_slack": extreme(max, "latest_slack"),
        "earliest_monotonic_slack": extreme(min, "earliest_monotonic_slack"),
        "events": sum(loop["events"] for loop in loops),
        "pongs_expected": len(rounds) * LOOPS * PING_ROUNDS,
        "pongs_checked": sum(loop["pongs_checked"] for loop in loops),
        "ping_errors": sum(loop["ping_errors"] for loop in loops),
        "bulk_expected": len(rounds) * LOOPS * BULK_BYTES,
        "bulk_received": sum(loop["bulk_received"] for loop in loops),
        "bulk_corrupt": sum(not loop["bulk_intact"] for loop in loops),
        "loops_not_done": sum(not loop["done"] for loop in loops),
        "peak_threads": peaks["threads"],
        "peak_workers": peaks["workers"],
    }, loop_refs


# --- 3. ten thousand TCP connections through one loop ---------------------------------------------

CONNECTIONS = 10_000
MAX_OPEN = 200  # client connections open at once; each also has its accepted end
MESSAGE_SIZE = 64


class Churn:
    """A TCP echo server and its clients on one loop; descriptor numbers get reused constantly."""

    def __init__(self, loop, concurrency):
        self.loop = loop
        self.concurrency = concurrency
        self.rng = random.Random(10_000)
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1024)
        self.listener.setblocking(False)
        self.address = self.listener.getsockname()
        self.started = 0
        self.open_clients = set()
        self.open_servers = set()
        self.echoed = 0  # clients that got their own payload back and closed
        self.server_closed = 0  # accepted ends that saw the client's end of input and closed
        self.bad_echoes = 0
        self.failed_connects = 0
        # Calls that arrived after their watcher was removed (posted before the removal), by
        # watcher: asyncio's selector loop cancels these on removal, this loop runs them.
        self.stale_calls = {"client writer": 0, "client reader": 0, "server reader": 0}
        self.empty_wakes = 0  # reader calls that found nothing to read
        self.numbers_used = set()
        self.stopped = False

    def start(self):
        self.loop.add_reader(self.listener.fileno(), self.on_acceptable, ())
        for _ in range(self.concurrency):
            self.connect()

    def progress(self):
        return self.echoed + self.server_closed

    def connect(self):
        if self.started == CONNECTIONS:
            return
        number = self.started
        self.started += 1
        payload = f"{number:08d}".encode() + self.rng.randbytes(MESSAGE_SIZE - 8)
        client = Client(self, payload)
        self.open_clients.add(client)
        client.connect()

    def on_acceptable(self):
        while True:
            try:
                sock, _ = self.listener.accept()
            except BlockingIOError:
                return
            server = Server(self, sock)
            self.open_servers.add(server)
            server.watch()

    def client_finished(self, client, ok):
        self.open_clients.discard(client)
        if ok:
            self.echoed += 1
        self.connect()
        self.stop_if_done()

    def server_finished(self, server):
        self.open_servers.discard(server)
        self.server_closed += 1
        self.stop_if_done()

    def stop_if_done(self):
        if (not self.stopped and self.echoed + self.bad_echoes + self.failed_connects == CONNECTIONS
                and not self.open_servers):
            self.stopped = True
            self.loop.stop()

    def close_everything(self):
        """After the run: removes every watcher still in place and closes every socket."""
        loop = self.loop
        loop.remove_reader(self.listener.fileno())
        for end in list(self.open_clients) + list(self.open_servers):
            loop.remove_reader(end.fd)
            loop.remove_writer(end.fd)
        settle_and_run_once(loop)
        for end in list(self.open_clients) + list(self.open_servers):
            end.sock.close()
        self.listener.close()


class Client:
    __slots__ = ("churn", "payload", "sock", "fd", "state", "received")

    def __init__(self, churn, payload):
        self.churn, self.payload = churn, payload
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setblocking(False)
        self.fd = self.sock.fileno()
        churn.numbers_used.add(self.fd)
        self.state = "connecting"
        self.received = bytearray()

    def connect(self):
        error = self.sock.connect_ex(self.churn.address)
        if error not in (0, errno.EINPROGRESS):
            self.churn.failed_connects += 1
            self.close(ok=False)
            return
        self.churn.loop.add_writer(self.fd, self.on_connected, ())

    def on_connected(self):
        if self.state != "connecting":
            self.churn.stale_calls["client writer"] += 1
            return
        loop = self.churn.loop
        loop.remove_writer(self.fd)
        if self.sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR):
            self.churn.failed_connects += 1
            self.close(ok=False)
            return
        self.state = "awaiting echo"
        loop.add_reader(self.fd, self.on_readable, ())
        self.sock.send(self.payload)  # far below any socket buffer: always sent whole

    def on_readable(self):
        if self.state != "awaiting echo":
            self.churn.stale_calls["client reader"] += 1
            return
        data, ended = read_available(self.sock.recv)
        if not data and not ended:
            self.churn.empty_wakes += 1
        self.received += data
        if len(self.received) >= MESSAGE_SIZE or ended:
            self.churn.loop.remove_reader(self.fd)
            ok = bytes(self.received) == self.payload
            if not ok:
                self.churn.bad_echoes += 1
            self.close(ok)

    def close(self, ok):
        self.state = "closed"
        self.sock.close()
        self.churn.client_finished(self, ok)


class Server:
    __slots__ = ("churn", "sock", "fd", "state", "received")

    def __init__(self, churn, sock):
        self.churn, self.sock = churn, sock
        sock.setblocking(False)
        self.fd = sock.fileno()
        churn.numbers_used.add(self.fd)
        self.state = "reading"
        self.received = bytearray()

    def watch(self):
        self.churn.loop.add_reader(self.fd, self.on_readable, ())

    def on_readable(self):
        if self.state == "closed":
            self.churn.stale_calls["server reader"] += 1
            return
        data, ended = read_available(self.sock.recv)
        if not data and not ended:
            self.churn.empty_wakes += 1
        if self.state == "reading":
            self.received += data
            if len(self.received) >= MESSAGE_SIZE:
                self.sock.send(self.received)  # the echo; the client closes once it has it
                self.state = "echoed"
        if ended:
            self.churn.loop.remove_reader(self.fd)
            self.state = "closed"
            self.sock.close()
            self.churn.server_finished(self)


def tcp_churn():
    soft, _ = resource.getrlimit(resource.RLIMIT_NOFILE)
    # Two descriptors per connection, plus the listener, the loop's own and the interpreter's.
    concurrency = max(1, min(MAX_OPEN, (soft - 128) // 2))
    loop = cadrel.CadrelLoop()
    loop_ref = weakref.ref(loop)
    churn = Churn(weakref.proxy(loop), concurrency)
    peak_fds = 0

    def progress():
        nonlocal peak_fds
        peak_fds = max(peak_fds, probes.fd_count())
        return churn.progress()

    started = time.perf_counter()
    with StallGuard(progress, loop.stop) as guard:
        churn.start()
        loop.run_forever()
        elapsed = time.perf_counter() - started
    churn.close_everything()
    figures = {
        "connections": CONNECTIONS,
        "concurrency": concurrency,
        "stalled": guard.fired,
        "seconds": elapsed,
        "started": churn.started,
        "echoed": churn.echoed,
        "bad_echoes": churn.bad_echoes,
        "failed_connects": churn.failed_connects,
        "server_closed": churn.server_closed,
        "left_open": len(churn.open_clients) + len(churn.open_servers),
        "stale_calls": churn.stale_calls,
        "empty_wakes": churn.empty_wakes,
        "descriptor_numbers_used": len(churn.numbers_used),
        "peak_fds_sampled": peak_fds,
    }
    return figures, [loop_ref]


SCENARIOS = {
    "callbacks": callbacks_from_threads,
    "loops": hundred_loops,
    "connections": tcp_churn,
}
