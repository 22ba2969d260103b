"""Signals for cadrelio loops: add_signal_handler and waking a sleeping loop.

A socket pair carries signal numbers: the interpreter's C-level handler writes
each caught signal's number to the wake-up descriptor (``signal.set_wakeup_fd``)
and the loop watches the other end natively. That wakes the loop thread even
while it sleeps, so the interpreter's own handlers (KeyboardInterrupt for
Ctrl-C) run promptly, and handlers added with add_signal_handler run on the loop.
"""

import contextlib
import errno
import inspect
import signal
import socket
import threading
from asyncio import coroutines, events
from asyncio.log import logger

__all__ = ("SignalMixin",)


def _ignore_signal(signum, frame):
    """Installed for signals with a loop handler: the wake-up byte does the work."""


def _on_main_thread():
    return threading.current_thread() is threading.main_thread()


class SignalMixin:
    def _init_signals(self):
        self._signal_handlers = {}
        self._ssock, self._csock = socket.socketpair()
        self._ssock.setblocking(False)
        self._csock.setblocking(False)
        self._internal_fds += 1
        self._add_reader(self._ssock.fileno(), self._read_from_self)

    def _read_from_self(self):
        while True:
            try:
                data = self._ssock.recv(4096)
            except (BlockingIOError, InterruptedError):
                return
            if not data:
                return
            for signum in data:
                self._handle_signal(signum)

    def _handle_signal(self, sig):
        handle = self._signal_handlers.get(sig)
        if handle is None:
            return  # a signal handled by the interpreter's own handler
        if handle._cancelled:
            self.remove_signal_handler(sig)
        else:
            handle._run()

    @contextlib.contextmanager
    def _signal_wakeup(self):
        """While the loop runs on the main thread, any signal wakes it."""
        if not _on_main_thread():
            yield
            return
        own = self._csock.fileno()
        previous = signal.set_wakeup_fd(own, warn_on_full_buffer=False)
        try:
            yield
        finally:
            if not self._signal_handlers:
                # Our own socket was the descriptor when a handler was left from an earlier
                # run and has been removed since: no descriptor, as remove_signal_handler()
                # leaves it, rather than one that close() is about to close.
                signal.set_wakeup_fd(-1 if previous == own else previous)

    @staticmethod
    def _check_signal(sig):
        if not isinstance(sig, int):
            raise TypeError(f"sig must be an int, not {sig!r}")
        if sig not in signal.valid_signals():
            raise ValueError(f"invalid signal number {sig}")

    def add_signal_handler(self, sig, callback, *args):
        """Run callback(*args) on the loop when signal `sig` arrives (main thread only)."""
        if coroutines.iscoroutine(callback) or inspect.iscoroutinefunction(callback):
            raise TypeError("coroutines cannot be used with add_signal_handler()")
        self._check_signal(sig)
        self._check_closed()
        try:
            signal.set_wakeup_fd(self._csock.fileno(), warn_on_full_buffer=False)
        except (ValueError, OSError) as exc:
            raise RuntimeError(str(exc))
        self._signal_handlers[sig] = events.Handle(callback, args, self, None)
        try:
            signal.signal(sig, _ignore_signal)
            signal.siginterrupt(sig, False)
        except OSError as exc:
            del self._signal_handlers[sig]
            if not self._signal_handlers:
                with contextlib.suppress(ValueError, OSError):
                    signal.set_wakeup_fd(-1)
            if exc.errno == errno.EINVAL:
                raise RuntimeError(f"sig {sig:d} cannot be caught")
            raise

    def remove_signal_handler(self, sig):
        """Remove the handler of `sig`; returns whether there was one."""
        self._check_signal(sig)
        if self._signal_handlers.pop(sig, None) is None:
            return False
        default = signal.default_int_handler if sig == signal.SIGINT else signal.SIG_DFL
        try:
            signal.signal(sig, default)
        except OSError as exc:
            if exc.errno == errno.EINVAL:
                raise RuntimeError(f"sig {sig:d} cannot be caught")
            raise
        if not self._signal_handlers:
            try:
                signal.set_wakeup_fd(-1)
            except (ValueError, OSError) as exc:
                logger.info("set_wakeup_fd(-1) failed: %s", exc)
        return True

    def _close_signals(self):
        for sig in list(self._signal_handlers):
            try:
                self.remove_signal_handler(sig)
            except (RuntimeError, ValueError, OSError):
                self._signal_handlers.pop(sig, None)
        if self._ssock is not None:
            if _on_main_thread():
                # Signals must not go on writing to a descriptor number closed below
                # (and perhaps reused).
                with contextlib.suppress(ValueError, OSError):
                    current = signal.set_wakeup_fd(-1)
                    if current != self._csock.fileno():
                        signal.set_wakeup_fd(current, warn_on_full_buffer=False)
            self._remove_reader(self._ssock.fileno())
            self._ssock.close()
            self._csock.close()
            self._ssock = self._csock = None
            self._internal_fds -= 1
