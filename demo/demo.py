"""A tour of cadrel: each step is one small function that prints what it shows."""

import os
import time

import cadrel

WORKER_NAME = "cadrel-worker"


def thread_names():
    """Names of this process's threads as the kernel shows them.

    threading.enumerate() lists only threads that Python started; the loops'
    workers are native threads, so read /proc instead.
    """
    names = []
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as comm:
                names.append(comm.read().strip())
        except FileNotFoundError:  # the thread ended while we listed them
            pass
    return names


def count_workers():
    return sum(1 for name in thread_names() if name == WORKER_NAME)


def wait_for_workers(expected, timeout=5.0):
    """Polls until `expected` workers exist; they start just after construction."""
    deadline = time.monotonic() + timeout
    while count_workers() != expected and time.monotonic() < deadline:
        time.sleep(0.01)
    return count_workers()


def show_threads(title):
    names = thread_names()
    workers = names.count(WORKER_NAME)
    print(f"{title}: {len(names)} threads, {workers} named {WORKER_NAME!r}")


def create_loops(count):
    loops = [cadrel.CadrelLoop() for _ in range(count)]
    print(f"created {count} loops")
    return loops


def release_loops(loops):
    # Releasing the last reference shuts a loop's runtime down and joins its workers
    # before the release returns, so no waiting is needed afterwards.
    count = len(loops)
    loops.clear()
    print(f"released {count} loops")


def workers_demo(count=3):
    show_threads("before")
    loops = create_loops(count)
    per_loop = len(os.sched_getaffinity(0))
    wait_for_workers(count * per_loop)
    show_threads(f"with {count} loops ({per_loop} workers each expected)")
    release_loops(loops)
    show_threads("after")
    return count_workers() == 0


def main():
    ok = workers_demo()
    print("all worker threads gone" if ok else "worker threads left behind!")
    return 0 if ok else 1


if __name__ == "__main__":
    raise SystemExit(main())
