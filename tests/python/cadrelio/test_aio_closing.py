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


@pytest.mark.parametrize("ending", ["close", "abort"])
@pytest.mark.parametrize("moment", ["connection_made", "connected"])
def test_connection_lost_comes_in_the_next_pass_however_early_the_end(loop, ending, moment):
    """Ending from connection_made, or right after connecting while the workers may not have run
    yet, still reaches connection_lost, before a callback scheduled after the end and with the
    socket closed by then."""

    def end(protocol, ours):
        getattr(protocol.transport, ending)()
        loop.call_soon(lambda: protocol.events.append(f"next pass, fd {ours.fileno()}"))

    async def main():
        for round_number in range(20):
            ours, peer = make_pair("tcp" if round_number % 2 else "unix")

            class EndsAtOnce(Recorder):
                def connection_made(self, transport):
                    super().connection_made(transport)
                    if moment == "connection_made":
                        end(self, ours)

            protocol = EndsAtOnce(loop)
            await connect(loop, ours, protocol)
            if moment == "connected":
                end(protocol, ours)
            assert await protocol.lost is None
            await asyncio.sleep(0)
            peer.close()
            assert protocol.events == ["made", "lost", "next pass, fd -1"]

    run(loop, main())


def test_closing_after_the_loop_closed_raises_and_the_socket_goes_with_the_transport(loop):
    ours, peer = make_pair("unix")
    protocol = Recorder(loop)
    transport = run(loop, connect(loop, ours, protocol))
    loop.close()
    with pytest.raises(RuntimeError, match="closed"):
        transport.close()
    assert protocol.events == ["made"]
    with pytest.warns(ResourceWarning):
        del transport, protocol
        gc.collect()
    assert ours.fileno() == -1
    peer.close()


class ClosesOnData(Recorder):
    def data_received(self, data):
        super().data_received(data)
        self.transport.close()


class ClosesOnBuffer(BufferRecorder):
    def __init__(self, loop):
        super().__init__(loop, 64)

    def buffer_updated(self, nbytes):
        super().buffer_updated(nbytes)
        self.transport.close()


@pytest.mark.parametrize("protocol_class", [ClosesOnData, ClosesOnBuffer])
def test_closing_from_a_delivery_hides_the_end_of_input_and_lets_go_of_the_protocol(loop, protocol_class):
    ours, peer = make_pair("unix")
    # Data and the end of input are both waiting before the transport reads.
    peer.sendall(b"last words")
    peer.shutdown(socket.SHUT_WR)

    async def main():
        protocol = protocol_class(loop)
        transport = await connect(loop, ours, protocol)
        await protocol.lost
        assert bytes(protocol.data) == b"last words"
        assert "eof" not in protocol.events and protocol.events[-1] == "lost"
        protocol_ref = weakref.ref(protocol)
        del protocol
        gc.collect()
        # The transport may still wait for its descriptor; the protocol must not.
        assert protocol_ref() is None and transport.get_protocol() is None

    try:
        run(loop, main())
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


@pytest.mark.parametrize("kind", ["tcp", "unix"])
@pytest.mark.parametrize("ending", ["close", "abort", "protocol error"])
def test_a_transport_ended_just_before_the_loop_stops_is_gone_at_once(loop, kind, ending):
    """The loop runs no more after the pass that ends the transport: the peer has seen the end,
    and neither the loop nor a reference cycle keeps the transport (no collection runs)."""
    ours, peer = make_pair(kind)
    peer.settimeout(10)
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
        assert protocol.events == ["made", "lost ValueError" if ending == "protocol error" else "lost NoneType"]
        if ending != "protocol error":
            assert peer.recv(16) == b""
        transport_ref = weakref.ref(transport)
        del transport
        # asyncio's own transports keep a reference cycle here before 3.14.
        if isinstance(loop, cadrelio.Loop) or sys.version_info >= (3, 14):
            assert transport_ref() is None
    finally:
        gc.enable()
        peer.close()
