"""Runs code in a child interpreter with this one's import path and environment, so that a crash (a
segmentation fault) fails the one test that caused it instead of ending the session."""

import os
import subprocess
import sys
import textwrap


def run_child(code, *args, timeout=180):
    """Runs `code` with sys.argv[1:] = args; fails unless it ends with status 0."""
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(os.path.abspath(p) for p in sys.path if p)}
    done = subprocess.run([sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code), *map(str, args)],
                          capture_output=True, text=True, timeout=timeout, env=env)
    assert done.returncode == 0, f"the child ended with status {done.returncode}:\n{done.stderr[-4000:]}"
