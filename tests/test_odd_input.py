"""Odd and hostile input: corrupt counts, broken compression, other text
encodings and VASP's lenient spellings, through quorvel.io and through the
command line (as a subprocess, and in-process where a failure is forced)."""

import bz2
import errno
import gzip
import lzma
import re
import resource
import subprocess
import sys
import time

import numpy as np
import pytest

import quorvel
from quorvel import cli, io
from support import needs_plain_allocator

CELL = "4.0 0.0 0.0\n0.0 4.0 0.0\n0.0 0.0 4.0\n"
ROWS = ["0.0 0.0 0.0", "0.5 0.5 0.0", "0.0 0.5 0.5"]


def poscar(comment=b"cell", scale=b"1.0", names=b"Fe O", counts=b"1 2", rows=ROWS, selective=False, flags=None):
    head = [comment, scale, *CELL.encode().splitlines(), names, counts]
    if selective:
        head.append(b"Selective dynamics")
    head.append(b"Direct")
    flags = flags or ["T F T"] * len(rows)
    body = [(f"{r}  {f}" if selective else r).encode("latin-1") for r, f in zip(rows, flags)]
    return b"\n".join(head + body) + b"\n"


def xdatcar(comment=b"traj", scale=b"1.0", names=b"Fe O", counts=b"1 2", frames=2, frame_comment=None):
    header = [comment, scale, *CELL.encode().splitlines(), names, counts]
    out = list(header)
    for k in range(frames):
        if frame_comment is not None and k > 0:
            out += [frame_comment] + header[1:]
        out.append(f"Direct configuration=     {k + 1}".encode())
        out += [r.encode() for r in ROWS]
    return b"\n".join(out) + b"\n"


def xyz(comment=b"water", symbols=(b"O", b"H", b"H"), frames=1, count=None):
    out = []
    for k in range(frames):
        out += [count or str(len(symbols)).encode(), comment]
        out += [s + b" %d.0 0.5 0.25" % (k + n) for n, s in enumerate(symbols)]
    return b"\n".join(out) + b"\n"


def put(tmp_path, name, data):
    p = tmp_path / name
    if name.endswith(".gz"):
        data = gzip.compress(data)
    elif name.endswith(".bz2"):
        data = bz2.compress(data)
    elif name.endswith(".xz"):
        data = lzma.compress(data)
    p.write_bytes(data)
    return str(p)


def run(*args, cwd=None, limit_as=None):
    def cap():
        resource.setrlimit(resource.RLIMIT_AS, (limit_as, limit_as))

    return subprocess.run([sys.executable, "-P", "-m", "quorvel", *map(str, args)], capture_output=True, text=True,
                          timeout=120, cwd=cwd, preexec_fn=cap if limit_as else None)


def one_line_error(r, *words):
    assert r.returncode == 1, (r.returncode, r.stderr)
    assert r.stdout == ""
    lines = r.stderr.strip().splitlines()
    assert len(lines) == 1, r.stderr
    for w in words:
        assert w in lines[0], lines[0]
    return lines[0]


# ---------------------------------------------------------------------------
# Atom counts larger than the file


HUGE = b"300000000"
HUGE_COUNTS = [
    ("POSCAR", poscar(counts=b"1 " + HUGE), 7, 300000001),
    ("XDATCAR", xdatcar(counts=HUGE + b" 2"), 7, 300000002),
    ("t.xyz", xyz(count=HUGE), 1, 300000000),
    ("t.xyz", xyz(frames=2) + HUGE + b"\nc\nH 0 0 0\n", 11, 300000000),
    # Six bytes an atom line at the least: 4 lines do not fit in 22 bytes.
    ("t.xyz", b"4\nc\nH 0 0 0\nH 0 0 0\n", 1, 4),
]


@pytest.mark.parametrize("name, data, line, count", HUGE_COUNTS)
def test_a_count_the_file_cannot_hold_fails_at_its_line(tmp_path, name, data, line, count):
    p = put(tmp_path, name, data)
    t = time.perf_counter()
    with pytest.raises(io.FormatError) as info:
        list(io.iread(p))
    assert time.perf_counter() - t < 5
    assert info.value.line == line
    assert info.value.reason == (f"{count} atoms, more than the file can hold ({len(data)} bytes, and an atom line "
                                 "takes at least 6): the count is wrong or the file is cut short")


def test_a_file_cut_in_its_header_still_says_where(tmp_path):
    # The count of 3 is more than the 2-byte file holds, but the comment
    # line is missing first.
    with pytest.raises(io.FormatError) as info:
        io.read_xyz(put(tmp_path, "t.xyz", b"3\n"))
    assert info.value.line == 2 and "truncated: expected the comment line" in info.value.reason


@needs_plain_allocator
@pytest.mark.parametrize("name, data, words", [
    ("XDATCAR", xdatcar(counts=HUGE + b" 2"), "line 7: 300000002 atoms, more than the file can hold"),
    ("POSCAR", poscar(counts=HUGE + b" 2"), "line 7: 300000002 atoms, more than the file can hold"),
    # A compressed file's size says nothing: the reader runs out of lines
    # instead, without having allocated for the count.
    ("XDATCAR.gz", xdatcar(counts=HUGE + b" 2"), "expected 300000002 coordinate lines in frame 1, the file ends after"),
    ("t.xyz.xz", xyz(count=HUGE), "expected 300000000 atom lines in frame 1, the file ends after 3"),
])
def test_a_huge_count_allocates_nothing_from_the_command_line(tmp_path, name, data, words):
    p = put(tmp_path, name, data)
    r = run("neighbors", p, "--cutoff", "2", limit_as=1 << 30)
    one_line_error(r, p, words)


# ---------------------------------------------------------------------------
# Corrupt and cut-short compressed files


def damaged(data, how):
    if how == "cut":
        return data[: len(data) * 2 // 3]
    if how == "flipped":
        k = len(data) // 2
        return data[:k] + bytes([data[k] ^ 0x55]) + data[k + 1:]
    return b"plain text, not compressed at all\n"


@pytest.mark.parametrize("how", ["cut", "flipped", "plain"])
@pytest.mark.parametrize("suffix, compress", [(".gz", gzip.compress), (".bz2", bz2.compress),
                                              (".xz", lzma.compress)])
@pytest.mark.parametrize("name, data", [("XDATCAR", xdatcar(frames=40)), ("traj.xyz", xyz(frames=40)),
                                        ("frames", xyz(frames=40))])
def test_a_damaged_compressed_file_is_one_line(tmp_path, name, data, suffix, compress, how):
    p = tmp_path / (name + suffix)
    p.write_bytes(damaged(compress(data), how))
    with pytest.raises(io.FormatError) as info:
        list(io.iread(str(p)))
    assert info.value.path == str(p)
    assert info.value.reason.startswith("the compressed data is corrupt or cut short (")
    r = run("neighbors", p, "--cutoff", "2", "--frames")
    one_line_error(r, f"quorvel neighbors: error: {p}: the compressed data is corrupt or cut short (")


# ---------------------------------------------------------------------------
# Memory and disk failures the command line reports in one line


def test_memory_exhaustion_is_one_line(tmp_path, monkeypatch, capsys):
    import quorvel.neighbors

    def exhausted(*args, **kwargs):
        raise MemoryError

    src = quorvel.example_path("POSCAR")
    monkeypatch.setattr(quorvel.neighbors, "neighbor_list", exhausted)
    assert cli.main(["neighbors", src, "--cutoff", "3"]) == 1
    monkeypatch.setattr(io, "iread", exhausted)
    assert cli.main(["convert", quorvel.example_path("XDATCAR"), str(tmp_path / "out.xyz")]) == 1
    err = capsys.readouterr().err.splitlines()
    assert err == [f"quorvel neighbors: error: not enough memory to search {src} for pairs within 3 Å",
                   f"quorvel convert: error: not enough memory to convert {quorvel.example_path('XDATCAR')} "
                   f"to {tmp_path / 'out.xyz'}"]


@pytest.mark.parametrize("error, said", [
    (EOFError("Compressed file ended before the end-of-stream marker was reached"),
     "the compressed data is corrupt or cut short (Compressed file ended before the end-of-stream marker was reached)"),
    (OSError("Invalid data stream"), "the compressed data is corrupt or cut short (Invalid data stream)"),
    (OSError(errno.EIO, "Input/output error"), "Input/output error"),
])
def test_a_read_error_without_a_file_name_names_the_input(monkeypatch, capsys, error, said):
    def fail(*args, **kwargs):
        raise error

    src = quorvel.example_path("XDATCAR")
    monkeypatch.setattr(io, "iread", fail)
    assert cli.main(["neighbors", src, "--cutoff", "3"]) == 1
    assert capsys.readouterr().err == f"quorvel neighbors: error: {src}: {said}\n"


@pytest.mark.parametrize("args, named", [
    (["convert", "{POSCAR}", "{tmp}/out.xyz"], "{tmp}/out.xyz"),
    (["neighbors", "{POSCAR}", "-r", "2", "-o", "{tmp}/pairs"], "{tmp}/pairs.npz"),
])
def test_a_full_disk_names_the_output(tmp_path, monkeypatch, capsys, args, named):
    import quorvel.io._files
    import quorvel.io._npz

    def full(*a, **k):
        raise OSError(errno.ENOSPC, "No space left on device")

    # Every file the command writes ends in the one atomic writer.
    monkeypatch.setattr(quorvel.io._files, "atomic_write", full)
    monkeypatch.setattr(quorvel.io._npz, "atomic_write", full)
    fill = {"POSCAR": quorvel.example_path("POSCAR"), "tmp": tmp_path}
    assert cli.main([a.format(**fill) for a in args]) == 1
    err = capsys.readouterr().err
    assert err.endswith(f"error: {named.format(**fill)}: No space left on device\n") and err.count("\n") == 1


# ---------------------------------------------------------------------------
# Frames by number


def test_frames_out_of_range_say_how_many_there_are(tmp_path):
    p = put(tmp_path, "six.xyz", xyz(frames=6))
    frames = io.read_xyz(p)
    assert io.read(p, index=5) == frames[5] and io.read(p, index=-6) == frames[0]
    for index in (6, -7):
        with pytest.raises(IndexError, match=f"^frame index {index} asked for, but {re.escape(p)} has 6 frames$"):
            io.read(p, index=index)
    for k in (7, -7):
        r = run("convert", p, tmp_path / "out.vasp", "--frame", k)
        one_line_error(r, f"frame {k} asked for, but {p} has 6 frames")
    r = run("convert", p, tmp_path / "last.xyz", "--frame", 6)
    assert r.returncode == 0, r.stderr
    assert np.array_equal(io.read(str(tmp_path / "last.xyz")).positions, frames[5].positions)


# ---------------------------------------------------------------------------
# Histogram bars


@pytest.mark.parametrize("bins", [1, 37, 10000])
def test_bins_of_any_count_have_distinct_labels(bins):
    src = quorvel.example_path("POSCAR")
    r = run("neighbors", src, "--cutoff", "3", "--bins", bins)
    assert r.returncode == 0, r.stderr
    bars = [line.split() for line in r.stdout.splitlines() if re.match(r"\s+\d+\.\d+ - ", line)]
    assert len(bars) == bins
    lows, highs = [b[0] for b in bars], [b[2] for b in bars]
    assert len(set(lows)) == bins and lows[1:] == highs[:-1]
    assert all(float(a) < float(b) for a, b in zip(lows, lows[1:]))
    nl = quorvel.neighbor_list(io.read(src), 3.0)
    assert sum(int(b[3]) for b in bars) == len(nl.i) // 2
    assert float(highs[-1]) == 3.0 and float(lows[0]) <= nl.d.min()


# ---------------------------------------------------------------------------
# Text encodings


NOT_UTF8 = [
    ("POSCAR", poscar(names=b"Fe O\xe9"), 6, "byte 0xE9 at column 5"),
    ("POSCAR", poscar(scale=b"1.0 \xff"), 2, "byte 0xFF at column 5"),
    ("POSCAR", poscar(rows=["0 0 0", "0.5 0.5 0.0", "0.0 0.5 \xe90.5"]), 11, "byte 0xE9 at column 9"),
    ("XDATCAR", xdatcar().replace(b"0.5 0.5 0.0", b"0.5 0.5 0.0 \xe9", 1), 10, "byte 0xE9 at column 13"),
    ("t.xyz", xyz(symbols=(b"O", b"H\xe9", b"H")), 4, "byte 0xE9 at column 2"),
    ("t.xyz", b"3\xa0\n" + xyz()[2:], 1, "byte 0xA0 at column 2"),
    ("t.xyz.gz", xyz(frames=2) + b"3\nc\nO 0 0 0\nH 0 0 0\n\xc3H 0 0 0\n", 15, "byte 0xC3 at column 1"),
]


@pytest.mark.parametrize("name, data, line, where", NOT_UTF8)
def test_a_byte_that_is_not_utf8_is_reported_with_its_line(tmp_path, name, data, line, where):
    p = put(tmp_path, name, data)
    with pytest.raises(io.FormatError) as info:
        list(io.iread(p))
    assert (info.value.line, info.value.reason) == (line, f"not UTF-8 text ({where})")
    one_line_error(run("neighbors", p, "-r", "2", "--frames"), f"{p}, line {line}: not UTF-8 text ({where})")


LATIN1 = "Fe\xe9 from an old tool \xb0C"


@pytest.mark.parametrize("name, data", [
    ("POSCAR", poscar(comment=LATIN1.encode("latin-1"))),
    # Only the first letter of the coordinate-mode line counts: the rest is a comment.
    ("CONTCAR", poscar(comment=LATIN1.encode("latin-1")).replace(b"\nDirect\n", b"\nDirect (\xc5)\n")),
    ("XDATCAR", xdatcar(comment=LATIN1.encode("latin-1"), frame_comment=b"\xe9t\xe9")),
    ("t.xyz", xyz(comment=LATIN1.encode("latin-1"))),
    ("t.xyz", xyz(comment=LATIN1.encode("utf-8"))),
])
def test_a_comment_in_latin1_or_utf8_is_read_as_text(tmp_path, name, data):
    p = put(tmp_path, name, data)
    frames = list(io.iread(p))
    assert frames[0].comment == LATIN1
    r = run("convert", p, tmp_path / "out.xyz")
    assert r.returncode == 0, r.stderr
    assert io.read_xyz(str(tmp_path / "out.xyz"))[0].comment.endswith(LATIN1)


def test_a_binary_file_is_not_text(tmp_path):
    p = put(tmp_path, "POSCAR", b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\xff\n")
    one_line_error(run("neighbors", p, "-r", "2"), f"{p}, line 1: not a text file (a NUL byte at column 4)")


# ---------------------------------------------------------------------------
# VASP's spellings


@pytest.mark.parametrize("scale, factors", [
    (b"2.0", [2.0, 2.0, 2.0]),
    (b"2.0 ! lattice constant", [2.0, 2.0, 2.0]),
    (b"1.0 2.0 0.5", [1.0, 2.0, 0.5]),
    (b"1.0 2.0", "got 2 numbers: '1.0 2.0'"),
    (b"1.0 2.0 3.0 4.0", "got 4 numbers: '1.0 2.0 3.0 4.0'"),
])
@pytest.mark.parametrize("name", ["POSCAR", "XDATCAR"])
def test_scale_line_of_one_or_three_numbers(tmp_path, name, scale, factors):
    p = put(tmp_path, name, (poscar if name == "POSCAR" else xdatcar)(scale=scale))
    if isinstance(factors, str):
        with pytest.raises(io.FormatError) as info:
            io.read(p)
        assert info.value.line == 2
        assert info.value.reason == f"expected the scale factor (one number, or three), {factors}"
        one_line_error(run("neighbors", p, "-r", "2"), f"{p}, line 2: expected the scale factor")
    else:
        np.testing.assert_array_equal(io.read(p).cell, np.diag(factors) * 4.0)
        assert run("neighbors", p, "-r", "2").returncode == 0


BOM = b"\xef\xbb\xbf"


@pytest.mark.parametrize("name, data, fmt", [
    ("POSCAR", poscar(), "poscar"), ("structure", poscar(), "poscar"),
    ("XDATCAR", xdatcar(), "xdatcar"), ("trajectory", xdatcar(), "xdatcar"),
    ("t.xyz", xyz(), "xyz"), ("molecule", xyz(), "xyz"), ("molecule.gz", xyz(), "xyz"),
])
def test_a_byte_order_mark_is_dropped(tmp_path, name, data, fmt):
    plain = io.read(put(tmp_path, "plain-" + name, data), fmt)
    p = put(tmp_path, name, BOM + data)
    assert io.guess_format(p) == fmt
    s = io.read(p)
    assert s == plain and not s.comment.startswith("\ufeff")
    r = run("neighbors", p, "-r", "3")
    assert r.returncode == 0 and f"({fmt.upper()})" in r.stdout, r.stderr


@pytest.mark.parametrize("spelling", [("T", "F"), ("t", "f"), (".TRUE.", ".FALSE."), (".true.", ".false."),
                                      (".T.", ".F."), ("True", "False")])
def test_selective_dynamics_flags_as_vasp_reads_them(tmp_path, spelling):
    t, f = spelling
    flags = [f"{t} {f} {t}", f"{f} {f} {f}", f"{t} {t} {f}"]
    s = io.read_poscar(put(tmp_path, "POSCAR", poscar(selective=True, flags=flags)))
    np.testing.assert_array_equal(s.fixed, [[False, True, False], [True, True, True], [False, False, True]])
    assert run("neighbors", tmp_path / "POSCAR", "-r", "2").returncode == 0


def test_the_native_block_parser_keeps_t_and_f_only():
    with pytest.raises(ValueError, match="got '.TRUE.'"):
        quorvel._ledgra.parse_poscar_positions_rs(["0 0 0 .TRUE. T T"], True)


def test_an_unknown_flag_is_still_refused_with_its_line(tmp_path):
    flags = ["T .true. T", "F F F", "T yes F"]
    p = put(tmp_path, "POSCAR", poscar(selective=True, flags=flags))
    with pytest.raises(io.FormatError) as info:
        io.read_poscar(p)
    assert (info.value.line, info.value.reason) == (12, "expected a selective-dynamics flag T or F, got 'yes'")
    one_line_error(run("neighbors", p, "-r", "2"), f"{p}, line 12: expected a selective-dynamics flag")


# ---------------------------------------------------------------------------
# Species spelled alike in every format


@pytest.mark.parametrize("fe, o", [(b"Fe", b"O"), (b"fe", b"o"), (b"FE", b"O"), (b"fE", b"o")])
def test_species_are_spelled_alike_in_every_format(tmp_path, fe, o):
    files = {
        "POSCAR": poscar(names=fe + b" " + o),
        "XDATCAR": xdatcar(names=fe + b" " + o),
        "t.xyz": xyz(symbols=(fe, o, o)),
    }
    for name, data in files.items():
        p = put(tmp_path, name, data)
        assert io.read(p).symbols == ["Fe", "O", "O"], name
        r = run("neighbors", p, "-r", "3")
        assert r.returncode == 0 and "3 atoms (Fe 1, O 2)" in r.stdout, r.stdout + r.stderr
