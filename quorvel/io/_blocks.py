"""The native block routines seen from the readers and writers: a block's
parse error as a FormatError, and formatted rows that read back exactly."""

import re

import numpy as np

from .. import _ledgra, _reader
from ._errors import FormatError
from ._files import ByteLines, strict, take_block

# What a block line lacks when it has too few fields, by the kind of block.
_MISSING_FIELDS = {
    "coordinates": "expected three coordinates (x y z)",
    "lattice": "expected a lattice vector: three numbers",
    "xyz": "expected an atom line: a symbol and three coordinates (x y z)",
}


def block_error(err, path, first_line, kind, block=None):
    """FormatError for the ValueError of a native block parser. The parser
    gives the 0-based line within the block (err.line), the offending field
    (err.field, None when it is missing) and what it expected there
    (err.expected: "number", "flag" or "fields"); first_line is the 1-based
    file line of the block's first line, kind "coordinates", "lattice" or
    "xyz". A line that is not UTF-8 cannot reach the parser at all (it
    raises UnicodeEncodeError on the lone surrogates that stand for such
    bytes); given the block, the error names that line. An error without
    these facts keeps its own text."""
    if isinstance(err, UnicodeEncodeError) and block is not None:
        for k, line in enumerate(block):
            try:
                strict(path, first_line + k, line)
            except FormatError as e:
                return e
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
        raise block_error(e, path, first_line, kind, block) from e


# A selective-dynamics flag as VASP reads it (a Fortran logical): T, F,
# .T., .F., TRUE, FALSE, .TRUE., .FALSE., in any case.
_FORTRAN_FLAG = re.compile(r"\.?(t|f|true|false)\.?", re.IGNORECASE)


def parse_positions(block, selective, path, first_line):
    """(positions, flags) of a POSCAR position block. The native parser
    takes the flags T and F only; a block it refuses for a flag is tried
    once more with every flag VASP would read spelled T or F, so that the
    usual files pay nothing for the other spellings."""
    try:
        return _ledgra.parse_poscar_positions_rs(block, selective)
    except ValueError as e:
        error = e
    if selective and getattr(error, "expected", None) == "flag":
        spelled = [_tf_flags(line) for line in block]
        try:
            return _ledgra.parse_poscar_positions_rs(spelled, selective)
        except ValueError as e:
            error = e
    raise block_error(error, path, first_line, "coordinates", block) from error


def _tf_flags(line):
    fields = line.split()
    for k in range(3, min(6, len(fields))):
        m = _FORTRAN_FLAG.fullmatch(fields[k])
        if m is not None:
            fields[k] = "T" if m.group(1)[0] in "tT" else "F"
    return " ".join(fields)


def parse_xyz(block, path, first_line):
    """(symbols, positions) of an XYZ frame's atom lines."""
    try:
        return _ledgra.parse_xyz_block_rs(block)
    except ValueError as e:
        raise block_error(e, path, first_line, "xyz", block) from e


def read_coords(lines, n, what, kind="coordinates"):
    """The next n lines of lines as parse_coords reads them (take_block
    names what they are when the file ends first); from the file's bytes
    when lines has them, else, and for every error, from str lines."""
    if isinstance(lines, ByteLines):
        got = lines.block(n, lambda data, at: _reader.parse_xdatcar_coords(data, at, n))
        if got is not None:
            return got[0]
    first = lines.lineno + 1
    return parse_coords(take_block(lines, n, what), lines.path, first, kind)


def read_positions(lines, n, selective, what):
    """(positions, flags, block) of the next n lines as parse_positions
    reads them; block, their str lines, is None when they were read
    straight from the file's bytes."""
    if isinstance(lines, ByteLines):
        got = lines.block(n, lambda data, at: _reader.parse_poscar_positions(data, at, n, selective))
        if got is not None:
            return got[0], got[1], None
    first = lines.lineno + 1
    block = take_block(lines, n, what)
    values, fixed = parse_positions(block, selective, lines.path, first)
    return values, fixed, block


def read_xyz_atoms(lines, n, what):
    """(symbols, positions) of the next n lines as parse_xyz reads them."""
    if isinstance(lines, ByteLines):
        got = lines.block(n, lambda data, at: _reader.parse_xyz_block(data, at, n))
        if got is not None:
            return got[0], got[1]
    first = lines.lineno + 1
    return parse_xyz(take_block(lines, n, what), lines.path, first)


def species(names):
    """Species names spelled as the XYZ parser spells a symbol (first letter
    upper case, the rest lower case: "fe" and "FE" are "Fe"), by that parser
    itself, so that every format gives the same symbols."""
    return _ledgra.parse_xyz_block_rs([f"{name} 0 0 0" for name in names])[0] if names else []


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
