"""Argument checks shared by the reader's data model and neighbor_list."""

import numpy as np


def three_bools(pbc):
    """Periodicity as three bools, from one bool or a sequence of three."""
    if isinstance(pbc, (bool, np.bool_)):
        return (bool(pbc),) * 3
    values = tuple(bool(p) for p in pbc)
    if len(values) != 3:
        raise ValueError(f"pbc must be one bool or three, not {len(values)}")
    return values
