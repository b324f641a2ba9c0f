"""FormatError: a file that does not follow its format, with its file line."""

import os


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
