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


def panic_type(fn, *args, **kwargs):
    """The PanicException type of a module, found by provoking one."""
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    return type(info.value)


def run_python(code, timeout=60):
    """Runs code in a fresh interpreter (the one running the tests)."""
    return subprocess.run([sys.executable, "-P", "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout)
