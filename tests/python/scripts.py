# Runs Python snippets in a child interpreter, so a crash or a hang fails one test, not the run.
import json
import os
import subprocess
import sys
import textwrap

import cadrel

# Every child is killed after this long; nothing any snippet does should come near it.
HARD_TIMEOUT = 120.0


def child_env():
    """The environment for a child interpreter that imports the same cadrel and these helpers."""
    env = dict(os.environ)
    here = os.path.dirname(os.path.abspath(__file__))
    paths = (os.path.dirname(cadrel.__file__), here, env.get("PYTHONPATH"))
    env["PYTHONPATH"] = os.pathsep.join(p for p in paths if p)
    if "ASAN_OPTIONS" in env:
        # Children exit with loops and workers alive on purpose; leaks are checked in the test
        # process, which ends with everything released.
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    return env


def run_python(code, timeout=HARD_TIMEOUT):
    """Runs `code` in a fresh interpreter that imports the same cadrel and these helpers."""
    env = child_env()
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, env=env, stdin=subprocess.DEVNULL)


def run_json(code, timeout=HARD_TIMEOUT):
    """Runs `code`, which must exit cleanly and print one JSON value as its last line; returns it."""
    done = run_python(code, timeout)
    assert done.returncode == 0, f"child exited with {done.returncode}:\n{done.stderr}"
    lines = done.stdout.strip().splitlines()
    assert lines, f"child printed nothing:\n{done.stderr}"
    return json.loads(lines[-1])
