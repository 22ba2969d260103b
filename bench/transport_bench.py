"""Transport benchmarks: an echo server on asyncio's loop, uvloop and cadrelio.

The server under test runs in a fresh process on the loop being measured, and
every server gets the same client. The echo workloads' client is native by
default (bench/echo_load.cpp, compiled here on first use): a client written in
Python spends about as much CPU per request as the server, so on a small
machine it would take the core a server could use and cap every server at its
own speed. `--client python` runs them from this process instead, on uvloop
when it is installed (asyncio's loop otherwise), as the idle-connection
workload always does. The loops are interleaved within
every repeat so that drift of the machine hits all of them alike. Beside each
rate the report gives the server's CPU time per request (user + system of every
thread, so a loop that moves work onto helper threads pays for it here) and its
peak resident memory. The report gives the median of each figure over the
repeats and each loop's ratio to asyncio.

    python3 bench/transport_bench.py [--repeats N] [--seconds S] [--only WORKLOAD ...]
                                     [--client native|python]

Workloads:
    streams_1k       100 connections, 1 KiB request/response, StreamReader/Writer
    protocol_1k      100 connections, 1 KiB request/response, asyncio.Protocol
    protocol_100k    10 connections, 100 KiB request/response, asyncio.Protocol
    latency          1 connection, 64-byte request/response (µs per round trip)
    idle_connection  server memory per idle connection: the growth over 3,000
                     connections opened after the first 6,000 (which take up the
                     memory a process keeps free after its start)
    aiohttp_hello    aiohttp's "hello world" under wrk, 100 connections
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import re
import resource
import shutil
import statistics
import subprocess
import sys
import threading
import time

LOOPS = ("asyncio", "uvloop", "cadrelio")

# name: (connections, message bytes)
ECHO_WORKLOADS = {
    "streams_1k": (100, 1024),
    "protocol_1k": (100, 1024),
    "protocol_100k": (10, 100 * 1024),
    "latency": (1, 64),
}
# Connections opened before the measured ones: a server can start with a few MiB
# resident but free (uvloop on 3.14 grows by nothing for its first ~4,000), which
# would otherwise pass for a small cost per connection.
IDLE_FIRST = 6000
IDLE_MEASURED = 3000
WORKLOADS = (*ECHO_WORKLOADS, "idle_connection", "aiohttp_hello")


def new_loop(name: str):
    if name == "asyncio":
        return asyncio.SelectorEventLoop()
    if name == "uvloop":
        import uvloop

        return uvloop.new_event_loop()
    import cadrelio

    return cadrelio.new_event_loop()


HERE = os.path.dirname(os.path.abspath(__file__))
ECHO_LOAD_SOURCE = os.path.join(HERE, "echo_load.cpp")
ECHO_LOAD = os.path.join(HERE, os.pardir, "build-echo-load", "echo_load")


def echo_load_binary() -> str:
    """The native client, compiled when missing or older than its source."""
    if not os.path.exists(ECHO_LOAD) or os.path.getmtime(ECHO_LOAD) < os.path.getmtime(ECHO_LOAD_SOURCE):
        os.makedirs(os.path.dirname(ECHO_LOAD), exist_ok=True)
        compiler = os.environ.get("CXX") or shutil.which("c++") or "g++"
        subprocess.run([compiler, "-O2", "-std=c++20", "-o", ECHO_LOAD, ECHO_LOAD_SOURCE], check=True)
    return ECHO_LOAD


def client_loop_name() -> str:
    try:
        import uvloop  # noqa: F401
    except ImportError:
        return "asyncio"
    return "uvloop"


# The server process ------------------------------------------------------------------------


class EchoProtocol(asyncio.Protocol):
    def connection_made(self, transport):
        self.transport = transport

    def data_received(self, data):
        self.transport.write(data)


async def echo_stream(reader, writer):
    try:
        while data := await reader.read(65536):
            writer.write(data)
            await writer.drain()
    except ConnectionError:
        pass
    finally:
        writer.close()


async def aiohttp_server():
    from aiohttp import web

    async def hello(request):
        return web.Response(text="Hello, World!")

    app = web.Application()
    app.router.add_get("/", hello)
    runner = web.AppRunner(app, access_log=None)
    await runner.setup()
    site = web.TCPSite(runner, "127.0.0.1", 0)
    await site.start()
    return site._server


def process_usage() -> dict:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    with open("/proc/self/status") as status:
        fields = dict(line.split(":", 1) for line in status)
    return {
        "cpu": usage.ru_utime + usage.ru_stime,
        "rss": int(fields["VmRSS"].split()[0]) * 1024,
        "peak_rss": int(fields["VmHWM"].split()[0]) * 1024,
    }


def serve(loop_name: str, workload: str) -> None:
    """Prints the port, then answers each line on standard input with the
    process's usage as JSON; ends at end of input."""
    loop = new_loop(loop_name)
    asyncio.set_event_loop(loop)
    if workload == "aiohttp_hello":
        server = loop.run_until_complete(aiohttp_server())
    elif workload == "streams_1k":
        server = loop.run_until_complete(asyncio.start_server(echo_stream, "127.0.0.1", 0))
    else:
        server = loop.run_until_complete(loop.create_server(EchoProtocol, "127.0.0.1", 0))
    print(server.sockets[0].getsockname()[1], flush=True)

    def answer_marks():
        for _ in sys.stdin:
            print(json.dumps(process_usage()), flush=True)
        loop.call_soon_threadsafe(loop.stop)

    threading.Thread(target=answer_marks, daemon=True).start()
    loop.run_forever()
    server.close()
    loop.run_until_complete(server.wait_closed())
    loop.close()


# The client (this process) -----------------------------------------------------------------


class Server:
    """The server under test in its own process, with usage marks on demand."""

    def __init__(self, loop_name: str, workload: str):
        self.process = subprocess.Popen(
            [sys.executable, __file__, "--serve", loop_name, workload],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.port = int(self.process.stdout.readline())

    def usage(self) -> dict:
        self.process.stdin.write("mark\n")
        self.process.stdin.flush()
        return json.loads(self.process.stdout.readline())

    def stop(self) -> None:
        self.process.stdin.close()
        if self.process.wait(timeout=60) != 0:
            raise RuntimeError(f"server exited with {self.process.returncode}")


async def echo_client(port: int, size: int, stop_at: list, counts: list) -> None:
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    message = b"x" * size
    try:
        while time.monotonic() < stop_at[0]:
            writer.write(message)
            await reader.readexactly(size)
            counts[0] += 1
    finally:
        writer.close()
        await writer.wait_closed()


async def measure_echo(server: Server, workload: str, seconds: float) -> dict:
    connections, size = ECHO_WORKLOADS[workload]
    warm_up = 0.5
    stop_at = [time.monotonic() + warm_up + seconds]
    counts = [0]
    clients = [asyncio.ensure_future(echo_client(server.port, size, stop_at, counts))
               for _ in range(connections)]
    await asyncio.sleep(warm_up)
    start_count, started, before = counts[0], time.monotonic(), server.usage()
    await asyncio.sleep(seconds)
    done_count, ended, after = counts[0], time.monotonic(), server.usage()
    await asyncio.gather(*clients)
    return echo_figures(workload, done_count - start_count, ended - started, before, after)


def echo_figures(workload: str, requests: int, elapsed: float, before: dict, after: dict) -> dict:
    figures = {
        "rate": requests / elapsed,
        "cpu": (after["cpu"] - before["cpu"]) / requests * 1e6,
        "peak_rss": after["peak_rss"] / 2**20,
    }
    if workload == "latency":
        figures["rate"] = elapsed / requests * 1e6
    return figures


async def measure_idle(server: Server) -> dict:
    async def open_idle(count: int) -> list:
        opened = [await asyncio.open_connection("127.0.0.1", server.port) for _ in range(count)]
        await asyncio.sleep(0.5)  # every connection accepted and its transport made
        return opened

    opened = await open_idle(IDLE_FIRST)
    before = server.usage()
    opened += await open_idle(IDLE_MEASURED)
    after = server.usage()
    for _, writer in opened:
        writer.close()
    return {"per_connection": (after["rss"] - before["rss"]) / IDLE_MEASURED}


def measure_wrk(server: Server, seconds: float) -> dict:
    before = server.usage()
    done = subprocess.run(["wrk", "-t2", "-c100", f"-d{seconds:g}s", f"http://127.0.0.1:{server.port}/"],
                          capture_output=True, text=True, check=True)
    after = server.usage()
    requests = int(re.search(r"(\d+) requests in", done.stdout).group(1))
    return {
        "rate": float(re.search(r"Requests/sec:\s+([\d.]+)", done.stdout).group(1)),
        "cpu": (after["cpu"] - before["cpu"]) / requests * 1e6,
        "peak_rss": after["peak_rss"] / 2**20,
    }


class NativeLoad:
    """The native echo client in its own process; mark() gives its completed
    requests and the time it counted them at."""

    def __init__(self, port: int, connections: int, size: int):
        self.process = subprocess.Popen([echo_load_binary(), str(port), str(connections), str(size)],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def mark(self) -> tuple[int, float]:
        self.process.stdin.write("\n")
        self.process.stdin.flush()
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError(f"echo_load exited with {self.process.wait()}")
        count, nanoseconds = line.split()
        return int(count), int(nanoseconds) / 1e9

    def stop(self) -> None:
        self.process.stdin.close()
        if self.process.wait(timeout=60) != 0:
            raise RuntimeError(f"echo_load exited with {self.process.returncode}")


def measure_echo_native(server: Server, workload: str, seconds: float) -> dict:
    connections, size = ECHO_WORKLOADS[workload]
    load = NativeLoad(server.port, connections, size)
    try:
        time.sleep(0.5)  # warm-up
        (start_count, started), before = load.mark(), server.usage()
        time.sleep(seconds)
        (done_count, ended), after = load.mark(), server.usage()
    finally:
        load.stop()
    return echo_figures(workload, done_count - start_count, ended - started, before, after)


def measure(loop_name: str, workload: str, seconds: float, client: str) -> dict:
    server = Server(loop_name, workload)
    if workload == "aiohttp_hello" or (client == "native" and workload in ECHO_WORKLOADS):
        try:
            if workload == "aiohttp_hello":
                return measure_wrk(server, seconds)
            return measure_echo_native(server, workload, seconds)
        finally:
            server.stop()
    loop = new_loop(client_loop_name())
    try:
        if workload == "idle_connection":
            return loop.run_until_complete(measure_idle(server))
        return loop.run_until_complete(measure_echo(server, workload, seconds))
    finally:
        loop.close()
        server.stop()


UNITS = {"cpu": "us cpu/request", "peak_rss": "MiB peak", "per_connection": "B/connection"}


def unit(workload: str, figure: str) -> str:
    if figure == "rate":
        return "us/round trip" if workload == "latency" else "requests/s"
    return UNITS[figure]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--only", nargs="*", choices=WORKLOADS)
    parser.add_argument("--loops", nargs="*", choices=LOOPS, default=list(LOOPS))
    parser.add_argument("--client", choices=("native", "python"), default="native",
                        help="the echo workloads' client (default: native)")
    parser.add_argument("--serve", nargs=2, metavar=("LOOP", "WORKLOAD"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        serve(*args.serve)
        return 0

    workloads = args.only or WORKLOADS
    results: dict = {}
    for repeat in range(args.repeats):
        for workload in workloads:
            for loop_name in args.loops:
                for figure, value in measure(loop_name, workload, args.seconds, args.client).items():
                    results.setdefault((workload, figure), {}).setdefault(loop_name, []).append(value)
        print(f"repeat {repeat + 1}/{args.repeats} done", file=sys.stderr, flush=True)

    echo_client = "native (echo_load)" if args.client == "native" else client_loop_name()
    print(f"python {sys.version.split()[0]}; median of {args.repeats} repeats, "
          f"{args.seconds:g} s each; echo client: {echo_client}; idle-connection client on "
          f"{client_loop_name()}; aiohttp under wrk")
    header = f"{'workload':<30} {'unit':<16}" + "".join(f"{name:>10}" for name in args.loops)
    ratios = [name for name in args.loops if name != "asyncio"]
    print(header + "".join(f"  {name[:3]}/asy" for name in ratios))
    for (workload, figure), per_loop in results.items():
        medians = {name: statistics.median(values) for name, values in per_loop.items()}
        row = f"{workload + '.' + figure:<30} {unit(workload, figure):<16}"
        row += "".join(f"{medians[name]:>10.1f}" for name in args.loops)
        if "asyncio" in medians and medians["asyncio"]:
            row += "".join(f"{medians[name] / medians['asyncio']:>9.2f}" for name in ratios)
        print(row)
    return 0


if __name__ == "__main__":
    sys.exit(main())
