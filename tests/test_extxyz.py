"""Extended XYZ: the comment line's cell, periodicity and typed per-frame
values, the Properties columns read natively, faults named by file, line and
property, exact writing and round trips, and what convert carries."""

import copy
import dataclasses
import mmap
import os
import pickle
import subprocess
import sys

import numpy as np
import pytest

import quorvel
from quorvel import _ledgra, _reader, io

# Every type, counts above 1, quoted values with escapes, two frames of
# different sizes, a triclinic cell, and a frame with pbc but no lattice.
DATASET = (
    '3\n'
    'Lattice="5.5 0 0 1.25 6 0 -0.5 0.75 7" Properties=species:S:1:pos:R:3:forces:R:3:tags:I:2:mask:L:1:kind:S:1 '
    'energy=-12.5 n=7 ok=T stress="1 0 0 0 1 0 0 0 1.5" ids="1 -2 3" flags="T F True" '
    'config_type="bulk \\"fcc\\" \\\\ x" relaxed pbc="T T F"\n'
    'fe 0 0 0   0.1 0.2 0.3   1 -1  T  a\n'
    'O  1 1 1  -0.1 -0.2 -0.3  9223372036854775807 0  F  bb\n'
    'h  2 2 2   1e-3 2 3   -9223372036854775808 5  True  c\n'
    '2\n'
    'pbc="F T F" Properties=species:S:1:pos:R:3:charge:R:1 label=mol\n'
    'C 0 0 0 -0.5\n'
    'O 0 0 1.2 0.5\n'
)


def write(tmp_path, name, text):
    p = tmp_path / name
    p.write_text(text)
    return str(p)


# ---------------------------------------------------------------------------
# Reading


def test_every_type_and_frames_of_different_sizes(tmp_path):
    first, second = io.read_xyz(write(tmp_path, "data.xyz", DATASET))
    np.testing.assert_array_equal(first.cell, [[5.5, 0, 0], [1.25, 6, 0], [-0.5, 0.75, 7]])
    assert first.pbc == (True, True, False) and first.symbols == ["Fe", "O", "H"]
    np.testing.assert_array_equal(first.positions, [[0, 0, 0], [1, 1, 1], [2, 2, 2]])
    assert list(first.arrays) == ["forces", "tags", "mask", "kind"]
    forces, tags, mask, kind = (first.arrays[k] for k in ("forces", "tags", "mask", "kind"))
    assert forces.dtype == np.float64 and forces.shape == (3, 3)
    np.testing.assert_array_equal(forces, [[0.1, 0.2, 0.3], [-0.1, -0.2, -0.3], [1e-3, 2, 3]])
    assert tags.dtype == np.int64 and tags.tolist() == [[1, -1], [2**63 - 1, 0], [-2**63, 5]]
    assert mask.dtype == bool and mask.tolist() == [True, False, True]
    assert kind.dtype.kind == "U" and kind.tolist() == ["a", "bb", "c"]
    info = first.info
    assert list(info) == ["energy", "n", "ok", "stress", "ids", "flags", "config_type", "relaxed"]
    assert info["energy"] == -12.5 and type(info["energy"]) is float
    assert info["n"] == 7 and type(info["n"]) is int
    assert info["ok"] is True and info["relaxed"] is True
    assert info["stress"].dtype == np.float64 and info["stress"].tolist() == [1, 0, 0, 0, 1, 0, 0, 0, 1.5]
    assert info["ids"].dtype == np.int64 and info["ids"].tolist() == [1, -2, 3]
    assert info["flags"].dtype == bool and info["flags"].tolist() == [True, False, True]
    assert info["config_type"] == 'bulk "fcc" \\ x'
    assert first.comment == DATASET.split("\n")[1]
    # No lattice, but pbc: the cell is zero and the flags are as given.
    assert not second.cell.any() and second.pbc == (False, True, False)
    assert second.symbols == ["C", "O"] and second.info == {"label": "mol"}
    assert second.arrays["charge"].shape == (2,) and second.arrays["charge"].tolist() == [-0.5, 0.5]


@pytest.mark.parametrize("text, value", [
    ("3", 3), ("-12", -12), ("+4", 4), ("99999999999999999999999", 99999999999999999999999),
    ("1.5", 1.5), ("-2e-3", -2e-3), ("1E5", 1e5), (".5", 0.5), ("inf", float("inf")),
    ("T", True), ("F", False), ("True", True), ("false", False), ("FALSE", False),
    ("t", "t"), ("1.0d0", "1.0d0"), ("abc", "abc"), ("", ""),
    ('"2.5"', 2.5), ('"T"', True), ('"hello world"', "hello world"), ('"1 x"', "1 x"), ('""', ""),
    ('"a\\"b\\\\c\\n"', 'a"b\\c\\n'), ('"=;:"', "=;:"),
])
def test_typed_per_frame_values(tmp_path, text, value):
    s = io.read(write(tmp_path, "v.xyz", f"1\nv={text}\nH 0 0 0\n"))
    got = s.info["v"]
    assert type(got) is type(value) and got == value


@pytest.mark.parametrize("text, dtype, values", [
    ('"1 2 3"', np.int64, [1, 2, 3]),
    ('"1 2.5"', np.float64, [1.0, 2.5]),
    ('"-0 nan inf"', np.float64, [-0.0, np.nan, np.inf]),
    ('"T F true FALSE"', bool, [True, False, True, False]),
    ('"9223372036854775808 1"', np.float64, [9223372036854775808.0, 1.0]),
])
def test_quoted_lists_keep_their_item_type(tmp_path, text, dtype, values):
    s = io.read(write(tmp_path, "v.xyz", f"1\nv={text}\nH 0 0 0\n"))
    v = s.info["v"]
    assert v.dtype == dtype
    np.testing.assert_array_equal(v, values)
    assert np.signbit(v).tolist() == np.signbit(np.array(values, dtype=float)).tolist()


@pytest.mark.parametrize("comment", [
    "plain words only", '  Properties=species:S:1  "quoted"  ', 'energy=1 "unbalanced', 'x="a" b"c',
    'Lattice="2 0 0 0 2 0 0 0 2" title \'one\' "two"',
])
def test_comments_that_do_not_split_into_pairs_are_plain(tmp_path, comment):
    s = io.read(write(tmp_path, "p.xyz", f"1\n{comment}\nh 0 0 0 extra\n"))
    assert s.info == {} and s.arrays == {} and s.comment == comment and s.symbols == ["H"]


@pytest.mark.parametrize("comment", [
    DATASET.split("\n")[1], 'a=1 b="x y" c', 'a="1 2"b', 'a= b', '=1 a=2', 'a=b=c', '"k"=1 a=2', 'a=""',
    'a="x" "y"', 'x="a\\"b" c=1', ' \t a=1\u00a0b=2 ', 'a="1" b', 'a=1 "', 'k=v"w', 'a="', 'plain',
    'a=1 b="\u00e5 \t q"', 'a=1=', 'a b c', '',
])
def test_the_fast_tokenizer_agrees_with_the_general_one(comment):
    from quorvel.io import _extxyz as extxyz
    assert extxyz.split_comment(comment) == extxyz._split_general(comment)


def test_extended_line_without_properties_reads_as_simple_xyz(tmp_path):
    s = io.read(write(tmp_path, "a.xyz", '2\nLattice="3 0 0 0 3 0 0 0 3" energy=2\nfe 0 0 0 ignored\nO 1 1 1\n'))
    assert s.symbols == ["Fe", "O"] and s.pbc == (True,) * 3 and s.info == {"energy": 2} and s.arrays == {}


def test_a_frame_without_atoms_keeps_its_column_shapes(tmp_path):
    s = io.read(write(tmp_path, "e.xyz", "0\nProperties=species:S:1:pos:R:3:f:R:3:w:S:2:q:I:1 e=1\n"))
    assert len(s) == 0 and s.info == {"e": 1}
    assert {k: (v.shape, v.dtype.kind) for k, v in s.arrays.items()} == {
        "f": ((0, 3), "f"), "w": ((0, 2), "U"), "q": ((0,), "i")}


def test_atomic_numbers_give_the_symbols(tmp_path):
    s = io.read(write(tmp_path, "z.xyz", "2\nProperties=Z:I:1:pos:R:3\n26 0 0 0\n8 1 1 1\n"))
    assert s.symbols == ["Fe", "O"] and s.arrays["Z"].tolist() == [26, 8]


def test_native_values_equal_the_xyz_block_parser(tmp_path):
    rng = np.random.default_rng(3)
    n = 300
    pos = rng.normal(0, 10, (n, 3)) * 10.0 ** rng.integers(-8, 8, (n, 1))
    forces = rng.normal(0, 1, (n, 3))
    formats = ["%.17g", "%.6f", "%22.15f", "%.4e", "%.25g"]
    lines, force_lines = [], []
    for k in range(n):
        f = formats[k % len(formats)]
        p = " ".join(f % v for v in pos[k])
        q = " ".join(f % v for v in forces[k])
        lines.append(f"Si {p} {q}\n")
        force_lines.append(f"X {q}\n")
    text = f"{n}\nProperties=species:S:1:pos:R:3:forces:R:3\n" + "".join(lines)
    s = io.read(write(tmp_path, "n.xyz", text))
    symbols, want_pos = _ledgra.parse_xyz_block_rs(lines)
    _, want_forces = _ledgra.parse_xyz_block_rs(force_lines)
    assert s.symbols == symbols
    assert s.positions.tobytes() == want_pos.tobytes()
    assert s.arrays["forces"].tobytes() == want_forces.tobytes()


def test_native_entry_reads_bytes_and_mmap_at_an_offset(tmp_path):
    body = b"Fe 1 2 3 7 T\nO 4 5 6 -1 F\n"
    data = b"junk\n" + body + b"rest"
    end, columns = _reader.parse_columns(data, 5, 2, "species:S:1:pos:R:3:n:I:1:m:L:1", "species")
    assert end == 5 + len(body)
    assert [(c[0], c[1]) for c in columns] == [("species", "S"), ("pos", "R"), ("n", "I"), ("m", "L")]
    p = tmp_path / "b.bin"
    p.write_bytes(data)
    with open(p, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
        end2, mapped = _reader.parse_columns(m, 5, 2, "species:S:1:pos:R:3:n:I:1:m:L:1", "species")
    assert end2 == end and mapped[2][2].tolist() == [7, -1] and mapped[3][2].tolist() == [True, False]
    np.testing.assert_array_equal(mapped[1][2], columns[1][2])


def test_native_faults_are_data():
    with pytest.raises(ValueError) as info:
        _reader.parse_columns(b"H 0 0 0 1 2\nH 0 0 0 1 x\n", 0, 2, "species:S:1:pos:R:3:v:I:2")
    e = info.value
    assert (e.line, e.property, e.item, e.field, e.expected) == (1, "v", 1, "x", "integer")
    with pytest.raises(ValueError) as info:
        _reader.parse_columns(b"H 0 0 0\n", 0, 1, "species:S:1:pos:R")
    assert info.value.expected == "properties"


# ---------------------------------------------------------------------------
# Faults: FormatError naming the file, line, property and expectation


HEAD = "2\nProperties=species:S:1:pos:R:3:f:R:2:n:I:1:m:L:1\n"
GOOD = "H 0 0 0 1 2 3 T\n"


@pytest.mark.parametrize("bad, reason", [
    ("H 0 0 0 1 x 3 T\n", "expected a real number for property 'f' (field 2 of 2), got 'x'"),
    ("H 0 y 0 1 2 3 T\n", "expected a real number for property 'pos' (field 2 of 3), got 'y'"),
    ("H 0 0 0 1 2 3.5 T\n", "expected an integer (64 bits) for property 'n', got '3.5'"),
    ("H 0 0 0 1 2 9223372036854775808 T\n",
     "expected an integer (64 bits) for property 'n', got '9223372036854775808'"),
    ("H 0 0 0 1 2 3 yes\n", "expected a logical (T, F, True or False) for property 'm', got 'yes'"),
    ("H 0 0 0 1 2\n", "too few columns: expected 8 fields as Properties says, the line ends before property 'n'"),
    ("H 0 0 0 1\n", "too few columns: expected 8 fields as Properties says, the line ends before field 2 of "
                    "property 'f'"),
    ("\n", "too few columns: expected 8 fields as Properties says, the line ends before property 'species'"),
    ("H 0 0 0 1 2 3 T extra\n", "too many columns: expected 8 fields as Properties says, got more: 'extra'"),
])
def test_bad_atom_lines(tmp_path, bad, reason):
    p = write(tmp_path, "bad.xyz", HEAD + GOOD + bad)
    with pytest.raises(io.FormatError) as info:
        io.read(p)
    assert (info.value.path, info.value.line, info.value.reason) == (p, 4, reason)


@pytest.mark.parametrize("comment, reason", [
    ("Properties=species:S:1:pos:R", "bad Properties='species:S:1:pos:R': expected name:type:count triples, "
                                     "got 5 fields separated by ':'"),
    ("Properties=species:S:1:pos:Q:3", "bad Properties='species:S:1:pos:Q:3': property 'pos' has the type 'Q': "
                                       "expected S, R, I or L"),
    ("Properties=species:S:1:pos:R:0", "bad Properties='species:S:1:pos:R:0': property 'pos' has the count '0': "
                                       "expected a whole number from 1"),
    ("Properties=species:S:1:pos:R:3:pos:R:3", "bad Properties='species:S:1:pos:R:3:pos:R:3': property 'pos' is "
                                               "named twice"),
    ("Properties=species:S:1:xyz:R:3", "Properties='species:S:1:xyz:R:3' has no positions: expected pos:R:3"),
    ("Properties=name:S:1:pos:R:3", "Properties='name:S:1:pos:R:3' names no species: expected species:S:1 or "
                                    "Z:I:1"),
    ("e=1 Properties", "Properties has no value: expected name:type:count:..."),
    ('Lattice="1 0 0 0 1 0 0 0" e=1', "expected nine numbers in Lattice=\"...\", got '1 0 0 0 1 0 0 0'"),
    ('Lattice="1 0 0 0 1 0 0 0 1" pbc="T T"', "expected three T/F flags in pbc=\"...\", got 'T T'"),
    ("e=1 e=2", "the key 'e' is given twice in the comment line"),
    ('pbc="T T T" PBC="F F F"', "the key 'PBC' is given twice in the comment line"),
])
def test_bad_comment_lines(tmp_path, comment, reason):
    p = write(tmp_path, "bad.xyz", f"1\n{comment}\nH 0 0 0\n")
    with pytest.raises(io.FormatError) as info:
        io.read(p)
    assert (info.value.line, info.value.reason) == (2, reason)


FRAME = '2\nLattice="4 0 0 0 4 0 0 0 4" Properties=species:S:1:pos:R:3:f:R:1 e=-1.5 kind=bulk\nH 0 0 0 1\nO 1 1 1 2\n'


@pytest.mark.parametrize("tail, line, reason", [
    ("2\nProperties=species:S:1:pos:R:3:f:R:1\nH 0 0 0 1\nO 1 1 1 x\n", 18,
     "expected a real number for property 'f', got 'x'"),
    ('1\nLattice="1 0 0" e=1\nH 0 0 0\n', 16, "expected nine numbers in Lattice=\"...\", got '1 0 0'"),
    ("1\nProperties=species:S:1:pos:R:3\n", 17, "file is truncated: expected 1 atom lines in frame 4, "
                                               "the file ends after 0"),
    ("x\ncomment\nH 0 0 0\n", 15, "expected the number of atoms of frame 4 (a whole number alone on its line), "
                                  "got 'x'"),
    ("1 2\ncomment\nH 0 0 0\n", 15, "expected the number of atoms of frame 4 (a whole number alone on its line), "
                                    "got '1 2'"),
    ("1\ne=1 e=2\nH 0 0 0\n", 16, "the key 'e' is given twice in the comment line"),
])
@pytest.mark.parametrize("newline", ["\n", "\r\n"])
def test_a_fault_after_good_frames_names_its_line(tmp_path, tail, line, reason, newline):
    # Three good frames (blank lines between two), then a faulty one: the
    # good frames read from the bytes hand the fault to the line reader.
    text = FRAME + "\n\n" + FRAME + FRAME + tail
    p = tmp_path / "f.xyz"
    p.write_bytes(text.replace("\n", newline).encode())
    with pytest.raises(io.FormatError) as info:
        io.read_xyz(str(p), strict=True)
    assert (info.value.line, info.value.reason) == (line, reason)
    good = io.read_xyz(write(tmp_path, "g.xyz", FRAME + "\n\n" + FRAME + FRAME + "1\nplain\nH 0 0 0\n" + FRAME))
    assert [len(s) for s in good] == [2, 2, 2, 1, 2]
    assert [s.info for s in good][::2] == [{"e": -1.5, "kind": "bulk"}] * 3
    assert good[3].comment == "plain" and good[4].arrays["f"].tolist() == [1.0, 2.0]


def test_atomic_number_that_is_no_element(tmp_path):
    p = write(tmp_path, "z.xyz", "1\nProperties=Z:I:1:pos:R:3\n0 0 0 0\n")
    with pytest.raises(io.FormatError, match=r"line 2: atomic number 0 in Z is no element"):
        io.read(p)


def test_bytes_that_are_not_utf8_name_their_line(tmp_path):
    p = tmp_path / "u.xyz"
    p.write_bytes(HEAD.encode() + GOOD.encode() + b"H 0 0 0 1 2 3 T\xff\n")
    with pytest.raises(io.FormatError) as info:
        io.read(str(p))
    assert info.value.line == 4 and "not UTF-8" in info.value.reason


def test_a_dataset_cut_short_yields_its_whole_frames(tmp_path):
    p = write(tmp_path, "cut.xyz", DATASET + "2\nenergy=1 Properties=species:S:1:pos:R:3:q:R:1\nH 0 0 0 1\nH 0 0")
    with pytest.warns(io.TruncatedTrajectoryWarning):
        frames = list(io.iread(p))
    assert len(frames) == 2
    with pytest.raises(io.FormatError, match="line 13: too few columns: expected 5 fields as Properties says, "
                                             "the line ends before field 3 of property 'pos'"):
        list(io.iread(p, strict=True))
    assert io.read(p, index=1).info == {"label": "mol"}


# ---------------------------------------------------------------------------
# Writing and round trips

AWKWARD = np.array([0.1, 0.30000000000000004, -0.0, 5e-324, 1e-300, 1.7976931348623157e308, np.inf, -np.inf,
                    np.nan, 123456.789, -1 / 3, 2.5])


def extended_structure(n=5, seed=0):
    rng = np.random.default_rng(seed)
    cell = np.array([[4.0, 0.1, 0.0], [1 / 3, 5.0, 0.0], [-0.7, 0.2, 6.25]])
    forces = rng.normal(size=(n, 3))
    forces[0, :3] = AWKWARD[:3]
    charges = rng.normal(size=n)
    charges[: min(n, len(AWKWARD))] = AWKWARD[: min(n, len(AWKWARD))]
    return io.Structure(
        cell, rng.uniform(0, 4, (n, 3)), (["Fe", "O", "H"] * n)[:n], (True, False, True), None, "",
        info={"energy": -1234.5678901234567, "step": 12, "converged": True, "broken": False,
              "config_type": 'crystal "A" with \\ and = signs', "word": "bulk", "unicode": "Å-phase",
              "stress": rng.normal(size=9), "ids": np.arange(-2, 4), "flags": np.array([True, False]),
              "tiny": 5e-324, "nan": float("nan"), "inf": float("-inf")},
        arrays={"forces": forces, "charge": charges, "tag": np.arange(n) * -(2**40), "fixed": rng.random(n) < 0.5,
                "mask": rng.random((n, 2)) < 0.5, "label": np.array([f"l{k}" for k in range(n)]),
                "pair": np.array([[f"a{k}", "b"] for k in range(n)]), "counts": np.full((n, 4), 7)})


def test_round_trip_of_every_type_bit_for_bit(tmp_path):
    s = extended_structure()
    p = str(tmp_path / "rt.xyz")
    io.write_xyz(p, s)
    back = io.read(p)
    # The comment line is the one written; everything else comes back.
    assert back == dataclasses.replace(s, comment=back.comment)
    for name, a in s.arrays.items():
        assert back.arrays[name].dtype.kind == a.dtype.kind
        if a.dtype.kind == "f":
            assert back.arrays[name].tobytes() == a.tobytes() or np.isnan(a).any()
    assert back.positions.tobytes() == s.positions.tobytes() and back.cell.tobytes() == s.cell.tobytes()
    assert back.info["stress"].tobytes() == s.info["stress"].tobytes()
    assert back.info["tiny"] == 5e-324 and np.signbit(back.arrays["forces"][0, 2])
    # A frame read from a file is written back as it came: the same line.
    io.write_xyz(p, back)
    assert io.read(p) == back and io.read(p).comment == back.comment


def test_a_read_dataset_is_written_back_equal(tmp_path):
    frames = io.read_xyz(write(tmp_path, "in.xyz", DATASET))
    p = str(tmp_path / "out.xyz")
    io.write_xyz(p, frames)
    assert io.read_xyz(p) == frames
    # A changed value makes a new line that says it.
    frames[0].info["energy"] = 1.25
    del frames[1].arrays["charge"]
    io.write_xyz(p, frames)
    again = io.read_xyz(p)
    assert again[0].info["energy"] == 1.25 and again[1].arrays == {} and again[1].info == {"label": "mol"}
    assert again[0] == dataclasses.replace(frames[0], comment=again[0].comment)


@pytest.mark.parametrize("value", ["plain", "two words", 'say "hi"', "back\\slash", "tab\there", "=",
                                   "a=b", "", "end\\", "ünïcode", " padded "])
def test_strings_are_quoted_and_escaped(tmp_path, value):
    s = io.Structure(np.zeros((3, 3)), np.zeros((1, 3)), ["H"], (False,) * 3, info={"s": value, "t": 1})
    p = str(tmp_path / "q.xyz")
    io.write_xyz(p, s)
    assert io.read(p).info == {"s": value, "t": 1}


def test_free_text_comment_is_kept_beside_info(tmp_path):
    s = io.Structure(np.zeros((3, 3)), np.zeros((1, 3)), ["H"], (False,) * 3, None, "relaxed water",
                     info={"e": 1.5})
    p = str(tmp_path / "c.xyz")
    io.write_xyz(p, s)
    assert io.read(p).info == {"e": 1.5, "comment": "relaxed water"}


@pytest.mark.parametrize("info, arrays, words", [
    ({"s": "1.5"}, {}, "info 's': the string '1.5' would read back as a float, not a string"),
    ({"s": "T"}, {}, "info 's': the string 'T' would read back as a bool, not a string"),
    ({"s": "1 2"}, {}, "info 's': the string '1 2' would read back as a ndarray, not a string"),
    ({"a": np.array([1.5])}, {}, "an array must be 1-D with at least 2 numbers"),
    ({"a": np.eye(3)}, {}, "an array must be 1-D with at least 2 numbers"),
    ({"a": [1, 2]}, {}, "list is not an int, float, bool, str or 1-D array"),
    ({"Lattice": 1}, {}, "info key 'Lattice' cannot be written: it names the cell, pbc or Properties"),
    ({"PBC": 1}, {}, "info key 'PBC' cannot be written"),
    ({"s": "two\nlines"}, {}, "its string holds a line break"),
    ({}, {"pos": np.zeros((2, 3))}, "array 'pos' cannot be written"),
    ({}, {"a:b": np.zeros(2)}, "array name 'a:b' cannot be written"),
    ({}, {"w": np.array(["one", "two words"])}, "the string 'two words' cannot be written"),
])
def test_values_that_would_not_read_back_are_refused(tmp_path, info, arrays, words):
    s = io.Structure(np.zeros((3, 3)), np.zeros((2, 3)), ["H", "H"], (False,) * 3, info=info, arrays=arrays)
    p = tmp_path / "r.xyz"
    with pytest.raises(ValueError, match=words.replace("(", r"\(").replace(")", r"\)")):
        io.write_xyz(str(p), s)
    assert not p.exists()


@pytest.mark.parametrize("arrays", [
    [{"q": np.array([1.5, 2.5])}, {"q": np.array([1, 2])}, {"q": np.array([[1.5, 0], [2.5, 0]])},
     {"q": np.array([True, False])}, {"q": np.array(["a", "b"])}, {"q": np.array([1.5, 2.5])}],
    [{"a": np.zeros(2), "b": np.ones(2)}, {"b": np.ones(2), "a": np.zeros(2)}, {"a": np.zeros(2)}],
])
def test_each_frame_says_its_own_properties_and_strings(tmp_path, arrays):
    # Frames of one file whose arrays share names but not types, counts or
    # order, and str values met again: each line says its own frame.
    frames = [io.Structure(np.eye(3) * 4, [[0, 0, 0], [1, 1, 1]], ["H", "O"], (True,) * 3,
                           info={"kind": ["bulk", "x y", "bulk"][k % 3]}, arrays=a) for k, a in enumerate(arrays)]
    p = str(tmp_path / "m.xyz")
    io.write_xyz(p, frames)
    back = io.read_xyz(p)
    for r, s in zip(back, frames):
        assert r == dataclasses.replace(s, comment=r.comment)
        assert [(k, v.dtype.kind, v.shape) for k, v in r.arrays.items()] == \
            [(k, v.dtype.kind, v.shape) for k, v in s.arrays.items()]
    # A str refused once is refused again (nothing of it is kept).
    bad = io.Structure(np.zeros((3, 3)), np.zeros((1, 3)), ["H"], (False,) * 3, info={"kind": "1.5"})
    for _ in range(2):
        with pytest.raises(ValueError, match="would read back as a float"):
            io.write_xyz(p, [frames[0], bad])


def test_inexact_writing_keeps_fifteen_decimals(tmp_path):
    s = io.Structure(np.zeros((3, 3)), [[0.1 + 0.2, 0, 0]], ["H"], (False,) * 3,
                     arrays={"f": np.array([0.1 + 0.2])})
    p = str(tmp_path / "i.xyz")
    io.write_xyz(p, s, exact=False)
    back = io.read(p)
    assert back.positions[0, 0] == 0.3 and back.arrays["f"][0] == 0.3
    io.write_xyz(p, s)
    assert io.read(p).arrays["f"][0] == 0.1 + 0.2


def test_plain_frames_are_written_as_before(tmp_path):
    s = io.Structure(np.eye(3) * 2, [[0, 0, 0]], ["H"], (True,) * 3, None, "hello")
    p = tmp_path / "plain.xyz"
    io.write_xyz(str(p), s)
    assert p.read_text().split("\n")[1] == 'Lattice="2.0 0.0 0.0 0.0 2.0 0.0 0.0 0.0 2.0" pbc="T T T" hello'


# ---------------------------------------------------------------------------
# The data model


def test_structure_carries_info_and_arrays():
    s = extended_structure(4)
    assert io.Structure(s.cell, s.positions, s.symbols).info == {}
    assert io.Structure(s.cell, s.positions, s.symbols).arrays == {}
    assert pickle.loads(pickle.dumps(s)) == s
    assert copy.deepcopy(s) == s and copy.copy(s) == s
    other = copy.deepcopy(s)
    other.info["step"] = 13
    assert other != s
    other = copy.deepcopy(s)
    other.info["step"] = 12.0  # same number, another type
    assert other != s
    other = copy.deepcopy(s)
    other.arrays["charge"] = other.arrays["charge"].copy()
    other.arrays["charge"][-1] += 1
    assert other != s
    other = copy.deepcopy(s)
    other.arrays["tag"] = other.arrays["tag"].astype(float)
    assert other != s


def test_old_pickles_read_with_empty_info_and_arrays():
    s = io.Structure(np.eye(3), np.zeros((1, 3)), ["H"])
    state = dict(s.__dict__)
    del state["info"], state["arrays"]
    old = io.Structure.__new__(io.Structure)
    old.__setstate__(state)
    assert old == s and old.info == {} and old.arrays == {}


@pytest.mark.parametrize("arrays, words", [
    ({"f": np.zeros((3, 3))}, r"array 'f' must have shape \(2,\) or \(2, count\), not \(3, 3\)"),
    ({"f": np.zeros((2, 3, 1))}, r"array 'f' must have shape"),
    ({"f": np.array([1 + 2j, 0])}, "array 'f' must hold reals, integers, logicals or strings, not complex128"),
])
def test_arrays_are_checked(arrays, words):
    with pytest.raises(ValueError, match=words):
        io.Structure(np.eye(3), np.zeros((2, 3)), ["H", "H"], arrays=arrays)


def test_arrays_are_stored_in_the_written_types():
    s = io.Structure(np.eye(3), np.zeros((2, 3)), ["H", "H"],
                     arrays={"a": np.array([1, 2], np.int32), "b": np.array([1.5, 2], np.float32), "c": ["x", "y"]})
    assert [s.arrays[k].dtype.str for k in "abc"] == ["<i8", "<f8", "<U1"]


# ---------------------------------------------------------------------------
# convert


def run(*args, cwd):
    return subprocess.run([sys.executable, "-P", "-m", "quorvel", *args], capture_output=True, text=True,
                          timeout=120, cwd=cwd)


def test_convert_carries_info_and_arrays_between_xyz_files(tmp_path):
    write(tmp_path, "in.xyz", DATASET)
    r = run("convert", "in.xyz", "out.xyz", cwd=tmp_path)
    assert r.returncode == 0 and r.stderr == ""
    assert io.read_xyz(str(tmp_path / "out.xyz")) == io.read_xyz(str(tmp_path / "in.xyz"))


@pytest.mark.parametrize("out, target", [("POSCAR", "a POSCAR file"), ("XDATCAR", "an XDATCAR file")])
def test_convert_says_what_vasp_files_cannot_hold(tmp_path, out, target):
    write(tmp_path, "in.xyz", DATASET.split("2\npbc")[0])
    r = run("convert", "in.xyz", out, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert r.stderr == (f"quorvel convert: note: {target} cannot hold the per-frame values energy, n, ok, stress, "
                        "ids, flags, config_type, relaxed and the per-atom arrays forces, tags, mask, kind: "
                        "not written\n")
    s = io.read(str(tmp_path / out))
    assert s.symbols == ["Fe", "O", "H"] and s.info == {} and s.arrays == {}


def test_convert_of_plain_files_says_nothing(tmp_path):
    write(tmp_path, "in.xyz", '1\nLattice="3 0 0 0 3 0 0 0 3"\nSi 0 0 0\n')
    r = run("convert", "in.xyz", "POSCAR", cwd=tmp_path)
    assert r.returncode == 0 and r.stderr == ""


def test_pages_read_go_back_while_frames_are_read(tmp_path, monkeypatch):
    # The frames read straight from a memory map give its pages back as the
    # reading goes on, as the blocks read one by one do.
    from quorvel.io import _files, _xyz
    monkeypatch.setattr(_files.ByteLines, "RELEASE", mmap.PAGESIZE)
    p = write(tmp_path, "many.xyz", FRAME * 400)
    with _files.open_lines(p) as lines:
        assert isinstance(lines, _files.ByteLines)
        frames = list(_xyz._xyz_frames(lines))
        released = lines._released
    assert len(frames) == 400 and frames[-1].arrays["f"].tolist() == [1.0, 2.0]
    assert released >= os.path.getsize(p) - 2 * mmap.PAGESIZE


def test_a_dataset_opened_as_frames_feeds_the_batched_neighbor_list(tmp_path):
    rng = np.random.default_rng(7)
    structures = []
    for k in range(5):
        n = int(rng.integers(3, 9))
        cell = np.diag(rng.uniform(4.0, 6.0, 3)) + rng.uniform(-0.3, 0.3, (3, 3))
        structures.append(io.Structure(cell, rng.uniform(0, 1, (n, 3)) @ cell, ["O", "H"] * (n // 2) + ["O"] * (n % 2),
                                       (True, k % 2 == 0, True), info={"energy": float(k)},
                                       arrays={"forces": rng.normal(size=(n, 3))}))
    path = tmp_path / "data.xyz"
    io.write(path, structures)
    frames = io.Frames(path)
    batch = quorvel.neighbor_lists(frames[1:4], 3.0)
    for b, s in enumerate(structures[1:4]):
        pairs = slice(batch.pair_offsets[b], batch.pair_offsets[b + 1])
        i, j, d, D, S = quorvel.neighbor_list(s, 3.0)
        assert np.array_equal(batch.i[pairs] - batch.atom_offsets[b], i)
        assert np.array_equal(batch.j[pairs] - batch.atom_offsets[b], j)
        assert batch.d[pairs].tobytes() == d.tobytes() and np.array_equal(batch.S[pairs], S)
