"""What `quorvel neighbors -o` and `quorvel convert` do to the path they
write, run as a subprocess on files written here; and the streamed .npz of
`neighbors --frames -o` in bounded memory."""

import contextlib
import io as stdio
import os
import stat
import subprocess
import sys
import tracemalloc

import numpy as np
import pytest

import quorvel
from quorvel import cli, io
from test_io_writers import as_root, fifo_reader, structure


def run(*args, cwd=None):
    return subprocess.run([sys.executable, "-P", "-m", "quorvel", *map(str, args)], capture_output=True, text=True,
                          timeout=120, cwd=cwd)


def trajectory(path, frames=6, n=40, length=9.0, seed=0):
    rng = np.random.default_rng(seed)
    cell = np.diag([length, length + 1, length + 2])
    s = [io.Structure(cell, rng.uniform(0, length, (n, 3)), ["Si"] * (n // 2) + ["O"] * (n - n // 2), (True,) * 3,
                      None, "traj") for _ in range(frames)]
    io.write_xdatcar(str(path), s)
    return str(path)


# The two commands that write, each as (arguments, name of what it writes).
COMMANDS = {
    "neighbors": lambda src, out: ["neighbors", src, "-r", "3", "--frames", "-o", out],
    "convert": lambda src, out: ["convert", src, out, "--to", "xyz"],
}


def written_by(command, tmp_path):
    """What the command writes for the trajectory, to a regular file."""
    src = trajectory(tmp_path / "XDATCAR")
    ref = tmp_path / "ref.npz"
    r = run(*COMMANDS[command](src, ref))
    assert r.returncode == 0, r.stderr
    data = ref.read_bytes()
    ref.unlink()
    return src, data


@pytest.mark.parametrize("command, name", [("neighbors", "out.npz"), ("neighbors", "out"), ("convert", "out.npz")])
def test_a_fifo_is_written_in_place(tmp_path, command, name):
    # neighbors -o adds .npz to a name without it, but not to a FIFO's or device's.
    src, want = written_by(command, tmp_path)
    pipe = tmp_path / name
    with fifo_reader(str(pipe)) as got:
        r = run(*COMMANDS[command](src, pipe))
    assert r.returncode == 0, r.stderr
    assert stat.S_ISFIFO(os.lstat(pipe).st_mode)
    if command == "neighbors":
        saved, ref = np.load(stdio.BytesIO(got["data"])), np.load(stdio.BytesIO(want))
        assert saved.files == ref.files
        for key in ref.files:
            np.testing.assert_array_equal(saved[key], ref[key])
    else:
        assert got["data"] == want
    assert sorted(os.listdir(tmp_path)) == ["XDATCAR", name]


@pytest.mark.parametrize("command", COMMANDS)
def test_a_link_stays_a_link_and_the_file_keeps_its_mode_and_owner(tmp_path, command):
    src, want = written_by(command, tmp_path)
    (tmp_path / "keep").mkdir()
    target = tmp_path / "keep" / "real.npz"
    target.write_text("old\n")
    os.chmod(target, 0o600)
    if os.geteuid() == 0:
        os.chown(target, 4321, 8765)
    link = tmp_path / "out.npz"
    link.symlink_to(target)
    r = run(*COMMANDS[command](src, link))
    assert r.returncode == 0, r.stderr
    assert link.is_symlink() and os.readlink(link) == str(target)
    st = target.stat()
    assert stat.S_IMODE(st.st_mode) == 0o600
    if os.geteuid() == 0:
        assert (st.st_uid, st.st_gid) == (4321, 8765)
    if command == "convert":
        assert target.read_bytes() == want
    else:
        assert set(np.load(target).files) == {"i", "j", "d", "D", "S", "frame"}
    assert os.listdir(tmp_path / "keep") == ["real.npz"]


@as_root
def test_owner_kept_for_a_plain_file(tmp_path):
    src = trajectory(tmp_path / "XDATCAR")
    out = tmp_path / "out.xyz"
    out.write_text("old\n")
    os.chown(out, 1111, 2222)
    assert run("convert", src, out).returncode == 0
    assert (out.stat().st_uid, out.stat().st_gid) == (1111, 2222)


@pytest.mark.parametrize("command", COMMANDS)
@pytest.mark.parametrize("make, out, says", [
    (lambda d: None, "missing/out.npz", "missing/out.npz: cannot be written: the folder missing does not exist"),
    (lambda d: (d / "file").write_text("x"), "file/out.npz", "file/out.npz: cannot be written: file is not a folder"),
    (lambda d: (d / "out.npz").mkdir(), "out.npz", "out.npz: cannot be written: it is a folder"),
])
def test_an_unwritable_output_is_reported_before_any_work(tmp_path, command, make, out, says):
    make(tmp_path)
    # The input is not even there: the output is checked before it is read.
    r = run(*COMMANDS[command]("no-such-input", out), cwd=tmp_path)
    assert r.returncode == 1 and r.stdout == ""
    assert r.stderr == f"quorvel {command}: error: {says}\n"


def test_convert_xdatcar_to_xyz_by_extension_keeps_every_cell(tmp_path):
    src = trajectory(tmp_path / "XDATCAR", frames=3)
    r = run("convert", "XDATCAR", "XDATCAR.xyz", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert r.stdout == "wrote XDATCAR.xyz (XYZ, 3 frames)\n"
    frames = io.read_xyz(str(tmp_path / "XDATCAR.xyz"))
    for s, t in zip(io.iread(src), frames):
        assert t.cell.tobytes() == s.cell.tobytes() and t.pbc == (True, True, True)
        np.testing.assert_allclose(t.positions, s.positions, rtol=0, atol=1e-12)


@pytest.mark.parametrize("lattice, words", [
    ("4 0 0 nan 5 0 0 0 6", "lattice vector 2 is not finite (nan 5.0 0.0)"),
    ("4 0 0 0 5 0 4 5 0", "the cell is singular (its lattice vectors span no volume)"),
])
@pytest.mark.parametrize("out", ["POSCAR", "XDATCAR"])
def test_convert_refuses_a_cell_the_output_cannot_hold(tmp_path, lattice, words, out):
    (tmp_path / "in.xyz").write_text(f'2\nLattice="{lattice}"\nSi 0 0 0\nSi 1 1 1\n')
    (tmp_path / out).write_text("old\n")
    r = run("convert", "in.xyz", out, cwd=tmp_path)
    assert r.returncode == 1 and r.stdout == ""
    kind = "a POSCAR file" if out == "POSCAR" else "frame 1 as XDATCAR"
    assert r.stderr == f"quorvel convert: error: {out}: cannot write {kind}: {words}\n"
    assert (tmp_path / out).read_text() == "old\n"
    assert sorted(os.listdir(tmp_path)) == sorted(["in.xyz", out])


def test_convert_xyz_writes_the_real_cell_over_a_stale_one(tmp_path):
    s = structure(comment='Lattice="1 0 0 0 1 0 0 0 1" pbc="F F F" note')
    io.write_poscar(str(tmp_path / "POSCAR"), s)
    r = run("convert", "POSCAR", "relaxed_poscar.xyz", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    back = io.read(str(tmp_path / "relaxed_poscar.xyz"))
    assert back.cell.tobytes() == s.cell.tobytes() and back.pbc == (True, True, True)
    assert back.comment.endswith(" note") and back.comment.count("Lattice=") == 1


# ---------------------------------------------------------------------------
# neighbors --frames -o: streamed


def test_streamed_pairs_equal_the_neighbor_lists(tmp_path):
    src = trajectory(tmp_path / "XDATCAR", frames=5, n=30)
    r = run("neighbors", src, "-r", "3.2", "--frames", "-o", tmp_path / "pairs")
    assert r.returncode == 0, r.stderr
    assert r.stdout.endswith(f"saved i, j, d, D, S, frame to {tmp_path / 'pairs.npz'}\n")
    saved = np.load(tmp_path / "pairs.npz")
    assert saved.files == ["i", "j", "d", "D", "S", "frame"]
    lists = [quorvel.neighbor_list(s, 3.2) for s in io.iread(src)]
    for key in ("i", "j", "d", "D", "S"):
        want = np.concatenate([getattr(nl, key) for nl in lists])
        assert saved[key].dtype == want.dtype
        np.testing.assert_array_equal(saved[key], want)
    np.testing.assert_array_equal(saved["frame"], np.repeat(np.arange(5), [len(nl.i) for nl in lists]))
    assert saved["frame"].dtype == np.int64


def test_streamed_pairs_take_memory_that_does_not_grow_with_the_frames(tmp_path):
    peaks, sizes = {}, {}
    for frames in (8, 48):
        src = trajectory(tmp_path / f"XDATCAR{frames}", frames=frames, n=150, length=11.0)
        out = tmp_path / f"pairs{frames}.npz"
        tracemalloc.start()
        try:
            with contextlib.redirect_stdout(stdio.StringIO()):
                assert cli.main(["neighbors", src, "-r", "4", "--frames", "-o", str(out), "--progress", "never"]) == 0
            peaks[frames] = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
        saved = np.load(out)
        sizes[frames] = sum(saved[k].nbytes for k in saved.files)
    # Holding the pairs of every frame would take sizes[48] and more (several MB).
    assert sizes[48] > 8_000_000
    assert peaks[48] < peaks[8] + sizes[48] / 10
    assert peaks[48] < sizes[48] / 3
