"""Instructions per operation, counted by callgrind: figures that the machine's
speed and load do not move, for changes too small to show through the noise of
the timed benchmarks.

Each workload runs under valgrind's callgrind twice per loop, at two sizes, in
fresh processes with a fixed hash seed; the difference of the two totals over
the difference of the operation counts leaves out start-up, imports and
teardown. Callgrind counts user-space instructions of every thread (system
calls count as one each), so it sees what the loop's code costs, not what the
kernel or a wake-up costs: read it beside loop_bench.py, not instead of it.
The ping-pongs handle one event at a time and repeat within a fraction of a
percent; the echo's 50 connections are handled in batches whose sizes depend
on timing, so its count moves by a few percent from run to run.
Needs valgrind (Debian: `apt install valgrind`); takes a few minutes.

    python3 bench/instruction_counts.py [--only WORKLOAD ...] [--loops LOOP ...]
"""

from __future__ import annotations

import argparse
import asyncio
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import loop_bench  # noqa: E402
from transport_bench import EchoProtocol  # noqa: E402

LOOPS = loop_bench.LOOPS


def available(loop_name: str) -> bool:
    module = "asyncio" if loop_name == "asyncio" else loop_name
    return importlib.util.find_spec(module) is not None


def socket_pingpong(loop, rounds: int) -> None:
    loop_bench._ping_pong(loop, rounds)


def tcp_echo_50(loop, requests: int) -> None:
    loop_bench._tcp_echo(loop, 50, requests // 50)


class _Client(asyncio.Protocol):
    def __init__(self, rounds: int, done):
        self.left, self.done = rounds, done

    def connection_made(self, transport):
        self.transport = transport
        transport.write(b"x" * 64)

    def data_received(self, data):
        self.left -= 1
        if self.left:
            self.transport.write(data)
        else:
            self.done.set_result(None)


def protocol_pingpong(loop, rounds: int) -> None:
    """64 bytes back and forth over one TCP connection, both protocols on the loop."""
    if not hasattr(loop, "create_server"):
        raise NotImplementedError("no transports")

    async def main():
        server = await loop.create_server(EchoProtocol, "127.0.0.1", 0)
        done = loop.create_future()
        transport, _ = await loop.create_connection(
            lambda: _Client(rounds, done), *server.sockets[0].getsockname())
        await done
        transport.close()
        server.close()
        await server.wait_closed()

    loop.run_until_complete(main())


def sleep0_switch(loop, switches: int) -> None:
    """One task awaiting sleep(0): a task step through the loop's ready queue."""
    async def switcher():
        for _ in range(switches):
            await asyncio.sleep(0)

    loop.run_until_complete(switcher())


def fan_out(loop, tasks: int) -> None:
    """Tasks created at once, each awaiting sleep(0) three times, then gathered."""
    async def step():
        for _ in range(3):
            await asyncio.sleep(0)

    async def main():
        await asyncio.gather(*(step() for _ in range(tasks)))

    loop.run_until_complete(main())


# name: (operation, smaller count, larger count)
WORKLOADS = {
    "socket_pingpong": (socket_pingpong, "round", 2_000, 6_000),
    "tcp_echo_50": (tcp_echo_50, "request", 5_000, 15_000),
    "protocol_pingpong": (protocol_pingpong, "round", 2_000, 6_000),
    "sleep0_switch": (sleep0_switch, "switch", 5_000, 15_000),
    "fan_out": (fan_out, "task", 2_000, 6_000),
}


def child(loop_name: str, workload: str, count: int) -> None:
    run = WORKLOADS[workload][0]
    loop = loop_bench.make_loop(loop_name)
    try:
        run(loop, count)
    except NotImplementedError:
        sys.exit(3)
    finally:
        loop_bench.release(loop)


def total_instructions(loop_name: str, workload: str, count: int, scratch: str) -> int | None:
    out = os.path.join(scratch, f"{loop_name}.{workload}.{count}")
    result = subprocess.run(
        ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
         sys.executable, __file__, "--child", loop_name, workload, str(count)],
        env={**os.environ, "PYTHONHASHSEED": "0"}, stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL, timeout=1800)
    if result.returncode == 3:
        return None
    if result.returncode != 0:
        raise RuntimeError(f"{loop_name} {workload} {count}: exit {result.returncode}")
    with open(out) as profile:
        for line in profile:
            if match := re.match(r"(?:summary|totals): (\d+)", line):
                return int(match.group(1))
    raise RuntimeError(f"{out}: no totals line")


def per_operation(loop_name: str, workload: str, scratch: str) -> float | None:
    _, _, small, large = WORKLOADS[workload]
    counts = [total_instructions(loop_name, workload, n, scratch) for n in (small, large)]
    if None in counts:
        return None
    return (counts[1] - counts[0]) / (large - small)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--only", nargs="*", choices=sorted(WORKLOADS))
    parser.add_argument("--loops", nargs="*", choices=LOOPS)
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child[0], args.child[1], int(args.child[2]))
        return 0
    if shutil.which("valgrind") is None:
        print("valgrind is not installed (Debian: apt install valgrind)", file=sys.stderr)
        return 2
    loops = [name for name in (args.loops or LOOPS) if available(name)]
    print(f"{'workload':20} {'unit':22}" + "".join(f"{name:>11}" for name in loops))
    with tempfile.TemporaryDirectory() as scratch:
        for workload in args.only or WORKLOADS:
            unit = f"instructions/{WORKLOADS[workload][1]}"
            figures = [per_operation(name, workload, scratch) for name in loops]
            print(f"{workload:20} {unit:22}" + "".join(
                f"{'skipped' if figure is None else f'{figure:,.0f}':>11}" for figure in figures), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
