"""POSCAR, XDATCAR and XYZ blocks of quorvel._ledgra: values, flags, every error
message with its 0-based line number, first-failure order, shape and column
rules, panics, and format -> parse round trips. Argument binding and conversion
messages are covered in test_binding.py."""

import math

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quorvel import _ledgra

settings.register_profile("ledgra", deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("ledgra")

INDEX_OUT_OF_BOUNDS = "ndarray: index out of bounds"


def expect_panic(fn, *args):
    with pytest.raises(BaseException) as info:
        fn(*args)
    kind = type(info.value)
    assert kind.__name__ == "PanicException"
    assert not issubclass(kind, Exception)
    assert str(info.value) == INDEX_OUT_OF_BOUNDS


def value_error(fn, *args):
    with pytest.raises(ValueError) as info:
        fn(*args)
    assert type(info.value) is ValueError
    return str(info.value)


def fresh_array(a, dtype, shape):
    assert isinstance(a, np.ndarray) and a.dtype == dtype and a.shape == shape
    assert a.flags.c_contiguous and a.flags.writeable


# ---------------------------------------------------------------------------
# POSCAR


def test_poscar_values_and_flags():
    lines = ["  0.5 -0.25\t0.0\r\n", "1 2 3 F", "4 5 6", "7 8 9 T F T extra", "1e400 nan -0 F F F"]
    pos, flags = _ledgra.parse_poscar_positions_rs(lines, True)
    fresh_array(pos, np.float64, (5, 3))
    fresh_array(flags, np.bool_, (5, 3))
    assert pos[:4].tolist() == [[0.5, -0.25, 0.0], [1, 2, 3], [4, 5, 6], [7, 8, 9]]
    assert pos[4, 0] == math.inf and math.isnan(pos[4, 1]) and math.copysign(1, pos[4, 2]) == -1
    assert flags.tolist() == [[False] * 3, [True, False, False], [False] * 3, [False, True, False], [True] * 3]


@pytest.mark.parametrize("selective", [True, False, np.True_, np.False_])
def test_poscar_empty(selective):
    pos, flags = _ledgra.parse_poscar_positions_rs([], selective)
    fresh_array(pos, np.float64, (0, 3))
    if selective:
        fresh_array(flags, np.bool_, (0, 3))
    else:
        assert flags is None


def test_poscar_without_selective_ignores_what_follows():
    pos, flags = _ledgra.parse_poscar_positions_rs(["0 0 0 x y z", "1 1 1 t"], False)
    assert flags is None and pos.tolist() == [[0, 0, 0], [1, 1, 1]]


@pytest.mark.parametrize("lines, message", [
    (["1.0 2.0"], "POSCAR: not enough fields on atom line 0 (need 3 coordinates)"),
    ([""], "POSCAR: not enough fields on atom line 0 (need 3 coordinates)"),
    (["0 0 0", " \t\r\n"], "POSCAR: not enough fields on atom line 1 (need 3 coordinates)"),
    (["0 0 0", "0.0 abc 0.0"], "POSCAR: cannot parse coordinate 'abc' on atom line 1: invalid float literal"),
    (["1.0D+00 0 0"], "POSCAR: cannot parse coordinate '1.0D+00' on atom line 0: invalid float literal"),
    (["0 1,5 0"], "POSCAR: cannot parse coordinate '1,5' on atom line 0: invalid float literal"),
    (["0 x"], "POSCAR: cannot parse coordinate 'x' on atom line 0: invalid float literal"),
    (["1.0\v2.0 3.0 4.0"], "POSCAR: cannot parse coordinate '1.0\v2.0' on atom line 0: invalid float literal"),
    (["1.0\u00a02.0 3.0 4.0"], "POSCAR: cannot parse coordinate '1.0\u00a02.0' on atom line 0: invalid float literal"),
    (["0 0 0 t F F"], "POSCAR: expected selective dynamics flag 'T' or 'F', got 't' on atom line 0"),
    (["0 0 0 True F F"], "POSCAR: expected selective dynamics flag 'T' or 'F', got 'True' on atom line 0"),
    (["0 0 0 T F .T."], "POSCAR: expected selective dynamics flag 'T' or 'F', got '.T.' on atom line 0"),
    (["0 0 0", "0 0 0 F FT"], "POSCAR: expected selective dynamics flag 'T' or 'F', got 'FT' on atom line 1"),
    (["0 0 0 0"], "POSCAR: expected selective dynamics flag 'T' or 'F', got '0' on atom line 0"),
    (["0 0 0 T T \u0422"], "POSCAR: expected selective dynamics flag 'T' or 'F', got '\u0422' on atom line 0"),
    # The first failing line wins; within a line, the leftmost field.
    (["0 0 0", "0 0 0 x", "0 0"], "POSCAR: expected selective dynamics flag 'T' or 'F', got 'x' on atom line 1"),
    (["0 0 0", "0 0", "0 0 0 x"], "POSCAR: not enough fields on atom line 1 (need 3 coordinates)"),
    (["é 0 0"], "POSCAR: cannot parse coordinate 'é' on atom line 0: invalid float literal"),
])
def test_poscar_parse_errors(lines, message):
    assert value_error(_ledgra.parse_poscar_positions_rs, lines, True) == message


def test_poscar_format_example():
    coord = np.array([[0.5, -0.25, 0.0]])
    base = "  0.5000000000000000 -0.2500000000000000  0.0000000000000000"
    assert _ledgra.format_poscar_positions_rs(coord, np.array([[True, False, True]])) == base + "   F   T   F\n"
    assert _ledgra.format_poscar_positions_rs(coord) == base + "\n"
    assert _ledgra.format_poscar_positions_rs(coord, None) == base + "\n"


def test_poscar_format_special_values():
    text = _ledgra.format_poscar_positions_rs(np.array([[math.nan, -math.inf, -0.0], [12345.678, 0, 0]]))
    assert text == (" " + " " * 16 + "NaN" + " " + " " * 15 + "-inf" + " -0.0000000000000000\n"
                    " 12345.6779999999998836  0.0000000000000000  0.0000000000000000\n")


@pytest.mark.parametrize("coord_shape, flags_shape", [((2, 3), (3, 3)), ((2, 3), (2, 4)), ((0, 3), (0, 2))])
def test_poscar_format_shape_mismatch(coord_shape, flags_shape):
    assert value_error(_ledgra.format_poscar_positions_rs, np.zeros(coord_shape), np.zeros(flags_shape, bool)) == \
        "format_poscar_positions_rs: coord and flags must have the same shape"


def test_poscar_format_columns():
    assert _ledgra.format_poscar_positions_rs(np.zeros((0, 2))) == ""
    expect_panic(_ledgra.format_poscar_positions_rs, np.zeros((2, 2)))
    expect_panic(_ledgra.format_poscar_positions_rs, np.zeros((1, 0)))
    coord = np.array([[1, 2, 3, 99], [4, 5, 6, 99]], dtype=float)
    flags = np.array([[True, True, True, False], [False, False, False, True]])
    lines = _ledgra.format_poscar_positions_rs(coord, flags).splitlines(keepends=True)
    assert [len(line) for line in lines] == [73, 73]
    assert lines[0].endswith("   F   F   F\n") and lines[1].endswith("   T   T   T\n")
    assert "99" not in "".join(lines)


def test_poscar_flags_from_a_view_of_non_canonical_bools():
    # Bytes other than 0 and 1 in a bool array (as a view of uint8) are true.
    raw = np.array([[0, 2, 255]], dtype=np.uint8).view(np.bool_)
    assert _ledgra.format_poscar_positions_rs(np.zeros((1, 3)), raw).endswith("   T   F   F\n")


finite = st.floats(allow_nan=False, allow_infinity=False)


@given(st.lists(st.tuples(finite, finite, finite, st.booleans(), st.booleans(), st.booleans()), max_size=30))
def test_poscar_round_trip(rows):
    coord = np.array([r[:3] for r in rows], dtype=float).reshape(-1, 3)
    flags = np.array([r[3:] for r in rows], dtype=bool).reshape(-1, 3)
    text = _ledgra.format_poscar_positions_rs(coord, flags)
    pos, back = _ledgra.parse_poscar_positions_rs(text.splitlines(keepends=True), True)
    # What comes back is the written 16-digit value, read correctly rounded.
    assert pos.tolist() == [[float("%.16f" % v) for v in r] for r in coord.tolist()]
    assert back.tolist() == flags.tolist()


@given(st.lists(st.integers(-10 ** 17, 10 ** 17), min_size=3, max_size=60).filter(lambda v: len(v) % 3 == 0))
def test_poscar_round_trip_of_representable_values(numerators):
    coord = (np.array(numerators, dtype=float) / 1e16).reshape(-1, 3)
    text = _ledgra.format_poscar_positions_rs(coord)
    pos, _ = _ledgra.parse_poscar_positions_rs(text.splitlines(), False)
    assert pos.tolist() == coord.tolist()


# ---------------------------------------------------------------------------
# XDATCAR


def test_xdatcar_values():
    arr = _ledgra.parse_xdatcar_coords_rs(["0.1 0.2 0.3 0.4", "  0.5\t0.6 0.7 abc\r\n", "1e400 nan -inf"])
    fresh_array(arr, np.float64, (3, 3))
    assert arr[:2].tolist() == [[0.1, 0.2, 0.3], [0.5, 0.6, 0.7]]
    assert arr[2, 0] == math.inf and math.isnan(arr[2, 1]) and arr[2, 2] == -math.inf
    fresh_array(_ledgra.parse_xdatcar_coords_rs([]), np.float64, (0, 3))


@pytest.mark.parametrize("lines, message", [
    (["0.1 0.2"], "XDATCAR: not enough fields on coordinate line 0"),
    (["0 0 0", "0 0 0", ""], "XDATCAR: not enough fields on coordinate line 2"),
    (["0 0 0", "\t \f"], "XDATCAR: not enough fields on coordinate line 1"),
    (["0 0 0", "0 0 0", "0.1 x 0.3"], "XDATCAR: cannot parse 'x' on line 2: invalid float literal"),
    (["0.1 x"], "XDATCAR: cannot parse 'x' on line 0: invalid float literal"),
    (["1.0D+00 0 0"], "XDATCAR: cannot parse '1.0D+00' on line 0: invalid float literal"),
    (["0.1\v0.2 0.3 0.4"], "XDATCAR: cannot parse '0.1\v0.2' on line 0: invalid float literal"),
    (["0.1\u00a00.2 0.3 0.4"], "XDATCAR: cannot parse '0.1\u00a00.2' on line 0: invalid float literal"),
    (["0 0", "x 0 0"], "XDATCAR: not enough fields on coordinate line 0"),
])
def test_xdatcar_parse_errors(lines, message):
    assert value_error(_ledgra.parse_xdatcar_coords_rs, lines) == message


@pytest.mark.parametrize("index, header", [
    (1, "Direct configuration=     1\n"), (7, "Direct configuration=     7\n"), (0, "Direct configuration=     0\n"),
    (1234567, "Direct configuration=1234567\n"), (2 ** 64 - 1, "Direct configuration=18446744073709551615\n"),
    (True, "Direct configuration=     1\n"), (np.int64(3), "Direct configuration=     3\n"),
])
def test_xdatcar_header(index, header):
    assert _ledgra.format_xdatcar_config_rs(np.zeros((0, 2)), index) == header


def test_xdatcar_format_rows():
    assert _ledgra.format_xdatcar_config_rs(np.array([[0.5, -0.25, 0.0]]), 1) == \
        "Direct configuration=     1\n   0.50000000 -0.25000000  0.00000000\n"
    rows = _ledgra.format_xdatcar_config_rs(np.array([[1234.5, math.nan, -math.inf], [-0.0, -1e-12, 7]]), 2)
    assert rows.split("\n")[1:] == ["  1234.50000000         NaN        -inf",
                                    "  -0.00000000 -0.00000000  7.00000000", ""]


def test_xdatcar_format_columns():
    expect_panic(_ledgra.format_xdatcar_config_rs, np.zeros((2, 2)), 1)
    text = _ledgra.format_xdatcar_config_rs(np.array([[1, 2, 3, 99.0]]), 1)
    assert text.split("\n")[1] == "   1.00000000  2.00000000  3.00000000"


@given(st.lists(st.integers(-10 ** 10, 10 ** 10), max_size=60).filter(lambda v: len(v) % 3 == 0),
       st.integers(0, 2 ** 64 - 1))
def test_xdatcar_round_trip(numerators, index):
    coords = (np.array(numerators, dtype=float) / 1e8).reshape(-1, 3)
    text = _ledgra.format_xdatcar_config_rs(coords, index)
    header, *rows = text.splitlines()
    assert header == "Direct configuration=%6d" % index
    assert _ledgra.parse_xdatcar_coords_rs(rows).tolist() == coords.tolist()


# ---------------------------------------------------------------------------
# XYZ


def test_xyz_parse_values():
    symbols, pos = _ledgra.parse_xyz_block_rs(
        ["h 0 0 0", "FE 1 2 3 extra fields", "  Cu\t1.5 2.5 3.5\r\n", "O 1e400 nan -inf", "x1 0 0 0"])
    assert symbols == ["H", "Fe", "Cu", "O", "X1"]
    fresh_array(pos, np.float64, (5, 3))
    assert pos[:3].tolist() == [[0, 0, 0], [1, 2, 3], [1.5, 2.5, 3.5]]
    assert pos[3, 0] == math.inf and math.isnan(pos[3, 1]) and pos[3, 2] == -math.inf
    symbols, pos = _ledgra.parse_xyz_block_rs([])
    assert symbols == [] and pos.shape == (0, 3)


def test_xyz_equal_symbols_share_one_str_while_few_are_distinct():
    # Short, long (over seven bytes), multi-byte and near-equal symbols, then
    # more distinct ones than are kept: every value must still be right.
    names = ["Fe", "Unobtainium", "\u03a9x", "Fe\u00e9", "F", "Fe2", "Fe"]
    names += ["Q%d" % k for k in range(300)] + ["Fe", "Unobtainium", "Q299", "Q5"]
    symbols, pos = _ledgra.parse_xyz_block_rs(["%s 0 0 %d" % (n, k) for k, n in enumerate(names)])
    assert symbols == [n[:1].upper() + n[1:] for n in names]
    assert pos[:, 2].tolist() == list(range(len(names)))
    assert symbols[0] is symbols[6] is symbols[-4]
    assert symbols[1] is symbols[-3]
    assert symbols[-1] is symbols[12]
    assert symbols[0] is not symbols[3] and symbols[0] is not symbols[5]


@pytest.mark.parametrize("lines, message", [
    (["H 0 0 0", "H 0 0 0", ""], "XYZ: empty line at atom index 2"),
    (["H 0 0 0", "H 0 0 0", "  \t "], "XYZ: empty line at atom index 2"),
    (["H 1.0 2.0"], "XYZ: not enough position fields on atom line 0"),
    (["H"], "XYZ: not enough position fields on atom line 0"),
    (["H 0 0 0", "H 0.0 abc 0.0"], "XYZ: cannot parse coordinate 'abc' on line 1: invalid float literal"),
    (["H 1.0 x"], "XYZ: cannot parse coordinate 'x' on line 0: invalid float literal"),
    (["O 1.0D+00 0 0"], "XYZ: cannot parse coordinate '1.0D+00' on line 0: invalid float literal"),
    (["O 1,5 0 0"], "XYZ: cannot parse coordinate '1,5' on line 0: invalid float literal"),
    (["H\u00a00 0 0"], "XYZ: not enough position fields on atom line 0"),
    (["H 0 0 0\u00a0junk"], "XYZ: cannot parse coordinate '0\u00a0junk' on line 0: invalid float literal"),
    (["H 0 0 0", "", "H 0"], "XYZ: empty line at atom index 1"),
])
def test_xyz_parse_errors(lines, message):
    assert value_error(_ledgra.parse_xyz_block_rs, lines) == message


def test_xyz_format_example_lines():
    text = _ledgra.format_xyz_block_rs(["H", "Fe", "Mol", ""],
                                       np.array([[0.0, -1.5, 0.001], [12.5, 1e17, -0.0], [1, 2, 3], [math.nan, 0, 0]]))
    lines = text.splitlines(keepends=True)
    assert lines[0] == "H " + " " + "0.000000000000000".rjust(22) + " " + "-1.500000000000000".rjust(22) + " " + \
        "0.001000000000000".rjust(22) + "\n"
    assert len(lines[0]) == 72
    assert lines[1] == "Fe     12.500000000000000 100000000000000000.000000000000000     -0.000000000000000\n"
    assert lines[2].startswith("Mol      1.000000000000000")
    assert lines[3].startswith("   " + " " * 19 + "NaN ")


@pytest.mark.parametrize("symbol, width", [("É", 2), ("E\u0301", 2), ("中", 2), ("\U0001F600", 2), ("a\nb", 3)])
def test_xyz_symbols_written_as_given_counted_in_code_points(symbol, width):
    text = _ledgra.format_xyz_block_rs([symbol], np.zeros((1, 3)))
    assert text == symbol.ljust(2) + (" " + "0.000000000000000".rjust(22)) * 3 + "\n"
    assert len(symbol.ljust(2)) == width


@pytest.mark.parametrize("n_symbols, shape, message", [
    (1, (2, 3), "format_xyz_block_rs: symbols length (1) != positions rows (2)"),
    (0, (1, 3), "format_xyz_block_rs: symbols length (0) != positions rows (1)"),
    (3, (0, 3), "format_xyz_block_rs: symbols length (3) != positions rows (0)"),
    (2, (1, 1), "format_xyz_block_rs: symbols length (2) != positions rows (1)"),
])
def test_xyz_format_length_mismatch(n_symbols, shape, message):
    assert value_error(_ledgra.format_xyz_block_rs, ["H"] * n_symbols, np.zeros(shape)) == message


def test_xyz_format_columns():
    assert _ledgra.format_xyz_block_rs([], np.zeros((0, 2))) == ""
    expect_panic(_ledgra.format_xyz_block_rs, ["H"], np.zeros((1, 2)))
    assert _ledgra.format_xyz_block_rs(["H"], np.array([[1, 2, 3, 99.0]])) == \
        "H       1.000000000000000      2.000000000000000      3.000000000000000\n"


symbol_text = st.text(alphabet=st.characters(blacklist_categories=("Cs", "Cn", "Zs", "Zl", "Zp", "Cc")),
                      min_size=1, max_size=4)


@given(st.lists(st.tuples(symbol_text, finite, finite, finite), max_size=30))
def test_xyz_round_trip(rows):
    symbols = [r[0] for r in rows]
    pos = np.array([r[1:] for r in rows], dtype=float).reshape(-1, 3)
    text = _ledgra.format_xyz_block_rs(symbols, pos)
    back_symbols, back = _ledgra.parse_xyz_block_rs(text.splitlines())
    low = [s.lower() for s in symbols]
    assert back_symbols == [s[:1].upper() + s[1:] for s in low]
    assert back.tolist() == [[float("%.15f" % v) for v in r] for r in pos.tolist()]


def test_xyz_round_trip_normalised_symbols_are_stable():
    symbols = ["H", "He", "Fe", "Uuo", "Ας", "Ss"]
    pos = np.arange(18, dtype=float).reshape(6, 3) / 8
    back_symbols, back = _ledgra.parse_xyz_block_rs(_ledgra.format_xyz_block_rs(symbols, pos).splitlines())
    assert back_symbols == symbols and back.tolist() == pos.tolist()


# ---------------------------------------------------------------------------
# Long blocks in fixed columns, as programs write them, with odd lines among
# them: the values are those of the documented loops, bit for bit.


def reference_rows(lines, skip):
    return [[float(x) for x in line.split()[skip:skip + 3]] for line in lines]


ODD_FIELDS = ["1e-3", "-.5", "+1.25", "5.", "nan", "-inf", "0.1000000000000000055511151231257827",
              "-0.0000000000000000", "123456789012345678.5", "9007199254740993.0"]


def column_block(rng, fmt, n, low, high, odd_every, symbol=False):
    values = rng.uniform(low, high, (n, 3))
    lines = []
    for k, row in enumerate(values.tolist()):
        fields = [fmt % v for v in row]
        if odd_every and k % odd_every == odd_every - 1:
            fields[k % 3] = "%*s" % (len(fields[k % 3]), ODD_FIELDS[k % len(ODD_FIELDS)])
        head = ("Fe" if k % 3 else "H").ljust(2) + " " if symbol else ""
        lines.append(head + " ".join(fields) + "\n")
    return lines


@pytest.mark.parametrize("fmt, low, high", [("%19.16f", 0.0, 1.0), ("%19.12f", -99.0, 99.0),
                                            ("%11.8f", -0.2, 1.2), ("%22.15f", -25.0, 25.0)])
@pytest.mark.parametrize("odd_every", [0, 7, 401])
def test_column_blocks_read_as_the_loops_do(fmt, low, high, odd_every):
    rng = np.random.default_rng(len(fmt) + odd_every)
    lines = column_block(rng, fmt, 3000, low, high, odd_every)
    want = np.array(reference_rows(lines, 0))
    pos, _ = _ledgra.parse_poscar_positions_rs(lines, False)
    assert pos.tobytes() == want.tobytes()
    assert _ledgra.parse_xdatcar_coords_rs(lines).tobytes() == want.tobytes()
    flagged = [line[:-1] + "   F   T   F\n" for line in lines]
    pos, flags = _ledgra.parse_poscar_positions_rs(flagged, True)
    assert pos.tobytes() == want.tobytes() and flags.tolist() == [[True, False, True]] * len(lines)
    xyz = column_block(np.random.default_rng(len(fmt) + odd_every), fmt, 3000, low, high, odd_every, symbol=True)
    symbols, pos = _ledgra.parse_xyz_block_rs(xyz)
    assert pos.tobytes() == np.array(reference_rows(xyz, 1)).tobytes()
    assert symbols == [line.split()[0] for line in xyz]


@pytest.mark.parametrize("bad, message", [
    ("0.1234567890123456 0.2e 0.5", "POSCAR: cannot parse coordinate '0.2e' on atom line 2500: invalid float literal"),
    ("0.1234567890123456 0.25", "POSCAR: not enough fields on atom line 2500 (need 3 coordinates)"),
    ("0.1234567890123456  0.1234567890123456  0.1234567890123456   X", "POSCAR: expected selective dynamics flag "
     "'T' or 'F', got 'X' on atom line 2500"),
])
def test_column_blocks_report_the_failing_line(bad, message):
    lines = column_block(np.random.default_rng(5), "%19.16f", 4000, 0.0, 1.0, 0)
    lines[2500] = bad + "\n"
    assert value_error(_ledgra.parse_poscar_positions_rs, lines, True) == message


# The parsers' ValueError carries what went wrong as attributes beside its
# message, so callers need not read the message back.
_CLEAN = "0.25 0.5 0.75"


@pytest.mark.parametrize("parse, lines, line, field, expected", [
    (lambda l: _ledgra.parse_poscar_positions_rs(l, False), [_CLEAN, "0.1 flag1 0.3"], 1, "flag1", "number"),
    (lambda l: _ledgra.parse_poscar_positions_rs(l, True), [_CLEAN, _CLEAN, "noflag 0 0 T T T"], 2, "noflag", "number"),
    (lambda l: _ledgra.parse_poscar_positions_rs(l, True), [_CLEAN + " T F flag"], 0, "flag", "flag"),
    (lambda l: _ledgra.parse_poscar_positions_rs(l, True), [_CLEAN, "0.1 0.2"], 1, None, "fields"),
    (_ledgra.parse_xdatcar_coords_rs, [_CLEAN, _CLEAN, _CLEAN, "0.1 0.2 1e"], 3, "1e", "number"),
    (_ledgra.parse_xdatcar_coords_rs, [""], 0, None, "fields"),
    (_ledgra.parse_xyz_block_rs, ["H " + _CLEAN, "O 0 0 noflag"], 1, "noflag", "number"),
    (_ledgra.parse_xyz_block_rs, ["H " + _CLEAN, "  \t "], 1, None, "fields"),
    (_ledgra.parse_xyz_block_rs, ["H 0.1 0.2"], 0, None, "fields"),
    (_ledgra.parse_xyz_block_rs, ["H 0.1 0.2 é"], 0, "é", "number"),
])
def test_parse_errors_carry_their_facts(parse, lines, line, field, expected):
    with pytest.raises(ValueError) as info:
        parse(lines)
    err = info.value
    assert type(err) is ValueError and len(err.args) == 1
    assert (err.line, err.field, err.expected) == (line, field, expected)
    # The message names the same line, and the field when there is one.
    assert f" {line}" in str(err) and (field is None or f"'{field}'" in str(err))


def test_format_errors_carry_no_line_facts():
    with pytest.raises(ValueError) as info:
        _ledgra.format_xyz_block_rs(["H"], np.zeros((2, 3)))
    assert not hasattr(info.value, "line") and not hasattr(info.value, "expected")
