"""Loop benchmarks: the same workloads on asyncio's own loop, uvloop, CadrelLoop and cadrelio.

Each measurement runs in a fresh process; the loops are interleaved within every
repeat so that drift of the machine hits all of them alike. Every loop is driven
only through the methods CadrelLoop offers (call_soon, call_soon_threadsafe,
call_later, run_forever, run_until_complete, create_task, stop, add_reader,
add_writer, remove_reader, remove_writer). A workload reports named figures:
wall time per operation and process CPU time per operation (user + system of
every thread, so a loop that moves work onto helper threads pays for it here),
or other figures named in its unit. The report gives the median of each figure
over the repeats and each loop's ratio to asyncio. A workload that needs a loop
method the loop lacks is reported as skipped for that loop.

    python3 bench/loop_bench.py [--repeats N] [--only WORKLOAD ...]
"""

from __future__ import annotations

import argparse
import asyncio
import json
import random
import resource
import socket
import statistics
import subprocess
import sys
import threading
import time

LOOPS = ("asyncio", "uvloop", "cadrel", "cadrelio")
RATIO_LABELS = {"uvloop": "uv/asy", "cadrel": "cad/asy", "cadrelio": "cio/asy"}


def make_loop(name: str):
    if name == "asyncio":
        return asyncio.SelectorEventLoop()
    if name == "uvloop":
        import uvloop

        return uvloop.new_event_loop()
    if name == "cadrelio":
        import cadrelio

        return cadrelio.new_event_loop()
    import cadrel

    return cadrel.CadrelLoop()


def release(loop) -> None:
    # CadrelLoop's close() does nothing and its resources go with the object;
    # the others need close() to free their selectors.
    loop.close()


def watch(loop, method: str, fd: int, callback, *args) -> None:
    """add_reader / add_writer: CadrelLoop takes the callback's arguments as one
    tuple, the others as further positional arguments."""
    if type(loop).__name__ == "CadrelLoop":
        getattr(loop, method)(fd, callback, args)
    else:
        getattr(loop, method)(fd, callback, *args)


class Span:
    """Wall and process CPU seconds (all threads) of a block."""

    def __enter__(self):
        self.wall = time.perf_counter()
        self.cpu = time.process_time()
        return self

    def __exit__(self, *exc_info):
        self.cpu = time.process_time() - self.cpu
        self.wall = time.perf_counter() - self.wall

    def per(self, count: int, scale: float) -> dict:
        """Wall and CPU time per operation, in seconds times `scale`."""
        return {"wall": self.wall / count * scale, "cpu": self.cpu / count * scale}


# ---- workloads: each returns a dict of named figures in the units its entry
# ---- in WORKLOADS names --------------------------------------------------------


def call_soon_ns(loop) -> dict:
    """ns per callback: schedule N callbacks with call_soon, then run them."""
    count = 200_000
    callback = int  # a cheap builtin: measure the loop, not the callback
    call_soon = loop.call_soon
    with Span() as span:
        for _ in range(count):
            call_soon(callback)
        call_soon(loop.stop)
        loop.run_forever()
    return span.per(count, 1e9)


def call_soon_threadsafe_ns(loop) -> dict:
    """ns per callback posted from a second thread while the loop runs."""
    count = 200_000

    def producer():
        post = loop.call_soon_threadsafe
        callback = int
        for _ in range(count):
            post(callback)
        post(loop.stop)

    thread = threading.Thread(target=producer)
    with Span() as span:
        loop.call_soon(thread.start)
        loop.run_forever()
        thread.join()
    return span.per(count, 1e9)


def wake_latency_us(loop) -> dict:
    """µs of a round trip thread -> sleeping loop -> thread: the median wall
    time of one, and the process CPU time of the whole run per round trip."""
    rounds = 2_000
    reply = threading.Semaphore(0)
    samples = []

    def pinger():
        for _ in range(rounds):
            time.sleep(0.0002)  # let the loop thread fall asleep
            started = time.perf_counter()
            loop.call_soon_threadsafe(reply.release)
            reply.acquire()
            samples.append(time.perf_counter() - started)
        loop.call_soon_threadsafe(loop.stop)

    thread = threading.Thread(target=pinger)
    with Span() as span:
        loop.call_soon(thread.start)
        loop.run_forever()
        thread.join()
    return {"wall_median": statistics.median(samples) * 1e6, "cpu": span.cpu / rounds * 1e6}


def sleep0_switch_ns(loop) -> dict:
    """ns per `await asyncio.sleep(0)` inside one task. sleep(0) only yields to
    the loop; any other delay needs create_future, which CadrelLoop lacks."""
    count = 100_000

    async def switcher():
        sleep = asyncio.sleep
        for _ in range(count):
            await sleep(0)

    with Span() as span:
        loop.run_until_complete(switcher())
    return span.per(count, 1e9)


def fan_out_ns(loop) -> dict:
    """ns per task step: 10,000 tasks, each awaiting sleep(0) three times."""
    tasks, steps = 10_000, 3

    async def step():
        for _ in range(steps):
            await asyncio.sleep(0)

    async def main():
        await asyncio.gather(*(step() for _ in range(tasks)))

    with Span() as span:
        loop.run_until_complete(main())
    return span.per(tasks * (steps + 1), 1e9)


def host_floor_ns(_loop) -> dict:
    """ns to build an asyncio.Handle and call its _run() in plain Python."""
    count = 200_000
    reference_loop = asyncio.SelectorEventLoop()
    callback = int
    handle_class = asyncio.Handle
    with Span() as span:
        for _ in range(count):
            handle_class(callback, (), reference_loop)._run()
    reference_loop.close()
    return span.per(count, 1e9)


class _TimerRun:
    """`count` call_later timers with delays drawn uniformly from [0, spread]
    (the same delays for every loop): each timer's requested deadline, read
    before the loop reads its own clock so that none may run before it, and
    the time it ran."""

    def __init__(self, loop, count: int, spread: float):
        rng = random.Random(count)
        self.delays = [rng.uniform(0.0, spread) for _ in range(count)]
        self.deadlines = [0.0] * count
        self.fired = [0.0] * count
        self._loop = loop
        self._left = count

    def _on_timer(self, i):
        self.fired[i] = time.monotonic()
        self._left -= 1
        if not self._left:
            self._loop.stop()

    def schedule(self):
        call_later, on_timer, monotonic = self._loop.call_later, self._on_timer, time.monotonic
        for i, delay in enumerate(self.delays):
            self.deadlines[i] = monotonic() + delay
            call_later(delay, on_timer, i)

    def lateness(self) -> list:
        return [f - d for f, d in zip(self.fired, self.deadlines)]


def timer_lateness(loop) -> dict:
    """How late 500 call_later timers run, delays spread over 0-250 ms with the
    loop otherwise idle: mean and maximum µs past the requested deadline, the
    count of timers run before it, and process CPU µs per timer over the run."""
    count = 500
    run = _TimerRun(loop, count, 0.25)
    with Span() as span:
        run.schedule()
        loop.run_forever()
    lateness = run.lateness()
    return {
        "late_mean": statistics.fmean(lateness) * 1e6,
        "late_max": max(lateness) * 1e6,
        "early": sum(1 for late in lateness if late < 0),
        "cpu": span.cpu / count * 1e6,
    }


def timers_100k(loop) -> dict:
    """100,000 call_later timers, delays spread over 0-50 ms: the cost of
    scheduling one, how late they run against their requested deadline, and
    how long the loop takes beyond the last deadline."""
    count = 100_000
    run = _TimerRun(loop, count, 0.05)
    started = time.monotonic()
    run.schedule()
    scheduled = time.monotonic()
    loop.run_forever()
    lateness = sorted(run.lateness())
    return {
        "schedule": (scheduled - started) / count * 1e9,
        "late_median": statistics.median(lateness) * 1e3,
        "late_p99": lateness[int(0.99 * count)] * 1e3,
        "beyond_last": (max(run.fired) - max(run.deadlines)) * 1e3,
    }


def _ping_pong(loop, rounds: int) -> Span:
    """Seconds for `rounds` round trips of one byte over a socket pair, each
    end watched with add_reader."""
    left, right = socket.socketpair()
    left.setblocking(False)
    right.setblocking(False)
    remaining = [rounds]

    def on_right():
        if not remaining[0]:
            return  # a message posted before the end of the run
        try:
            right.send(right.recv(64))
        except BlockingIOError:  # a wake with nothing to read
            pass

    def on_left():
        if not remaining[0]:
            return
        try:
            left.recv(64)
        except BlockingIOError:
            return
        remaining[0] -= 1
        if remaining[0]:
            left.send(b"x")
        else:
            loop.stop()

    watch(loop, "add_reader", right.fileno(), on_right)
    watch(loop, "add_reader", left.fileno(), on_left)
    with Span() as span:
        left.send(b"x")
        loop.run_forever()
    for sock in (left, right):
        loop.remove_reader(sock.fileno())
        sock.close()
    return span


def socket_pingpong_us(loop) -> dict:
    """µs per round trip of one byte over a socket pair, both ends watched by
    the loop under test through add_reader."""
    rounds = 20_000
    return _ping_pong(loop, rounds).per(rounds, 1e6)


def tcp_echo_50(loop) -> dict:
    """50 clients on 127.0.0.1 each send 64-byte requests, one at a time, to an
    echo server in the same loop; everything runs on non-blocking sockets
    through add_reader / add_writer. Requests per second, and process CPU µs
    per request."""
    clients, per_client = 50, 400
    span = _tcp_echo(loop, clients, per_client)
    requests = clients * per_client
    return {"rate": requests / span.wall, "cpu": span.cpu / requests * 1e6}


def _tcp_echo(loop, clients: int, per_client: int, size: int = 64) -> Span:
    """The run of tcp_echo_50 with `clients` clients of `per_client` requests each."""
    request = b"q" * size
    listener = socket.socket()
    listener.setblocking(False)
    listener.bind(("127.0.0.1", 0))
    listener.listen(clients)
    address = listener.getsockname()
    open_sockets = [listener]
    left = [clients * per_client]

    def on_accept():
        while True:  # one readiness may stand for several connections
            try:
                conn, _ = listener.accept()
            except BlockingIOError:
                return
            conn.setblocking(False)
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            open_sockets.append(conn)
            watch(loop, "add_reader", conn.fileno(), on_request, conn)

    def on_request(conn):
        if not left[0]:
            return  # a message posted before the end of the run
        try:
            data = conn.recv(65536)
        except BlockingIOError:
            return
        if data:
            conn.send(data)  # one request in flight: the send buffer has room

    def on_connected(client):
        if client[2]:
            return  # a second writable report posted before the removal
        client[2] = True
        sock = client[0]
        loop.remove_writer(sock.fileno())
        sock.send(request)
        watch(loop, "add_reader", sock.fileno(), on_reply, client)

    def on_reply(client):
        if not left[0]:
            return
        sock = client[0]
        try:
            client[1] += len(sock.recv(65536))
        except BlockingIOError:
            return
        while client[1] >= size:
            client[1] -= size
            left[0] -= 1
            client[3] -= 1
            if not left[0]:
                loop.stop()
                return
            if client[3]:
                sock.send(request)

    watch(loop, "add_reader", listener.fileno(), on_accept)
    with Span() as span:
        for _ in range(clients):
            sock = socket.socket()
            sock.setblocking(False)
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            sock.connect_ex(address)  # in progress; writable once connected
            open_sockets.append(sock)
            # [socket, bytes of replies received, connected, requests left]
            watch(loop, "add_writer", sock.fileno(), on_connected, [sock, 0, False, per_client])
        loop.run_forever()
    for sock in open_sockets:
        loop.remove_reader(sock.fileno())
        loop.remove_writer(sock.fileno())
        sock.close()
    return span


def watched_10k_vs_10(loop) -> dict:
    """ns per readiness event of one pinging socket pair while 10, then
    10,000, other descriptors are watched and stay idle."""
    rounds = 20_000
    figures = {}
    for name, idle in (("idle_10", 10), ("idle_10k", 10_000)):
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        if soft < idle + 256:
            resource.setrlimit(resource.RLIMIT_NOFILE, (min(idle + 256, hard), hard))
        pairs = [socket.socketpair() for _ in range(idle // 2)]
        for pair in pairs:
            for sock in pair:
                watch(loop, "add_reader", sock.fileno(), int)
        time.sleep(0.2)  # CadrelLoop registers its watchers on worker threads
        span = _ping_pong(loop, rounds)
        figures[name] = span.wall / (2 * rounds) * 1e9
        figures[name + "_cpu"] = span.cpu / (2 * rounds) * 1e9
        for pair in pairs:
            for sock in pair:
                loop.remove_reader(sock.fileno())
                sock.close()
    return figures


def per_op(unit: str) -> dict:
    return {"wall": unit, "cpu": unit + " cpu"}


WORKLOADS = {
    "socket_pingpong": (per_op("us/round"), socket_pingpong_us),
    "call_soon": (per_op("ns/callback"), call_soon_ns),
    "call_soon_threadsafe": (per_op("ns/callback"), call_soon_threadsafe_ns),
    "wake_latency": ({"wall_median": "us/round", "cpu": "us/round cpu"}, wake_latency_us),
    "timer_lateness": (
        {"late_mean": "us", "late_max": "us", "early": "timers", "cpu": "us/timer cpu"},
        timer_lateness,
    ),
    "sleep0_switch": (per_op("ns/switch"), sleep0_switch_ns),
    "tcp_echo_50": ({"rate": "requests/s", "cpu": "us/req cpu"}, tcp_echo_50),
    "fan_out_10k": (per_op("ns/step"), fan_out_ns),
    "host_floor": (per_op("ns/handle"), host_floor_ns),
    "timers_100k": (
        {"schedule": "ns/timer", "late_median": "ms", "late_p99": "ms", "beyond_last": "ms"},
        timers_100k,
    ),
    "watched_10k_vs_10": (
        {"idle_10": "ns/event", "idle_10_cpu": "ns/event cpu",
         "idle_10k": "ns/event", "idle_10k_cpu": "ns/event cpu"},
        watched_10k_vs_10,
    ),
}


def run_one(loop_name: str, workload: str) -> dict:
    """The workload's figures, or {"skipped": why} when the loop lacks a method
    the workload needs."""
    loop = make_loop(loop_name)
    try:
        _, function = WORKLOADS[workload]
        try:
            function(loop)  # warm-up: imports, allocator, code paths
        except (AttributeError, NotImplementedError) as error:
            return {"skipped": f"{type(error).__name__}: {error}"}
        return function(loop)
    finally:
        release(loop)


def measure(loop_name: str, workload: str) -> dict:
    """The child's figures; a child that does not finish in time is reported
    as skipped, so one stuck workload does not end the whole run."""
    try:
        output = subprocess.run(
            [sys.executable, __file__, "--child", loop_name, workload],
            check=True,
            capture_output=True,
            text=True,
            timeout=300,
        ).stdout
    except subprocess.TimeoutExpired:
        return {"skipped": "did not finish within 300 s"}
    return json.loads(output)["value"]


def ratio(value: float | None, base: float | None) -> str:
    return f"{value / base:.2f}" if value is not None and base else "n/a"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--only", nargs="*", choices=sorted(WORKLOADS))
    parser.add_argument("--child", nargs=2, metavar=("LOOP", "WORKLOAD"), help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.child:
        print(json.dumps({"value": run_one(*args.child)}))
        return 0

    workloads = args.only or list(WORKLOADS)
    results = {(w, l): [] for w in workloads for l in LOOPS}
    skipped = {}
    for repeat in range(args.repeats):
        for workload in workloads:
            loops = ("cadrel",) if workload == "host_floor" else LOOPS
            for loop_name in loops:
                value = measure(loop_name, workload)
                if "skipped" in value:
                    skipped[(workload, loop_name)] = value["skipped"]
                else:
                    results[(workload, loop_name)].append(value)
        print(f"repeat {repeat + 1}/{args.repeats} done", file=sys.stderr)

    print(f"python {sys.version.split()[0]}; median of {args.repeats} repeats, each in a fresh process")
    others = LOOPS[1:]
    header = (f"{'workload':32} {'unit':14} " + " ".join(f"{l:>10}" for l in LOOPS) + " "
              + " ".join(f"{RATIO_LABELS[l]:>8}" for l in others))
    print(header)
    print("-" * len(header))

    def cell(value):
        return f"{value:10.1f}" if value is not None else f"{'skipped':>10}"

    for workload in workloads:
        unit, _ = WORKLOADS[workload]
        for figure, figure_unit in unit.items():
            medians = {
                l: statistics.median(v[figure] for v in results[(workload, l)])
                if results[(workload, l)] else None
                for l in LOOPS
            }
            row_name = f"{workload}.{figure}"
            if workload == "host_floor":
                print(f"{row_name:32} {figure_unit:14} {'':>10} {'':>10} {cell(medians['cadrel'])}")
                continue
            base = medians["asyncio"]
            print(f"{row_name:32} {figure_unit:14} " + " ".join(cell(medians[l]) for l in LOOPS) + " "
                  + " ".join(f"{ratio(medians[l], base):>8}" for l in others))
    for (workload, loop_name), why in sorted(skipped.items()):
        print(f"skipped: {workload} on {loop_name} ({why})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
