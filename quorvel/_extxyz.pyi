"""The typed per-atom columns of extended XYZ frames, read from a file's
bytes and written back, with the interpreter lock released."""

from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

__all__ = ["parse_columns", "format_columns"]

_Values = npt.NDArray[np.float64] | npt.NDArray[np.int64] | npt.NDArray[np.bool_] | list[str]

def parse_columns(
    data: bytes | bytearray | memoryview,
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
