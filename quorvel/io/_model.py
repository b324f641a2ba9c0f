"""The data model of the readers and writers: Structure and Trajectory."""

import dataclasses

import numpy as np

from .._checks import three_bools


@dataclasses.dataclass(eq=False)
class Structure:
    """One atomic configuration.

    cell       (3, 3) float64, the lattice vectors as rows, in Å (all zero when
               the file gives no cell, as a plain XYZ file)
    positions  (N, 3) float64, Cartesian, in Å
    symbols    list of N str, the species of each atom. A POSCAR file in the
               old format that names no species gets "X1", "X2", ...
    pbc        three bools, periodic along each lattice vector
    fixed      (N, 3) bool or None: the selective-dynamics flags, True where the
               file says "F" (the coordinate is held fixed), False for "T";
               None when the file has no selective dynamics
    comment    the comment line, without its line ending
    info       dict of per-frame values (an extended XYZ comment's energy,
               stress, config_type, ...): int, float, bool, str or 1-D arrays
    arrays     dict of per-atom values, name -> array of shape (N,) or
               (N, count), float64, int64, bool or str (an extended XYZ
               file's forces, charges, masks, ...)
    """

    cell: np.ndarray
    positions: np.ndarray
    symbols: list
    pbc: tuple = (True, True, True)
    fixed: np.ndarray | None = None
    comment: str = ""
    info: dict = dataclasses.field(default_factory=dict)
    arrays: dict = dataclasses.field(default_factory=dict)

    def __post_init__(self):
        self.cell = np.array(self.cell, dtype=np.float64)
        if self.cell.shape != (3, 3):
            raise ValueError(f"cell must have shape (3, 3), not {self.cell.shape}")
        self.positions = np.asarray(self.positions, dtype=np.float64)
        if self.positions.ndim != 2 or self.positions.shape[1] != 3:
            raise ValueError(f"positions must have shape (N, 3), not {self.positions.shape}")
        n = len(self.positions)
        self.symbols = list(self.symbols)
        if len(self.symbols) != n:
            raise ValueError(f"{len(self.symbols)} symbols for {n} atoms")
        self.pbc = three_bools(self.pbc)
        if self.fixed is not None:
            self.fixed = np.asarray(self.fixed, dtype=bool)
            if self.fixed.shape != (n, 3):
                raise ValueError(f"fixed must have shape ({n}, 3), not {self.fixed.shape}")
        self.comment = str(self.comment)
        self.info = dict(self.info)
        self.arrays = {name: _per_atom(name, a, n) for name, a in dict(self.arrays).items()}

    @classmethod
    def _checked(cls, cell, positions, symbols, pbc, comment, info, arrays):
        """A Structure from values a reader has already checked: cell a new
        (3, 3) float64 array, positions (N, 3) float64, symbols a list of N
        str, pbc three bools, arrays as __post_init__ leaves them."""
        s = cls.__new__(cls)
        s.__dict__.update(cell=cell, positions=positions, symbols=symbols, pbc=pbc, fixed=None, comment=comment,
                          info=info, arrays=arrays)
        return s

    def __setstate__(self, state):
        # Pickles made before info and arrays existed lack them.
        state.setdefault("info", {})
        state.setdefault("arrays", {})
        self.__dict__.update(state)

    def __len__(self):
        return len(self.positions)

    def scaled_positions(self):
        """Positions as fractions of the lattice vectors, (N, 3)."""
        return np.linalg.solve(self.cell.T, self.positions.T).T

    def __eq__(self, other):
        if not isinstance(other, Structure):
            return NotImplemented
        return (_same(self.cell, other.cell) and _same(self.positions, other.positions)
                and self.symbols == other.symbols and self.pbc == other.pbc
                and _same(self.fixed, other.fixed) and self.comment == other.comment
                and same_values(self.info, other.info) and same_values(self.arrays, other.arrays))


@dataclasses.dataclass(eq=False)
class Trajectory:
    """F frames of the same N atoms, as an XDATCAR file holds them.

    cells             (F, 3, 3) float64, each frame's lattice vectors in Å
    scaled_positions  (F, N, 3) float64, fractional coordinates as in the file
    symbols           list of N str
    pbc               three bools
    comment           the comment line of the (first) header

    ``positions`` gives the Cartesian (F, N, 3) array; ``traj[k]`` and
    iteration give the frames as :class:`Structure`.
    """

    cells: np.ndarray
    scaled_positions: np.ndarray
    symbols: list
    pbc: tuple = (True, True, True)
    comment: str = ""

    def __post_init__(self):
        self.scaled_positions = np.asarray(self.scaled_positions, dtype=np.float64)
        if self.scaled_positions.ndim != 3 or self.scaled_positions.shape[2] != 3:
            raise ValueError(f"scaled_positions must have shape (F, N, 3), not {self.scaled_positions.shape}")
        f, n, _ = self.scaled_positions.shape
        cells = np.asarray(self.cells, dtype=np.float64)
        if cells.shape == (3, 3):
            cells = np.repeat(cells[None], f, axis=0)
        if cells.shape != (f, 3, 3):
            raise ValueError(f"cells must have shape ({f}, 3, 3) or (3, 3), not {cells.shape}")
        self.cells = cells
        self.symbols = list(self.symbols)
        if len(self.symbols) != n:
            raise ValueError(f"{len(self.symbols)} symbols for {n} atoms")
        self.pbc = three_bools(self.pbc)
        self.comment = str(self.comment)

    def __len__(self):
        return len(self.scaled_positions)

    @property
    def positions(self):
        """Cartesian positions, (F, N, 3), in Å."""
        return np.matmul(self.scaled_positions, self.cells)

    def __getitem__(self, k):
        k = range(len(self))[k]
        return Structure(self.cells[k], self.scaled_positions[k] @ self.cells[k], self.symbols,
                         self.pbc, None, self.comment)

    def __iter__(self):
        for k in range(len(self)):
            yield self[k]

    def __eq__(self, other):
        if not isinstance(other, Trajectory):
            return NotImplemented
        return (_same(self.cells, other.cells) and _same(self.scaled_positions, other.scaled_positions)
                and self.symbols == other.symbols and self.pbc == other.pbc and self.comment == other.comment)


def _same(a, b):
    if a is None or b is None:
        return a is None and b is None
    return a.shape == b.shape and bool(np.array_equal(a, b, equal_nan=a.dtype.kind == "f"))


_DTYPES = {"f": np.float64, "i": np.int64, "u": np.int64, "b": np.bool_}


def _per_atom(name, a, n):
    """a as a per-atom array of n rows: float64, int64, bool or str."""
    a = np.asarray(a)
    kind = a.dtype.kind
    if kind in _DTYPES:
        a = a.astype(_DTYPES[kind], copy=False)
    elif kind != "U":
        raise ValueError(f"array {name!r} must hold reals, integers, logicals or strings, not {a.dtype}")
    if a.ndim not in (1, 2) or len(a) != n:
        raise ValueError(f"array {name!r} must have shape ({n},) or ({n}, count), not {a.shape}")
    return a


def _same_value(a, b):
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        return (isinstance(a, np.ndarray) and isinstance(b, np.ndarray) and a.dtype.kind == b.dtype.kind
                and _same(a, b))
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return a == b or (a != a and b != b)
    return a == b


def same_values(a, b):
    """Dicts with the same keys whose values have the same type and value
    (arrays: dtype kind, shape and elements; NaN equal to NaN)."""
    return a.keys() == b.keys() and all(_same_value(a[k], b[k]) for k in a)
