"""Header lines: numbers under the native float grammar, whole numbers, and
the comment line a writer can write."""

import re

FLOAT = re.compile(r"[+-]?(?:(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?|(?i:inf|infinity|nan))")
INT = re.compile(r"\d+")


def number(token):
    """float(token) under the native float grammar, or None."""
    if not FLOAT.fullmatch(token):
        return None
    return float(token)


def check_comment(comment):
    """Refuses a comment that would not stay one line in the file."""
    if "\n" in comment or "\r" in comment:
        raise ValueError("the comment must be one line: it contains a line break")
