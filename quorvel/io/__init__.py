"""Whole-file reading and writing of POSCAR/CONTCAR, XDATCAR and XYZ files.

The atom lines go through the native block routines of ``quorvel._ledgra``;
the headers around them are read and written here.

    >>> from quorvel import io
    >>> s = io.read("POSCAR")                 # a Structure
    >>> traj = io.read_xdatcar("XDATCAR")     # a Trajectory, positions (F, N, 3)
    >>> for frame in io.iread("movie.xyz"):   # Structures, one frame at a time
    ...     pass
    >>> frames = io.Frames("XDATCAR")          # by number: frames[-1], frames[::10]
    >>> io.write("CONTCAR", s)

Every reader reports a bad file with :class:`FormatError`, which names the file
and the line (counted from 1, as an editor shows it) and says what was expected
there. Writers write to a temporary file beside the target and rename it into
place, so a failed write never leaves a half-written file behind, and by
default they write every number so that it reads back exactly. A symbolic
link is followed, a file keeps its mode and owner (other hard links to it keep
the old content: the written file is a new one), and a device or FIFO is
written in place.

Files are read as UTF-8 (a byte-order mark is dropped); a byte that is not
UTF-8 is an error naming its line and column, except on comment lines, which
older tools wrote in Latin-1 and are read as such. A corrupt or cut-short
.gz, .bz2 or .xz file is a FormatError too, and an atom count that the file
is too small to hold is refused before its block is read. Species names are
spelled alike in every format ("fe" and "FE" are "Fe").

The modules below this package each do one job: ``_model`` (Structure,
Trajectory), ``_errors`` (FormatError), ``_files`` (opening, compression,
lines with their numbers, atomic writes), ``_fields`` (header numbers),
``_blocks`` (the native block routines: errors, exact rows), ``_vasp``
(POSCAR and XDATCAR), ``_xyz`` (XYZ), ``_dispatch`` (format detection,
read, iread, write), ``_index`` (where each frame starts; frames read by
number), ``_frames`` (Frames, the lazy sequence over an index) and ``_npz``
(a .npz written as its arrays grow).
"""

from ._dispatch import FORMATS, guess_format, iread, read, write  # noqa: F401 (FORMATS: the format names)
from ._errors import FormatError, TruncatedTrajectoryWarning
from ._frames import Frames
from ._model import Structure, Trajectory
from ._vasp import iter_xdatcar, read_poscar, read_xdatcar, write_poscar, write_xdatcar
from ._xyz import iter_xyz, read_xyz, write_xyz

__all__ = [
    "FormatError", "TruncatedTrajectoryWarning", "Structure", "Trajectory",
    "read", "iread", "write", "guess_format", "Frames",
    "read_poscar", "write_poscar",
    "read_xdatcar", "iter_xdatcar", "write_xdatcar",
    "read_xyz", "iter_xyz", "write_xyz",
]

# The public classes keep the name they are known by, in reprs, tracebacks
# and pickles alike.
for _cls in (FormatError, TruncatedTrajectoryWarning, Structure, Trajectory, Frames):
    _cls.__module__ = __name__
del _cls
