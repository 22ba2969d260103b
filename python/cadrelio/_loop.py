"""cadrelio.Loop: asyncio's event-loop API on cadrel's native core.

The native base (``_native.Core``) owns the clock, the ready queue, the timer
heap, the descriptor watchers, the worker threads and the run loop; its
scheduling methods are the loop's own. ``asyncio.BaseEventLoop`` supplies the
pure-Python machinery on top: tasks and futures, the exception handler and its
default report, the default executor, async-generator hooks, name resolution.
Its own ready queue and scheduled list are never used.
"""

import asyncio
import sys
import threading
from asyncio import base_events, events
from asyncio.log import logger

from . import _native
from ._datagrams import DatagramMixin
from ._servers import ServerMixin
from ._signals import SignalMixin
from ._sockets import SocketMixin
from ._subprocesses import SubprocessMixin
from ._transports import TransportMixin
from ._unix import UnixMixin

__all__ = ("Loop",)


class Loop(_native.Core, SignalMixin, SocketMixin, TransportMixin, UnixMixin, ServerMixin, DatagramMixin,
           SubprocessMixin, asyncio.BaseEventLoop):
    """An asyncio event loop whose waiting runs on cadrel's worker threads."""

    def __init__(self):
        asyncio.BaseEventLoop.__init__(self)
        # Descriptor -> the datagram transport that owns it; watchers and sock_* calls keep
        # off them. A transport leaves it when its connection is lost (_forget_transport), or
        # with the loop's close. Stream sockets are found in the core's own table of streams,
        # which an idle connection already has an entry in.
        self._transports = {}
        SignalMixin._init_signals(self)
        ServerMixin._init_servers(self)
        UnixMixin._init_unix(self)
        SubprocessMixin._init_subprocesses(self)

    # The watcher methods the loop's own machinery uses, with no ownership check.
    _remove_reader = _native.Core.remove_reader
    _remove_writer = _native.Core.remove_writer
    _socket_transport = _native.Core._socket_transport

    def add_reader(self, fd, callback, *args):
        """Call `callback(*args)` whenever `fd` is readable."""
        self._ensure_fd_no_transport(fd)
        _native.Core.add_reader(self, fd, callback, *args)

    def add_writer(self, fd, callback, *args):
        """Call `callback(*args)` whenever `fd` is writable."""
        self._ensure_fd_no_transport(fd)
        _native.Core.add_writer(self, fd, callback, *args)

    def remove_reader(self, fd):
        """Stop watching `fd` for reading; True if it was watched."""
        self._ensure_fd_no_transport(fd)
        return _native.Core.remove_reader(self, fd)

    def remove_writer(self, fd):
        """Stop watching `fd` for writing; True if it was watched."""
        self._ensure_fd_no_transport(fd)
        return _native.Core.remove_writer(self, fd)

    def _ensure_fd_no_transport(self, fd):
        """Refuses a descriptor that an open transport of this loop owns, as asyncio does."""
        fileno = fd
        if not isinstance(fileno, int):
            try:
                fileno = int(fileno.fileno())
            except (AttributeError, TypeError, ValueError):
                # A closed file among them: asyncio finds only a closed socket's
                # watcher (its fileno() is -1), and so does the native lookup.
                raise ValueError(f"Invalid file object: {fd!r}") from None
        transport = self._transports.get(fileno)
        if transport is None:
            transport = self._socket_transport(fileno)
        if transport is not None and not transport.is_closing():
            raise RuntimeError(f"File descriptor {fd!r} is used by transport {transport!r}")

    def run_forever(self):
        """Run until stop() is called."""
        self._check_closed()
        self._check_running()
        self._set_coroutine_origin_tracking(self._debug)
        old_agen_hooks = sys.get_asyncgen_hooks()
        previous_loop = events._get_running_loop()
        try:
            self._thread_id = threading.get_ident()
            sys.set_asyncgen_hooks(firstiter=self._asyncgen_firstiter_hook,
                                   finalizer=self._asyncgen_finalizer_hook)
            events._set_running_loop(self)
            with self._signal_wakeup():
                self._run_native()
        finally:
            self._stopping = False
            self._thread_id = None
            events._set_running_loop(previous_loop)
            self._set_coroutine_origin_tracking(False)
            sys.set_asyncgen_hooks(*old_agen_hooks)

    def close(self):
        """Close the loop: release pending timers and watchers, join the workers.

        Pending callbacks are dropped and the default executor is shut down
        without waiting, as asyncio's loops do. A running loop cannot be closed.
        """
        if self.is_running():
            raise RuntimeError("Cannot close a running event loop")
        if self._closed:
            return
        self._close_signals()
        self._close_subprocesses()
        asyncio.BaseEventLoop.close(self)
        self._shut_down()
        self._transports.clear()  # what is still open goes (and closes) with its last reference

    def _forget_transport(self, fileno, transport):
        if self._transports.get(fileno) is transport:
            del self._transports[fileno]

    def _report_if_slow(self, handle, elapsed):
        # Debug mode only: the native run loop timed the handle.
        if elapsed >= self.slow_callback_duration:
            logger.warning("Executing %s took %.3f seconds",
                           base_events._format_handle(handle), elapsed)

    def __repr__(self):
        return (f"<{self.__class__.__name__} running={self.is_running()} "
                f"closed={self.is_closed()} debug={self.get_debug()}>")
