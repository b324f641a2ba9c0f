"""The native block routines seen from the readers and writers: a block's
parse error as a FormatError, and formatted rows that read back exactly."""

import numpy as np

from .. import _ledgra
from ._errors import FormatError

# What a block line lacks when it has too few fields, by the kind of block.
_MISSING_FIELDS = {
    "coordinates": "expected three coordinates (x y z)",
    "lattice": "expected a lattice vector: three numbers",
    "xyz": "expected an atom line: a symbol and three coordinates (x y z)",
}


def block_error(err, path, first_line, kind):
    """FormatError for the ValueError of a native block parser. The parser
    gives the 0-based line within the block (err.line), the offending field
    (err.field, None when it is missing) and what it expected there
    (err.expected: "number", "flag" or "fields"); first_line is the 1-based
    file line of the block's first line, kind "coordinates", "lattice" or
    "xyz". An error without these facts keeps its own text."""
    expected = getattr(err, "expected", None)
    index = getattr(err, "line", None)
    line = None if index is None else first_line + index
    field = getattr(err, "field", None)
    if expected == "number":
        reason = f"expected a number, got '{field}'"
    elif expected == "flag":
        reason = f"expected a selective-dynamics flag T or F, got '{field}'"
    elif expected == "fields":
        reason = _MISSING_FIELDS[kind]
    else:
        reason = str(err)
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
