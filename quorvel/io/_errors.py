"""FormatError: a file that does not follow its format, with its file line."""

import os
import warnings


class FormatError(ValueError):
    """A file that does not follow its format.

    ``path`` is the file, ``line`` the 1-based line number (None when the fault
    is not on one line) and ``reason`` what was wrong there. ``str(error)``
    reads "PATH, line N: REASON".
    """

    def __init__(self, path, line, reason):
        self.path = os.fspath(path)
        self.line = line
        self.reason = reason
        where = self.path if line is None else f"{self.path}, line {line}"
        super().__init__(f"{where}: {reason}")

    def __reduce__(self):
        return type(self), (self.path, self.line, self.reason)


class TruncatedTrajectoryWarning(UserWarning):
    """A trajectory that ends inside a frame (the run was killed while
    writing it): the whole frames before the cut are read.

    ``path`` is the file, ``line`` the 1-based line where the cut frame
    falls short and ``frames`` the number of whole frames read."""

    def __init__(self, path, line, frames, reason):
        self.path = os.fspath(path)
        self.line = line
        self.frames = frames
        self.reason = reason
        super().__init__(f"{self.path}, line {line}: the file is cut short in frame {frames + 1} ({reason}); "
                         f"read the {frames} whole frame{'s' * (frames != 1)} before it")

    def __reduce__(self):
        return type(self), (self.path, self.line, self.frames, self.reason)


def cut_short(error, lines, frames, strict):
    """Called in the handler of a FormatError met inside frame frames + 1 of
    a trajectory: when the file simply ends there (a truncation error, or a
    faulty last line that lacks its line end), warns with a
    TruncatedTrajectoryWarning and returns; else, or with strict, re-raises
    the error."""
    reason = getattr(error, "truncation", None)
    if reason is None and error.line == lines.lineno and lines.ends_cut():
        reason = f"its last line is cut: {error.reason}"
    if strict or reason is None:
        raise error
    warnings.warn(TruncatedTrajectoryWarning(error.path, error.line, frames, reason), stacklevel=4)
