"""Opening files: (de)compression by suffix, lines taken in runs with their
line numbers, and writes that replace a file only once they are complete."""

import bz2
import gzip
import io
import lzma
import os
import tempfile

from ._errors import FormatError

_COMPRESSORS = {".gz": gzip.open, ".bz2": bz2.open, ".xz": lzma.open}


def open_text(path):
    """Opens path for reading as UTF-8 text; .gz, .bz2 and .xz files are
    decompressed."""
    path = os.fspath(path)
    opener = _COMPRESSORS.get(os.path.splitext(path)[1].lower(), open)
    return opener(path, "rt", encoding="utf-8", newline=None)


class Lines:
    """Lines of a text stream, taken in runs of known length, with the running
    1-based number of the last line taken. Reads the stream in chunks so that a
    trajectory of any size is read in bounded memory."""

    CHUNK = 1 << 23

    def __init__(self, stream, path):
        self._stream = stream
        self.path = path
        self._buf = []
        self._pos = 0
        self.lineno = 0  # lines taken so far
        self._eof = False

    def _fill(self):
        if self._eof:
            return False
        try:
            chunk = self._stream.readlines(self.CHUNK)
        except UnicodeDecodeError as e:
            raise FormatError(self.path, None, f"not UTF-8 text ({e.reason} at byte {e.start} of a chunk)") from e
        if not chunk:
            self._eof = True
            return False
        # Called only once the buffer is used up.
        self._buf = chunk
        self._pos = 0
        return True

    def next(self):
        """The next line (with its line ending), or None at the end of the file."""
        if self._pos >= len(self._buf) and not self._fill():
            return None
        line = self._buf[self._pos]
        self._pos += 1
        self.lineno += 1
        return line

    def peek(self):
        if self._pos >= len(self._buf) and not self._fill():
            return None
        return self._buf[self._pos]

    def take(self, n):
        """The next n lines, fewer only at the end of the file."""
        out = self._buf[self._pos:self._pos + n]
        self._pos += len(out)
        while len(out) < n and self._fill():
            more = self._buf[:n - len(out)]
            self._pos = len(more)
            out += more
        self.lineno += len(out)
        return out

    def at_end(self):
        """True when only blank lines are left; consumes them."""
        while True:
            line = self.peek()
            if line is None:
                return True
            if line.strip():
                return False
            self.next()


def need(lines, what):
    """The next line, or a truncation error naming what was expected."""
    line = lines.next()
    if line is None:
        raise FormatError(lines.path, lines.lineno + 1, f"file is truncated: expected {what}, the file ends here")
    return line


def take_block(lines, n, what):
    """The next n lines, or a truncation error naming what was expected."""
    block = lines.take(n)
    if len(block) < n:
        raise FormatError(lines.path, lines.lineno + 1,
                          f"file is truncated: expected {n} {what}, the file ends after {len(block)}")
    return block


def atomic_write(path, write):
    """Calls write(f) with f a binary file beside path, and renames that file
    to path only when write has returned: a failed write leaves path as it
    was and no temporary file behind. The file gets the permissions a new
    file would get."""
    path = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(dir=folder, prefix="." + os.path.basename(path) + ".", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as f:
            write(f)
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def write_text(path, parts):
    """Writes the texts of parts to path as UTF-8 through atomic_write,
    compressed when the name ends in .gz, .bz2 or .xz."""
    path = os.fspath(path)
    compressor = _COMPRESSORS.get(os.path.splitext(path)[1].lower())

    def write(raw):
        if compressor is None:
            f = io.TextIOWrapper(raw, encoding="utf-8", newline="")
        else:
            f = compressor(raw, "wt", encoding="utf-8", newline="")
        with f:
            for part in parts:
                f.write(part)

    atomic_write(path, write)
