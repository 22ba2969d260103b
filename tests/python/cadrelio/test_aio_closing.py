# How a stream transport ends, over asyncio's loop and cadrelio's: connection_lost comes in the
# pass after close()/abort(), the peer sees the end at once, and nothing of the protocol is kept.
import asyncio
import gc
import socket
import sys
import weakref

import pytest

import cadrelio

from conftest import run
from test_aio_transports import BufferRecorder, Recorder, connect, make_pair


@pytest.mark.parametrize("kind", ["tcp", "unix"])
@pytest.mark.parametrize("ending", ["close", "abort"])
def test_connection_lost_comes_in_the_next_pass(loop, kind, ending):
    ours, peer = make_pair(kind)

    async def main():
        protocol = Recorder(loop)
        transport = await connect(loop, ours, protocol)
        getattr(transport, ending)()
        # Scheduled after the end: asyncio runs connection_lost before it, and the socket
        # is closed by then.
        loop.call_soon(lambda: protocol.events.append(f"next pass, fd {ours.fileno()}"))
        await protocol.lost
        return protocol.events

    try:
        assert run(loop, main()) == ["made", "lost", "next pass, fd -1"]
    finally:
        peer.close()


@pytest.mark.parametrize("kind", ["tcp", "unix"])
def test_peer_sees_the_end_when_the_loop_stops_in_the_next_pass(loop, kind):
    ours, peer = make_pair(kind)
    peer.settimeout(10)
    protocol = Recorder(loop)
    try:
        transport = run(loop, connect(loop, ours, protocol))

        def close_then_stop():
            transport.close()
            loop.call_soon(loop.stop)

        loop.call_soon(close_then_stop)
        loop.run_forever()
        # The loop runs no more: the end must already be on the wire.
        assert peer.recv(16) == b""
        assert protocol.events == ["made", "lost"]
    finally:
        peer.close()


@pytest.mark.parametrize("protocol_kind", ["plain", "buffered"])
def test_closing_in_data_received_hides_a_following_end_of_input(loop, protocol_kind):
    ours, peer = make_pair("unix")
    # Data and the end of input are both waiting before the transport reads.
    peer.sendall(b"last words")
    peer.shutdown(socket.SHUT_WR)

    async def main():
        protocol = Recorder(loop) if protocol_kind == "plain" else BufferRecorder(loop, 64)
        closing_callback = (protocol.data_received if protocol_kind == "plain"
                            else protocol.buffer_updated)

        def then_close(arg):
            closing_callback(arg)
            protocol.transport.close()

        if protocol_kind == "plain":
            protocol.data_received = then_close
        else:
            protocol.buffer_updated = then_close
        await connect(loop, ours, protocol)
        await protocol.lost
        return protocol

    try:
        protocol = run(loop, main())
        assert bytes(protocol.data) == b"last words"
        assert "eof" not in protocol.events
        assert protocol.events[-1] == "lost"
    finally:
        peer.close()


def test_transport_lets_go_of_a_buffered_protocol_at_connection_lost(loop):
    ours, peer = make_pair("tcp")

    async def main():
        protocol = BufferRecorder(loop, 1024)
        transport = await connect(loop, ours, protocol)
        protocol_ref = weakref.ref(protocol)
        lost = protocol.lost
        transport.close()
        del protocol
        await lost
        gc.collect()
        # The transport may still wait for its descriptor; the protocol must not.
        return protocol_ref() is None, transport.get_protocol() is None

    try:
        assert run(loop, main()) == (True, True)
    finally:
        peer.close()


class FailsOnData(asyncio.Protocol):
    """Raises from data_received; keeps only the name of what connection_lost got."""

    def __init__(self):
        self.events = []

    def connection_made(self, transport):
        self.events.append("made")

    def data_received(self, data):
        raise ValueError("unwanted data")

    def connection_lost(self, exc):
        self.events.append(f"lost {type(exc).__name__}")


@pytest.mark.parametrize("ending", ["close", "abort", "protocol error"])
def test_a_transport_ended_just_before_the_loop_stops_is_freed_without_the_collector(loop, ending):
    if not isinstance(loop, cadrelio.Loop) and sys.version_info < (3, 14):
        pytest.skip("asyncio's own transports keep a reference cycle here before 3.14")
    ours, peer = make_pair("tcp")
    protocol = FailsOnData()
    loop.set_exception_handler(lambda loop, context: None)
    gc.collect()
    gc.disable()
    try:
        transport = run(loop, connect(loop, ours, protocol))

        def end_then_stop():
            if ending == "protocol error":
                # The error's traceback passes through the transport's own frames.
                peer.sendall(b"x")
            else:
                getattr(transport, ending)()
                loop.call_soon(loop.stop)

        if ending == "protocol error":
            protocol.connection_lost = lambda exc: (FailsOnData.connection_lost(protocol, exc),
                                                    loop.call_soon(loop.stop))
        loop.call_soon(end_then_stop)
        loop.run_forever()
        transport_ref = weakref.ref(transport)
        del transport
        # Neither the loop nor a reference cycle may keep it: no collection has run.
        assert transport_ref() is None
        expected = "lost ValueError" if ending == "protocol error" else "lost NoneType"
        assert protocol.events == ["made", expected]
    finally:
        gc.enable()
        peer.close()
