# Child processes over asyncio's loop and cadrelio's: pipes, exit status, signals, and (cadrelio)
# both ways of noticing the exit.
import asyncio
import os
import signal
import sys
import threading

import pytest

import cadrelio
from conftest import run

PIPE = asyncio.subprocess.PIPE
UPPER = "import sys; data = sys.stdin.buffer.read(); sys.stdout.buffer.write(data.upper()); sys.exit(len(data))"
SLEEPER = [sys.executable, "-c", "import time; time.sleep(60)"]


@pytest.fixture(params=["pidfd", "thread"])
def exit_notice(request, monkeypatch):
    """cadrelio notices a child's exit by its pid descriptor, or by a waiting thread without one."""
    if request.param == "thread":
        if "loop" in request.fixturenames and not isinstance(request.getfixturevalue("loop"), cadrelio.Loop):
            pytest.skip("asyncio's loop chooses its own child watcher")

        def refuse(pid, flags=0):
            raise OSError(38, "pidfd_open refused by the test")
        monkeypatch.setattr(os, "pidfd_open", refuse)
    return request.param


def waiting_threads():
    return [thread for thread in threading.enumerate() if thread.name.startswith("cadrelio-waitpid-")]


def test_pipes_exit_status_and_death_by_signal(exit_notice, loop):
    async def scenario():
        proc = await asyncio.create_subprocess_exec(sys.executable, "-c", UPPER, stdin=PIPE, stdout=PIPE)
        piped = await proc.communicate(b"piped through"), proc.returncode
        killed = await asyncio.create_subprocess_shell("kill -TERM $$")
        return piped, await killed.wait()

    assert run(loop, scenario()) == (((b"PIPED THROUGH", None), len(b"piped through")), -signal.SIGTERM)
    for thread in waiting_threads():
        thread.join(10)
    assert waiting_threads() == []


def test_status_read_by_popen_first_is_still_reported(aio_loop):
    # send_signal() on 3.11 polls the Popen object, which may reap the child before the loop's
    # own waitpid() does: the status Popen saw is the one reported.
    async def scenario():
        proc = await asyncio.create_subprocess_exec(sys.executable, "-c", "import sys; sys.exit(5)")
        proc._transport.get_extra_info("subprocess").wait(10)  # reaps the child while the loop cannot run
        return await proc.wait()

    assert run(aio_loop, scenario()) == 5


@pytest.mark.parametrize("exit_notice", ["thread"], indirect=True)
def test_a_child_stays_unreaped_until_the_loop_publishes_its_exit(exit_notice, aio_loop):
    proc = run(aio_loop, asyncio.create_subprocess_exec(*SLEEPER))
    os.kill(proc.pid, signal.SIGKILL)
    waiter, = [thread for thread in waiting_threads() if thread.name == f"cadrelio-waitpid-{proc.pid}"]
    waiter.join(10)  # it saw the exit while the loop was not running
    assert proc.returncode is None
    # Still a zombie: the pid cannot have been handed to another process.
    assert os.waitid(os.P_PID, proc.pid, os.WEXITED | os.WNOWAIT | os.WNOHANG).si_pid == proc.pid
    assert run(aio_loop, proc.wait()) == -signal.SIGKILL


def test_closing_the_loop_releases_the_pid_descriptors_of_running_children():
    fds_before = len(os.listdir("/proc/self/fd"))
    loop = cadrelio.Loop()
    proc = run(loop, asyncio.create_subprocess_exec(*SLEEPER))
    popen = proc._transport.get_extra_info("subprocess")
    proc._transport.close()  # kills the child; its exit is not waited for
    loop.close()
    assert len(os.listdir("/proc/self/fd")) == fds_before
    popen.wait(10)
