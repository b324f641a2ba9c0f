"""Opening files: (de)compression by suffix, lines taken in runs with their
line numbers, and writes that replace a file only once they are complete."""

import bz2
import contextlib
import errno
import gzip
import io
import lzma
import mmap
import os
import re
import stat
import tempfile
import zlib

from .. import _reader
from ._errors import FormatError

_COMPRESSORS = {".gz": gzip.open, ".bz2": bz2.open, ".xz": lzma.open}

# Bytes that are not UTF-8 come through decoding as the lone surrogates
# U+DC80..U+DCFF (the "surrogateescape" error handler), so that a reader can
# say on which line and column they sit, and a comment line can be decoded
# again as Latin-1.
_NOT_UTF8 = re.compile("[\udc80-\udcff]")

# The fewest bytes an atom line can take: three one-character numbers, two
# separators and a line end ("0 0 0\n"); the file's last line may lack the
# line end, hence the +1 where this bounds a count.
MIN_ATOM_LINE_BYTES = 6


def open_text(path):
    """Opens path for reading as UTF-8 text; .gz, .bz2 and .xz files are
    decompressed. A byte-order mark at the start is dropped; bytes that are
    not UTF-8 are kept as lone surrogates (see strict and lenient)."""
    path = os.fspath(path)
    opener = _COMPRESSORS.get(os.path.splitext(path)[1].lower(), open)
    return opener(path, "rt", encoding="utf-8-sig", errors="surrogateescape", newline=None)


def is_compressed(path):
    return os.path.splitext(os.fspath(path))[1].lower() in _COMPRESSORS


# What reading a (compressed) file can raise besides decoding errors.
READ_ERRORS = (EOFError, OSError, zlib.error, lzma.LZMAError)


def read_error(e, path):
    """The FormatError for an error raised while reading path, or None when
    e is not about the file's contents. Decompressors report a corrupt or
    cut-short stream in several ways: EOFError, zlib.error, lzma.LZMAError,
    and OSError without an errno (gzip.BadGzipFile, bz2's "Invalid data
    stream"); an OSError with an errno is an I/O failure and stays one."""
    if isinstance(e, (EOFError, zlib.error, lzma.LZMAError)) or (
            isinstance(e, OSError) and e.errno is None and is_compressed(path)):
        return FormatError(path, None, f"the compressed data is corrupt or cut short ({e})")
    return None


def not_utf8(path, lineno, line):
    """The FormatError for a line that holds bytes that are not UTF-8."""
    m = _NOT_UTF8.search(line)
    return FormatError(path, lineno, f"not UTF-8 text (byte 0x{ord(m.group()) - 0xDC00:02X} "
                                     f"at column {m.start() + 1})")


def strict(path, lineno, line):
    """line, or a FormatError when it holds bytes that are not UTF-8."""
    if not line.isascii() and _NOT_UTF8.search(line):
        raise not_utf8(path, lineno, line)
    return line


def lenient(path, lineno, line):
    """A comment line as text: UTF-8 when it is, else Latin-1 (what older
    tools wrote). A NUL byte means the file is not text at all."""
    nul = line.find("\0")
    if nul >= 0:
        raise FormatError(path, lineno, f"not a text file (a NUL byte at column {nul + 1})")
    if line.isascii() or not _NOT_UTF8.search(line):
        return line
    return line.encode("utf-8", "surrogateescape").decode("latin-1")


def _size_of(stream):
    """The size in bytes of the regular, uncompressed file under a text
    stream, or None."""
    raw = getattr(stream, "buffer", None)
    if not isinstance(raw, io.BufferedReader):
        return None
    try:
        st = os.fstat(raw.fileno())
    except (OSError, ValueError):
        return None
    return st.st_size if stat.S_ISREG(st.st_mode) else None


class Lines:
    """Lines of a text stream, taken in runs of known length, with the running
    1-based number of the last line taken. Reads the stream in chunks so that a
    trajectory of any size is read in bounded memory."""

    CHUNK = 1 << 23

    def __init__(self, stream, path):
        self._stream = stream
        self.path = path
        self.size = _size_of(stream)  # bytes, None when not known (compressed, a pipe)
        self._buf = []
        self._pos = 0
        self.lineno = 0  # lines taken so far
        self._eof = False
        self._last = None  # the last line taken

    def _fill(self):
        if self._eof:
            return False
        try:
            chunk = self._stream.readlines(self.CHUNK)
        except READ_ERRORS as e:
            error = read_error(e, self.path)
            if error is None:
                raise
            raise error from e
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
        self._last = line
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
        if out:
            self._last = out[-1]
        return out

    def ends_cut(self):
        """True when the last line taken is the file's last and lacks its line
        end: a line a killed writer left half written."""
        last = self._last
        return last is not None and not last.endswith(("\n", "\r")) and self.peek() is None

    def at_end(self):
        """True when only blank lines are left; consumes them."""
        self.skip_blank()
        return self.peek() is None

    def skip_blank(self):
        """Consumes the blank lines ahead; returns how many there were."""
        skipped = 0
        while True:
            line = self.peek()
            if line is None or line.strip():
                return skipped
            self.next()
            skipped += 1


_BOM = b"\xef\xbb\xbf"
_LONE_CR = re.compile(rb"\r(?!\n)")


class ByteLines(Lines):
    """The lines of a file's bytes, as Lines gives them (the same str lines,
    line ends and numbers, as the text stream of open_text decodes them),
    and blocks of atom lines handed to the native parsers of
    quorvel._reader at their byte offset without becoming str at all.

    The bytes are a whole file's memory map (or any buffer), read from
    offset `pos` with `lineno` lines before it, or a binary stream (a
    decompressor) read in chunks of at least CHUNK bytes into a window that
    drops what was read. A memory map gives back the pages read every
    RELEASE bytes, so that the process's memory stays flat however large
    the file. A lone carriage return (an old Mac line end) is a line end,
    as text mode reads it: in a stream each is replaced by '\n' (offsets
    stay the file's), and a memory map met with one goes on as a stream of
    the file from there."""

    CHUNK = 1 << 23
    RELEASE = 1 << 24

    def __init__(self, path, data=None, stream=None, size=None, pos=0, lineno=0, base=0):
        """base: the file offset of the stream's first byte (a stream that
        does not start at the file's start has no byte-order mark)."""
        self.path = path
        self.size = size
        self._stream = stream
        self._buf = b"" if data is None else data
        self._pos = pos
        self._base = base
        self._eof = stream is None
        self._released = pos - pos % mmap.PAGESIZE
        self._cr = False  # a '\r' held back at the end of the last chunk
        self.lineno = lineno
        self._last_open = None  # whether the last line taken lacks its line end
        self._peeked = None
        self._own = None  # a stream opened here
        if pos == 0 and base == 0:
            if stream is not None:
                while len(self._buf) < 3 and self._fill():
                    pass
            if self._buf[:3] == _BOM:
                self._pos = 3

    @property
    def data(self):
        """The buffer the block parsers read, and the offset of the next line in it."""
        return self._buf

    @property
    def pos(self):
        return self._pos

    @property
    def base(self):
        """The file offset of data[0]: file offsets are base + offsets in data."""
        return self._base

    @property
    def complete(self):
        """True when data holds the rest of the file."""
        return self._eof

    @property
    def mapped(self):
        """True while the lines come from the whole file's buffer, not a stream."""
        return self._stream is None

    def close(self):
        if self._own is not None:
            self._own.close()
            self._own = None

    def _to_stream(self):
        """Goes on from here as a stream of the file (which replaces lone
        carriage returns)."""
        at = self._base + self._pos
        raw = open(self.path, "rb")
        raw.seek(at)
        self._own = self._stream = raw
        self._buf, self._pos, self._base = b"", 0, at
        self._eof = False
        self._peeked = None

    def seek(self, pos, lineno):
        """Moves to offset pos of data, the start of line lineno + 1."""
        self._pos = pos
        self.lineno = lineno
        self._peeked = None

    def more(self):
        """Reads more of the stream into data (offsets in data change, see
        base): False at its end."""
        return self._fill()

    def _fill(self):
        """Reads the next chunk of the stream into the window (keeping what
        is not read yet): False at its end."""
        if self._eof:
            return False
        try:
            raw = self._stream.read(max(self.CHUNK, len(self._buf) - self._pos))
        except READ_ERRORS as e:
            error = read_error(e, self.path)
            if error is None:
                raise
            raise error from e
        chunk = b"\r" + raw if self._cr else raw
        self._cr = False
        if not chunk:
            self._eof = True
            return False
        if raw and chunk.endswith(b"\r"):
            # Its '\n' may start the next chunk.
            chunk = chunk[:-1]
            self._cr = True
        if b"\r" in chunk and _reader.find_lone_cr(chunk) >= 0:
            chunk = _LONE_CR.sub(b"\n", chunk)
        self._base += self._pos
        self._buf = self._buf[self._pos:] + chunk
        self._pos = 0
        self._peeked = None
        return True

    def _line(self):
        """(the next line as str, its end offset) without taking it, or None
        at the end of the file."""
        if self._peeked is not None and self._peeked[1] >= self._pos and self._peeked[2] == self._pos:
            return self._peeked[0], self._peeked[1]
        while True:
            buf = self._buf
            nl = buf.find(b"\n", self._pos)
            if nl >= 0:
                raw = buf[self._pos:nl - 1 if nl > self._pos and buf[nl - 1] == 13 else nl]
                if 13 in raw and self._stream is None:
                    self._to_stream()
                    continue
                line = raw.decode("utf-8", "surrogateescape") + "\n"
                end = nl + 1
                break
            if not self._fill():
                if self._pos >= len(self._buf):
                    return None
                raw = self._buf[self._pos:]
                if 13 in raw and self._stream is None:
                    self._to_stream()
                    continue
                line = raw.decode("utf-8", "surrogateescape")
                end = len(self._buf)
                break
        self._peeked = (line, end, self._pos)
        return line, end

    def next(self):
        got = self._line()
        if got is None:
            return None
        line, self._pos = got
        self._peeked = None
        self.lineno += 1
        self._last_open = not line.endswith("\n")
        self._last = line
        return line

    def peek(self):
        got = self._line()
        return None if got is None else got[0]

    def take(self, n):
        out = []
        while len(out) < n:
            line = self.next()
            if line is None:
                break
            out.append(line)
        return out

    def ends_cut(self):
        return self._last_open is True and self.peek() is None

    def block(self, n, parse):
        """parse(data, offset) of the next n lines, straight from the bytes;
        the lines are taken when it returns (its result's last item is the
        end offset of the block). None, with nothing taken, when the file
        ends before n lines or the parser refuses them: the caller then
        reads them as str lines, whose errors name the line."""
        while not self._eof:
            # n whole lines in the window: the last one's line end too.
            end, got = _reader.skip_lines(self._buf, self._pos, n)
            if got >= n and (n == 0 or self._buf[end - 1:end] == b"\n"):
                break
            self._fill()
        try:
            result = parse(self._buf, self._pos)
        except ValueError:
            return None
        end = result[-1]
        if n:
            self._last_open = self._buf[end - 1:end] != b"\n"
            self._last = None
        self._pos = end
        self._peeked = None
        self.lineno += n
        self.release()
        return result

    def release(self):
        """Gives the pages of a memory map read so far back to the page cache,
        every RELEASE bytes."""
        end = self._pos
        if self._eof and end - self._released >= self.RELEASE and isinstance(self._buf, mmap.mmap):
            upto = end - end % mmap.PAGESIZE
            self._buf.madvise(mmap.MADV_DONTNEED, self._released, upto - self._released)
            self._released = upto


@contextlib.contextmanager
def open_lines(path):
    """The lines of the file at path: ByteLines for a regular file (a memory
    map of it, or its decompressed stream for a .gz, .bz2 or .xz file),
    Lines of its text stream for anything else (a FIFO, a device)."""
    path = os.fspath(path)
    try:
        st = os.stat(path)
    except OSError:
        st = None
    if st is None or not stat.S_ISREG(st.st_mode):
        with open_text(path) as f:
            yield Lines(f, path)
        return
    opener = _COMPRESSORS.get(os.path.splitext(path)[1].lower())
    if opener is not None:
        with opener(path, "rb") as raw:
            yield ByteLines(path, stream=raw)
        return
    with open(path, "rb") as f:
        data = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) if st.st_size else b""
    lines = ByteLines(path, data, size=len(data))
    try:
        yield lines
    finally:
        lines.close()
        if data:
            data.close()


def truncated(path, line, reason):
    """The FormatError of a file that ends before what it announces is
    complete. It carries what fell short (``truncation``, the reason
    without its "file is truncated" head), so that a trajectory reader can
    tell a cut from a fault."""
    error = FormatError(path, line, f"file is truncated: {reason}")
    error.truncation = reason
    return error


def need(lines, what):
    """The next line, or a truncation error naming what was expected; a
    FormatError when the line is not UTF-8."""
    line = lines.next()
    if line is None:
        raise truncated(lines.path, lines.lineno + 1, f"expected {what}, the file ends here")
    return strict(lines.path, lines.lineno, line)


def need_comment(lines, what):
    """The next line as a comment (see lenient), without its line end: a
    comment line, or one of which the reader looks at the first letter only
    (VASP's "Selective dynamics", "Direct", "Direct configuration=")."""
    line = lines.next()
    if line is None:
        raise truncated(lines.path, lines.lineno + 1, f"expected {what}, the file ends here")
    return lenient(lines.path, lines.lineno, line.rstrip("\r\n"))


def check_count(lines, n, lineno):
    """Refuses, just before its block is read, an atom count (given on file
    line lineno) that the file is too small to hold: a corrupt count would
    otherwise have the rest of the file read into memory before the block
    comes up short. Only a file of known size (not compressed, not a pipe)
    is checked; the header lines before the block have had their say, so a
    file cut in its header still reports that."""
    size = lines.size
    if size is not None and n > (size + 1) // MIN_ATOM_LINE_BYTES:
        raise FormatError(lines.path, lineno, f"{n} atoms, more than the file can hold ({size} bytes, and an "
                                              f"atom line takes at least {MIN_ATOM_LINE_BYTES}): the count is "
                                              f"wrong or the file is cut short")


def take_block(lines, n, what):
    """The next n lines, or a truncation error naming what was expected."""
    block = lines.take(n)
    if len(block) < n:
        raise truncated(lines.path, lines.lineno + 1, f"expected {n} {what}, the file ends after {len(block)}")
    return block


def atomic_write(path, write):
    """Calls write(f) with f a binary file and puts what it wrote at path.

    A regular file (or a new one) is replaced only once write has returned:
    write goes to a temporary file in the same folder, which is renamed over
    the old file, so a failed write leaves path as it was and no temporary
    file behind. A symbolic link is followed: the file it points to is
    replaced and the link stays a link. An existing file keeps its permission
    bits and, where the process may set them, its owner and group; a new file
    gets the permissions the umask allows. The replaced file is a new file
    (a new inode): other hard links to the old one keep the old content.

    A path that is not a regular file (a device such as /dev/null, a FIFO, a
    terminal) is written in place, never replaced. A folder is refused.

    Every OSError names path, never the temporary file."""
    path = os.fspath(path)
    target, st = _target(path)
    if st is not None and not stat.S_ISREG(st.st_mode):
        _write_in_place(path, target, write)
        return
    folder = os.path.dirname(target)
    try:
        fd, tmp = tempfile.mkstemp(dir=folder, prefix="." + os.path.basename(target) + ".", suffix=".tmp")
    except OSError as e:
        raise _naming(e, path) from None
    try:
        try:
            with os.fdopen(fd, "wb") as f:
                write(f)
            _take_over_mode(tmp, st)
            os.replace(tmp, target)
        except OSError as e:
            raise _naming(e, path) from None
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def check_writable(path):
    """Raises the OSError (naming path) that writing to path would meet, so
    that a command can report it before its work starts: the folder must
    exist and take new files, and path must not be a folder; a device or
    FIFO must be open to writing."""
    path = os.fspath(path)
    target, st = _target(path)
    if st is not None and not stat.S_ISREG(st.st_mode):
        if not os.access(target, os.W_OK):
            raise PermissionError(errno.EACCES, "cannot be written: permission denied", path)
        return
    folder = os.path.dirname(target)
    # The folder as the user wrote it, unless links lead elsewhere.
    shown = (os.path.dirname(path) or ".") if target == os.path.abspath(path) else folder
    if not os.path.isdir(folder):
        if os.path.lexists(folder):
            raise NotADirectoryError(errno.ENOTDIR, f"cannot be written: {shown} is not a folder", path)
        raise FileNotFoundError(errno.ENOENT, f"cannot be written: the folder {shown} does not exist", path)
    # The one sure test of the folder is to make a file there, as the write will.
    try:
        fd, probe = tempfile.mkstemp(dir=folder, prefix="." + os.path.basename(target) + ".", suffix=".tmp")
    except OSError as e:
        raise OSError(e.errno, f"cannot be written: {e.strerror} (a new file in {shown})", path) from None
    os.close(fd)
    os.unlink(probe)


def _target(path):
    """(the file a write to path reaches, symbolic links followed; its
    os.stat result or None when it does not exist yet)."""
    target = os.path.realpath(path)
    try:
        st = os.stat(target)
    except (FileNotFoundError, NotADirectoryError):
        return target, None
    except OSError as e:
        raise _naming(e, path) from None
    if stat.S_ISDIR(st.st_mode):
        raise IsADirectoryError(errno.EISDIR, "cannot be written: it is a folder", path)
    return target, st


def _write_in_place(path, target, write):
    # No O_CREAT: should the device go away meanwhile, nothing is created.
    try:
        fd = os.open(target, os.O_WRONLY | getattr(os, "O_CLOEXEC", 0))
        with os.fdopen(fd, "wb") as f:
            write(f)
    except OSError as e:
        raise _naming(e, path) from None


def _take_over_mode(tmp, st):
    """Gives tmp the permission bits and, where allowed, the owner of the
    file it replaces (st), else those of a new file."""
    if st is None:
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)
        return
    if hasattr(os, "chown"):
        # Owner and group where we may; else the group alone (a group we
        # belong to); else the file stays ours. Before chmod: chown clears
        # the set-user-ID bits.
        for uid, gid in ((st.st_uid, st.st_gid), (-1, st.st_gid)):
            try:
                os.chown(tmp, uid, gid)
                break
            except OSError:
                pass
    os.chmod(tmp, stat.S_IMODE(st.st_mode))


def _naming(e, path):
    """e as an error about path (not the temporary file or device path it
    may name)."""
    if e.errno is None:
        return e
    return OSError(e.errno, e.strerror, path)


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
