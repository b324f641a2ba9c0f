"""The quorvel command, run as a subprocess on the shipped examples."""

import os
import re
import subprocess
import sys

import numpy as np
import pytest

import quorvel
from quorvel import io

SCRIPT = os.path.join(os.path.dirname(sys.executable), "quorvel")
POSCAR, XDATCAR, XYZ = (quorvel.example_path(n) for n in ("POSCAR", "XDATCAR", "water.xyz"))


def run(*args, via="module", cwd=None):
    command = [sys.executable, "-P", "-m", "quorvel"] if via == "module" else [SCRIPT]
    return subprocess.run(command + [str(a) for a in args], capture_output=True, text=True, timeout=120, cwd=cwd)


@pytest.mark.parametrize("via", [
    "module",
    pytest.param("script", marks=pytest.mark.skipif(
        not os.path.exists(SCRIPT), reason="no console script beside this interpreter (not a pip install)")),
])
def test_neighbors_report_on_the_poscar_example(via):
    r = run("neighbors", POSCAR, "--cutoff", "2.2", via=via)
    assert r.returncode == 0, r.stderr
    s = io.read(POSCAR)
    nl = quorvel.neighbor_list(s, 2.2)
    out = r.stdout
    assert f"{len(s)} atoms (Ti 16, O 32)" in out
    assert f"pairs closer than 2.2 Å: {len(nl.i) // 2}" in out
    m = int(np.argmin(nl.d))
    assert f"shortest distance: {nl.d[m]:.4f} Å between atoms {nl.i[m] + 1} (" in out
    # Rutile: every Ti has six O within 2.2 Å, every O three Ti.
    assert "mean coordination: Ti 6.00, O 3.00" in out
    bars = [int(line.split()[3]) for line in out.splitlines() if re.match(r"\s+\d+\.\d+ - ", line)]
    assert sum(bars) == len(nl.i) // 2 and len(bars) == 10
    assert r.stderr == ""


def test_neighbors_frames_saves_every_frame(tmp_path):
    out = tmp_path / "pairs.npz"
    r = run("neighbors", XDATCAR, "--cutoff", "2.5", "--frames", "--output", out)
    assert r.returncode == 0, r.stderr
    frames = list(io.iread(XDATCAR))
    assert f"frames: {len(frames)}" in r.stdout
    saved = np.load(out)
    for k, s in enumerate(frames):
        nl = quorvel.neighbor_list(s, 2.5)
        keep = saved["frame"] == k
        np.testing.assert_array_equal(saved["i"][keep], nl.i)
        np.testing.assert_array_equal(saved["S"][keep], nl.S)
        np.testing.assert_array_equal(saved["d"][keep], nl.d)


@pytest.mark.parametrize("threads", ["1", "2"])
def test_neighbors_threads_give_the_same_report(threads):
    plain = run("neighbors", XDATCAR, "--cutoff", "2.5", "--frames")
    threaded = run("neighbors", XDATCAR, "--cutoff", "2.5", "--frames", "--threads", threads)
    assert threaded.returncode == 0, threaded.stderr
    assert threaded.stdout == plain.stdout


def test_neighbors_threads_must_be_positive():
    r = run("neighbors", XDATCAR, "--cutoff", "2.5", "--threads", "0")
    assert r.returncode != 0 and "--threads must be at least 1" in r.stderr


def test_neighbors_first_frame_only_without_frames():
    r = run("neighbors", XYZ, "--cutoff", "1.2")
    assert r.returncode == 0, r.stderr
    assert "the first (--frames for all)" in r.stdout
    assert "pairs closer than 1.2 Å: 4" in r.stdout  # two O-H bonds per molecule


def test_progress_bar_is_optional_on_stderr():
    r = run("neighbors", XDATCAR, "--cutoff", "2.5", "--frames", "--progress", "always")
    assert r.returncode == 0, r.stderr
    try:
        import tqdm  # noqa: F401
    except ImportError:
        assert r.stderr == ""
    else:
        assert "6 frames" in r.stderr


@pytest.mark.parametrize("args, words", [
    (["neighbors", "missing-file", "--cutoff", "3"], "missing-file: No such file or directory"),
    (["neighbors", POSCAR], "required: --cutoff"),
    (["neighbors", POSCAR, "--cutoff", "-2"], "positive, finite distance"),
    (["neighbors", POSCAR, "--cutoff", "abc"], "expected a distance"),
    (["convert", XDATCAR, "CONTCAR"], "choose one with --frame"),
    (["convert", XYZ, "out.vasp", "--frame", "1"], "needs one"),
    (["convert", POSCAR, "out.data"], "--to poscar"),
    (["convert", XDATCAR, "x.vasp", "--frame", "9"], "frame 9 asked for, but"),
    (["bench", "--dir", "."], "no bench_*.py"),
    (["frobnicate"], "invalid choice"),
])
def test_user_mistakes_are_one_line_and_non_zero(tmp_path, args, words):
    r = run(*args, cwd=tmp_path)
    assert r.returncode != 0
    assert r.stdout == ""
    assert len(r.stderr.strip().splitlines()) == 1 and words in r.stderr, r.stderr
    assert "Traceback" not in r.stderr


@pytest.mark.parametrize("row, reason", [
    ("  0.0 0.0 O.5   T T T", "expected a number, got 'O.5'"),
    ("  0.0 flag1 0.5   T T T", "expected a number, got 'flag1'"),
    ("  0.0 0.0 0.5   T noflag T", "expected a selective-dynamics flag T or F, got 'noflag'"),
    ("  0.0 0.0", "expected three coordinates (x y z)"),
])
def test_bad_file_error_names_the_line(tmp_path, row, reason):
    lines = open(POSCAR).read().split("\n")
    assert lines[7].startswith("Selective")
    lines[11] = row
    bad = tmp_path / "POSCAR"
    bad.write_text("\n".join(lines))
    r = run("neighbors", bad, "--cutoff", "3")
    assert r.returncode == 1
    assert r.stdout == ""
    assert r.stderr == f"quorvel neighbors: error: {bad}, line 12: {reason}\n"


def test_bad_xyz_coordinate_through_the_command(tmp_path):
    bad = tmp_path / "bad.xyz"
    bad.write_text("2\nwater\nO 0 0 0\nH 0.9 noflag 0\n")
    r = run("neighbors", bad, "--cutoff", "3")
    assert (r.returncode, r.stdout) == (1, "")
    assert r.stderr == f"quorvel neighbors: error: {bad}, line 4: expected a number, got 'noflag'\n"


def test_convert_round_trips(tmp_path):
    xyz = tmp_path / "p.xyz"
    assert run("convert", POSCAR, xyz).returncode == 0
    back = tmp_path / "POSCAR"
    r = run("convert", xyz, back)
    assert r.returncode == 0, r.stderr
    a, b = io.read(POSCAR), io.read(back)
    np.testing.assert_array_equal(a.cell, b.cell)
    np.testing.assert_array_equal(a.positions, b.positions)
    assert a.symbols == b.symbols
    xdatcar = tmp_path / "XDATCAR"
    r = run("convert", XDATCAR, xdatcar)
    assert r.returncode == 0 and "6 frames" in r.stdout
    assert io.read_xdatcar(xdatcar) == io.read_xdatcar(XDATCAR)
    contcar = tmp_path / "CONTCAR"
    assert run("convert", XDATCAR, contcar, "--frame", "-1", "--direct").returncode == 0
    np.testing.assert_allclose(io.read(contcar).positions, io.read(XDATCAR, index=-1).positions, atol=1e-12)


@pytest.mark.parametrize("args", [[], ["neighbors"], ["convert"], ["bench"], ["examples"]])
def test_help_everywhere(args):
    r = run(*args, "--help")
    assert r.returncode == 0 and r.stdout.startswith("usage: quorvel")


def test_examples_lists_shipped_files():
    r = run("examples")
    paths = r.stdout.split()
    assert len(paths) == 3 and all(os.path.isfile(p) for p in paths)
