"""A .npz file written as its arrays grow, in bounded memory: the rows given
to each named array go straight to a temporary .npy file of their own, and
the finished .npy files are put into the .npz (a zip archive, as numpy.savez
writes it) when the caller commits."""

import os
import shutil
import stat
import struct
import tempfile
import zipfile

import numpy as np

from ._files import atomic_write

# Every .npy header here takes this many bytes (a multiple of 64, as numpy
# aligns it), so that the final shape can be written over the first one.
_HEADER_BYTES = 128
_MAGIC = b"\x93NUMPY\x01\x00"


def _npy_header(dtype, shape):
    text = "{'descr': %r, 'fortran_order': False, 'shape': %r, }" % (np.lib.format.dtype_to_descr(dtype), shape)
    room = _HEADER_BYTES - len(_MAGIC) - 2
    text = text.ljust(room - 1) + "\n"
    if len(text) != room:
        raise ValueError(f"an array of shape {shape} does not fit a {_HEADER_BYTES}-byte .npy header")
    return _MAGIC + struct.pack("<H", room) + text.encode("latin1")


class NpzStream:
    """Writes the arrays named by names (in that order) to the .npz file path,
    rows appended frame after frame along the first axis; np.load(path) then
    gives each as one array, as if np.savez had been given the concatenation.

        with NpzStream("pairs.npz", ("i", "j")) as out:
            for ...:
                out.append(i=..., j=...)
            out.commit()

    Each array's dtype and trailing shape come from its first rows. Until
    commit, nothing is at path; commit writes it through atomic_write (a
    regular file is replaced whole, a device or FIFO written in place). Left
    without commit (an error, Ctrl-C), the temporary files are removed and
    path is as it was."""

    def __init__(self, path, names):
        self.path = os.fspath(path)
        self.names = tuple(names)
        target = os.path.realpath(self.path)
        # Beside the target when it is a regular file (the disk the user
        # chose for the output, rather than a /tmp that may live in memory).
        try:
            regular = stat.S_ISREG(os.stat(target).st_mode)
        except OSError:
            regular = True
        folder = os.path.dirname(target) if regular else None
        try:
            self._tmp = tempfile.mkdtemp(prefix="." + os.path.basename(target) + ".", suffix=".tmp", dir=folder)
        except OSError as e:
            raise OSError(e.errno, e.strerror, self.path) from None
        self._arrays = {}  # name -> [file, dtype, trailing shape, rows]

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.discard()

    def append(self, **arrays):
        """Appends rows to the named arrays."""
        for name, a in arrays.items():
            entry = self._arrays.get(name)
            if entry is None:
                if name not in self.names:
                    raise KeyError(f"{name!r} is not one of the arrays {self.names}")
                a = np.asarray(a)
                f = open(os.path.join(self._tmp, name + ".npy"), "wb")
                f.write(_npy_header(a.dtype, (0,) + a.shape[1:]))
                entry = self._arrays[name] = [f, a.dtype, a.shape[1:], 0]
            f, dtype, tail, rows = entry
            a = np.ascontiguousarray(a, dtype=dtype)
            if a.shape[1:] != tail:
                raise ValueError(f"rows of {name!r} have shape {a.shape[1:]}, earlier ones {tail}")
            if a.size == 0:
                continue
            try:
                f.write(memoryview(a).cast("B"))
            except OSError as e:
                raise OSError(e.errno, e.strerror, self.path) from None
            entry[3] = rows + len(a)

    def commit(self):
        """Writes the .npz file at path from the rows appended so far."""
        missing = [name for name in self.names if name not in self._arrays]
        if missing:
            raise ValueError(f"no rows given for {', '.join(missing)}")
        for f, dtype, tail, rows in self._arrays.values():
            f.seek(0)
            f.write(_npy_header(dtype, (rows,) + tail))
            f.close()
        atomic_write(self.path, self._zip)
        self.discard()

    def _zip(self, out):
        with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED, allowZip64=True) as z:
            for name in self.names:
                with open(os.path.join(self._tmp, name + ".npy"), "rb") as src, \
                        z.open(name + ".npy", "w", force_zip64=True) as dst:
                    shutil.copyfileobj(src, dst, 1 << 20)

    def discard(self):
        """Removes the temporary files (commit calls it; a second call does nothing)."""
        for entry in self._arrays.values():
            entry[0].close()
        self._arrays = {}
        if self._tmp is not None:
            shutil.rmtree(self._tmp, ignore_errors=True)
            self._tmp = None
