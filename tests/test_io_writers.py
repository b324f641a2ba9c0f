"""What the writers do to the path they write: devices and FIFOs written in
place, links followed, a file's mode and owner kept, errors that name the
user's path; the cell in XYZ files, formats from extensions, cells the VASP
formats cannot hold refused, and the streamed .npz."""

import contextlib
import errno
import os
import stat
import subprocess
import sys
import threading

import numpy as np
import pytest

from quorvel import io
from quorvel.io._files import atomic_write, check_writable
from quorvel.io._npz import NpzStream

as_root = pytest.mark.skipif(os.geteuid() != 0, reason="changing a file's owner needs root")


def structure(n=5, seed=0, cell=None, pbc=(True, True, True), comment="test"):
    rng = np.random.default_rng(seed)
    if cell is None:
        cell = np.diag([4.0, 5.0, 6.0]) + rng.uniform(-0.5, 0.5, (3, 3))
    symbols = ["Ti"] * (n // 2) + ["O"] * (n - n // 2)
    return io.Structure(cell, rng.uniform(0, 4, (n, 3)), symbols, pbc, None, comment)


@contextlib.contextmanager
def fifo_reader(path):
    """A FIFO at path, read to its end by a thread; yields a dict whose
    "data" holds what was read once the block is left."""
    os.mkfifo(path)
    got = {}

    def read():
        with open(path, "rb") as f:
            got["data"] = f.read()

    t = threading.Thread(target=read, daemon=True)
    t.start()
    try:
        yield got
    finally:
        t.join(20)
        if t.is_alive():
            # No writer came: open and close the write end so the reader ends.
            os.close(os.open(path, os.O_WRONLY | os.O_NONBLOCK))
            t.join(20)


def writes(name):
    """(name, frames) written by io.write to a file named name."""
    s = structure()
    return [s, structure(seed=1, cell=s.cell)] if "XDATCAR" in name or name.endswith(".xyz") else s


NAMES = ["POSCAR", "XDATCAR", "a.xyz", "a.xyz.gz"]


@pytest.mark.parametrize("name", NAMES)
def test_a_fifo_is_written_in_place(tmp_path, name):
    regular = tmp_path / ("regular-" + name)
    io.write(str(regular), writes(name))
    pipe = tmp_path / name
    with fifo_reader(str(pipe)) as got:
        io.write(str(pipe), writes(name))
    assert stat.S_ISFIFO(os.lstat(pipe).st_mode)
    if name.endswith(".gz"):
        import gzip
        assert gzip.decompress(got["data"]) == gzip.decompress(regular.read_bytes())
    else:
        assert got["data"] == regular.read_bytes()
    assert sorted(os.listdir(tmp_path)) == sorted([name, regular.name])


@pytest.mark.parametrize("via", ["io", "cli"])
def test_a_device_is_written_in_place(tmp_path, via):
    # A node of the null device of our own, so that /dev/null itself is never at stake.
    null = tmp_path / "null.xyz"
    try:
        os.mknod(null, stat.S_IFCHR | 0o666, os.makedev(1, 3))
    except (PermissionError, AttributeError):
        pytest.skip("cannot make a device node here")
    if via == "io":
        io.write(str(null), [structure(), structure(seed=1)])
    else:
        (tmp_path / "POSCAR").write_text(open_example_poscar())
        r = subprocess.run([sys.executable, "-P", "-m", "quorvel", "convert", "POSCAR", "null.xyz"],
                           capture_output=True, text=True, timeout=60, cwd=tmp_path)
        assert r.returncode == 0, r.stderr
    st = os.lstat(null)
    assert stat.S_ISCHR(st.st_mode) and st.st_rdev == os.makedev(1, 3)
    assert null.read_bytes() == b""
    assert sorted(os.listdir(tmp_path)) == sorted(["null.xyz"] + (["POSCAR"] if via == "cli" else []))


def open_example_poscar():
    import quorvel
    with open(quorvel.example_path("POSCAR")) as f:
        return f.read()


@pytest.mark.parametrize("name", NAMES)
def test_a_symbolic_link_is_followed_and_stays_a_link(tmp_path, name):
    (tmp_path / "real").mkdir()
    (tmp_path / "links").mkdir()
    target = tmp_path / "real" / ("target-" + name)
    target.write_text("old\n")
    link = tmp_path / "links" / name
    link.symlink_to(os.path.relpath(target, link.parent))
    io.write(str(link), writes(name))
    assert link.is_symlink() and os.path.samefile(link, target)
    want = writes(name) if isinstance(writes(name), list) else [writes(name)]
    back = list(io.iread(str(link), "xyz" if ".xyz" in name else name.lower()))
    assert [b.symbols for b in back] == [w.symbols for w in want]
    for b, w in zip(back, want):
        np.testing.assert_allclose(b.positions, w.positions, rtol=0, atol=1e-12)
    # The temporary file was made beside the target and is gone.
    assert os.listdir(tmp_path / "real") == [target.name]
    assert os.listdir(tmp_path / "links") == [name]


def test_a_dangling_link_gets_its_target_created(tmp_path):
    link = tmp_path / "a.xyz"
    link.symlink_to("made.xyz")
    io.write(str(link), structure())
    assert link.is_symlink() and (tmp_path / "made.xyz").is_file()
    assert io.read(str(tmp_path / "made.xyz")) == io.read(str(link))


@pytest.mark.parametrize("mode", [0o600, 0o640, 0o604, 0o755])
def test_an_existing_file_keeps_its_mode(tmp_path, mode):
    p = tmp_path / "POSCAR"
    p.write_text("old\n")
    os.chmod(p, mode)
    io.write(str(p), structure())
    assert stat.S_IMODE(p.stat().st_mode) == mode
    assert io.read(str(p)) == structure()


@as_root
def test_an_existing_file_keeps_its_owner_and_group(tmp_path):
    p = tmp_path / "a.xyz"
    p.write_text("old\n")
    os.chown(p, 12345, 23456)
    os.chmod(p, 0o640)
    io.write(str(p), structure())
    st = p.stat()
    assert (st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)) == (12345, 23456, 0o640)


@pytest.mark.parametrize("umask", [0o022, 0o077, 0o002, 0o027])
def test_a_new_file_gets_the_mode_the_umask_allows(tmp_path, umask):
    old = os.umask(umask)
    try:
        io.write(str(tmp_path / "POSCAR"), structure())
    finally:
        os.umask(old)
    assert stat.S_IMODE((tmp_path / "POSCAR").stat().st_mode) == 0o666 & ~umask


def test_other_hard_links_keep_the_old_content(tmp_path):
    # As the documentation says: the written file is a new file.
    p, other = tmp_path / "POSCAR", tmp_path / "POSCAR.other"
    io.write(str(p), structure(seed=1))
    os.link(p, other)
    io.write(str(p), structure(seed=2))
    assert io.read(str(p)) == structure(seed=2) and io.read(str(other)) == structure(seed=1)


@pytest.mark.parametrize("make, path, error", [
    (lambda d: (d / "file").write_text("x"), "file/a.xyz", NotADirectoryError),
    (lambda d: (d / "a.xyz").mkdir(), "a.xyz", IsADirectoryError),
    (lambda d: None, "missing/a.xyz", FileNotFoundError),
])
def test_errors_name_the_users_path(tmp_path, make, path, error):
    make(tmp_path)
    before = sorted(os.listdir(tmp_path))
    p = str(tmp_path / path)
    with pytest.raises(error) as write_error:
        io.write(p, structure())
    with pytest.raises(error) as check_error:
        check_writable(p)
    for e in (write_error.value, check_error.value):
        assert e.filename == p and ".tmp" not in str(e)
    assert sorted(os.listdir(tmp_path)) == before


def test_a_failing_write_names_the_users_path_and_keeps_the_old_file(tmp_path):
    p = tmp_path / "POSCAR"
    p.write_text("old\n")

    def write(f):
        f.write(b"part")
        raise OSError(errno.ENOSPC, "No space left on device", str(tmp_path / ".POSCAR.x1y2.tmp"))

    with pytest.raises(OSError) as info:
        atomic_write(str(p), write)
    assert info.value.errno == errno.ENOSPC and info.value.filename == str(p)
    assert p.read_text() == "old\n" and os.listdir(tmp_path) == ["POSCAR"]


def test_check_writable_leaves_nothing_behind(tmp_path):
    check_writable(str(tmp_path / "new.npz"))
    (tmp_path / "old.npz").write_bytes(b"x")
    check_writable(str(tmp_path / "old.npz"))
    assert os.listdir(tmp_path) == ["old.npz"]


# ---------------------------------------------------------------------------
# The cell in XYZ files


AWKWARD = np.array([[0.1, 0.2, 0.30000000000000004], [1e-300, 5.000000000000001, -0.0],
                    [-2.5, 1 / 3, 7.123456789012345]])


@pytest.mark.parametrize("pbc", [(True, True, True), (True, False, True), (False, False, False)])
@pytest.mark.parametrize("comment", ["", "energy=-1.5 x=1", 'Lattice="9 9 9 9 9 9 9 9 9" pbc="T T T" e=1',
                                     'e=1 lattice="1 0 0 0 1 0 0 0 1"   PBC="F F F" a', 'pbc="T F F"'])
def test_xyz_writes_the_real_cell_bit_for_bit(tmp_path, pbc, comment):
    s = structure(cell=AWKWARD, pbc=pbc, comment=comment)
    p = str(tmp_path / "a.xyz")
    io.write(p, s)
    back = io.read(p)
    assert back.cell.tobytes() == AWKWARD.tobytes() and back.pbc == pbc
    assert back.positions.tobytes() == s.positions.tobytes()
    # The rest of the comment is kept, its old cell keys are not.
    assert back.comment.count("Lattice=") == 1 and back.comment.lower().count("pbc=") == 1
    for word in ("e=1", "energy=-1.5", "x=1"):
        assert (word in back.comment) == (word in comment)
    # And it reads back to the same, written again.
    io.write_xyz(p, back)
    assert io.read(p) == back


@pytest.mark.parametrize("comment, kept", [
    ('Lattice="9 0 0 0 9 0 0 0 9" pbc="T T T" e=1', "e=1"), ("plain", "plain"), ("", "")])
def test_xyz_without_a_cell_drops_stale_cell_keys(tmp_path, comment, kept):
    s = structure(cell=np.zeros((3, 3)), pbc=(False,) * 3, comment=comment)
    p = str(tmp_path / "a.xyz")
    io.write_xyz(p, s)
    back = io.read(p)
    assert not back.cell.any() and back.comment == kept


# ---------------------------------------------------------------------------
# The format from the name


@pytest.mark.parametrize("name, fmt", [
    ("relaxed_contcar.xyz", "xyz"), ("XDATCAR.xyz", "xyz"), ("POSCAR.extxyz", "xyz"), ("CONTCAR.xyz.gz", "xyz"),
    ("XDATCAR", "xdatcar"), ("run.XDATCAR", "xdatcar"), ("XDATCAR.vasp", "xdatcar"), ("xdatcar_1.bz2", "xdatcar"),
    ("POSCAR", "poscar"), ("CONTCAR_relaxed", "poscar"), ("Si.vasp", "poscar"), ("a.poscar", "poscar"),
    ("POSCAR.xdatcar", "xdatcar"),
])
def test_the_extension_decides_the_format(tmp_path, name, fmt):
    s = structure()
    p = str(tmp_path / name)
    io.write(p, s)
    assert io.guess_format(p) == fmt
    back = io.read(p, format=fmt)
    np.testing.assert_allclose(back.positions, s.positions, rtol=0, atol=1e-12)
    # The file itself is of that format, not only its name: an XYZ file
    # starts with its atom count, a VASP file with its comment.
    with io._files.open_text(p) as f:
        first = f.readline().split()
    assert first == ([str(len(s))] if fmt == "xyz" else ["test"])


# ---------------------------------------------------------------------------
# What the VASP writers refuse


NAN_CELL = np.array([[4.0, 0, 0], [np.nan, 5.0, 0], [0, 0, 6.0]])
INF_CELL = np.diag([4.0, 5.0, np.inf])
FLAT_CELL = np.array([[4.0, 0, 0], [0, 5.0, 0], [4.0, 5.0, 0]])
ZERO_CELL = np.zeros((3, 3))


SINGULAR = "the cell is singular (its lattice vectors span no volume)"


@pytest.mark.parametrize("name", ["POSCAR", "XDATCAR"])
@pytest.mark.parametrize("cell, words", [(NAN_CELL, "lattice vector 2 is not finite (nan 5.0 0.0)"),
                                         (INF_CELL, "lattice vector 3 is not finite (0.0 0.0 inf)"),
                                         (FLAT_CELL, SINGULAR), (ZERO_CELL, SINGULAR)])
@pytest.mark.parametrize("variant", [0, 1])
def test_vasp_writers_refuse_cells_their_readers_refuse(tmp_path, name, cell, words, variant):
    """variant: POSCAR Cartesian or direct; XDATCAR from Structures or a Trajectory."""
    p = tmp_path / name
    p.write_text("old\n")
    good, bad = structure(), structure(cell=cell)
    if name == "POSCAR":
        call = lambda: io.write_poscar(str(p), bad, direct=bool(variant))  # noqa: E731
        where = f"{p}: cannot write a POSCAR file: "
    else:
        frames = [good, bad] if variant == 0 else io.Trajectory(np.stack([good.cell, cell]), np.zeros((2, 5, 3)),
                                                                good.symbols)
        call = lambda: io.write_xdatcar(str(p), frames)  # noqa: E731
        where = f"{p}: cannot write frame 2 as XDATCAR: "
    with pytest.raises(ValueError) as info:
        call()
    assert str(info.value) == where + words
    assert p.read_text() == "old\n" and os.listdir(tmp_path) == [name]


@pytest.mark.parametrize("name", ["POSCAR", "a.xyz"])
def test_non_finite_positions_are_written_where_the_reader_takes_them(tmp_path, name):
    s = structure()
    s.positions[1] = [np.nan, np.inf, -np.inf]
    p = str(tmp_path / name)
    io.write(p, s)
    back = io.read(p)
    np.testing.assert_array_equal(back.positions, s.positions)


# ---------------------------------------------------------------------------
# The streamed .npz


@pytest.mark.parametrize("sizes", [[3, 0, 5, 1], [0], [1000, 7]])
def test_npz_stream_equals_savez_of_the_concatenation(tmp_path, sizes):
    rng = np.random.default_rng(3)
    parts = [{"i": rng.integers(0, 9, m), "d": rng.random(m), "D": rng.random((m, 3)),
              "S": rng.integers(-2, 3, (m, 3)).astype(np.int32)} for m in sizes]
    p = tmp_path / "pairs.npz"
    with NpzStream(str(p), ("i", "d", "D", "S")) as out:
        for part in parts:
            out.append(**part)
        out.commit()
    got = np.load(p)
    assert list(got.keys()) == ["i", "d", "D", "S"]
    for name in ("i", "d", "D", "S"):
        want = np.concatenate([part[name] for part in parts])
        assert got[name].dtype == want.dtype and got[name].shape == want.shape
        np.testing.assert_array_equal(got[name], want)
    assert os.listdir(tmp_path) == ["pairs.npz"]


def test_npz_stream_left_without_commit_leaves_the_old_file(tmp_path):
    p = tmp_path / "pairs.npz"
    p.write_bytes(b"old")
    with pytest.raises(RuntimeError):
        with NpzStream(str(p), ("i",)) as out:
            out.append(i=np.arange(10))
            raise RuntimeError("stop")
    assert p.read_bytes() == b"old" and os.listdir(tmp_path) == ["pairs.npz"]


def test_npz_stream_into_a_fifo(tmp_path):
    import io as stdio
    p = tmp_path / "pairs.npz"
    with fifo_reader(str(p)) as got:
        with NpzStream(str(p), ("i",)) as out:
            out.append(i=np.arange(5))
            out.commit()
    np.testing.assert_array_equal(np.load(stdio.BytesIO(got["data"]))["i"], np.arange(5))
    assert os.listdir(tmp_path) == ["pairs.npz"]


@pytest.mark.parametrize("comments", [["", "", ""], ["first", "", "third"], ["", "2", ""]])
def test_a_variable_cell_xdatcar_with_empty_comments_reads_back(tmp_path, comments):
    """Each frame header of a variable-cell XDATCAR repeats the frame's
    comment; an empty one is a blank line that must not be taken for a
    separator between frames, by any reader."""
    frames = [io.Structure(np.diag([5.0 + 0.1 * k, 5.0, 5.5]), [[0.0, 0.0, 0.0], [1.0, 1.2, 1.4]], ["Si", "O"],
                           comment=c) for k, c in enumerate(comments)]
    path = tmp_path / "XDATCAR"
    io.write(path, frames, format="xdatcar")
    cells = np.array([s.cell for s in frames])
    assert np.array_equal(io.read_xdatcar(path).cells, cells)
    assert np.array_equal([s.cell for s in io.iread(path)], cells)
    lazy = io.Frames(path)
    assert len(lazy) == 3 and np.array_equal([lazy[k].cell for k in (0, 2, 1)], cells[[0, 2, 1]])
    assert np.array_equal(lazy.read().cells, cells)
    assert np.array_equal(io.read(path, index=2).positions, frames[2].positions)
