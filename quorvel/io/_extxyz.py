"""Extended XYZ: the key=value comment line (cell, periodicity, per-frame
values and the Properties of the atom columns), read and written, and the
typed atom columns through quorvel._reader.

A comment line is extended when it splits, from end to end, into pairs
``key=value`` and lone keys, at least one of them a pair. A key is a word
(no blank, quote, backslash or "=") or, before "=", a quoted string; a value
is a word or a string in double quotes, inside which a backslash escapes a
quote or a backslash (any other backslash stands for itself). A lone key
stands for True. Any other comment (free text, an unbalanced quote, a lone
quoted string) is a plain XYZ comment.

Values, kept in their type:
    unquoted   an integer (``[+-]digits``, a Python int), a real (the float
               grammar of the text routines), a logical (T, F, True, False,
               also in upper or lower case) or else a string;
    quoted     two or more blank-separated items of one kind are a 1-D array
               (int64; float64 when reals and integers mix; bool); a single
               item is read as it would be unquoted; anything else is a
               string.
"""

from __future__ import annotations

import re

import numpy as np

from .. import _elements, _reader
from ._errors import FormatError
from ._fields import number
from ._files import ByteLines, strict, take_block

# key=value or a lone key, at pos after blanks; the value quoted or a word.
_QUOTED = r'"((?:[^"\\]|\\.)*)"'
_TOKEN = re.compile(r'\s*(?:([^\s="\\]+)|' + _QUOTED + r')(?:=(?:' + _QUOTED + r'|([^\s"\\]*)))?(?=\s|$)')
_BLANKS = re.compile(r"\s*$")
_ESCAPE = re.compile(r'\\(["\\])')
_INT = re.compile(r"[+-]?\d+")
_TRUE = frozenset(("T", "True", "TRUE", "true"))
_FALSE = frozenset(("F", "False", "FALSE", "false"))

INT64 = (-(1 << 63), (1 << 63) - 1)

# The columns of a frame without Properties.
DEFAULT_PROPERTIES = "species:S:1:pos:R:3"


def split_comment(comment):
    """[(key, value)] of an extended comment line (value None for a lone
    key, else (text, quoted)), or None for a plain comment."""
    # The usual line by str methods: no backslash, every quote a value's,
    # right after its "=" and before a blank. Anything else goes to the
    # general tokenizer, which gives the same pairs for these lines.
    if "\\" in comment:
        return _split_general(comment)
    parts = comment.split('"')
    if len(parts) % 2 == 0:
        return None  # an unbalanced quote: free text
    pairs = []
    any_pair = False
    last = len(parts) - 1
    for k in range(0, len(parts), 2):
        segment = parts[k]
        if k > 0 and segment and not segment[0].isspace():
            return _split_general(comment)
        tokens = segment.split()
        opens = k < last
        if opens and (not segment.endswith("=") or not tokens):
            return _split_general(comment)
        for j, token in enumerate(tokens):
            key, eq, value = token.partition("=")
            if not key:
                return _split_general(comment)
            if opens and j == len(tokens) - 1:
                if value:
                    return _split_general(comment)
                pairs.append((key, (parts[k + 1], True)))
                any_pair = True
            elif eq:
                pairs.append((key, (value, False)))
                any_pair = True
            else:
                pairs.append((key, None))
    return pairs if any_pair else None


def _split_general(comment):
    pairs = []
    pos = 0
    end = len(comment)
    any_pair = False
    while pos < end:
        m = _TOKEN.match(comment, pos)
        if m is None:
            if _BLANKS.match(comment, pos):
                break
            return None
        word, quoted_key, quoted_value, word_value = m.groups()
        has_value = quoted_value is not None or word_value is not None
        if word is None:
            if not has_value:
                return None  # a lone quoted string is free text
            key = _ESCAPE.sub(r"\1", quoted_key)
        else:
            key = word
        if quoted_value is not None:
            pairs.append((key, (_ESCAPE.sub(r"\1", quoted_value), True)))
        elif word_value is not None:
            pairs.append((key, (word_value, False)))
        else:
            pairs.append((key, None))
        any_pair |= has_value
        pos = m.end()
    return pairs if any_pair else None


def _scalar(text):
    if _INT.fullmatch(text):
        return int(text)
    v = number(text)
    if v is not None:
        return v
    if text in _TRUE:
        return True
    if text in _FALSE:
        return False
    return text


def typed_value(value):
    """The per-frame value of a (text, quoted) pair, or True for None."""
    if value is None:
        return True
    text, quoted = value
    if not quoted:
        return _scalar(text)
    items = text.split()
    if len(items) == 1:
        v = _scalar(items[0])
        return text if isinstance(v, str) else v
    if len(items) < 2:
        return text
    numbers = _numbers(text, items)
    if numbers is not None:
        return numbers
    if all(t in _TRUE or t in _FALSE for t in items):
        return np.array([t in _TRUE for t in items], dtype=bool)
    return text


def _numbers(text, items):
    """The items as an int64 array (all integers within 64 bits) or a
    float64 array (all numbers), or None. On ASCII text without "_", int()
    and float() take exactly [+-]digits and the float grammar of the text
    routines."""
    if "_" in text or not text.isascii():
        return None
    # Only a first item that is an integer can start a list of them.
    if _INT.fullmatch(items[0]):
        try:
            ints = list(map(int, items))
        except ValueError:
            pass
        else:
            if INT64[0] <= min(ints) and max(ints) <= INT64[1]:
                return np.array(ints, dtype=np.int64)
    try:
        return np.array(list(map(float, items)), dtype=np.float64)
    except ValueError:
        return None


class Header:
    """What an extended comment line says: cell (3, 3) or None, pbc (three
    bools) or None, properties (the Properties text or None) and info."""

    __slots__ = ("cell", "pbc", "properties", "info")

    def __init__(self):
        self.cell = None
        self.pbc = None
        self.properties = None
        self.info = {}


def _is_pbc(key):
    return key.lower() == "pbc"


def read_header(pairs, path, line):
    """The Header of an extended comment line's pairs (split_comment);
    FormatError naming path and line for a bad cell, pbc or Properties, or a
    key given twice."""
    h = Header()
    info = h.info
    seen = set()
    for key, value in pairs:
        folded = "pbc" if key.lower() == "pbc" else key
        if folded in seen:
            raise FormatError(path, line, f"the key {key!r} is given twice in the comment line")
        seen.add(folded)
        if folded not in _HEADER_KEYS:
            info[key] = typed_value(value)
            continue
        text = "" if value is None else value[0]
        if key == "Lattice":
            items = text.split()
            values = _numbers(text, items) if len(items) == 9 else None
            if values is None:
                raise FormatError(path, line, f"expected nine numbers in Lattice=\"...\", got {text!r}")
            h.cell = (values if values.dtype == np.float64 else values.astype(np.float64)).reshape(3, 3)
        elif folded == "pbc":
            flags = tuple(_FLAGS.get(f.upper()) for f in text.split())
            if len(flags) != 3 or None in flags:
                raise FormatError(path, line, f"expected three T/F flags in pbc=\"...\", got {text!r}")
            h.pbc = flags
        else:
            if value is None:
                raise FormatError(path, line, "Properties has no value: expected name:type:count:...")
            h.properties = text
    return h


# The keys read_header reads itself (any case of pbc folded to "pbc").
_HEADER_KEYS = frozenset(("Lattice", "pbc", "Properties"))
# A pbc flag, in upper case.
_FLAGS = {"T": True, "F": False, "TRUE": True, "FALSE": False}


def _flipped(result):
    """parse_columns's (end, columns) as ByteLines.block wants it: the end
    offset last."""
    return result[1], result[0]


def _reason(e, count_of):
    expected = getattr(e, "expected", None)
    prop = getattr(e, "property", None)
    field = getattr(e, "field", None)
    where = "" if prop is None else f" for property '{prop}'"
    if prop is not None and count_of.get(prop, 1) > 1:
        where += f" (field {e.item + 1} of {count_of[prop]})"
    if expected == "real":
        return f"expected a real number{where}, got '{field}'"
    if expected == "integer":
        return f"expected an integer (64 bits){where}, got '{field}'"
    if expected == "logical":
        return f"expected a logical (T, F, True or False){where}, got '{field}'"
    if expected == "fields":
        missing = f"field {e.item + 1} of property {prop!r}" if count_of.get(prop, 1) > 1 else f"property {prop!r}"
        return f"too few columns: expected {_columns(count_of)} as Properties says, the line ends before {missing}"
    if expected == "end":
        return f"too many columns: expected {_columns(count_of)} as Properties says, got more: '{field}'"
    if expected == "line":
        return "file is truncated: the atom lines end early"
    return str(e)


def _columns(count_of):
    total = sum(count_of.values())
    return f"{total} field{'s' * (total != 1)}"


def _layout_names(properties):
    parts = properties.split(":")
    return {parts[k]: int(parts[k + 2]) for k in range(0, len(parts) - 2, 3) if parts[k + 2].isdigit()}


def read_columns(lines, n, properties, what, comment_line):
    """(symbols, positions, arrays) of the next n lines of lines under the
    frame's Properties, read natively in one pass: straight from the file's
    bytes when lines has them, else (and for every error, which then names
    its line) from the str lines. Symbols come from the species column
    (spelled as the XYZ block parser spells them), else from an atomic-number
    column Z; both stay out of arrays except Z."""
    path = lines.path
    columns = None
    if isinstance(lines, ByteLines):
        got = lines.block(n, lambda data, at: _flipped(_reader.parse_columns(data, at, n, properties, "species")))
        if got is not None:
            columns = got[0]
    if columns is None:
        first_line = lines.lineno + 1
        block = take_block(lines, n, what)
        text = "".join(block)
        try:
            data = text.encode("utf-8")
        except UnicodeEncodeError:
            for k, line in enumerate(block):
                strict(path, first_line + k, line)
            raise
        try:
            _, columns = _reader.parse_columns(data, 0, n, properties, "species")
        except ValueError as e:
            if getattr(e, "expected", None) == "properties":
                raise FormatError(path, comment_line, f"bad Properties={properties!r}: {e}") from None
            if getattr(e, "line", None) is None:
                raise
            raise FormatError(path, first_line + e.line, _reason(e, _layout_names(properties))) from None
    return named_columns(columns, n, properties, path, comment_line)


def named_columns(columns, n, properties, path, comment_line):
    """(symbols, positions, arrays) of parse_columns's columns of n rows
    (see read_columns)."""
    symbols = positions = z = None
    arrays = {}
    for name, kind, values in columns:
        if name == "species" and kind == "S" and isinstance(values, list) and len(values) == n:
            symbols = values
            continue
        if name == "pos" and kind == "R" and values.ndim == 2 and values.shape[1] == 3:
            positions = values
            continue
        if kind == "S":
            count = _layout_names(properties)[name]
            values = np.array(values, dtype=str)
            if count != 1:
                values = values.reshape(n, count)
        if name == "Z" and kind == "I" and values.ndim == 1:
            z = values
        arrays[name] = values
    if positions is None:
        raise FormatError(path, comment_line, f"Properties={properties!r} has no positions: expected pos:R:3")
    if symbols is None:
        if z is None:
            raise FormatError(path, comment_line, f"Properties={properties!r} names no species: expected "
                                                  "species:S:1 or Z:I:1")
        symbols = _symbols_of(z, path, comment_line)
    return symbols, positions, arrays


def _symbols_of(z, path, line):
    names = _elements.SYMBOLS
    out = []
    for v in z.tolist():
        if not 0 < v < len(names):
            raise FormatError(path, line, f"atomic number {v} in Z is no element")
        out.append(names[v])
    return out


# ---------------------------------------------------------------------------
# Writing


_WORD = re.compile(r'[^\s="\\]+')
_TYPE_OF_KIND = {"f": "R", "i": "I", "u": "I", "b": "L", "U": "S", "S": "S"}


def _quote(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def _key_text(key):
    text = _KEYS.get(key) if isinstance(key, str) else None
    if text is None:
        text = _new_key_text(key)
        if len(_KEYS) < 4096:
            _KEYS[key] = text
    return text


# The written form of each info key met so far: datasets repeat theirs.
_KEYS = {}


def _new_key_text(key):
    if not isinstance(key, str) or not key:
        raise ValueError(f"info key {key!r} cannot be written to an XYZ file: it must be a non-empty str")
    if "\n" in key or "\r" in key:
        raise ValueError(f"info key {key!r} cannot be written to an XYZ file: it holds a line break")
    return key if _WORD.fullmatch(key) else _quote(key)


def _real_text(v):
    return repr(float(v))


def value_text(key, v):
    """The text of info value v as written after "key=", reading back as v
    (same type and value); ValueError for a value that would not."""
    # The usual values first: a Python float, and a str met before.
    kind = type(v)
    if kind is float:
        return repr(v)
    if kind is str:
        text = _STRINGS.get(v)
        if text is not None:
            return text
        text = _string_text(key, v)
        if len(_STRINGS) < 4096:
            _STRINGS[v] = text
        return text
    if isinstance(v, (bool, np.bool_)):
        return "T" if v else "F"
    if isinstance(v, (int, np.integer)):
        return str(int(v))
    if isinstance(v, (float, np.floating)):
        return _real_text(v)
    if isinstance(v, str):
        return _string_text(key, v)
    if isinstance(v, np.ndarray):
        if v.ndim != 1 or len(v) < 2 or v.dtype.kind not in "fiub":
            raise ValueError(f"info {key!r} cannot be written to an XYZ file: an array must be 1-D with at "
                             f"least 2 numbers or logicals, not {v.dtype} of shape {v.shape}")
        if v.dtype.kind == "b":
            return _quote(" ".join("T" if x else "F" for x in v.tolist()))
        if v.dtype.kind in "iu":
            ints = v.tolist()
            if min(ints) < INT64[0] or max(ints) > INT64[1]:
                raise ValueError(f"info {key!r}: integers beyond 64 bits")
            return _quote(" ".join(str(x) for x in ints))
        return '"' + " ".join(map(repr, v.astype(np.float64, copy=False).tolist())) + '"'
    raise ValueError(f"info {key!r} cannot be written to an XYZ file: {type(v).__name__} is not an int, "
                     "float, bool, str or 1-D array")


# The written form of each str info value met so far (config types and the
# like repeat).
_STRINGS = {}


def _string_text(key, v):
    if "\n" in v or "\r" in v:
        raise ValueError(f"info {key!r} cannot be written to an XYZ file: its string holds a line break")
    text = v if _WORD.fullmatch(v) else _quote(v)
    back = typed_value((v, text != v))
    if not isinstance(back, str) or back != v:
        raise ValueError(f"info {key!r}: the string {v!r} would read back as a "
                         f"{type(back).__name__}, not a string")
    return text


_RESERVED = ("Lattice", "Properties")


def header_text(s, plain):
    """The extended comment line of s: Lattice and pbc when it has a cell
    (or pbc without a cell), Properties when it has arrays, then its info in
    order; `plain`, a free-text comment that is not extended, is kept as
    comment="..." unless info has that key."""
    parts = []
    cell = s.cell.ravel().tolist()
    has_cell = any(cell)
    if has_cell:
        parts.append('Lattice="' + " ".join(map(repr, cell)) + '"')
    if has_cell or any(s.pbc):
        parts.append('pbc="' + " ".join("T" if p else "F" for p in s.pbc) + '"')
    if s.arrays:
        parts.append("Properties=" + properties_text(s))
    for key, v in s.info.items():
        if key in _RESERVED or (isinstance(key, str) and _is_pbc(key)):
            raise ValueError(f"info key {key!r} cannot be written: it names the cell, pbc or Properties")
        parts.append(f"{_key_text(key)}={value_text(key, v)}")
    if plain and "comment" not in s.info:
        parts.append(f"comment={_quote(plain)}")
    return " ".join(parts)


def _array_type(name, a):
    t = _TYPE_OF_KIND.get(a.dtype.kind)
    if t is None:
        raise ValueError(f"array {name!r} cannot be written to an XYZ file: dtype {a.dtype} is not a real, "
                         "integer, logical or string")
    return t


def properties_text(s):
    key = tuple((name, a.dtype.kind, a.shape[1] if a.ndim > 1 else 1) for name, a in s.arrays.items()
                if type(name) is str)
    if len(key) == len(s.arrays):
        text = _PROPERTIES.get(key)
        if text is not None:
            return text
    text = _properties_text(s)
    if len(key) == len(s.arrays) and len(_PROPERTIES) < 4096:
        _PROPERTIES[key] = text
    return text


# The Properties text of each set of arrays (names, kinds, counts) met so far.
_PROPERTIES = {}


def _properties_text(s):
    parts = ["species:S:1", "pos:R:3"]
    for name, a in s.arrays.items():
        if not isinstance(name, str) or not _WORD.fullmatch(name) or ":" in name:
            raise ValueError(f"array name {name!r} cannot be written to an XYZ file: it must be one word "
                             "without ':'")
        if name in ("species", "pos"):
            raise ValueError(f"array {name!r} cannot be written: the symbols and positions are that column")
        count = 1 if a.ndim == 1 else a.shape[1]
        parts.append(f"{name}:{_array_type(name, a)}:{count}")
    return ":".join(parts)


def atom_lines(s, exact):
    """The atom lines of s with its arrays as further columns."""
    n = len(s)
    types = ["S", "R"]
    columns = [s.symbols, np.ascontiguousarray(s.positions, dtype=np.float64)]
    for name, a in s.arrays.items():
        t = _array_type(name, a)
        types.append(t)
        if t == "S":
            items = [str(x) for x in a.ravel().tolist()]
            for x in set(items):
                if not x or x.split() != [x]:
                    raise ValueError(f"array {name!r}: the string {x!r} cannot be written to an XYZ file: "
                                     "it must be one word")
            columns.append(items)
            continue
        a2 = a.reshape(n, -1) if a.ndim == 1 else a
        dtype = {"R": np.float64, "I": np.int64, "L": bool}[t]
        if t == "I" and a.dtype.kind == "u" and a.size and a.max() > INT64[1]:
            raise ValueError(f"array {name!r}: integers beyond 64 bits")
        columns.append(np.ascontiguousarray(a2, dtype=dtype))
    return _reader.format_columns(n, "".join(types), columns, exact)
