"""Native parsing and formatting of the atom-line blocks of POSCAR/CONTCAR,
XDATCAR and XYZ files. Parsers take the block's lines (without the file's
header); their ValueError messages count lines from 0."""

from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

__all__ = [
    "parse_poscar_positions_rs",
    "format_poscar_positions_rs",
    "parse_xdatcar_coords_rs",
    "format_xdatcar_config_rs",
    "parse_xyz_block_rs",
    "format_xyz_block_rs",
]

def parse_poscar_positions_rs(
    lines: Sequence[str], selective: bool
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.bool_] | None]: ...
def format_poscar_positions_rs(
    coord: npt.NDArray[np.float64], flags: npt.NDArray[np.bool_] | None = None
) -> str: ...
def parse_xdatcar_coords_rs(lines: Sequence[str]) -> npt.NDArray[np.float64]: ...
def format_xdatcar_config_rs(scaled_positions: npt.NDArray[np.float64], index: int) -> str: ...
def parse_xyz_block_rs(lines: Sequence[str]) -> tuple[list[str], npt.NDArray[np.float64]]: ...
def format_xyz_block_rs(symbols: Sequence[str], positions: npt.NDArray[np.float64]) -> str: ...
