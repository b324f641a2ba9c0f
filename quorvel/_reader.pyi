"""Trajectory files read straight from their bytes (bytes, mmap, any
buffer): the frame scanner and quorvel._ledgra's atom-block parsers taking
a byte offset instead of a list of lines, and the typed per-atom columns
of extended XYZ frames, read and written back. Every entry releases the
interpreter lock while it reads; block values and errors are those of
quorvel._ledgra for the same lines (``line`` counted within the block)."""

import mmap
from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

__all__ = [
    "skip_lines", "find_lone_cr", "scan_xdatcar", "scan_xyz",
    "parse_poscar_positions", "parse_xdatcar_coords", "parse_xdatcar_frames", "parse_xyz_block",
    "parse_columns", "format_columns",
]

Buffer = bytes | bytearray | memoryview | mmap.mmap
_Ints = npt.NDArray[np.int64]
_Floats = npt.NDArray[np.float64]
_Values = npt.NDArray[np.float64] | npt.NDArray[np.int64] | npt.NDArray[np.bool_] | list[str]
_Table = tuple[_Ints, _Ints, _Ints, _Ints, _Ints, _Ints, int, int, int]

def skip_lines(data: Buffer, offset: int, count: int) -> tuple[int, int]: ...
def find_lone_cr(data: Buffer, offset: int = 0) -> int: ...
def scan_xdatcar(
    data: Buffer,
    offset: int,
    line: int,
    atoms: int,
    frames_before: int = 0,
    blank_separated: bool = False,
) -> _Table: ...
def scan_xyz(data: Buffer, offset: int = 0, line: int = 1) -> _Table: ...
def parse_poscar_positions(
    data: Buffer, offset: int, rows: int, selective: bool
) -> tuple[_Floats, npt.NDArray[np.bool_] | None, int]: ...
def parse_xdatcar_coords(data: Buffer, offset: int, rows: int) -> tuple[_Floats, int]: ...
def parse_xdatcar_frames(data: Buffer, blocks: _Ints, atoms: int) -> _Floats: ...
def parse_xyz_block(data: Buffer, offset: int, rows: int) -> tuple[list[str], _Floats, int]: ...
def parse_columns(
    data: Buffer,
    offset: int,
    rows: int,
    properties: str,
    species: str | None = None,
    extra_fields: bool = False,
) -> tuple[int, list[tuple[str, str, _Values]]]: ...
def format_columns(
    rows: int,
    types: str,
    columns: Sequence[npt.NDArray[np.float64] | npt.NDArray[np.int64] | npt.NDArray[np.bool_] | Sequence[str]],
    exact: bool = True,
) -> str: ...
