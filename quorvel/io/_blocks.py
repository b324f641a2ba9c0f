"""The native block routines seen from the readers and writers: a block's
parse error as a FormatError, and formatted rows that read back exactly."""

import re

import numpy as np

from .. import _ledgra
from ._errors import FormatError

# Native messages count lines from 0 within the block they were given; the
# number follows "line" or "atom index", and quoted fields hold no blanks.
_NATIVE_LINE = re.compile(r" (?:line|index) (\d+)")
_NATIVE_FIELD = re.compile(r"(?:got|coordinate|parse) '(.*)' on (?:atom )?line \d+")


def block_error(err, path, first_line, kind):
    """FormatError for a native block error; first_line is the 1-based file
    line of the block's first line, kind 'coordinates', 'xyz' or 'lattice'."""
    text = str(err)
    found = _NATIVE_LINE.findall(text)
    line = first_line + int(found[-1]) if found else None
    field = _NATIVE_FIELD.search(text)
    if "flag" in text:
        reason = f"expected a selective-dynamics flag T or F, got '{field.group(1) if field else '?'}'"
    elif field is not None:
        reason = f"expected a number, got '{field.group(1)}'"
    elif "empty line" in text or (kind == "xyz" and "not enough" in text):
        reason = "expected an atom line: a symbol and three coordinates (x y z)"
    elif "not enough" in text:
        reason = ("expected a lattice vector: three numbers" if kind == "lattice"
                  else "expected three coordinates (x y z)")
    else:
        reason = text
    return FormatError(path, line, reason)


def parse_coords(block, path, first_line, kind="coordinates"):
    """(N, 3) float64 from lines of three numbers each (XDATCAR rows,
    lattice vectors)."""
    try:
        return _ledgra.parse_xdatcar_coords_rs(block)
    except ValueError as e:
        raise block_error(e, path, first_line, kind) from e


def exact_rows(text, values, read_back, rewrite, skip=0):
    """text, the native formatter's rows of values (after skip heading lines),
    with every row that would not read back as exactly the same numbers
    replaced. read_back(rows) parses the rows into an array shaped like
    values; rewrite(bad) gives the replacement rows for the row indices in
    bad, in that order."""
    if len(values) == 0:
        return text
    rows = text.split("\n")[:-1]
    back = read_back(rows[skip:])
    same = (back == values) | (np.isnan(back) & np.isnan(values))
    # The sign of zero matters to a round trip as well.
    same &= np.signbit(back) == np.signbit(values)
    bad = np.flatnonzero(~same.all(axis=1))
    if bad.size == 0:
        return text
    for k, row in zip(bad.tolist(), rewrite(bad)):
        rows[skip + k] = row
    return "\n".join(rows) + "\n"
