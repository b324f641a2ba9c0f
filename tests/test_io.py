"""quorvel.io: headers, round trips, errors with their file line numbers."""

import os

import numpy as np
import pytest

from quorvel import io

CELL = np.array([[4.0, 0.0, 0.0], [0.5, 3.5, 0.0], [0.25, 0.5, 5.0]])
FRAC = np.array([[0.0, 0.0, 0.0], [0.5, 0.25, 0.125], [0.75, 0.5, 0.5]])


def write(tmp_path, name, text):
    p = tmp_path / name
    p.write_text(text)
    return str(p)


def poscar(scale="1.0", names="Fe O", counts="1 2", selective=False, mode="Direct", rows=None, lattice=CELL,
           comment="test cell"):
    lines = [comment, scale] + ["  %r %r %r" % tuple(v) for v in lattice.tolist()]
    if names is not None:
        lines.append(names)
    lines.append(counts)
    if selective:
        lines.append(selective if isinstance(selective, str) else "Selective dynamics")
    lines.append(mode)
    if rows is None:
        rows = ["  %r %r %r%s" % (*r, "  T F T" if selective else "") for r in FRAC.tolist()]
    return "\n".join(lines + rows) + "\n"


# ---------------------------------------------------------------------------
# POSCAR headers


def test_poscar_direct_and_cartesian_give_the_same_structure(tmp_path):
    direct = io.read_poscar(write(tmp_path, "POSCAR", poscar()))
    cart_rows = ["  %r %r %r" % tuple(r) for r in (FRAC @ CELL).tolist()]
    for word in ("Cartesian", "cart", "K", "k"):
        cart = io.read_poscar(write(tmp_path, "POSCAR", poscar(mode=word, rows=cart_rows)))
        np.testing.assert_allclose(cart.positions, direct.positions, rtol=0, atol=1e-12)
    assert direct.symbols == ["Fe", "O", "O"]
    assert direct.pbc == (True, True, True) and direct.fixed is None and direct.comment == "test cell"
    np.testing.assert_array_equal(direct.cell, CELL)
    # Anything else on that line means Direct.
    other = io.read_poscar(write(tmp_path, "POSCAR", poscar(mode="Fractional")))
    np.testing.assert_array_equal(other.positions, direct.positions)


@pytest.mark.parametrize("scale, factor", [
    ("2.0", [2.0, 2.0, 2.0]),
    ("2.0 ! a comment", [2.0, 2.0, 2.0]),
    ("1.0 2.0 0.5", [1.0, 2.0, 0.5]),
    (repr(float(-abs(np.linalg.det(CELL)) * 8.0)), [2.0, 2.0, 2.0]),  # volume: 8x the lattice's
])
def test_poscar_scale_factors(tmp_path, scale, factor):
    s = io.read_poscar(write(tmp_path, "POSCAR", poscar(scale=scale)))
    np.testing.assert_allclose(s.cell, CELL * np.array(factor), rtol=1e-14)
    np.testing.assert_allclose(s.positions, FRAC @ (CELL * np.array(factor)), rtol=1e-14, atol=1e-14)


def test_poscar_cartesian_positions_take_the_per_axis_scale(tmp_path):
    rows = ["  1.0 1.0 1.0"]
    s = io.read_poscar(write(tmp_path, "POSCAR", poscar(scale="1 2 3", counts="1 0", mode="C", rows=rows)))
    np.testing.assert_array_equal(s.positions, [[1.0, 2.0, 3.0]])


@pytest.mark.parametrize("comment, expected", [
    ("Fe O cell from a script", ["Fe", "O", "O"]),
    ("iron oxide", ["X1", "X2", "X2"]),
    ("Fe", ["X1", "X2", "X2"]),  # one word for two species
])
def test_old_format_names_come_from_the_comment(tmp_path, comment, expected):
    s = io.read_poscar(write(tmp_path, "POSCAR", poscar(names=None, comment=comment)))
    assert s.symbols == expected


@pytest.mark.parametrize("line", ["Selective dynamics", "selective", "S"])
def test_selective_dynamics_line_by_first_letter(tmp_path, line):
    s = io.read_poscar(write(tmp_path, "POSCAR", poscar(selective=line)))
    np.testing.assert_array_equal(s.fixed, [[False, True, False]] * 3)


def test_velocities_after_the_positions_are_ignored(tmp_path):
    text = poscar() + "\n" + "  0.1 0.2 0.3\n" * 3
    assert io.read_poscar(write(tmp_path, "CONTCAR", text)) == io.read_poscar(write(tmp_path, "POSCAR", poscar()))


def test_crlf_line_endings(tmp_path):
    p = tmp_path / "POSCAR"
    p.write_bytes(poscar(selective=True).replace("\n", "\r\n").encode())
    s = io.read_poscar(str(p))
    assert s.comment == "test cell" and s.symbols == ["Fe", "O", "O"]
    np.testing.assert_allclose(s.positions, FRAC @ CELL)


# ---------------------------------------------------------------------------
# Round trips


def random_structure(n=50, seed=0, fixed=True, symbols=("Si", "Si", "O")):
    rng = np.random.default_rng(seed)
    cell = rng.normal(size=(3, 3)) + np.eye(3) * 6
    pos = rng.uniform(-3, 12, (n, 3))
    pos[0] = [0.0, -0.0, 1e-300]
    pos[1] = [1e17, 123456.789, 1 / 3]
    sym = [symbols[k % len(symbols)] for k in range(n)]
    flags = rng.random((n, 3)) < 0.5 if fixed else None
    return io.Structure(cell, pos, sym, (True, True, True), flags, "random ünïcode comment")


@pytest.mark.parametrize("fixed", [True, False])
def test_poscar_round_trip_is_exact(tmp_path, fixed):
    s = random_structure(fixed=fixed)
    p = str(tmp_path / "POSCAR")
    io.write_poscar(p, s)
    back = io.read_poscar(p)
    assert back == s
    assert np.signbit(back.positions[0, 1])
    io.write_poscar(p, s, direct=True)
    back = io.read_poscar(p)
    # Within the rounding of the fractional conversion (which row 1, at 1e17,
    # spoils for its own small components).
    np.testing.assert_allclose(back.positions[2:], s.positions[2:], rtol=1e-12, atol=1e-12)
    assert back.symbols == s.symbols and back.comment == s.comment


def test_poscar_inexact_writing_loses_digits(tmp_path):
    # What exact=True protects against: 16 decimals do not hold 1/3 * 1e-3.
    s = io.Structure(np.eye(3), [[1e-3 / 3, 0, 0]], ["H"])
    p = str(tmp_path / "POSCAR")
    io.write_poscar(p, s, exact=False)
    assert io.read_poscar(p).positions[0, 0] != s.positions[0, 0]
    io.write_poscar(p, s)
    assert io.read_poscar(p).positions[0, 0] == s.positions[0, 0]


def trajectory(frames=4, n=7, variable=False, seed=3):
    rng = np.random.default_rng(seed)
    cells = np.repeat((np.eye(3) * 5 + rng.normal(0, 0.1, (3, 3)))[None], frames, axis=0)
    if variable:
        cells = cells * (1 + 0.01 * np.arange(frames))[:, None, None]
    scaled = rng.random((frames, n, 3))
    scaled[0, 0] = [0.5, 0.25, 1e-9]
    return io.Trajectory(cells, scaled, ["Ga"] * 3 + ["As"] * (n - 3), (True, True, True), "GaAs md")


@pytest.mark.parametrize("variable", [False, True])
def test_xdatcar_round_trip_and_lazy_frames(tmp_path, variable):
    t = trajectory(variable=variable)
    p = str(tmp_path / "XDATCAR")
    io.write_xdatcar(p, t)
    text = open(p).read()
    assert text.count("Direct configuration=") == len(t)
    assert text.count("GaAs md") == (len(t) if variable else 1)
    back = io.read_xdatcar(p)
    assert back == t
    frames = list(io.iter_xdatcar(p))
    assert len(frames) == len(t)
    for k, s in enumerate(frames):
        np.testing.assert_array_equal(s.cell, t.cells[k])
        np.testing.assert_allclose(s.positions, t.positions[k], rtol=0, atol=1e-12)


def test_xdatcar_from_structures_and_blank_trailing_lines(tmp_path):
    t = trajectory()
    p = str(tmp_path / "XDATCAR")
    io.write_xdatcar(p, list(t))
    with open(p, "a") as f:
        f.write("\n\n   \n")
    back = io.read_xdatcar(p)
    np.testing.assert_allclose(back.scaled_positions, t.scaled_positions, atol=1e-12)
    assert back.symbols == t.symbols


def test_xyz_round_trip_multi_frame_and_comment_as_is(tmp_path):
    s1 = random_structure(n=5, fixed=False)
    s1.comment = '  Properties=species:S:1  "quoted"  '
    s1 = io.Structure(np.zeros((3, 3)), s1.positions, ["C", "H", "H", "Fe", "H"], (False,) * 3, None, s1.comment)
    s2 = io.Structure(np.zeros((3, 3)), np.ones((2, 3)), ["O", "O"], (False,) * 3, None, "")
    p = str(tmp_path / "two.xyz")
    io.write_xyz(p, [s1, s2])
    frames = io.read_xyz(p)
    assert frames == [s1, s2]


def test_xyz_extended_lattice_in_the_comment(tmp_path):
    text = '1\nLattice="2 0 0 0 3 0 0 0 4" pbc="T F T" energy=1\nh 0 0 0\n'
    s = io.read(write(tmp_path, "a.xyz", text))
    np.testing.assert_array_equal(s.cell, np.diag([2.0, 3.0, 4.0]))
    assert s.pbc == (True, False, True) and s.symbols == ["H"]
    assert s.comment == 'Lattice="2 0 0 0 3 0 0 0 4" pbc="T F T" energy=1'


def test_writers_leave_no_half_written_file(tmp_path):
    p = tmp_path / "POSCAR"
    p.write_text("old content\n")
    bad = io.Structure(np.eye(3), np.zeros((2, 3)), ["Fe", "two words"])
    with pytest.raises(ValueError, match="two words"):
        io.write_poscar(str(p), bad)
    frames = [io.Structure(np.eye(3), np.zeros((1, 3)), ["H"]), io.Structure(np.eye(3), np.zeros((1, 3)), ["H H"])]
    with pytest.raises(ValueError, match="'H H'"):
        io.write_xyz(str(p), frames)
    assert p.read_text() == "old content\n"
    assert os.listdir(tmp_path) == ["POSCAR"]


@pytest.mark.parametrize("suffix, magic", [(".gz", b"\x1f\x8b"), (".bz2", b"BZh"), (".xz", b"\xfd7zXZ")])
def test_compressed_files(tmp_path, suffix, magic):
    s = random_structure(n=4)
    p = str(tmp_path / ("POSCAR" + suffix))
    io.write(p, s)
    assert open(p, "rb").read(len(magic)) == magic
    assert io.read(p) == s
    assert os.listdir(tmp_path) == ["POSCAR" + suffix]


@pytest.mark.parametrize("name", ["POSCAR", "POSCAR.gz"])
def test_a_write_that_fails_midway_keeps_the_old_file(tmp_path, name):
    from quorvel.io._files import write_text
    p = tmp_path / name
    io.write(str(p), random_structure(n=3))
    old = p.read_bytes()

    def parts():
        yield "first part\n"
        raise RuntimeError("disk on fire")

    with pytest.raises(RuntimeError, match="disk on fire"):
        write_text(str(p), parts())
    assert p.read_bytes() == old
    assert os.listdir(tmp_path) == [name]


def test_written_files_get_the_permissions_of_a_new_file(tmp_path):
    umask = os.umask(0o027)
    try:
        p = tmp_path / "a.xyz"
        io.write(str(p), random_structure(n=2))
    finally:
        os.umask(umask)
    assert p.stat().st_mode & 0o777 == 0o640


@pytest.mark.parametrize("name, text, fmt", [
    ("a.txt", "3\n\nH 0 0 0\nH 1 0 0\nH 2 0 0\n", "xyz"),
    ("data", poscar(), "poscar"),
    ("CONTCAR_relaxed", "anything", "poscar"),
    ("run.XDATCAR", "anything", "xdatcar"),
])
def test_guess_format(tmp_path, name, text, fmt):
    assert io.guess_format(write(tmp_path, name, text)) == fmt


def test_guess_format_sniffs_xdatcar(tmp_path):
    p = str(tmp_path / "traj")
    io.write_xdatcar(p, trajectory())
    assert io.guess_format(p) == "xdatcar"
    assert len(list(io.iread(p))) == 4


# ---------------------------------------------------------------------------
# Errors: file, 1-based line, what was expected


POSCAR_ERRORS = [
    # (line to replace (1-based), new text, line reported, words in the reason)
    (2, "abc", 2, "scale factor"),
    (2, "0", 2, "non-zero"),
    (2, "1 -2 3", 2, "positive"),
    (4, "0.5 x 0.0", 4, "expected a number, got 'x'"),
    (5, "1.0 2.0", 5, "lattice vector"),
    (7, "1 two", 7, "one atom count per species"),
    (7, "one", 7, "atom counts"),
    (10, "0.0 0.0", 10, "three coordinates"),
    (11, "0.5 0.25 1.0D+00", 11, "expected a number, got '1.0D+00'"),
]


@pytest.mark.parametrize("lineno, new, reported, words", POSCAR_ERRORS)
def test_poscar_errors_name_the_file_line(tmp_path, lineno, new, reported, words):
    lines = poscar().split("\n")
    lines[lineno - 1] = new
    p = write(tmp_path, "POSCAR", "\n".join(lines))
    with pytest.raises(io.FormatError) as info:
        io.read_poscar(p)
    e = info.value
    assert (e.path, e.line) == (p, reported)
    assert words in e.reason
    assert str(e).startswith(f"{p}, line {reported}: ")


def test_poscar_flag_error_chains_the_native_error(tmp_path):
    text = poscar(selective=True).replace("T F T", "T y T", 1)
    p = write(tmp_path, "POSCAR", text)
    with pytest.raises(io.FormatError) as info:
        io.read_poscar(p)
    assert info.value.line == 10 and "got 'y'" in info.value.reason
    assert isinstance(info.value.__cause__, ValueError) and "atom line 0" in str(info.value.__cause__)


@pytest.mark.parametrize("keep, reported, words", [
    (0, 1, "comment line"),
    (1, 2, "scale factor"),
    (3, 4, "3 lattice vector lines, the file ends after 1"),
    (7, 8, "'Selective dynamics' or 'Direct'/'Cartesian'"),
    (8, 9, "3 atom lines, the file ends after 0"),
    (10, 11, "3 atom lines, the file ends after 2"),
])
def test_truncated_poscar(tmp_path, keep, reported, words):
    text = "".join(poscar().splitlines(keepends=True)[:keep])
    p = write(tmp_path, "POSCAR", text)
    with pytest.raises(io.FormatError) as info:
        io.read_poscar(p)
    assert info.value.line == reported
    assert "truncated" in info.value.reason and words in info.value.reason


def xdatcar_text():
    t = trajectory(frames=3, n=4)
    return t, "".join(
        ["GaAs md\n", "1\n"] + ["  %r %r %r\n" % tuple(v) for v in t.cells[0].tolist()] + ["Ga As\n", "3 1\n"]
        + [line for k in range(3) for line in
           ["Direct configuration=%6d\n" % (k + 1)] + ["  %r %r %r\n" % tuple(r) for r in t.scaled_positions[k].tolist()]])


@pytest.mark.parametrize("lineno, new, reported, words", [
    (8, "Frames follow", 8, "Direct configuration="),
    (10, " 0.1 0.2", 10, "three coordinates"),
    (15, " 0.1 x 0.3", 15, "got 'x'"),
    (19, " 0.1 0.2 nope", 19, "got 'nope'"),
])
def test_xdatcar_errors(tmp_path, lineno, new, reported, words):
    _, text = xdatcar_text()
    lines = text.split("\n")
    lines[lineno - 1] = new
    p = write(tmp_path, "XDATCAR", "\n".join(lines))
    with pytest.raises(io.FormatError) as info:
        io.read_xdatcar(p)
    assert info.value.line == reported and words in info.value.reason


def test_xdatcar_truncated_in_the_last_frame_and_lazy_frames_come_first(tmp_path):
    t, text = xdatcar_text()
    p = write(tmp_path, "XDATCAR", "".join(text.splitlines(keepends=True)[:-2]))
    frames = io.iter_xdatcar(p, strict=True)
    first = next(frames)
    np.testing.assert_allclose(first.positions, t.positions[0], atol=1e-12)
    next(frames)
    with pytest.raises(io.FormatError, match=r"line 21: file is truncated: expected 4 coordinate lines in frame 3"):
        next(frames)


@pytest.mark.parametrize("text, reported, words", [
    ("2\nc\nH 0 0 0\nH 0 0\n", 4, "a symbol and three coordinates"),
    ("2\nc\nH 0 0 0\n\n", 4, "a symbol and three coordinates"),
    ("1\nc\nH 0 0 0\n2 atoms\nc\n", 4, "number of atoms of frame 2"),
    ("1\nc\nH 0 zero 0\n", 3, "got 'zero'"),
    ("1\nc\nH 0 0 0\n2\nc\nO 0 0 0\n", 7, "truncated: expected 2 atom lines in frame 2, the file ends after 1"),
    ("3\n", 2, "truncated: expected the comment line of frame 1"),
    ('1\nLattice="1 2 3"\nH 0 0 0\n', 2, "nine numbers"),
])
def test_xyz_errors(tmp_path, text, reported, words):
    p = write(tmp_path, "t.xyz", text)
    with pytest.raises(io.FormatError) as info:
        io.read_xyz(p, strict=True)
    assert info.value.line == reported and words in info.value.reason


def replaced(text, lineno, new):
    lines = text.split("\n")
    lines[lineno - 1] = new
    return "\n".join(lines)


# (file name, text, line reported, reason): every kind of fault in a block of
# lines that the native parsers read, with the file line the reader names.
# Coordinates spelled like flags ('flag1', 'noflag') are coordinates all the same.
BLOCK_ERRORS = [
    ("POSCAR", replaced(poscar(), 10, "  0.5 flag1 0.125"), 10, "expected a number, got 'flag1'"),
    ("POSCAR", replaced(poscar(), 11, "  0.75 0.5 noflag"), 11, "expected a number, got 'noflag'"),
    ("POSCAR", replaced(poscar(selective=True), 10, "  flag1 0.0 0.0  T F T"), 10,
     "expected a number, got 'flag1'"),
    ("POSCAR", replaced(poscar(selective=True), 12, "  0.75 noflag 0.5  T F T"), 12,
     "expected a number, got 'noflag'"),
    ("POSCAR", replaced(poscar(selective=True), 11, "  0.5 0.25 0.125  T F x"), 11,
     "expected a selective-dynamics flag T or F, got 'x'"),
    ("POSCAR", replaced(poscar(), 9, "  0.0 0.0"), 9, "expected three coordinates (x y z)"),
    ("POSCAR", replaced(poscar(selective=True), 11, ""), 11, "expected three coordinates (x y z)"),
    ("POSCAR", replaced(poscar(), 4, "  0.5 3.5 zero"), 4, "expected a number, got 'zero'"),
    ("POSCAR", replaced(poscar(), 5, "  0.25 0.5"), 5, "expected a lattice vector: three numbers"),
    ("t.xyz", "2\nc\nH 0 0 0\nO 0 noflag 0\n", 4, "expected a number, got 'noflag'"),
    ("t.xyz", "1\nc\nH 0 0 0\n2\nc\nO 1 1 1\n\n", 7,
     "expected an atom line: a symbol and three coordinates (x y z)"),
    ("t.xyz", "2\nc\nH 0 0 0\nH 1 2\n", 4, "expected an atom line: a symbol and three coordinates (x y z)"),
    ("t.xyz", "1\nc\nHe\n", 3, "expected an atom line: a symbol and three coordinates (x y z)"),
]


def xdatcar_block_errors():
    _, text = xdatcar_text()
    return [
        ("XDATCAR", replaced(text, 15, " 0.1 flag1 0.3"), 15, "expected a number, got 'flag1'"),
        ("XDATCAR", replaced(text, 19, " 0.1 0.2"), 19, "expected three coordinates (x y z)"),
        ("XDATCAR", replaced(text, 9, ""), 9, "expected three coordinates (x y z)"),
        ("XDATCAR", replaced(text, 3, " 1 0 O"), 3, "expected a number, got 'O'"),
    ]


@pytest.mark.parametrize("name, text, reported, reason", BLOCK_ERRORS + xdatcar_block_errors(),
                         ids=[f"{c[0]}:{c[2]}" for c in BLOCK_ERRORS + xdatcar_block_errors()])
def test_block_errors_name_the_line_and_the_field(tmp_path, name, text, reported, reason):
    p = write(tmp_path, name, text)
    with pytest.raises(io.FormatError) as info:
        list(io.iread(p, strict=True))
    assert str(info.value) == f"{p}, line {reported}: {reason}"
    assert (info.value.path, info.value.line, info.value.reason) == (p, reported, reason)
    assert isinstance(info.value.__cause__, ValueError)


def test_a_native_error_without_its_facts_keeps_its_text():
    from quorvel.io._blocks import block_error
    e = block_error(ValueError("format_poscar_positions_rs: coord and flags must have the same shape"),
                    "POSCAR", 9, "coordinates")
    assert (e.line, e.reason) == (None, "format_poscar_positions_rs: coord and flags must have the same shape")


def test_empty_and_binary_files(tmp_path):
    with pytest.raises(io.FormatError, match="empty"):
        io.read_xyz(write(tmp_path, "e.xyz", "\n\n"))
    p = tmp_path / "POSCAR"
    p.write_bytes(b"\xff\xfe\x00garbage\n")
    with pytest.raises(io.FormatError, match="line 1: not a text file"):
        io.read_poscar(str(p))


def test_reading_across_chunk_boundaries(tmp_path, monkeypatch):
    t = trajectory(frames=5, n=9)
    s = random_structure(n=40)
    paths = {"XDATCAR": str(tmp_path / "XDATCAR"), "POSCAR": str(tmp_path / "POSCAR"), "xyz": str(tmp_path / "a.xyz")}
    io.write_xdatcar(paths["XDATCAR"], t)
    io.write_poscar(paths["POSCAR"], s)
    io.write_xyz(paths["xyz"], [s, s])
    whole = (io.read_xdatcar(paths["XDATCAR"]), io.read_poscar(paths["POSCAR"]), io.read_xyz(paths["xyz"]))
    for chunk in (1, 70, 333):
        monkeypatch.setattr(io._files.Lines, "CHUNK", chunk)
        assert (io.read_xdatcar(paths["XDATCAR"]), io.read_poscar(paths["POSCAR"]), io.read_xyz(paths["xyz"])) == whole


# ---------------------------------------------------------------------------
# read(path, index=k): frame k through the frame index

import frame_files as ff  # noqa: E402

MANY = 20  # more frames than read() reads in order


@pytest.mark.parametrize("name, variable", [("XDATCAR", False), ("XDATCAR", True), ("run.xyz", False),
                                            ("run.xyz.gz", False)],
                         ids=["xdatcar", "xdatcar-variable-cell", "xyz", "xyz-gz"])
def test_read_by_index_gives_the_frame_iread_gives(tmp_path, name, variable):
    text = ff.xyz_text(MANY) if "xyz" in name else ff.xdatcar_text(MANY, variable_cell=variable)
    p = ff.write(tmp_path, name, text)
    frames = list(io.iread(p))
    for k in (0, 1, 15, 16, 17, MANY - 1, -1, -2, -MANY):
        got = io.read(p, index=k)
        assert got == frames[k] and got.comment == frames[k].comment
    for k in (MANY, MANY + 7, -MANY - 1):
        with pytest.raises(IndexError) as info:
            io.read(p, index=k)
        assert str(info.value) == f"frame index {k} asked for, but {p} has {MANY} frames"


def _spoiled(text, frame, first_atom_line):
    """text with a bad number in the first atom line of `frame` (counted
    from 0); (the text, that line's number)."""
    lines = text.splitlines(keepends=True)
    n = first_atom_line + frame * (len(ff.SYMBOLS) + 1)
    lines[n - 1] = " 0.1 oops 0.3\n"
    return "".join(lines), n


@pytest.mark.parametrize("bad", [2, 18])
def test_read_by_index_reads_that_frame_alone(tmp_path, bad):
    text, line = _spoiled(ff.xdatcar_text(MANY), bad, 9)
    p = ff.write(tmp_path, "XDATCAR", text)
    good = list(io.iread(ff.write(tmp_path, "XDATCAR.good", ff.xdatcar_text(MANY)), format="xdatcar"))
    # Frames after the spoiled one are read without reading it ...
    for k in (-1, max(bad + 1, 16)):
        assert io.read(p, index=k) == good[k]
    # ... and the spoiled one, asked for, names its line as iread does.
    with pytest.raises(io.FormatError) as info:
        io.read(p, index=bad)
    with pytest.raises(io.FormatError) as expected:
        list(io.iread(p, strict=True))
    assert str(info.value) == str(expected.value) == f"{p}, line {line}: expected a number, got 'oops'"


def test_read_by_index_of_a_cut_trajectory_is_strict(tmp_path):
    lines = ff.xdatcar_text(MANY).splitlines(keepends=True)
    p = ff.write(tmp_path, "XDATCAR", "".join(lines[:-2]))
    good = list(io.iread(ff.write(tmp_path, "XDATCAR.good", "".join(lines)), format="xdatcar"))
    # A frame before the cut is read; one at or past it (or the last) is the cut's FormatError.
    assert io.read(p, index=17) == good[17] and io.read(p, index=MANY - 2) == good[MANY - 2]
    for k in (MANY - 1, -1, MANY + 3):
        with pytest.raises(io.FormatError) as info:
            io.read(p, index=k)
        assert str(info.value).startswith(f"{p}, line {len(lines) - 1}: ")
