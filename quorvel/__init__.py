"""quorvel: native neighbor lists and structure-file text blocks.

    import quorvel
    s = quorvel.read("POSCAR")
    i, j, d, D, S = quorvel.neighbor_list(s, 3.0)

The Python API is ``quorvel.neighbor_list`` (with chosen quantities, half
lists and threads), ``neighbor_lists`` (batches), ``neighbor_counts``,
``distance_histogram``, the readers and writers of ``quorvel.io`` (with
``Frames``, a trajectory file's frames read by number), ``map_frames`` /
``map_chunks`` (a function over the frames, on worker processes or a Dask
cluster) and the RDF, coordination, bonds and clusters of
``quorvel.analysis``; the native modules ``quorvel._proxor``, ``quorvel._engine``,
``quorvel._ledgra`` and ``quorvel._reader`` are imported
only when one of them is first used.
"""

__all__ = ["neighbor_list", "Neighbors", "neighbor_lists", "BatchNeighbors", "neighbor_counts",
           "distance_histogram", "Structure", "Trajectory", "FormatError", "read", "iread", "write",
           "example_path", "Frames", "map_frames", "map_chunks"]
__version__ = "0.1.0"

_LAZY = {
    "neighbor_list": "neighbors", "Neighbors": "neighbors",
    "neighbor_lists": "engine", "BatchNeighbors": "engine", "neighbor_counts": "engine",
    "distance_histogram": "engine",
    "Structure": "io", "Trajectory": "io", "FormatError": "io", "read": "io", "iread": "io", "write": "io",
    "Frames": "io", "map_frames": "parallel", "map_chunks": "parallel",
}


def __getattr__(name):
    if name == "analysis":
        import importlib
        return importlib.import_module("quorvel.analysis")
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'quorvel' has no attribute {name!r}")
    import importlib
    value = getattr(importlib.import_module(f"quorvel.{module}"), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(__all__))


EXAMPLES = ("POSCAR", "XDATCAR", "water.xyz")


def example_path(name):
    """Full path of one of the example files shipped with quorvel:
    "POSCAR", "XDATCAR" or "water.xyz"."""
    import os
    if name not in EXAMPLES:
        raise ValueError(f"no example {name!r}; the examples are {', '.join(EXAMPLES)}")
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), "examples", name)
