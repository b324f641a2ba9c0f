"""Reading files straight from their bytes (quorvel._reader) against the
line-list path: the same frames bit for bit, the same warnings and errors,
for plain and compressed files; the frame index and frames read by number."""

import bz2
import contextlib
import gzip
import lzma
import mmap
import os
import pickle
import threading
import warnings

import numpy as np
import pytest

import quorvel._ledgra as ledgra
import quorvel._reader as reader
from quorvel import io
from quorvel.io import _files, _vasp, _xyz
from quorvel.io._index import build_index, read_frames

RNG = np.random.default_rng(14)


def numbers(shape, scale=1.0):
    """Values written with every digit, so that both paths see the same text."""
    return RNG.uniform(-scale, scale, shape)


def rows(values, fmt="{!r}", tails=None):
    out = []
    for k, row in enumerate(values.tolist()):
        line = "  " + "  ".join(fmt.format(v) for v in row)
        out.append(line + (tails[k] if tails else "") + "\n")
    return "".join(out)


HEADER = ("Cd S system\n 1.0\n  4.1 0.0 0.0\n  1.3 4.2 0.0\n  0.7 0.9 4.3\n  Cd S\n  2 3\n")
TRICLINIC = "triclinic\n 1.0\n  4.1 0.2 0.1\n  1.3 4.2 0.3\n  0.7 0.9 4.3\n  Fe O\n  2 3\n"


def xdatcar_fixed(frames=4, cartesian_frame=None):
    text = HEADER
    for k in range(frames):
        kind = "Cartesian" if k == cartesian_frame else "Direct"
        text += f"{kind} configuration= {k + 1:5d}\n" + rows(numbers((5, 3)), "{:.8f}")
    return text


def xdatcar_blank(frames=3):
    return HEADER + "".join("\n" + rows(numbers((5, 3))) for _ in range(frames))


def xdatcar_variable(frames=3):
    text = ""
    for k in range(frames):
        cell = f"  {4 + k * 0.125} 0.0 0.0\n  0.0 4.2 0.0\n  0.0 0.0 {4.3 - k * 0.0625}\n"
        text += f"Cd S system\n 1.0\n{cell}  Cd S\n  2 3\nDirect configuration= {k + 1:5d}\n"
        text += rows(numbers((5, 3)))
    return text


def xyz_sizes(sizes=(3, 1, 5, 2)):
    text = ""
    for k, n in enumerate(sizes):
        text += f"{n}\nframe {k} Lattice=\"5 0 0 0 5 0 0 0 5\" pbc=\"T T F\"\n"
        text += "".join(f"{'Fe' if j % 2 else 'o'} " + rows(numbers((1, 3), 9.0)).lstrip() for j in range(n))
    return text


def poscar(selective=False, cartesian=False):
    text = TRICLINIC + ("Selective dynamics\n" if selective else "") + ("Cartesian\n" if cartesian else "Direct\n")
    tails = [" T F T" if k % 2 else " F F T" for k in range(5)] if selective else None
    return text + rows(numbers((5, 3)), tails=tails)


def late_cr(text, line):
    """text with the line end of `line` (1-based) an old Mac one."""
    lines = text.splitlines(keepends=True)
    lines[line - 1] = lines[line - 1][:-1] + "\r"
    return "".join(lines)


def cut_in_frame(text, keep_of_last=1):
    """text without the last frame's atom lines but `keep_of_last`."""
    lines = text.splitlines(keepends=True)
    return "".join(lines[:len(lines) - 5 + keep_of_last])


LAYOUTS = {
    "poscar": ("POSCAR", poscar()),
    "poscar-selective": ("POSCAR", poscar(selective=True)),
    "poscar-cartesian": ("POSCAR", poscar(cartesian=True)),
    "xdatcar": ("XDATCAR", xdatcar_fixed()),
    "xdatcar-cartesian-frame": ("XDATCAR", xdatcar_fixed(cartesian_frame=2)),
    "xdatcar-blank-separated": ("XDATCAR", xdatcar_blank()),
    "xdatcar-variable-cell": ("XDATCAR", xdatcar_variable()),
    "xdatcar-header-only": ("XDATCAR", HEADER),
    "xdatcar-cut": ("XDATCAR", cut_in_frame(xdatcar_fixed())),
    "xdatcar-last-line-cut": ("XDATCAR", xdatcar_fixed()[:-9]),
    "xdatcar-late-cr-in-atoms": ("XDATCAR", late_cr(xdatcar_fixed(), 21)),
    "xdatcar-late-cr-in-config": ("XDATCAR", late_cr(xdatcar_fixed(), 20)),
    "xyz-sizes": ("movie.xyz", xyz_sizes()),
    "xyz-late-cr": ("movie.xyz", late_cr(xyz_sizes(), 9)),
    "xyz-cut": ("movie.xyz", xyz_sizes()[:-30]),
    "xyz-bom": ("movie.xyz", "\ufeff" + xyz_sizes()),
}


@contextlib.contextmanager
def line_path(monkeypatch):
    """The readers on the line-list path, as for a file that is not plain."""
    @contextlib.contextmanager
    def text_lines(path):
        with _files.open_text(path) as f:
            yield _files.Lines(f, os.fspath(path))

    with monkeypatch.context() as m:
        m.setattr(_vasp, "open_lines", text_lines)
        m.setattr(_xyz, "open_lines", text_lines)
        yield


def outcome(fn):
    """(result, warning texts, error text and line) of fn()."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result, error = fn(), None
        except (io.FormatError, IndexError) as e:
            result, error = None, (type(e), str(e), getattr(e, "line", None))
    return result, [str(w.message) for w in caught], error


def assert_same_structures(a, b):
    a = [a] if isinstance(a, io.Structure) else a
    b = [b] if isinstance(b, io.Structure) else b
    assert len(a) == len(b)
    for s, t in zip(a, b):
        assert s.symbols == t.symbols and s.comment == t.comment and s.pbc == t.pbc
        for x, y in ((s.positions, t.positions), (s.cell, t.cell)):
            assert x.shape == y.shape and x.tobytes() == y.tobytes()
        assert (s.fixed is None) == (t.fixed is None)
        if s.fixed is not None:
            assert np.array_equal(s.fixed, t.fixed)


def assert_same(a, b):
    assert a[1] == b[1] and a[2] == b[2]
    if isinstance(a[0], io.Trajectory):
        assert a[0].symbols == b[0].symbols
        for x, y in ((a[0].scaled_positions, b[0].scaled_positions), (a[0].cells, b[0].cells)):
            assert x.shape == y.shape and x.tobytes() == y.tobytes()
    elif a[0] is not None:
        assert_same_structures(a[0], b[0])


def readers(name):
    fmt = io.guess_format(name)
    calls = [lambda p: list(io.iread(p)), lambda p: io.read(p, index=-1), lambda p: list(io.iread(p, strict=True))]
    if fmt == "xdatcar":
        calls.append(lambda p: io.read_xdatcar(p))
    if fmt == "xyz":
        calls.append(lambda p: io.read_xyz(p))
    return calls


def crlf(text):
    return text.replace("\n", "\r\n")


@pytest.mark.parametrize("ending", ["lf", "crlf", "cr"])
@pytest.mark.parametrize("layout", sorted(LAYOUTS))
def test_bytes_read_as_lines_do(tmp_path, monkeypatch, layout, ending):
    name, text = LAYOUTS[layout]
    text = {"lf": text, "crlf": crlf(text), "cr": text.replace("\n", "\r")}[ending]
    path = tmp_path / name
    path.write_bytes(text.encode())
    for call in readers(name):
        got = outcome(lambda: call(path))
        with line_path(monkeypatch):
            want = outcome(lambda: call(path))
        assert_same(got, want)


@pytest.mark.parametrize("layout", ["poscar-selective", "xdatcar", "xdatcar-variable-cell", "xdatcar-blank-separated",
                                    "xyz-sizes"])
@pytest.mark.parametrize("suffix", ["", ".gz"])
def test_valid_files_never_become_str_lines(tmp_path, monkeypatch, layout, suffix):
    name, text = LAYOUTS[layout]
    path = tmp_path / (name + suffix)
    with (gzip.open if suffix else open)(path, "wb") as f:
        f.write(text.encode())

    def refuse(*args):
        raise AssertionError("an atom block went through the line-list parser")

    from quorvel.io import _blocks
    # The lattice of a header is three lines of its own; atom blocks must not come here.
    monkeypatch.setattr(_blocks, "parse_positions", refuse)
    monkeypatch.setattr(_blocks, "parse_xyz", refuse)
    calls = []
    real = _blocks.parse_coords
    monkeypatch.setattr(_blocks, "parse_coords", lambda block, *a, **k: calls.append(len(block)) or real(block, *a, **k))
    for call in readers(name):
        call(path)
    assert set(calls) <= {3}


BAD_LINES = [
    ("XDATCAR", xdatcar_fixed(), 10, "  0.1 0.2 zz\n"),
    ("XDATCAR", xdatcar_fixed(), 10, "  0.1 0.2\n"),
    ("XDATCAR", xdatcar_fixed(), 10, "  0.1 0.2 0.3 \xff\n"),
    ("XDATCAR", xdatcar_variable(), 20, "  0.1 0.2 1e\n"),
    ("XDATCAR", xdatcar_blank(), 17, "  0.1 nope 0.3\n"),
    ("POSCAR", poscar(selective=True), 10, "  0.1 0.2 0.3 T X T\n"),
    ("POSCAR", poscar(selective=True), 10, "  0.1 0.2 0.3 .true. f TRUE\n"),
    ("POSCAR", poscar(), 11, "  0.1 0.2 0.3\u00a0\n"),
    ("movie.xyz", xyz_sizes(), 9, "Fe 1 2\n"),
    ("movie.xyz", xyz_sizes(), 9, "\n"),
    ("movie.xyz", xyz_sizes(), 9, "\xe9l\xe9ment 1 2 3\n"),
    ("movie.xyz", xyz_sizes(), 6, "two\n"),
]


@pytest.mark.parametrize("name, text, lineno, new", BAD_LINES)
@pytest.mark.parametrize("encoding", ["utf-8", "latin-1"])
def test_errors_name_the_same_file_line(tmp_path, monkeypatch, name, text, lineno, new, encoding):
    lines = text.splitlines(keepends=True)
    lines[lineno - 1] = new
    path = tmp_path / name
    path.write_bytes("".join(lines).encode(encoding))
    for call in readers(name):
        got = outcome(lambda: call(path))
        with line_path(monkeypatch):
            want = outcome(lambda: call(path))
        assert_same(got, want)


@pytest.mark.parametrize("suffix, opener", [(".gz", gzip.open), (".bz2", bz2.open), (".xz", lzma.open)])
@pytest.mark.parametrize("layout", ["xdatcar", "xdatcar-variable-cell", "xdatcar-cut", "xyz-sizes", "xyz-bom",
                                    "poscar-selective"])
@pytest.mark.parametrize("chunk", [7, 1 << 23])
@pytest.mark.parametrize("ending", ["\r\n", "\r"])
def test_compressed_files_read_in_chunks_as_lines(tmp_path, monkeypatch, suffix, opener, layout, chunk, ending):
    name, text = LAYOUTS[layout]
    packed = tmp_path / (name + suffix)
    with opener(packed, "wb") as f:
        f.write(text.replace("\n", ending).encode())
    # Small chunks put line ends, "\r\n" pairs and blocks across chunk edges.
    monkeypatch.setattr(_files.ByteLines, "CHUNK", chunk)
    for call in readers(name):
        got = outcome(lambda: call(packed))
        with line_path(monkeypatch):
            want = outcome(lambda: call(packed))
        assert_same(got, want)


def test_a_fifo_takes_the_line_path(tmp_path):
    path = tmp_path / "movie.xyz"
    text = xyz_sizes()
    os.mkfifo(path)
    writer = threading.Thread(target=lambda: path.write_text(text))
    writer.start()
    try:
        frames = io.read_xyz(path)
    finally:
        writer.join()
    plain = tmp_path / "plain.xyz"
    plain.write_text(text)
    assert_same_structures(frames, io.read_xyz(plain))


# ---------------------------------------------------------------------------
# The native entries against quorvel._ledgra on the same lines

BLOCKS = [
    "  0.5 -0.25\t0.0\n 1e400 nan -0\n",
    "0.10000000 0.20000000 0.30000000\r\n0.40000000 0.50000000 0.60000000",
    "1 2 3 F T T\n4 5 6\n",
    "1 2 3 F X T\n",
    "0.1 0.2\n",
    "0.1 x 0.3\n",
    "fe 1 2 3\n\nO 1 2 3\n",
    "\u00e9l 1 2 3\n",
]

CALLS = [
    (lambda lines: ledgra.parse_xdatcar_coords_rs(lines),
     lambda data, at, n: reader.parse_xdatcar_coords(data, at, n)[0]),
    (lambda lines: ledgra.parse_poscar_positions_rs(lines, True),
     lambda data, at, n: reader.parse_poscar_positions(data, at, n, True)[:-1]),
    (lambda lines: ledgra.parse_poscar_positions_rs(lines, False),
     lambda data, at, n: reader.parse_poscar_positions(data, at, n, False)[:-1]),
    (lambda lines: ledgra.parse_xyz_block_rs(lines),
     lambda data, at, n: reader.parse_xyz_block(data, at, n)[:-1]),
]


def native_outcome(fn):
    try:
        return fn(), None
    except ValueError as e:
        return None, (str(e), getattr(e, "line", None), getattr(e, "field", None), getattr(e, "expected", None))


def same_values(a, b):
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()
    if isinstance(a, (tuple, list)):
        return len(a) == len(b) and all(same_values(x, y) for x, y in zip(a, b))
    return a == b


@pytest.mark.parametrize("block", BLOCKS)
@pytest.mark.parametrize("lines_call, bytes_call", CALLS)
@pytest.mark.parametrize("holder", [bytes, bytearray, "mmap"])
def test_byte_blocks_give_the_line_parsers_values_and_errors(tmp_path, block, lines_call, bytes_call, holder):
    head = "a header line\n"
    # A block without a last line end ends the data.
    data = (head + block + ("after\n" if block.endswith("\n") else "")).encode()
    lines = block.splitlines(keepends=True)
    if holder == "mmap":
        path = tmp_path / "block"
        path.write_bytes(data)
        with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
            got = native_outcome(lambda: bytes_call(m, len(head), len(lines)))
    else:
        got = native_outcome(lambda: bytes_call(holder(data), len(head), len(lines)))
    want = native_outcome(lambda: lines_call(lines))
    assert got[1] == want[1]
    assert same_values(got[0], want[0])


def test_byte_blocks_end_offsets_and_refusals():
    data = b"1 2 3\n4 5 6\nx"
    coords, end = reader.parse_xdatcar_coords(data, 0, 2)
    assert end == 12 and coords.tolist() == [[1, 2, 3], [4, 5, 6]]
    with pytest.raises(ValueError, match="the text ends after 3 of the 4 lines"):
        reader.parse_xdatcar_coords(data, 0, 4)
    with pytest.raises(ValueError, match="past the end"):
        reader.parse_xdatcar_coords(data, 14, 1)
    with pytest.raises(ValueError, match=r"line 1 of the block is not UTF-8 text \(byte 0xE9 at column 3\)"):
        reader.parse_xyz_block(b"H 1 2 3\nH \xe9 2 3\n", 0, 2)
    with pytest.raises(TypeError):
        reader.parse_xdatcar_coords("1 2 3\n", 0, 1)
    frames = reader.parse_xdatcar_frames(b"D\n1 2 3\nD\n4 5 6\n", np.array([2, 10]), 1)
    assert frames.shape == (2, 1, 3) and frames[1, 0].tolist() == [4, 5, 6]
    assert reader.skip_lines(b"a\nb\nc", 0, 5) == (5, 3)
    assert reader.find_lone_cr(b"a\r\nb\rc") == 4 and reader.find_lone_cr(b"a\r\n") == -1


def test_reader_stub_matches():
    import test_stubs
    test_stubs.test_stubs_match_text_signatures(reader)


# ---------------------------------------------------------------------------
# The frame index


INDEXED = ["xdatcar", "xdatcar-cartesian-frame", "xdatcar-blank-separated", "xdatcar-variable-cell", "xyz-sizes",
           "xyz-bom", "poscar-selective", "xdatcar-late-cr-in-atoms", "xyz-late-cr"]


@pytest.mark.parametrize("layout", INDEXED)
@pytest.mark.parametrize("form", ["plain", "crlf", "cr", ".gz"])
def test_index_reads_any_frame_as_iread_does(tmp_path, layout, form):
    name, text = LAYOUTS[layout]
    data = (text.replace("\n", "\r") if form == "cr" else crlf(text) if form == "crlf" else text).encode()
    path = tmp_path / (name + (form if form.startswith(".") else ""))
    with (gzip.open if form == ".gz" else open)(path, "wb") as f:
        f.write(data)
    frames = list(io.iread(path, io.guess_format(name)))
    index = pickle.loads(pickle.dumps(build_index(path, io.guess_format(name))))
    assert len(index) == len(frames)
    order = [len(frames) - 1, 0, -1] + list(range(len(frames)))[::-1]
    assert_same_structures(list(read_frames(index, order)), [frames[k] for k in order])


def test_index_of_a_cut_trajectory_warns_as_iread(tmp_path):
    name, text = LAYOUTS["xdatcar-cut"]
    path = tmp_path / name
    path.write_text(text)
    _, want, _ = outcome(lambda: list(io.iread(path)))
    index, got, _ = outcome(lambda: build_index(path))
    assert got == want and len(index) == 3
    with pytest.raises(io.FormatError, match="file is truncated"):
        build_index(path, strict=True)
    with pytest.raises(IndexError, match="frame 3 asked for, but .* has 3 frames"):
        list(read_frames(index, [3]))


def test_index_finds_frames_the_scanner_leaves_to_the_reader(tmp_path):
    # A line that only Python calls blank, between frames, and a count
    # written in other digits: the reader judges both.
    text = xyz_sizes((2, 3)) + "\u00a0\n" + "\u0662\nx\nH 0 0 0\nH 1 1 1\n" + xyz_sizes((1,))
    path = tmp_path / "odd.xyz"
    path.write_text(text)
    frames = list(io.iread(path))
    index = build_index(path)
    assert len(index) == len(frames) == 4
    assert_same_structures(list(read_frames(index, range(4))), frames)


def test_a_changed_file_is_refused(tmp_path):
    name, text = LAYOUTS["xyz-sizes"]
    path = tmp_path / name
    path.write_text(text)
    index = build_index(path)
    path.write_text(text + text)
    with pytest.raises(io.FormatError, match="changed since it was indexed"):
        list(read_frames(index, [0]))
    os.unlink(path)
    with pytest.raises(io.FormatError, match="gone"):
        list(read_frames(index, [0]))


def test_large_index_offsets_and_lines(tmp_path):
    text = xdatcar_fixed(frames=300)
    path = tmp_path / "XDATCAR"
    path.write_text(text)
    index = build_index(path)
    lines = text.splitlines(keepends=True)
    assert index.lines.tolist() == [8 + 6 * k for k in range(300)]
    assert all(text.encode()[s:].startswith(b"Direct configuration=") for s in index.starts.tolist())
    assert lines[index.lines[-1] - 1].startswith("Direct configuration=   300")
