# The protocol calls that every recording protocol of these tests notes the same way.


class EventRecorder:
    """Notes connection_made, flow control and connection_lost in `events`; `lost` is a future
    that resolves with connection_lost's argument."""

    def __init__(self, loop):
        self.events = []
        self.transport = None
        self.lost = loop.create_future()

    def connection_made(self, transport):
        self.transport = transport
        self.events.append("made")

    def pause_writing(self):
        self.events.append("pause")

    def resume_writing(self):
        self.events.append("resume")

    def connection_lost(self, exc):
        self.events.append("lost")
        self.lost.set_result(exc)
