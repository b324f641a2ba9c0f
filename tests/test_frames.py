"""quorvel.io.Frames: frames read by number, views, pickling, iteration and
read(), against the frames iread gives."""

import pickle
import warnings
import weakref

import numpy as np
import pytest

import quorvel
from quorvel import io
from quorvel.io import _frames

import frame_files as ff

FRAMES = 9


@pytest.fixture(scope="module", params=[("XDATCAR", False), ("XDATCAR", True), ("run.xyz", False),
                                        ("run.xyz.gz", False)],
                ids=["xdatcar", "xdatcar-variable-cell", "xyz", "xyz-gz"])
def traj(request, tmp_path_factory):
    name, variable = request.param
    text = ff.xyz_text(FRAMES) if "xyz" in name else ff.xdatcar_text(FRAMES, variable_cell=variable)
    path = ff.write(tmp_path_factory.mktemp("frames"), name, text)
    return path, list(io.iread(path))


@pytest.mark.parametrize("k", [0, 4, FRAMES - 1, -1, -FRAMES])
def test_frame_by_number(traj, k):
    path, frames = traj
    assert io.Frames(path)[k] == frames[k]


@pytest.mark.parametrize("slices", [
    [slice(None, None, 2)], [slice(1, -1, 3)], [slice(None, None, -1)], [slice(6, 2)], [slice(-3, None)],
    [slice(1, None), slice(None, None, 2), slice(1, None)],   # views of views
    [slice(None, None, -2), slice(1, 3)], [slice(2, 7), slice(None, None, -1), slice(-2, None)],
])
def test_views_select_as_list_slices_do(traj, slices):
    path, frames = traj
    view, expected = io.Frames(path), frames
    numbers = list(range(FRAMES))
    for s in slices:
        view, expected, numbers = view[s], expected[s], numbers[s]
    assert isinstance(view, io.Frames) and len(view) == len(expected)
    assert list(view.numbers) == numbers
    assert list(view) == expected
    assert [view[k] for k in range(-len(view), len(view))] == expected + expected


def test_out_of_range_names_the_count(tmp_path):
    path = ff.write(tmp_path, "XDATCAR", ff.xdatcar_text(3))
    frames = io.Frames(path)
    for k in (3, -4):
        with pytest.raises(IndexError) as info:
            frames[k]
        assert str(info.value) == f"frame index {k} out of range: {path} has 3 frames"
    with pytest.raises(IndexError) as info:
        frames[1:][2]
    assert str(info.value) == f"frame index 2 out of range: this view of {path} has 2 frames"
    with pytest.raises(TypeError, match="integers or slices, not str"):
        frames["1"]


def test_nothing_is_read_before_it_is_needed(tmp_path):
    missing = io.Frames(tmp_path / "XDATCAR")
    assert repr(missing) == f"Frames({str(tmp_path / 'XDATCAR')!r}) (not yet indexed)"
    named = io.Frames(tmp_path / "a", "VASP")
    assert repr(named) == f"Frames({str(tmp_path / 'a')!r}, format='poscar') (not yet indexed)"
    with pytest.raises(FileNotFoundError):
        len(missing)
    with pytest.raises(ValueError, match="unknown format 'pdb'"):
        io.Frames(tmp_path / "XDATCAR", "pdb")


def test_repr_says_file_format_and_selection(tmp_path):
    path = ff.write(tmp_path, "XDATCAR", ff.xdatcar_text(FRAMES))
    frames = io.Frames(path)
    len(frames)
    assert repr(frames) == f"Frames({path!r}, format='xdatcar'): 9 frames"
    assert repr(frames[1::3]) == f"Frames({path!r}, format='xdatcar')[1:8:3]: 3 of 9 frames"
    assert repr(frames[::-2]) == f"Frames({path!r}, format='xdatcar')[8::-2]: 5 of 9 frames"
    assert repr(frames[5:2]) == f"Frames({path!r}, format='xdatcar')[0:0]: 0 of 9 frames"
    assert frames[1::3] == io.Frames(path)[1:8][::3] and frames[1::3] != frames[1::2]


@pytest.mark.parametrize("select", [slice(None), slice(2, None, 3), slice(None, None, -1)])
def test_pickle_carries_the_index_and_selection(tmp_path, monkeypatch, select):
    path = ff.write(tmp_path, "XDATCAR", ff.xdatcar_text(FRAMES))
    expected = list(io.iread(path))[select]
    data = pickle.dumps(io.Frames(path)[select])
    assert b"TextIOWrapper" not in data and b"BufferedReader" not in data

    def no_second_index(*args, **kwargs):
        raise AssertionError("the index was built again")
    monkeypatch.setattr(_frames, "build_index", no_second_index)
    back = pickle.loads(data)
    assert len(back) == len(expected) and list(back) == expected
    assert back == pickle.loads(pickle.dumps(back))


def test_pickling_an_unindexed_frames_indexes_it_once(tmp_path):
    path = ff.write(tmp_path, "XDATCAR", ff.xdatcar_text(4))
    frames = io.Frames(path, "xdatcar")
    back = pickle.loads(pickle.dumps(frames))
    assert frames._index is not None and back == frames and len(back._index) == len(frames._index)
    assert back[-1] == io.read(path, index=-1)


def test_iteration_holds_one_frame_at_a_time(tmp_path, monkeypatch):
    path = ff.write(tmp_path, "XDATCAR", ff.xdatcar_text(20))
    made = []
    template = io.read(path)

    def fresh_frames(index, numbers):
        for k in numbers:
            s = io.Structure(template.cell, template.positions, template.symbols, comment=str(k))
            made.append(weakref.ref(s))
            yield s
    monkeypatch.setattr(_frames, "read_frames", fresh_frames)
    most = 0
    seen = []
    for s in io.Frames(path)[::2]:
        seen.append(int(s.comment))
        del s
        most = max(most, sum(r() is not None for r in made))
    assert seen == list(range(0, 20, 2))
    assert most <= 1


def test_read_gives_a_trajectory(traj):
    path, frames = traj
    traj_ = io.Frames(path)[1::2].read()
    chosen = frames[1::2]
    assert len(traj_) == len(chosen)
    np.testing.assert_array_equal(traj_.cells, [s.cell for s in chosen])
    assert traj_.symbols == chosen[0].symbols and traj_.pbc == chosen[0].pbc
    assert traj_.comment == chosen[0].comment
    np.testing.assert_allclose(traj_.positions, [s.positions for s in chosen], rtol=0, atol=1e-12)
    if path.endswith("XDATCAR"):
        # The file's own fractions, bit for bit.
        np.testing.assert_array_equal(traj_.scaled_positions, io.read_xdatcar(path).scaled_positions[1::2])


def _xdatcar_variant(kind, frames=FRAMES):
    """XDATCAR texts the reader takes in other layouts: frames in Cartesian
    coordinates (with a scale factor), frames after blank lines, old Mac
    line ends, frames after a variable-cell frame, and a mix of Direct and
    Cartesian frames."""
    text = ff.xdatcar_text(frames)
    if kind == "blank-lines":
        return "\n".join("" if line.startswith("Direct configuration") else line for line in text.split("\n"))
    if kind == "old-mac":
        return text.replace("\n", "\r")
    if kind == "after-variable-cell":
        tail = ff.xdatcar_text(3, variable_cell=True).split("\n")
        return text + "\n".join(tail[tail.index("Direct configuration=     2") - 7:])
    lines = text.split("\n")
    lines[1] = "   0.5"
    out, cartesian = [], False
    for line in lines:
        if line.startswith("Direct configuration"):
            number = int(line.split("=")[1])
            cartesian = kind == "cartesian" or number % 3 == 0
            line = line.replace("Direct", "Cartesian") if cartesian else line
        elif cartesian and line and len(line.split()) == 3 and "." in line:
            cart = np.array([float(x) for x in line.split()]) @ (ff.cell() * 0.5) / 0.5
            line = " ".join(f"{x:.10f}" for x in cart)
        out.append(line)
    return "\n".join(out)


@pytest.mark.parametrize("kind", ["cartesian", "mixed", "blank-lines", "old-mac", "after-variable-cell", "gzip"])
@pytest.mark.parametrize("select", [slice(None), slice(1, None, 3), slice(None, None, -2), slice(-2, None)],
                         ids=["all", "1::3", "::-2", "-2:"])
def test_read_gives_the_xdatcar_reader_values_bit_for_bit(tmp_path, kind, select):
    text = ff.xdatcar_text(FRAMES) if kind == "gzip" else _xdatcar_variant(kind)
    path = ff.write(tmp_path, "XDATCAR.gz" if kind == "gzip" else "XDATCAR", text)
    expected = io.read_xdatcar(path)
    got = io.Frames(path)[select].read()
    np.testing.assert_array_equal(got.scaled_positions, expected.scaled_positions[select])
    np.testing.assert_array_equal(got.cells, expected.cells[select])
    assert (got.symbols, got.pbc, got.comment) == (expected.symbols, expected.pbc, expected.comment)
    # and the frames by number are those Structures.
    assert list(io.Frames(path)[select]) == [expected[k] for k in range(len(expected))[select]]


def test_read_of_a_bad_frame_names_its_line_as_the_reader_does(tmp_path):
    lines = ff.xdatcar_text(FRAMES).split("\n")
    lines[9 + 4 * 7 + 1] = " 0.25 0.5 half"
    path = ff.write(tmp_path, "XDATCAR", "\n".join(lines))
    with pytest.raises(io.FormatError) as expected:
        io.read_xdatcar(path)
    with pytest.raises(io.FormatError) as got:
        io.Frames(path)[2:].read()
    assert str(got.value) == str(expected.value) == f"{path}, line {9 + 4 * 7 + 2}: expected a number, got 'half'"
    # Frames that leave it out are read.
    np.testing.assert_array_equal(io.Frames(path)[:4].read().scaled_positions,
                                  io.read_xdatcar(ff.write(tmp_path, "XDATCAR.good", ff.xdatcar_text(FRAMES)))
                                  .scaled_positions[:4])


def test_read_of_no_frames(tmp_path):
    path = ff.write(tmp_path, "XDATCAR", ff.xdatcar_text(3))
    empty = io.Frames(path)[3:].read()
    assert len(empty) == 0 and empty.scaled_positions.shape == (0, 0, 3)


@pytest.mark.parametrize("text, message", [
    (ff.xyz_text(4, sizes=[6, 6, 5, 6]), "frame 2 has other atoms than frame 0 (Si 3 O 2 against Si 4 O 2; frames "
                                         "counted from 0), so the frames are no Trajectory: iterate over them "
                                         "instead"),
    ("2\nplain\nO 0 0 0\nH 0 0 1\n", "frame 0 gives no cell (frames counted from 0), and a Trajectory holds "
                                     "fractional coordinates: iterate over the frames instead"),
], ids=["other-atoms", "no-cell"])
def test_read_refuses_frames_that_are_no_trajectory(tmp_path, text, message):
    path = ff.write(tmp_path, "run.xyz", text)
    with pytest.raises(ValueError) as info:
        io.Frames(path).read()
    assert str(info.value) == f"{path}: {message}"


def test_a_cut_trajectory_warns_as_iread_does(tmp_path):
    text = ff.xdatcar_text(4)
    lines = text.splitlines(keepends=True)
    path = ff.write(tmp_path, "XDATCAR", "".join(lines[:-2]))
    with pytest.warns(io.TruncatedTrajectoryWarning) as expected:
        whole = list(io.iread(path))
    assert len(whole) == 3
    with pytest.warns(io.TruncatedTrajectoryWarning) as got:
        frames = io.Frames(path)
        assert len(frames) == 3
    assert str(got[0].message) == str(expected[0].message)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", io.TruncatedTrajectoryWarning)
        assert list(frames) == whole and frames[-1] == whole[-1]
    with pytest.raises(io.FormatError, match="line 34: file is truncated"):
        len(io.Frames(path, strict=True))


def test_exported_from_quorvel():
    assert quorvel.Frames is io.Frames and "Frames" in quorvel.__all__ and "Frames" in io.__all__
    assert io.Frames.__module__ == "quorvel.io"
