"""Child processes of cadrelio loops (subprocess_exec, subprocess_shell).

The transport is asyncio's BaseSubprocessTransport over subprocess.Popen; its
pipes are the loop's pipe transports. The loop learns of the child's exit
without a SIGCHLD handler and without asyncio's child watchers: through a pid
file descriptor watched for readability where the kernel offers one, and
otherwise through a thread that waits for that child alone without reaping it
(waitid with WNOWAIT) and tells the loop with call_soon_threadsafe. Either way
the loop thread reaps the child and publishes its exit in one step.
"""

import os
import subprocess
import threading
from asyncio import base_subprocess, tasks
from asyncio.log import logger

__all__ = ("SubprocessMixin",)


class _SubprocessTransport(base_subprocess.BaseSubprocessTransport):
    def _start(self, args, shell, stdin, stdout, stderr, bufsize, **kwargs):
        self._proc = subprocess.Popen(
            args, shell=shell, stdin=stdin, stdout=stdout, stderr=stderr,
            universal_newlines=False, bufsize=bufsize, **kwargs)


def _reap(pid, proc):
    """The exit code of the exited child `pid`; 255 when someone else reaped it unseen."""
    try:
        _, status = os.waitpid(pid, 0)
    except ChildProcessError:
        # Popen.poll() or send_signal() in this process may have reaped it first.
        if proc is not None and proc.returncode is not None:
            return proc.returncode
        logger.warning("child process pid %d exit status already read: will report returncode 255", pid)
        return 255
    return os.waitstatus_to_exitcode(status)


class _PidfdWatch:
    """Waits for one child's exit as readability of its pid file descriptor."""

    def __init__(self, loop, transport, pidfd):
        self._loop = loop
        self._transport = transport
        self._pidfd = pidfd
        loop._add_reader(pidfd, self._exited)

    def _exited(self):
        self.release()
        transport = self._transport
        self._transport = None
        _publish_exit(transport)

    def release(self):
        """Closes the descriptor (the loop closes, or the child exited)."""
        self._loop._child_watches.discard(self)
        if self._pidfd is not None:
            self._loop._remove_reader(self._pidfd)
            os.close(self._pidfd)
            self._pidfd = None


def _publish_exit(transport):
    # Reaping and publishing happen together on the loop thread: until then the
    # child stays a zombie and its pid cannot be reused under a kill() or
    # send_signal() that still believes it is running.
    transport._process_exited(_reap(transport.get_pid(), transport._proc))


def _watch_on_thread(loop, transport):
    pid = transport.get_pid()

    def wait():
        try:
            os.waitid(os.P_PID, pid, os.WEXITED | os.WNOWAIT)
        except ChildProcessError:
            pass  # already reaped (Popen.poll()): _reap takes Popen's status
        try:
            loop.call_soon_threadsafe(_publish_exit, transport)
        except RuntimeError:
            # The loop was closed first: nobody is left to tell, but the child
            # must not stay a zombie.
            _reap(pid, None)

    threading.Thread(target=wait, name=f"cadrelio-waitpid-{pid}", daemon=True).start()


class SubprocessMixin:
    def _init_subprocesses(self):
        # Pidfd watches of children still running; released when the loop closes.
        self._child_watches = set()

    def _close_subprocesses(self):
        for watch in list(self._child_watches):
            watch.release()

    async def _make_subprocess_transport(self, protocol, args, shell, stdin, stdout, stderr, bufsize,
                                         extra=None, **kwargs):
        waiter = self.create_future()
        transport = _SubprocessTransport(self, protocol, args, shell, stdin, stdout, stderr, bufsize,
                                         waiter=waiter, extra=extra, **kwargs)
        self._watch_child(transport)
        try:
            await waiter
        except (SystemExit, KeyboardInterrupt):
            raise
        except BaseException:
            transport.close()
            await tasks.shield(transport._wait())
            raise
        return transport

    def _watch_child(self, transport):
        try:
            pidfd = os.pidfd_open(transport.get_pid())
        except (AttributeError, OSError):
            # No pidfd_open (older kernel or libc, or a sandbox that refuses it).
            _watch_on_thread(self, transport)
            return
        try:
            self._child_watches.add(_PidfdWatch(self, transport, pidfd))
        except BaseException:
            os.close(pidfd)
            raise
