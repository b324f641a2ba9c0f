"""Helpers shared by the Python tests."""

import os
import subprocess
import sys
import textwrap

import pytest

import quorvel

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _installed_location():
    here = os.path.realpath(os.path.dirname(quorvel.__file__))
    if here.startswith(os.path.realpath(os.path.join(REPO, "quorvel"))):
        raise RuntimeError(f"quorvel was imported from the source tree ({here}), not the installed build")
    return here


# Where the package under test lives; never the source tree.
INSTALLED_AT = _installed_location()

# Set by the sanitizer run: ASan keeps freed memory in quarantine and reserves
# terabytes of shadow address space, so resident-memory and address-space
# limits mean nothing there (LeakSanitizer checks native leaks instead).
SANITIZED = os.environ.get("QUORVEL_SANITIZED") == "1"
needs_plain_allocator = pytest.mark.skipif(SANITIZED, reason="memory figures are meaningless under ASan")


def panic_type(fn, *args, **kwargs):
    """The PanicException type of a module, found by provoking one."""
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    return type(info.value)


def run_python(code, timeout=60):
    """Runs code in a fresh interpreter (the one running the tests)."""
    return subprocess.run([sys.executable, "-P", "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout)


# Source of a helper, for code run by run_python: run_in_subinterpreter(code)
# runs code in a new sub-interpreter that shares the main one's settings (the
# kind that can load single-phase modules) and returns None or the error text.
SUBINTERPRETER_HELPER = """
def run_in_subinterpreter(code):
    try:
        import _interpreters as interpreters  # Python 3.13+
    except ImportError:
        import _xxsubinterpreters as interpreters
        try:
            sub = interpreters.create(isolated=False)
        except TypeError:
            sub = interpreters.create()
        try:
            interpreters.run_string(sub, code)
        except interpreters.RunFailedError as e:
            return str(e)
        return None
    sub = interpreters.create("legacy")
    failure = interpreters.run_string(sub, code)
    return None if failure is None else failure.formatted
"""
