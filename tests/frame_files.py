"""Small trajectory files written for the Frames and map_frames tests, and the
functions those tests hand to worker processes (module level, so that a
spawned process or a Dask worker finds them by name)."""

import numpy as np

import quorvel
from quorvel import engine

SYMBOLS = ["Si", "Si", "Si", "O", "O", "Si"]


def coordinates(frames, atoms=len(SYMBOLS), seed=7):
    """Fractional coordinates (frames, atoms, 3), each with 8 decimals."""
    return np.round(np.random.default_rng(seed).random((frames, atoms, 3)), 8)


def cell(k=0):
    """A skewed cell that changes a little from frame to frame."""
    return np.array([[5.1 + 0.01 * k, 0.0, 0.0], [0.4, 4.9, 0.0], [0.3, -0.2, 5.3 - 0.01 * k]])


def xdatcar_text(frames, variable_cell=False):
    fracs = coordinates(frames)
    out = []
    for k in range(frames):
        if k == 0 or variable_cell:
            c = cell(k if variable_cell else 0)
            out += ["test run", "   1.0"] + [" ".join(f"{x:14.8f}" for x in row) for row in c]
            out += ["   Si   O   Si", "    3    2    1"]
        out.append(f"Direct configuration=     {k + 1}")
        out += [" ".join(f"{x:12.8f}" for x in row) for row in fracs[k]]
    return "\n".join(out) + "\n"


def xyz_text(frames, sizes=None):
    """Extended XYZ with a cell; sizes, the atom count of each frame (default:
    all of SYMBOLS)."""
    fracs = coordinates(frames)
    out = []
    for k in range(frames):
        n = len(SYMBOLS) if sizes is None else sizes[k]
        c = cell(k)
        pos = fracs[k, :n] @ c
        out += [str(n), 'Lattice="' + " ".join(f"{x:.8f}" for x in c.ravel()) + f'" pbc="T T T" frame={k}']
        out += [f"{SYMBOLS[a]} {p[0]:.10f} {p[1]:.10f} {p[2]:.10f}" for a, p in enumerate(pos)]
    return "\n".join(out) + "\n"


def write(folder, name, text):
    path = folder / name
    if name.endswith(".gz"):
        import gzip
        with gzip.open(path, "wt") as f:
            f.write(text)
    else:
        path.write_text(text)
    return str(path)


# ---------------------------------------------------------------------------
# Work for map_frames and map_chunks


class Refused(Exception):
    """Raised by refuse_frame: its type must come back from any worker."""


def pairs(s):
    """Frame s's pairs within 3 Å, as neighbor_list gives them."""
    nl = quorvel.neighbor_list(s, 3.0)
    return nl.i, nl.j, nl.d, nl.S


def histogram_sum(view):
    """The distance histogram summed over a chunk's frames, and the frame
    numbers it covers."""
    total = np.zeros(40, dtype=np.int64)
    for s in view:
        total += engine.distance_histogram(s, 4.0, 40)
    return total, list(view.numbers)


def refuse_frame(s):
    if s.comment.endswith("frame=3"):
        raise Refused(f"refused {s.comment}")
    return len(s)


def threads_default(s):
    """What threads=None means where s is handled."""
    return engine.default_threads()
