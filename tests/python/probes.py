# Observations of this process's threads, descriptors and memory, read from /proc.
import os
import time

WORKER_NAME = "cadrel-worker"


def thread_name(tid):
    """The name of thread `tid` of this process, or None once it has exited."""
    try:
        with open(f"/proc/self/task/{tid}/comm") as comm:
            return comm.read().rstrip("\n")
    except (FileNotFoundError, ProcessLookupError):
        return None


def worker_tids():
    """Thread ids of the process's "cadrel-worker" threads."""
    return [tid for tid in os.listdir("/proc/self/task") if thread_name(tid) == WORKER_NAME]


def thread_names():
    """Names of the process's threads; threads that exit while being read are left out."""
    return [name for tid in os.listdir("/proc/self/task") if (name := thread_name(tid)) is not None]


def worker_count():
    return thread_names().count(WORKER_NAME)


def thread_count():
    return len(os.listdir("/proc/self/task"))


def fd_count():
    return len(os.listdir("/proc/self/fd"))


def _status_bytes(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"{field} missing from /proc/self/status")


def rss_bytes():
    return _status_bytes("VmRSS")


def peak_rss_bytes():
    """The process's peak resident memory so far."""
    return _status_bytes("VmHWM")


def processor_count():
    """Processors this process may run on: the count a loop's runtime starts workers for."""
    return len(os.sched_getaffinity(0))


def workers_named_within(expected, timeout=10.0):
    """Polls until `expected` workers carry their name, or the timeout passes; returns the count.

    A worker names itself once it runs, so right after construction it may still carry the
    process's name for a moment. A joined worker may still be listed for a moment too: the
    kernel lets its joiner go before it has removed the thread from /proc/self/task.
    """
    deadline = time.monotonic() + timeout
    while (count := worker_count()) != expected and time.monotonic() < deadline:
        time.sleep(0.001)
    return count


def forks_that_hang(forks, child, before_fork=lambda: None, timeout=10.0):
    """Forks `forks` times; each child runs `child()` (which must end the child). Returns how
    many children had not exited within `timeout` seconds (those are killed and reaped)."""
    hung = 0
    for _ in range(forks):
        before_fork()
        pid = os.fork()
        if pid == 0:
            child()
            os._exit(0)
        deadline = time.monotonic() + timeout
        while not os.waitpid(pid, os.WNOHANG)[0]:
            if time.monotonic() >= deadline:
                hung += 1
                os.kill(pid, 9)
                os.waitpid(pid, 0)
                break
            time.sleep(0.001)
    return hung


def write_calls():
    """write() and kin made by all the process's threads so far, or None where the kernel keeps
    no such count."""
    try:
        with open("/proc/self/io") as io:
            fields = dict(line.split(": ") for line in io.read().splitlines())
    except OSError:
        return None
    return int(fields["syscw"])


def worker_context_switches():
    """Voluntary context switches of the "cadrel-worker" threads so far: each time one of them
    went to sleep, which it does again after every wake-up."""
    total = 0
    for tid in worker_tids():
        try:
            with open(f"/proc/self/task/{tid}/status") as status:
                for line in status:
                    if line.startswith("voluntary_ctxt_switches:"):
                        total += int(line.split()[1])
        except (FileNotFoundError, ProcessLookupError):
            pass
    return total


def threads_within(expected, timeout=10.0):
    """Polls until the process has `expected` threads, or the timeout passes; returns the count.
    A joined thread may still be listed for a moment (see workers_named_within)."""
    deadline = time.monotonic() + timeout
    while (count := thread_count()) != expected and time.monotonic() < deadline:
        time.sleep(0.001)
    return count
