"""Layouts that VASP runs and other tools write: POTCAR labels as species,
wrapped species lines, blank-separated XDATCAR frames, element labels on
old-format atom lines, XDATCAR files without frames and trajectories cut
short by a killed run; read through quorvel.io and the command line."""

import subprocess
import sys
import warnings

import numpy as np
import pytest

import quorvel
from quorvel import io
from quorvel._elements import element_of

CELL = np.diag([4.0, 4.5, 5.0])
FRAC = np.array([[0.0, 0.0, 0.0], [0.5, 0.0, 0.0], [0.0, 0.5, 0.5], [0.5, 0.5, 0.25]])


def put(tmp_path, name, text):
    p = tmp_path / name
    p.write_text(text)
    return str(p)


def header(names="Cd S", counts="2 2", comment="CdS"):
    lines = [comment, "1.0"] + ["  %r %r %r" % tuple(v) for v in CELL.tolist()]
    return "\n".join(lines + ([names] if names is not None else []) + [counts]) + "\n"


def rows(frac=FRAC, tail=""):
    return "".join("  %r %r %r%s\n" % (*r, tail) for r in frac.tolist())


def frames_of(count):
    return [FRAC + 0.01 * k for k in range(count)]


def xdatcar(count, separator="config"):
    """An XDATCAR text of count frames, each after a configuration line or
    after a blank line."""
    text = header()
    for k, frac in enumerate(frames_of(count)):
        text += f"Direct configuration= {k + 1:5d}\n" if separator == "config" else "\n"
        text += rows(frac)
    return text


def xyz(count):
    return "".join(f"4\nframe {k}\n" + "".join("Cd %r %r %r\n" % tuple(r) for r in (frac @ CELL).tolist())
                   for k, frac in enumerate(frames_of(count)))


def run(*args):
    return subprocess.run([sys.executable, "-P", "-m", "quorvel", *map(str, args)],
                          capture_output=True, text=True, timeout=120)


# ---------------------------------------------------------------------------
# POTCAR labels


@pytest.mark.parametrize("name, element", [
    ("Fe", "Fe"), ("Fe_pv", "Fe"), ("Fe_sv_GW", "Fe"), ("Fe/abc", "Fe"), ("Cd_pv/1f9b3e8c", "Cd"), ("H_h", "H"),
    ("X1", None), ("o", None), ("H1.25", None), ("Xx_pv", None), ("", None),
])
def test_element_of_a_species_name(name, element):
    assert element_of(name) == element


@pytest.mark.parametrize("names, symbols", [
    ("Cd/1f9b3e8c   S/66b2e0a4", ["Cd", "S"]),
    ("Cd_pv/1f9b3e8c S", ["Cd_pv", "S"]),
    ("cd_sv_GW S", ["Cd_sv_GW", "S"]),
])
def test_potcar_labels_in_the_species_line(tmp_path, names, symbols):
    s = io.read_poscar(put(tmp_path, "POSCAR", header(names) + "Direct\n" + rows()))
    assert s.symbols == [symbols[0]] * 2 + [symbols[1]] * 2
    # Element-pair cutoffs find the Cd-S pairs whatever the label.
    nl = quorvel.neighbor_list(s, {("Cd", "S"): 3.3})
    every = quorvel.neighbor_list(s, 3.3)
    cd = np.array([element_of(x) == "Cd" for x in s.symbols])
    mixed = cd[every.i] != cd[every.j]
    assert 0 < mixed.sum() < len(every.i)
    np.testing.assert_array_equal(nl.i, every.i[mixed])
    np.testing.assert_array_equal(nl.S, every.S[mixed])
    np.testing.assert_array_equal(nl.i, quorvel.neighbor_list(s, {(48, 16): 3.3}).i)


def test_an_element_and_its_labels_name_the_same_atoms(tmp_path):
    s = io.read_poscar(put(tmp_path, "POSCAR", header("Cd_pv Cd") + "Direct\n" + rows()))
    assert s.symbols == ["Cd_pv", "Cd_pv", "Cd", "Cd"]
    by_label = quorvel.neighbor_list(s, {("Cd_pv", "Cd"): 2.6})
    by_element = quorvel.neighbor_list(s, {("Cd", "Cd"): 2.6})
    assert len(by_label.i) == len(by_element.i) == len(quorvel.neighbor_list(s, 2.6).i) > 0
    with pytest.raises(ValueError, match="names species 'S'"):
        quorvel.neighbor_list(s, {("Cd", "S"): 2.6})
    with pytest.raises(ValueError, match="names species 'cd'"):
        quorvel.neighbor_list(s, {("cd", "Cd"): 2.6})


# ---------------------------------------------------------------------------
# Species names and counts wrapped onto several lines


@pytest.mark.parametrize("names, counts", [
    ("Cd\nS", "2 2"),
    ("Cd S", "2\n2"),
    ("Cd\nS", "2\n2"),
])
def test_wrapped_species_names_and_counts(tmp_path, names, counts):
    text = header(names, counts) + "Direct\n" + rows()
    s = io.read_poscar(put(tmp_path, "POSCAR", text))
    assert s.symbols == ["Cd", "Cd", "S", "S"]
    np.testing.assert_allclose(s.positions, FRAC @ CELL)
    # The same header before frames.
    t = io.read_xdatcar(put(tmp_path, "XDATCAR", text.replace("Direct\n", "Direct configuration= 1\n")))
    assert t.symbols == s.symbols and len(t) == 1


def test_too_few_wrapped_counts_name_the_line(tmp_path):
    p = put(tmp_path, "POSCAR", header("Cd S\nO", "2 1") + "Direct\n" + rows())
    with pytest.raises(io.FormatError) as info:
        io.read_poscar(p)
    assert info.value.line == 8 and "3 names, 2 counts" in info.value.reason


# ---------------------------------------------------------------------------
# XDATCAR frames after blank lines


@pytest.mark.parametrize("name", ["XDATCAR", "traj.dat"])
def test_blank_separated_xdatcar_frames(tmp_path, name):
    blank = put(tmp_path, name, xdatcar(3, "blank"))
    expected = io.read_xdatcar(put(tmp_path, "ref.xdatcar", xdatcar(3)))
    assert io.guess_format(blank) == "xdatcar"
    t = io.read_xdatcar(blank)
    assert t == expected and len(t) == 3
    assert [s.positions.tolist() for s in io.iread(blank)] == [s.positions.tolist() for s in expected]


@pytest.mark.parametrize("text, format", [
    (header() + "Direct\n" + rows(), "poscar"),
    (header("Cd\nS", "2\n2") + "Direct configuration= 1\n" + rows(), "xdatcar"),
    (header("Cd\nS", "2\n2") + "\n" + rows(), "xdatcar"),
    (header() + "\n", "poscar"),  # a blank line and nothing after: no frame follows
])
def test_vasp_kind_under_a_neutral_name(tmp_path, text, format):
    assert io.guess_format(put(tmp_path, "structure.dat", text)) == format


# ---------------------------------------------------------------------------
# Old-format POSCARs with element labels on the atom lines


@pytest.mark.parametrize("selective, labels, comment, symbols", [
    (False, ["Fe", "Fe", "O", "O"], "cell", ["Fe", "Fe", "O", "O"]),
    (True, ["Fe", "Fe", "O", "O"], "cell", ["Fe", "Fe", "O", "O"]),
    (False, ["fe", "fe", "Fe_pv", "Fe_pv"], "cell", ["Fe", "Fe", "Fe_pv", "Fe_pv"]),
    # A block that disagrees, a label that is no element, a missing label:
    # names as before, from the comment or placeholders.
    (False, ["Fe", "O", "O", "O"], "Cu Zn", ["Cu", "Cu", "Zn", "Zn"]),
    (True, ["Fe", "Fe", "A1", "A1"], "cell", ["X1", "X1", "X2", "X2"]),
    (False, ["Fe", "Fe", "O", ""], "cell", ["X1", "X1", "X2", "X2"]),
])
def test_old_format_species_from_atom_labels(tmp_path, selective, labels, comment, symbols):
    flags = "  T T F" if selective else ""
    body = "".join("  %r %r %r%s %s\n" % (*r, flags, label) for r, label in zip(FRAC.tolist(), labels))
    text = header(None, comment=comment) + ("Selective dynamics\n" if selective else "") + "Direct\n" + body
    s = io.read_poscar(put(tmp_path, "POSCAR", text))
    assert s.symbols == symbols
    np.testing.assert_allclose(s.positions, FRAC @ CELL)
    if selective:
        assert s.fixed[:, 2].all() and not s.fixed[:, :2].any()


# ---------------------------------------------------------------------------
# An XDATCAR without frames


@pytest.mark.parametrize("tail", ["", "\n\n"])
def test_xdatcar_without_frames_is_an_empty_trajectory(tmp_path, tail):
    p = put(tmp_path, "XDATCAR", header() + tail)
    t = io.read_xdatcar(p)
    assert len(t) == 0 and t.scaled_positions.shape == (0, 4, 3) and t.symbols == ["Cd", "Cd", "S", "S"]
    assert t.comment == "CdS"
    assert list(io.iread(p)) == []
    with pytest.raises(IndexError, match="has 0 frames"):
        io.read(p)


def test_neighbors_on_an_xdatcar_without_frames(tmp_path):
    p = put(tmp_path, "XDATCAR", header())
    r = run("neighbors", p, "--cutoff", "3", "--frames", "-o", tmp_path / "pairs.npz")
    assert r.returncode == 0 and r.stderr == ""
    assert r.stdout.splitlines()[0] == f"{p} (XDATCAR): frames: 0 (no whole frame in the file), no pairs to report"
    saved = np.load(tmp_path / "pairs.npz")
    assert saved["i"].shape == (0,) and saved["S"].shape == (0, 3) and saved["frame"].shape == (0,)
    r = run("neighbors", p, "--cutoff", "3")
    assert r.returncode == 1 and r.stdout == ""
    assert r.stderr.count("\n") == 1 and "holds no frame" in r.stderr


# ---------------------------------------------------------------------------
# Trajectories cut short


def cut(text, drop_lines=0, half=False):
    """text without its last drop_lines lines; with half, its last line then
    left half written: its first two fields, without a line end."""
    lines = text.splitlines(keepends=True)[:len(text.splitlines()) - drop_lines]
    if half:
        lines[-1] = " ".join(lines[-1].split()[:2])
    return "".join(lines)


def replace_line(text, lineno, new):
    lines = text.splitlines(keepends=True)
    lines[lineno - 1] = new + "\n"
    return "".join(lines)


# (file name, text, whole frames, line of the cut)
CUTS = [
    ("XDATCAR", cut(xdatcar(3), drop_lines=2), 2, 21),            # block short
    ("XDATCAR", cut(xdatcar(3), drop_lines=4), 2, 19),            # after the configuration line
    ("XDATCAR", cut(xdatcar(3), half=True), 2, 22),               # last line half written
    ("XDATCAR", cut(xdatcar(3, "blank"), drop_lines=1), 2, 22),   # blank-separated
    ("XDATCAR", cut(xdatcar(1), drop_lines=1), 0, 12),            # in the first frame
    ("t.xyz", cut(xyz(3), drop_lines=1), 2, 18),
    ("t.xyz", cut(xyz(3), drop_lines=5), 2, 14),                  # after the count line
    ("t.xyz", cut(xyz(3), half=True), 2, 18),
]


@pytest.mark.parametrize("name, text, whole, line", CUTS)
def test_a_cut_trajectory_gives_its_whole_frames_and_warns(tmp_path, name, text, whole, line):
    p = put(tmp_path, name, text)
    with pytest.warns(io.TruncatedTrajectoryWarning) as record:
        frames = list(io.iread(p))
    assert len(record) == 1
    w = record[0].message
    assert (w.path, w.line, w.frames) == (p, line, whole)
    assert str(w).startswith(f"{p}, line {line}: the file is cut short in frame {whole + 1} (")
    assert len(frames) == whole
    for frame, frac in zip(frames, frames_of(whole)):
        np.testing.assert_allclose(frame.scaled_positions() if name == "XDATCAR" else frame.positions,
                                   frac if name == "XDATCAR" else frac @ CELL, atol=1e-12)
    with pytest.raises(io.FormatError) as info:
        list(io.iread(p, strict=True))
    assert info.value.line == line
    # One structure past the whole frames is an error, one before them is read.
    with pytest.raises(io.FormatError):
        io.read(p, index=-1)
    if whole:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            np.testing.assert_array_equal(io.read(p).positions, frames[0].positions)


def test_whole_frame_reads_warn_too(tmp_path):
    p = put(tmp_path, "XDATCAR", cut(xdatcar(3), drop_lines=2))
    with pytest.warns(io.TruncatedTrajectoryWarning):
        assert len(io.read_xdatcar(p)) == 2
    q = put(tmp_path, "t.xyz", cut(xyz(3), drop_lines=1))
    with pytest.warns(io.TruncatedTrajectoryWarning):
        assert len(io.read_xyz(q)) == 2


@pytest.mark.parametrize("name, text, line", [
    # A fault before the file's end, or on a last line with its line end, is no cut.
    ("XDATCAR", replace_line(xdatcar(3), 14, "  0.1 0.2"), 14),
    ("XDATCAR", replace_line(xdatcar(3), 22, "  0.1 0.2"), 22),
    ("t.xyz", replace_line(xyz(3), 9, "Cd x 0 0"), 9),
    # An XYZ file cut in its first frame holds no frame.
    ("t.xyz", cut(xyz(1), drop_lines=1), 6),
    ("POSCAR", cut(header() + "Direct\n" + rows(), half=True), 12),
])
def test_faults_and_cut_single_structures_stay_errors(tmp_path, name, text, line):
    p = put(tmp_path, name, text)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(io.FormatError) as info:
            list(io.iread(p))
    assert info.value.line == line


def test_neighbors_on_a_cut_trajectory(tmp_path):
    p = put(tmp_path, "XDATCAR", cut(xdatcar(3), half=True))
    whole = put(tmp_path, "whole.xdatcar", cut(xdatcar(2)))
    r = run("neighbors", p, "--cutoff", "2.6", "--frames")
    assert r.returncode == 0
    assert r.stderr == (f"quorvel neighbors: warning: {p}, line 22: the file is cut short in frame 3 (its last "
                        "line is cut: expected three coordinates (x y z)); read the 2 whole frames before it\n")
    reference = run("neighbors", whole, "--cutoff", "2.6", "--frames")
    assert reference.returncode == 0 and reference.stderr == ""
    assert r.stdout.replace(p, "FILE") == reference.stdout.replace(whole, "FILE")
    assert "frames: 2" in r.stdout
    r = run("neighbors", p, "--cutoff", "2.6", "--frames", "--strict")
    assert r.returncode == 1 and r.stdout == ""
    assert r.stderr == f"quorvel neighbors: error: {p}, line 22: expected three coordinates (x y z)\n"
