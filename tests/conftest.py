"""Shared fixtures: the extension module, a fresh thread for state-dependent
checks, and a child interpreter for checks on standard error or process state."""

import subprocess
import sys
import textwrap
import threading

import pytest
from quillet import _core


@pytest.fixture
def core():
    return _core


@pytest.fixture
def on_fresh_thread():
    """Runs fn on a new thread, whose frame cache starts from its defaults, and
    returns its result or raises what it raised."""

    def run(fn, *args):
        outcome = {}

        def target():
            try:
                outcome["value"] = fn(*args)
            except BaseException as error:  # PanicException included
                outcome["error"] = error

        thread = threading.Thread(target=target)
        thread.start()
        thread.join()
        if "error" in outcome:
            raise outcome["error"]
        return outcome["value"]

    return run


@pytest.fixture
def run_python(tmp_path):
    """Runs a snippet in a new interpreter, away from the source tree, and
    returns the completed process (text output captured)."""

    def run(code, timeout=120):
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            cwd=tmp_path,
            check=False,
            capture_output=True,
            text=True,
            timeout=timeout,
        )

    return run
