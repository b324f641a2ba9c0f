"""Test set-up. The tests import `support` from this folder; the package itself
always comes from the installed build (support checks that on import)."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import support  # noqa: E402


def pytest_report_header(config):
    return f"quorvel under test: {support.INSTALLED_AT} (python {sys.version.split()[0]})"
