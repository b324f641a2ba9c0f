"""Shared text conventions of quorvel._ledgra, checked against oracles we did not
write: Python's float() for every literal the float grammar accepts, Python's
'%W.Pf' formatting (exact, half to even) for the fixed-point fields, and
str.lower() plus upper-casing the first character for symbol normalisation.

The routines are reached through the real functions: XDATCAR parsing reads one
float per field, XDATCAR/POSCAR/XYZ formatting write 11.8f, 19.16f and 22.15f,
and XYZ parsing normalises symbols.
"""

import math
import re
import struct
import sys
import unicodedata
from decimal import Decimal, getcontext

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quorvel import _ledgra

SEPARATORS = " \t\n\f\r"

# The float grammar, spelled independently of the implementation.
GRAMMAR = re.compile(r"[+-]?(?:(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?|(?i:inf|infinity|nan))")

settings.register_profile("ledgra", deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("ledgra")


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def same_float(a, b):
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b) and math.copysign(1, a) == math.copysign(1, b)
    return bits(a) == bits(b)


def parse_many(literals):
    """Our values of literals (no separators inside), one call for all."""
    return _ledgra.parse_xdatcar_coords_rs([f"{s} 0 0" for s in literals])[:, 0].tolist()


def refusal(literal):
    with pytest.raises(ValueError) as info:
        _ledgra.parse_xdatcar_coords_rs([f"{literal} 0 0"])
    return str(info.value)


def check_literals(literals):
    literals = list(literals)
    accepted = [s for s in literals if GRAMMAR.fullmatch(s)]
    for s, ours in zip(accepted, parse_many(accepted)):
        assert same_float(ours, float(s)), s
    for s in literals:
        if not GRAMMAR.fullmatch(s):
            assert refusal(s) == f"XDATCAR: cannot parse '{s}' on line 0: invalid float literal"


# ---------------------------------------------------------------------------
# Field splitting


@pytest.mark.parametrize("line, first_field", [
    ("1.0\v2.0 3.0 4.0", "1.0\v2.0"),             # vertical tab is no separator
    ("1.0\u00a02.0 3.0 4.0", "1.0\u00a02.0"),       # no-break space
    ("1.0\u30002.0 3.0 4.0", "1.0\u30002.0"),       # ideographic space
    ("1.0\u20032.0 3.0 4.0", "1.0\u20032.0"),       # em space
    ("1.0\x002.0 3.0 4.0", "1.0\x002.0"),           # NUL
    ("1.0\x1c2.0 3.0 4.0", "1.0\x1c2.0"),           # file separator (str.split splits here)
    ("1.0\x852.0 3.0 4.0", "1.0\x852.0"),           # NEL
])
def test_only_ascii_blanks_separate(line, first_field):
    with pytest.raises(ValueError) as info:
        _ledgra.parse_xdatcar_coords_rs([line])
    assert str(info.value) == f"XDATCAR: cannot parse '{first_field}' on line 0: invalid float literal"


@pytest.mark.parametrize("sep", list(SEPARATORS) + ["  ", "\r\n", " \t\f "])
def test_each_separator_splits(sep):
    line = sep + sep.join(["1.5", "-2", "3e1", "junk"]) + sep
    assert _ledgra.parse_xdatcar_coords_rs([line]).tolist() == [[1.5, -2.0, 30.0]]


@given(st.lists(st.sampled_from(["1", "-2.5", ".5", "7e-3"]), min_size=3, max_size=6),
       st.lists(st.text(alphabet=SEPARATORS, min_size=1, max_size=3), min_size=7, max_size=7))
def test_any_separator_runs(fields, seps):
    line = seps[0] + "".join(f + s for f, s in zip(fields, seps[1:]))
    expected = [float(f) for f in fields[:3]]
    assert _ledgra.parse_xdatcar_coords_rs([line]).tolist() == [expected]


# ---------------------------------------------------------------------------
# Float grammar and values against float()


@pytest.mark.parametrize("literal", [
    "1", "+1.", ".5", "-2.5E-3", "1e+05", "INF", "-Infinity", "nan", "-nan", "+NaN", "1e400", "-1e400",
    "1e-400", "-0", "-0.0", "05.25", "5.", "2e-324", "3e-324", "1.7976931348623159e308",
    "4.9406564584124654e-324", "9007199254740993", "0e99999999999999999999999",
])
def test_accepted_literals_match_float(literal):
    check_literals([literal])


@pytest.mark.parametrize("literal", [
    "1.0D+00", "1.5d0", "1,5", "0x10", "0x1p3", "1_000", "1e", "1e+", ".", "+", "-", "--1", "+-1", "-+1",
    "infinite", "infinit", "nan(123)", "nan(", "1.2.3", "1e5.5", "e5", "+.e1", "\u0661", "\u22121",
    "\uff11", "1\u00a0",  # Arabic-Indic one, minus sign, fullwidth one, trailing no-break space
])
def test_refused_literals(literal):
    assert refusal(literal) == f"XDATCAR: cannot parse '{literal}' on line 0: invalid float literal"


def test_python_float_accepts_what_we_refuse():
    # The oracle is not the grammar: float() is looser, and these must still be refused.
    for literal in ["1_000", "\u0661", "\uff11", "1\u00a0", "nan"]:
        float(literal)
    check_literals(["1_000", "\u0661", "\uff11", "1\u00a0"])


def test_signs_of_zero_and_nan():
    values = parse_many(["-0", "0", "-nan", "nan", "-0e-999"])
    assert [math.copysign(1, v) for v in values] == [-1, 1, -1, 1, -1]


digits = st.text(alphabet="0123456789", min_size=1, max_size=60)


@st.composite
def decimal_literals(draw):
    sign = draw(st.sampled_from(["", "+", "-"]))
    mantissa = draw(digits)
    point = draw(st.integers(0, len(mantissa)))
    mantissa = mantissa[:point] + draw(st.sampled_from([".", ""])) + mantissa[point:]
    if draw(st.booleans()):
        exponent = draw(st.one_of(st.integers(-400, 400), st.integers(-10 ** 30, 10 ** 30)))
        mantissa += draw(st.sampled_from("eE")) + (f"{exponent:+d}" if draw(st.booleans()) else str(exponent))
    return sign + mantissa


@given(st.lists(decimal_literals(), min_size=1, max_size=40))
def test_random_decimal_literals(literals):
    check_literals(literals)


@given(st.lists(st.text(alphabet="0123456789.eE+-_infatyINFATY, xd", min_size=1, max_size=12)
                .filter(lambda s: not any(c in SEPARATORS for c in s)), min_size=1, max_size=30))
def test_random_strings_accept_exactly_the_grammar(literals):
    check_literals(literals)


@given(st.lists(st.floats(min_value=5e-324, max_value=1.7976931348623157e308), min_size=1, max_size=20),
       st.sampled_from([-1, 0, 1]))
def test_exact_halfway_cases(values, nudge):
    # The exact midpoint between x and the next double up ties to even;
    # a nudge by one unit in a far digit must decide either way.
    getcontext().prec = 1200
    literals = []
    for x in values:
        hi = math.nextafter(x, math.inf)
        if math.isinf(hi):
            continue
        mid = (Decimal(x) + Decimal(hi)) / 2
        literal = mid + nudge * Decimal(10) ** (mid.adjusted() - 1100)
        literals.append(format(literal, "f"))
        literals.append(format(literal, "e"))
    check_literals(literals)


@given(st.lists(st.floats(allow_nan=False, allow_infinity=False), min_size=1, max_size=40),
       st.integers(1, 25))
def test_shortest_and_truncated_reprs(values, sig):
    check_literals([repr(x) for x in values] + [f"{x:.{sig}e}" for x in values])


def test_subnormal_and_overflow_edges():
    literals = []
    for x in [5e-324, 1e-323, 2.2250738585072009e-308, 2.2250738585072014e-308, 1.7976931348623157e308]:
        for k in range(-3, 4):
            y = x
            for _ in range(abs(k)):
                y = math.nextafter(y, math.inf if k > 0 else 0.0)
            literals += [repr(y), f"{y:.40e}", f"{Decimal(y):f}"]
    literals += ["1.797693134862315807937289714053e308", "1.797693134862315807937289714054e308",
                 "2.4703282292062327208828439643411068618252990130716238221279284125033775363510437593264991818081799618989828234772285886546332835517796989819938739800539093906315035659515570226392290858392449105184435931802849936536152500319370457678249219365623669863658480757001585769269903706311928279558551332927834338409351978015531246597263579574622766465272827220056374006485499977096599470454020828166226237857393450736339007967761930577506740176324673600968951340535537458516661134223766678604162159680461914467291840300530057530849048765391711386591646239524912623653881879636239373280423891018672348497668235089863388587925628302755995657524455507255189313690836254779186948667994968324049705821028513185451396213837722826145437693412532098591327667236328125e-324"]
    check_literals(literals)


# ---------------------------------------------------------------------------
# Fixed-point fields against '%W.Pf'


def py_fixed(x, width, precision):
    if math.isnan(x):
        return "NaN".rjust(width)
    return "%*.*f" % (width, precision, x)


def xdatcar_rows(values):
    """Our 11.8f text for values (a multiple of 3), rows only."""
    arr = np.array(values, dtype=np.float64).reshape(-1, 3)
    text = _ledgra.format_xdatcar_config_rs(arr, 1)
    return text.split("\n", 1)[1]


def check_fixed(values):
    values = list(values)
    values += [0.0] * (-len(values) % 3)
    rows = [values[k:k + 3] for k in range(0, len(values), 3)]
    arr = np.array(rows, dtype=np.float64).reshape(-1, 3)
    assert _ledgra.format_xdatcar_config_rs(arr, 1).split("\n", 1)[1] == "".join(
        "  " + " ".join(py_fixed(v, 11, 8) for v in r) + "\n" for r in rows)
    assert _ledgra.format_poscar_positions_rs(arr) == "".join(
        "".join(" " + py_fixed(v, 19, 16) for v in r) + "\n" for r in rows)
    assert _ledgra.format_xyz_block_rs(["X"] * len(rows), arr) == "".join(
        "X " + "".join(" " + py_fixed(v, 22, 15) for v in r) + "\n" for r in rows)


@given(st.lists(st.floats(allow_nan=False, allow_infinity=False), min_size=1, max_size=60))
def test_fixed_any_finite_value(values):
    check_fixed(values)


@given(st.lists(st.floats(min_value=-1e6, max_value=1e6), min_size=1, max_size=60))
def test_fixed_typical_coordinates(values):
    check_fixed(values)


@given(st.lists(st.integers(-10 ** 9, 10 ** 9), min_size=1, max_size=60), st.integers(1, 20))
def test_fixed_exact_binary_fractions_ties(numerators, shift):
    # k / 2^shift has a finite expansion ending in 5: ties at some precision.
    check_fixed([k / 2.0 ** shift for k in numerators])


def test_fixed_random_bit_patterns():
    rng = np.random.default_rng(1234)
    raw = rng.integers(0, 2 ** 63, size=30000, dtype=np.int64).astype(np.uint64)
    raw[::2] |= np.uint64(1 << 63)
    values = raw.view(np.float64)
    values = values[np.isfinite(values)]
    scaled = rng.standard_normal(30000) * np.exp2(rng.integers(-80, 80, size=30000))
    check_fixed(values.tolist() + scaled.tolist())


@pytest.mark.parametrize("x", [
    1 / 512, 3 / 512, -1 / 512, 1 / 65536, 1 / 131072, 12345.678, 1e300, -1.7976931348623157e308, 1e17,
    -0.0, -1e-20, -5e-324, 0.9999999999999996, 9.999999996, -99.999999999, 2.0 ** 63, 2.0 ** 63 - 1024,
    2.0 ** 64, 4503599627370495.5, 0.000000005, 0.000000015, 0.000000025,
])
def test_fixed_boundaries(x):
    check_fixed([x])


@pytest.mark.parametrize("x, text", [
    (math.nan, "NaN"), (-math.nan, "NaN"), (math.inf, "inf"), (-math.inf, "-inf"),
])
def test_fixed_non_finite(x, text):
    arr = np.array([[x, x, x]])
    assert _ledgra.format_xdatcar_config_rs(arr, 1).split("\n")[1] == "  " + " ".join([text.rjust(11)] * 3)
    assert _ledgra.format_poscar_positions_rs(arr) == (" " + text.rjust(19)) * 3 + "\n"
    assert _ledgra.format_xyz_block_rs(["X"], arr) == "X " + (" " + text.rjust(22)) * 3 + "\n"


def test_fixed_never_cut():
    text = _ledgra.format_xyz_block_rs(["H"], np.array([[1e300, -1234567.0, -0.0]]))
    fields = text.split()
    assert fields[1] == "%.15f" % 1e300 and len(fields[1].split(".")[0]) == 301
    assert fields[2] == "-1234567.000000000000000"
    assert fields[3] == "-0.000000000000000"


# ---------------------------------------------------------------------------
# Symbol normalisation against str.lower() and the first character upper-cased


def py_normalise(s):
    low = s.lower()
    return low[:1].upper() + low[1:]


def normalise_many(symbols):
    names, _ = _ledgra.parse_xyz_block_rs([f"{s} 0 0 0" for s in symbols])
    return names


def assigned_in_python(ch):
    return unicodedata.category(ch) not in ("Cn", "Cs")


# Our tables are Unicode 15.0; Python 3.11 has 14.0 and Python 3.13 has 15.1.
# Comparisons below use only characters Python knows; the characters that 15.1
# added (CJK ideographs and ideographic description characters) have no case
# mappings in either version.


def test_every_single_character():
    chars = [chr(c) for c in range(sys.maxunicode + 1)
             if chr(c) not in SEPARATORS and assigned_in_python(chr(c))]
    got = normalise_many(chars)
    bad = [(f"U+{ord(c):04X}", g, py_normalise(c)) for c, g in zip(chars, got) if g != py_normalise(c)]
    assert bad == []


def test_every_character_after_a_capital():
    # Lower-casing of characters that are not first in the symbol.
    chars = [chr(c) for c in range(0x80, 0x20000)
             if chr(c) not in SEPARATORS and assigned_in_python(chr(c))]
    symbols = ["A" + c + "B" for c in chars]
    got = normalise_many(symbols)
    bad = [(s, g) for s, g in zip(symbols, got) if g != py_normalise(s)]
    assert bad == []


@pytest.mark.parametrize("symbol, expected", [
    ("fe", "Fe"), ("FE", "Fe"), ("fE", "Fe"), ("H", "H"), ("X1", "X1"), ("ß", "SS"),
    ("\u01c6", "\u01c4"), ("ΑΣ", "Ας"), ("ΣΑ", "Σα"), ("ΑΣΑ", "Ασα"), ("Α'Σ", "Α'ς"), ("İ", "I\u0307"),
    ("ﬁ", "FI"), ("ŉ", "ʼN"),
])
def test_symbol_examples(symbol, expected):
    assert normalise_many([symbol]) == [expected]
    assert py_normalise(symbol) == expected


# Letters (cased and uncased), capital/small/final sigma, case-ignorable marks
# and punctuation, digits: the contexts of the final-sigma rule.
SIGMA_ALPHABET = "ΣσςΑαΒβABab1_'.:\u0301\u0345\u00ad\u02b0\u05d0\u4e2d\u2019\u00b7ǅ"


@given(st.lists(st.text(alphabet=SIGMA_ALPHABET, min_size=1, max_size=8), min_size=1, max_size=30))
def test_final_sigma_contexts(symbols):
    assert normalise_many(symbols) == [py_normalise(s) for s in symbols]


@given(st.lists(st.text(alphabet=st.characters(blacklist_categories=("Cn", "Cs"),
                                                blacklist_characters=SEPARATORS),
                        min_size=1, max_size=6), min_size=1, max_size=30))
def test_random_unicode_symbols(symbols):
    assert normalise_many(symbols) == [py_normalise(s) for s in symbols]
