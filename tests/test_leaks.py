"""Repeated calls leave nothing behind: every function of both modules, on
valid input and on every kind of bad input, many times over, with the
process's resident memory and the arguments' reference counts checked
afterwards."""

import ctypes
import gc
import os
import sys

import numpy as np
import pytest

from quorvel import _engine, _ledgra, _proxor, _reader

from support import SANITIZED, needs_plain_allocator

REPEATS = int(os.environ.get("QUORVEL_LEAK_REPEATS", "100000"))
# After warm-up, repeated calls grow resident memory by nothing at all here.
# Resident memory is the check for native leaks (freed memory may absorb a
# few bytes a call, so it catches leaks of tens of bytes a call and more);
# Python objects that a call leaks are counted exactly by the interpreter's
# allocated-block count, which must not grow by one block per call.
RSS_SLACK = 1 << 20
BLOCK_SLACK = 1000


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


class BadIndex:
    def __index__(self):
        raise ValueError("bad index")


class BadFloat:
    def __float__(self):
        raise TypeError("bad float")


PBC = [True, True, False]
CELL = np.array([[4.0, 0.0, 0.0], [0.5, 4.0, 0.0], [0.0, 0.0, 6.0]])
POS = np.array([[0.0, 0.0, 0.0], [1.0, 1.0, 1.0], [2.5, 3.0, 5.5], [3.9, 0.1, 2.0]])
NUMBERS = np.array([1, 8, 1, 8], np.int64)
RADII = np.array([1.0, 0.5, 1.2, 0.7])
LINES = ["0.1 0.2 0.3 T F T", "0.4 0.5 0.6 F F F"]
XYZ_LINES = ["fe 0.1 0.2 0.3", "O 1 2 3 extra"]
EXT_BYTES = b"fe 0 0 0 1.5 7 T ab\nO 1 2 3 -2 8 F c\n"
EXT_LAYOUT = "species:S:1:pos:R:3:q:R:1:n:I:1:m:L:1:k:S:1"

nl = _proxor.primitive_neighbor_list_rs
nl_radii = _proxor.primitive_neighbor_list_radii_rs
nl_dict = _proxor.primitive_neighbor_list_dict_rs

# (name, call, expected exception or None). Every exception path: binding
# faults, conversion faults, ValueError and PanicException.
CASES = [
    ("nl ok", lambda: nl(PBC, CELL, POS, 3.0, True), None),
    ("nl empty", lambda: nl(PBC, CELL, POS[:0], 3.0), None),
    ("nl too many", lambda: nl(PBC, CELL, POS, 3.0, False, False, 10, 1), TypeError),
    ("nl missing", lambda: nl(PBC, CELL), TypeError),
    ("nl keyword twice", lambda: nl(PBC, CELL, POS, 3.0, pbc=PBC), TypeError),
    ("nl unknown keyword", lambda: nl(PBC, CELL, POS, 3.0, bogus=1), TypeError),
    ("nl pbc length", lambda: nl([True], CELL, POS, 3.0), ValueError),
    ("nl pbc item", lambda: nl([1, 0, 1], CELL, POS, 3.0), TypeError),
    ("nl cell list", lambda: nl(PBC, CELL.tolist(), POS, 3.0), TypeError),
    ("nl cutoff cause", lambda: nl(PBC, CELL, POS, BadFloat()), TypeError),
    ("nl max_nbins negative", lambda: nl(PBC, CELL, POS, 3.0, max_nbins=-1), OverflowError),
    ("nl max_nbins raises", lambda: nl(PBC, CELL, POS, 3.0, max_nbins=BadIndex()), ValueError),
    ("nl singular", lambda: nl(PBC, np.zeros((3, 3)), POS, 3.0), ValueError),
    ("nl panic", lambda: nl(PBC, CELL[:2], POS, 3.0), BaseException),
    ("radii ok", lambda: nl_radii(PBC, CELL, POS, RADII), None),
    ("radii panic", lambda: nl_radii(PBC, CELL, POS, RADII[:1]), BaseException),
    ("dict ok", lambda: nl_dict(PBC, CELL, POS, NUMBERS, [1, 8], [8, 8], [2.0, 3.0]), None),
    ("dict str keys", lambda: nl_dict(PBC, CELL, POS, NUMBERS, "18", [8], [2.0]), TypeError),
    ("dict key overflow", lambda: nl_dict(PBC, CELL, POS, NUMBERS, [2 ** 70], [8], [2.0]), OverflowError),
    ("dict short keys", lambda: nl_dict(PBC, CELL, POS, NUMBERS, [1, 8], [8], [2.0, 3.0]), BaseException),
    ("engine pairs ok", lambda: _engine.pairs(PBC, CELL, POS, 3.0, quantities="ijd", half=True, threads=2), None),
    ("engine pairs radii", lambda: _engine.pairs(PBC, CELL, POS, 0.0, radii=RADII), None),
    ("engine pairs table", lambda: _engine.pairs(PBC, CELL, POS, 0.0, numbers=NUMBERS, zi_keys=[1, 8],
                                                 zj_keys=[8, 8], cutoff_vals=[2.0, 3.0]), None),
    ("engine pairs quantities", lambda: _engine.pairs(PBC, CELL, POS, 3.0, quantities="ijx"), ValueError),
    ("engine pairs threads", lambda: _engine.pairs(PBC, CELL, POS, 3.0, threads=BadIndex()), ValueError),
    ("engine radii length", lambda: _engine.pairs(PBC, CELL, POS, 0.0, radii=RADII[:2]), ValueError),
    ("engine singular", lambda: _engine.counts(PBC, np.zeros((3, 3)), POS, 3.0), ValueError),
    ("engine counts ok", lambda: _engine.counts(PBC, CELL, POS, 3.0, threads=0), None),
    ("engine histogram ok", lambda: _engine.histogram(PBC, CELL, POS, 3.0, 10, types=NUMBERS // 8, ntypes=2), None),
    ("engine histogram bins", lambda: _engine.histogram(PBC, CELL, POS, 3.0, 0), ValueError),
    ("engine batch ok", lambda: _engine.batch_pairs(np.ones((2, 3), bool), np.vstack([CELL, CELL]),
                                                    np.vstack([POS, POS]), np.array([0, 4, 8]), 3.0), None),
    ("engine batch offsets", lambda: _engine.batch_pairs(np.ones((2, 3), bool), np.vstack([CELL, CELL]),
                                                         np.vstack([POS, POS]), np.array([0, 5, 8]), 3.0), None),
    ("engine batch bad offsets", lambda: _engine.batch_pairs(np.ones((2, 3), bool), np.vstack([CELL, CELL]),
                                                             POS, np.array([0, 4, 8]), 3.0), ValueError),
    ("poscar ok", lambda: _ledgra.parse_poscar_positions_rs(LINES, True), None),
    ("poscar bad float", lambda: _ledgra.parse_poscar_positions_rs(["0 x 0"], False), ValueError),
    ("poscar bad flag", lambda: _ledgra.parse_poscar_positions_rs(["0 0 0 t"], True), ValueError),
    ("poscar lines str", lambda: _ledgra.parse_poscar_positions_rs("0 0 0", False), TypeError),
    ("poscar surrogate", lambda: _ledgra.parse_poscar_positions_rs(["0 0 \ud800"], False), UnicodeEncodeError),
    ("format poscar ok", lambda: _ledgra.format_poscar_positions_rs(POS, POS > 1.0), None),
    ("format poscar shape", lambda: _ledgra.format_poscar_positions_rs(POS, (POS > 1)[:1]), ValueError),
    ("format poscar panic", lambda: _ledgra.format_poscar_positions_rs(POS[:, :2]), BaseException),
    ("xdatcar ok", lambda: _ledgra.parse_xdatcar_coords_rs(LINES), None),
    ("xdatcar short", lambda: _ledgra.parse_xdatcar_coords_rs(["0 0"]), ValueError),
    ("format xdatcar ok", lambda: _ledgra.format_xdatcar_config_rs(POS, 7), None),
    ("format xdatcar index", lambda: _ledgra.format_xdatcar_config_rs(POS, 1.0), TypeError),
    ("format xdatcar panic", lambda: _ledgra.format_xdatcar_config_rs(POS[:, :1], 1), BaseException),
    ("xyz ok", lambda: _ledgra.parse_xyz_block_rs(XYZ_LINES), None),
    ("xyz bad", lambda: _ledgra.parse_xyz_block_rs(["H 0 0 q"]), ValueError),
    ("xyz not str", lambda: _ledgra.parse_xyz_block_rs([b"H 0 0 0"]), TypeError),
    ("format xyz ok", lambda: _ledgra.format_xyz_block_rs(["Fe", "Ωμ"], POS[:2]), None),
    ("format xyz length", lambda: _ledgra.format_xyz_block_rs(["Fe"], POS), ValueError),
    ("format xyz panic", lambda: _ledgra.format_xyz_block_rs(["Fe"], POS[:1, :2]), BaseException),
    ("extxyz ok", lambda: _reader.parse_columns(EXT_BYTES, 0, 2, EXT_LAYOUT, "species"), None),
    ("extxyz bad line", lambda: _reader.parse_columns(EXT_BYTES, 0, 2, "species:S:1:pos:R:3:q:I:1"), ValueError),
    ("extxyz bad layout", lambda: _reader.parse_columns(EXT_BYTES, 0, 2, "species:S:1:pos"), ValueError),
    ("extxyz not bytes", lambda: _reader.parse_columns("text", 0, 2, EXT_LAYOUT), TypeError),
    ("format extxyz ok", lambda: _reader.format_columns(4, "SRIL", [["Fe", "O", "H", "Ωμ"], POS, NUMBERS[:, None],
                                                                  POS > 1.0]), None),
    ("format extxyz rows", lambda: _reader.format_columns(3, "SR", [["Fe", "O", "H"], POS]), ValueError),
]

ARGUMENTS = [PBC, CELL, POS, NUMBERS, RADII, LINES, XYZ_LINES] + LINES + XYZ_LINES


def run_case(call, expected, times):
    for _ in range(times):
        try:
            call()
        except BaseException as e:  # noqa: BLE001 - PanicException derives from BaseException
            if expected is None or not isinstance(e, expected):
                raise
        else:
            if expected is not None:
                raise AssertionError("no exception raised")


@pytest.mark.parametrize("name, call, expected", CASES, ids=[c[0] for c in CASES])
def test_repeated_calls_keep_memory_and_references(name, call, expected, capfd):
    # Warm up caches (NumPy's API table, the exception types, interned names).
    run_case(call, expected, 200)
    gc.collect()
    refs_before = [sys.getrefcount(a) for a in ARGUMENTS]
    blocks_before = sys.getallocatedblocks()
    rss_before = rss_bytes()
    run_case(call, expected, REPEATS)
    gc.collect()
    grown = rss_bytes() - rss_before
    blocks = sys.getallocatedblocks() - blocks_before
    refs_after = [sys.getrefcount(a) for a in ARGUMENTS]
    capfd.readouterr()  # the panic diagnostics
    assert refs_after == refs_before
    assert blocks < BLOCK_SLACK, f"{blocks} more Python blocks after {REPEATS} calls"
    if not SANITIZED:
        assert grown < RSS_SLACK, f"resident memory grew by {grown} bytes over {REPEATS} calls"


@needs_plain_allocator
def test_the_block_count_sees_one_leaked_object_a_call():
    kept = []
    gc.collect()
    blocks_before = sys.getallocatedblocks()
    run_case(lambda: kept.append(float(len(kept))), None, REPEATS)
    gc.collect()
    assert sys.getallocatedblocks() - blocks_before > BLOCK_SLACK


@needs_plain_allocator
def test_resident_memory_sees_a_native_leak():
    # 100 bytes of memory a call that nothing frees: NumPy arrays kept alive
    # hold malloc'd buffers outside the interpreter's small-object allocator.
    kept = []
    # Memory freed by earlier tests stays resident in the heap and would
    # take the new buffers without growing the resident set: give it back.
    ctypes.CDLL(None).malloc_trim(0)
    rss_before = rss_bytes()
    run_case(lambda: kept.append(np.empty(100, np.uint8)), None, REPEATS)
    assert rss_bytes() - rss_before > RSS_SLACK * REPEATS // 100_000
