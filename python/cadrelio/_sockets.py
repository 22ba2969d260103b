"""placeholder"""
class SocketMixin:
    pass
