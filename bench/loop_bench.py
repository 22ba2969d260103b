"""Loop benchmarks: the same workloads on asyncio's own loop, uvloop and CadrelLoop.

Each measurement runs in a fresh process; the loops are interleaved within every
repeat so that drift of the machine hits all of them alike. Every loop is driven
only through the methods CadrelLoop offers (call_soon, call_soon_threadsafe,
call_later, run_forever, run_until_complete, create_task, stop, add_reader,
add_writer, remove_reader, remove_writer). A workload
reports one figure, or several named ones; the report gives the median of each
figure and each loop's ratio to asyncio.

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

LOOPS = ("asyncio", "uvloop", "cadrel")


def make_loop(name: str):
    if name == "asyncio":
        return asyncio.SelectorEventLoop()
    if name == "uvloop":
        import uvloop

        return uvloop.new_event_loop()
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


# ---- workloads: each returns one figure in the workload's unit, or a dict of
# ---- named figures when its unit is a dict of those names' units -------------


def call_soon_ns(loop) -> float:
    """ns per callback: schedule N callbacks with call_soon, then run them."""
    count = 200_000
    callback = int  # a cheap builtin: measure the loop, not the callback
    started = time.perf_counter()
    call_soon = loop.call_soon
    for _ in range(count):
        call_soon(callback)
    call_soon(loop.stop)
    loop.run_forever()
    return (time.perf_counter() - started) / count * 1e9


def call_soon_threadsafe_ns(loop) -> float:
    """ns per callback posted from a second thread while the loop runs."""
    count = 200_000
    done = []

    def producer():
        post = loop.call_soon_threadsafe
        callback = int
        for _ in range(count):
            post(callback)
        post(loop.stop)
        done.append(time.perf_counter())

    thread = threading.Thread(target=producer)
    started = time.perf_counter()
    loop.call_soon(thread.start)
    loop.run_forever()
    finished = time.perf_counter()
    thread.join()
    return (finished - started) / count * 1e9


def wake_latency_us(loop) -> float:
    """Median µs of a round trip thread -> sleeping loop -> thread."""
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
    loop.call_soon(thread.start)
    loop.run_forever()
    thread.join()
    return statistics.median(samples) * 1e6


def sleep0_switch_ns(loop) -> float:
    """ns per `await asyncio.sleep(0)` inside one task."""
    count = 100_000

    async def switcher():
        sleep = asyncio.sleep
        for _ in range(count):
            await sleep(0)

    started = time.perf_counter()
    loop.run_until_complete(switcher())
    return (time.perf_counter() - started) / count * 1e9


def fan_out_ns(loop) -> float:
    """ns per task step: 10,000 tasks, each awaiting sleep(0) three times."""
    tasks, steps = 10_000, 3

    async def step():
        for _ in range(steps):
            await asyncio.sleep(0)

    async def main():
        await asyncio.gather(*(step() for _ in range(tasks)))

    started = time.perf_counter()
    loop.run_until_complete(main())
    return (time.perf_counter() - started) / (tasks * (steps + 1)) * 1e9


def host_floor_ns(_loop) -> float:
    """ns to build an asyncio.Handle and call its _run() in plain Python."""
    count = 200_000
    reference_loop = asyncio.SelectorEventLoop()
    callback = int
    handle_class = asyncio.Handle
    started = time.perf_counter()
    for _ in range(count):
        handle_class(callback, (), reference_loop)._run()
    elapsed = time.perf_counter() - started
    reference_loop.close()
    return elapsed / count * 1e9


def timers_100k(loop) -> dict:
    """100,000 call_later timers, delays spread over 0-50 ms: the cost of
    scheduling one, how late they run against their requested deadline, and
    how long the loop takes beyond the last deadline."""
    count = 100_000
    rng = random.Random(100_000)  # the same delays for every loop
    delays = [rng.uniform(0.0, 0.05) for _ in range(count)]
    deadlines = [0.0] * count
    fired = [0.0] * count
    left = [count]
    monotonic = time.monotonic

    def on_timer(i):
        fired[i] = monotonic()
        left[0] -= 1
        if not left[0]:
            loop.stop()

    call_later = loop.call_later
    started = monotonic()
    for i, delay in enumerate(delays):
        deadlines[i] = monotonic() + delay  # a timer may not run before this
        call_later(delay, on_timer, i)
    scheduled = monotonic()
    loop.run_forever()
    lateness = sorted(f - d for f, d in zip(fired, deadlines))
    return {
        "schedule": (scheduled - started) / count * 1e9,
        "late_median": statistics.median(lateness) * 1e3,
        "late_p99": lateness[int(0.99 * count)] * 1e3,
        "beyond_last": (max(fired) - max(deadlines)) * 1e3,
    }


def _ping_pong_seconds(loop, rounds: int) -> float:
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
    started = time.perf_counter()
    left.send(b"x")
    loop.run_forever()
    elapsed = time.perf_counter() - started
    for sock in (left, right):
        loop.remove_reader(sock.fileno())
        sock.close()
    return elapsed


def socket_pingpong_us(loop) -> float:
    """µs per round trip of one byte over a socket pair through add_reader."""
    rounds = 20_000
    return _ping_pong_seconds(loop, rounds) / rounds * 1e6


def tcp_echo_50(loop) -> float:
    """Requests per second: 50 clients on 127.0.0.1 each send 64-byte requests,
    one at a time, to an echo server in the same loop; everything runs on
    non-blocking sockets through add_reader / add_writer."""
    clients, per_client, size = 50, 400, 64
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
    started = time.perf_counter()
    for _ in range(clients):
        sock = socket.socket()
        sock.setblocking(False)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        sock.connect_ex(address)  # in progress; writable once connected
        open_sockets.append(sock)
        # [socket, bytes of replies received, connected, requests left]
        watch(loop, "add_writer", sock.fileno(), on_connected, [sock, 0, False, per_client])
    loop.run_forever()
    elapsed = time.perf_counter() - started
    for sock in open_sockets:
        loop.remove_reader(sock.fileno())
        loop.remove_writer(sock.fileno())
        sock.close()
    return clients * per_client / elapsed


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
        figures[name] = _ping_pong_seconds(loop, rounds) / (2 * rounds) * 1e9
        for pair in pairs:
            for sock in pair:
                loop.remove_reader(sock.fileno())
                sock.close()
    return figures


WORKLOADS = {
    "call_soon": ("ns/callback", call_soon_ns),
    "call_soon_threadsafe": ("ns/callback", call_soon_threadsafe_ns),
    "wake_latency": ("us median", wake_latency_us),
    "sleep0_switch": ("ns/switch", sleep0_switch_ns),
    "fan_out_10k": ("ns/step", fan_out_ns),
    "host_floor": ("ns/handle", host_floor_ns),
    "timers_100k": (
        {"schedule": "ns/timer", "late_median": "ms", "late_p99": "ms", "beyond_last": "ms"},
        timers_100k,
    ),
    "socket_pingpong": ("us/round", socket_pingpong_us),
    "tcp_echo_50": ("requests/s", tcp_echo_50),
    "watched_10k_vs_10": ({"idle_10": "ns/event", "idle_10k": "ns/event"}, watched_10k_vs_10),
}


def run_one(loop_name: str, workload: str) -> float | dict:
    loop = make_loop(loop_name)
    try:
        _, function = WORKLOADS[workload]
        function(loop)  # warm-up: imports, allocator, code paths
        return function(loop)
    finally:
        release(loop)


def measure(loop_name: str, workload: str) -> float | dict:
    output = subprocess.run(
        [sys.executable, __file__, "--child", loop_name, workload],
        check=True,
        capture_output=True,
        text=True,
        timeout=300,
    ).stdout
    return json.loads(output)["value"]


def ratio(value: float, base: float) -> str:
    return f"{value / base:.2f}" if base > 0 else "n/a"


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
    for repeat in range(args.repeats):
        for workload in workloads:
            loops = ("cadrel",) if workload == "host_floor" else LOOPS
            for loop_name in loops:
                results[(workload, loop_name)].append(measure(loop_name, workload))
        print(f"repeat {repeat + 1}/{args.repeats} done", file=sys.stderr)

    header = f"{'workload':28} {'unit':12} {'asyncio':>10} {'uvloop':>10} {'cadrel':>10} {'uv/asy':>7} {'cad/asy':>8}"
    print(header)
    print("-" * len(header))
    for workload in workloads:
        unit, _ = WORKLOADS[workload]
        # A workload with several figures has one row per figure.
        figures = [(f"{workload}.{name}", name, u) for name, u in unit.items()] if isinstance(unit, dict) else [(workload, None, unit)]
        for row_name, figure, figure_unit in figures:
            medians = {
                l: statistics.median([v if figure is None else v[figure] for v in results[(workload, l)]])
                if results[(workload, l)] else None
                for l in LOOPS
            }
            if workload == "host_floor":
                print(f"{row_name:28} {figure_unit:12} {'':>10} {'':>10} {medians['cadrel']:10.1f}")
                continue
            base = medians["asyncio"]
            print(
                f"{row_name:28} {figure_unit:12} {base:10.1f} {medians['uvloop']:10.1f} {medians['cadrel']:10.1f}"
                f" {ratio(medians['uvloop'], base):>7} {ratio(medians['cadrel'], base):>8}"
            )
    return 0


if __name__ == "__main__":
    sys.exit(main())
