# The loop's own small state: the debug flag, and the fixed answers of is_running and is_closed.
import threading

from bodies import call_body
from cadrel import CadrelLoop


def test_new_loop_answers(loop):
    assert loop.get_debug() is False
    assert loop.is_running() is True
    assert loop.is_closed() is False


def test_set_debug_round_trip(loop):
    assert loop.set_debug(True) is None
    assert loop.get_debug() is True
    assert loop.set_debug(value=False) is None
    assert loop.get_debug() is False
    loop.set_debug(True)
    loop.set_debug(True)
    assert loop.get_debug() is True


def test_debug_flags_are_per_loop(loop):
    other = CadrelLoop()
    other.set_debug(True)
    assert loop.get_debug() is False
    loop.set_debug(True)
    other.set_debug(False)
    assert loop.get_debug() is True
    del other


def test_debug_set_on_another_thread_is_seen(loop):
    setter = threading.Thread(target=loop.set_debug, args=(True,))
    setter.start()
    setter.join(timeout=30)
    assert not setter.is_alive()
    assert loop.get_debug() is True


def test_close_changes_no_answer(loop):
    call_body(loop.close)
    assert loop.is_closed() is False
    assert loop.is_running() is True
    assert call_body(loop.close) is None
