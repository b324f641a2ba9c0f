"""Native neighbor lists (cell-list search). Every function returns the tuple
(i, j, d, D, S): int64 (M,), int64 (M,), float64 (M,), float64 (M, 3),
int64 (M, 3), every pair in both directions, ordered by i."""

from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

__all__ = ["primitive_neighbor_list_rs", "primitive_neighbor_list_radii_rs", "primitive_neighbor_list_dict_rs"]

_Pairs = tuple[
    npt.NDArray[np.int64],
    npt.NDArray[np.int64],
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
    npt.NDArray[np.int64],
]
_Pbc = Sequence[bool] | npt.NDArray[np.bool_]

def primitive_neighbor_list_rs(
    pbc: _Pbc,
    cell: npt.NDArray[np.float64],
    positions: npt.NDArray[np.float64],
    cutoff: float,
    self_interaction: bool = False,
    use_scaled_positions: bool = False,
    max_nbins: int = 1000000,
) -> _Pairs: ...
def primitive_neighbor_list_radii_rs(
    pbc: _Pbc,
    cell: npt.NDArray[np.float64],
    positions: npt.NDArray[np.float64],
    radii: npt.NDArray[np.float64],
    self_interaction: bool = False,
    use_scaled_positions: bool = False,
    max_nbins: int = 1000000,
) -> _Pairs: ...
def primitive_neighbor_list_dict_rs(
    pbc: _Pbc,
    cell: npt.NDArray[np.float64],
    positions: npt.NDArray[np.float64],
    numbers: npt.NDArray[np.int64],
    zi_keys: Sequence[int] | npt.NDArray[np.int64],
    zj_keys: Sequence[int] | npt.NDArray[np.int64],
    cutoff_vals: Sequence[float] | npt.NDArray[np.float64],
    self_interaction: bool = False,
    use_scaled_positions: bool = False,
    max_nbins: int = 1000000,
) -> _Pairs: ...
