"""The sinks of the native cell-list search, run with the interpreter lock
released on `threads` threads (0: the CPUs this process may use). Every
result is the full list's (quorvel._proxor), filtered, bit for bit."""

from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

__all__ = ["pairs", "counts", "histogram", "batch_pairs", "pooled_memory"]

_Ints = npt.NDArray[np.int64]
_Floats = npt.NDArray[np.float64]
_Pairs = tuple[_Ints | None, _Ints | None, _Floats | None, _Floats | None, _Ints | None]
_Pbc = Sequence[bool] | npt.NDArray[np.bool_]

def pairs(
    pbc: _Pbc,
    cell: _Floats,
    positions: _Floats,
    cutoff: float,
    quantities: str = "ijdDS",
    half: bool = False,
    self_interaction: bool = False,
    use_scaled_positions: bool = False,
    max_nbins: int = 1000000,
    threads: int = 1,
    origin: Sequence[float] | None = None,
    radii: _Floats | None = None,
    numbers: _Ints | None = None,
    zi_keys: Sequence[int] | None = None,
    zj_keys: Sequence[int] | None = None,
    cutoff_vals: Sequence[float] | None = None,
) -> _Pairs: ...
def counts(
    pbc: _Pbc,
    cell: _Floats,
    positions: _Floats,
    cutoff: float,
    self_interaction: bool = False,
    use_scaled_positions: bool = False,
    max_nbins: int = 1000000,
    threads: int = 1,
    origin: Sequence[float] | None = None,
    radii: _Floats | None = None,
    numbers: _Ints | None = None,
    zi_keys: Sequence[int] | None = None,
    zj_keys: Sequence[int] | None = None,
    cutoff_vals: Sequence[float] | None = None,
) -> _Ints: ...
def histogram(
    pbc: _Pbc,
    cell: _Floats,
    positions: _Floats,
    rmax: float,
    bins: int,
    types: _Ints | None = None,
    ntypes: int = 1,
    use_scaled_positions: bool = False,
    max_nbins: int = 1000000,
    threads: int = 1,
    origin: Sequence[float] | None = None,
) -> _Ints: ...
def batch_pairs(
    pbc: npt.NDArray[np.bool_],
    cells: _Floats,
    positions: _Floats,
    atom_offsets: _Ints,
    cutoff: float,
    quantities: str = "ijdDS",
    half: bool = False,
    self_interaction: bool = False,
    use_scaled_positions: bool = False,
    max_nbins: int = 1000000,
    threads: int = 1,
    origins: _Floats | None = None,
) -> tuple[_Ints | None, _Ints | None, _Floats | None, _Floats | None, _Ints | None, _Ints]: ...
def pooled_memory(release: bool = False) -> int: ...
