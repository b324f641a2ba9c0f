"""The binding rules shared by both modules, exercised through the real functions:
module set-up, argument binding, conversion rules and their exact messages,
result arrays and the exception boundary."""

import inspect
import numpy as np
import pytest

from quorvel import _ledgra, _proxor

from support import INSTALLED_AT, SUBINTERPRETER_HELPER, run_python

NL = _proxor.primitive_neighbor_list_rs
NL_RADII = _proxor.primitive_neighbor_list_radii_rs
NL_DICT = _proxor.primitive_neighbor_list_dict_rs

PBC = [True, True, True]
CELL = np.eye(3) * 5.0
POS = np.array([[0.0, 0.0, 0.0], [1.0, 0.5, 0.25], [4.5, 4.0, 0.5]])


def test_modules_come_from_the_installed_build():
    for module in (_proxor, _ledgra):
        assert module.__file__.startswith(INSTALLED_AT)
        assert module.__file__.endswith(".so")


@pytest.mark.parametrize("module, names", [
    (_proxor, ["primitive_neighbor_list_rs", "primitive_neighbor_list_radii_rs",
               "primitive_neighbor_list_dict_rs"]),
    (_ledgra, ["parse_poscar_positions_rs", "format_poscar_positions_rs", "parse_xdatcar_coords_rs",
               "format_xdatcar_config_rs", "parse_xyz_block_rs", "format_xyz_block_rs"]),
])
def test_module_definition(module, names):
    assert module.__all__ == names
    assert module.__doc__ == ""
    for name in names:
        fn = getattr(module, name)
        assert fn.__name__ == name
        assert fn.__self__ is module
        assert fn.__module__ == module.__name__
        assert fn.__text_signature__.startswith("(")
        assert not fn.__doc__.startswith(name)


@pytest.mark.parametrize("name", ["quorvel._proxor", "quorvel._ledgra"])
def test_reimport_gives_the_same_module_and_functions(name):
    result = run_python(f"""
        import importlib, sys
        m1 = importlib.import_module({name!r})
        f1 = [getattr(m1, n) for n in m1.__all__]
        del sys.modules[{name!r}]
        m2 = importlib.import_module({name!r})
        assert m2 is m1, "a second module object"
        assert [getattr(m2, n) for n in m2.__all__] == f1
        assert len(m2.__all__) == len(set(m2.__all__))
        importlib.reload(m2)
        assert m2.__all__ == m1.__all__ and len(m2.__all__) == len(f1)
        print("ok")
    """)
    assert result.stdout.strip() == "ok", result.stderr


def test_import_does_not_import_numpy():
    result = run_python("""
        import sys
        import quorvel._proxor, quorvel._ledgra
        assert 'numpy' not in sys.modules
        quorvel._ledgra.format_xdatcar_config_rs  # attribute access still needs no numpy
        assert 'numpy' not in sys.modules
        try:
            quorvel._ledgra.parse_xdatcar_coords_rs("x")
        except TypeError:
            pass
        assert 'numpy' not in sys.modules, "a list-rule failure needs no numpy"
        quorvel._ledgra.parse_xdatcar_coords_rs([])
        assert 'numpy' in sys.modules
        print("ok")
    """)
    assert result.stdout.strip() == "ok", result.stderr


def test_second_interpreter_is_refused():
    result = run_python(SUBINTERPRETER_HELPER + """
import quorvel._proxor, quorvel._ledgra
for name in ("quorvel._proxor", "quorvel._ledgra"):
    error = run_in_subinterpreter(f"import {name}")
    assert error is not None, f"{name} imported in a second interpreter"
    assert "ImportError" in error and "sub-interpreters" in error, error
print("ok")
""")
    assert result.stdout.strip() == "ok", result.stderr


def test_only_one_interpreter_ever_gets_the_module():
    # Whichever interpreter initialises the module first keeps it; Python 3.13
    # runs single-phase initialisation in the main interpreter even for an
    # import from a sub-interpreter, older versions in the sub-interpreter.
    result = run_python(SUBINTERPRETER_HELPER + """
sub_error = run_in_subinterpreter("import quorvel._ledgra")
try:
    import quorvel._ledgra
    main_error = None
except ImportError as e:
    main_error = str(e)
assert (sub_error is None) != (main_error is None), (sub_error, main_error)
assert "sub-interpreters" in (sub_error or main_error)
print("ok")
""")
    assert result.stdout.strip() == "ok", result.stderr


SIGNATURES = [
    (NL, "(pbc, cell, positions, cutoff, self_interaction=False, use_scaled_positions=False, max_nbins=1000000)"),
    (NL_RADII, "(pbc, cell, positions, radii, self_interaction=False, use_scaled_positions=False, max_nbins=1000000)"),
    (NL_DICT, "(pbc, cell, positions, numbers, zi_keys, zj_keys, cutoff_vals, self_interaction=False, "
              "use_scaled_positions=False, max_nbins=1000000)"),
    (_ledgra.parse_poscar_positions_rs, "(lines, selective)"),
    (_ledgra.format_poscar_positions_rs, "(coord, flags=None)"),
    (_ledgra.parse_xdatcar_coords_rs, "(lines)"),
    (_ledgra.format_xdatcar_config_rs, "(scaled_positions, index)"),
    (_ledgra.parse_xyz_block_rs, "(lines)"),
    (_ledgra.format_xyz_block_rs, "(symbols, positions)"),
]


@pytest.mark.parametrize("fn, signature", SIGNATURES, ids=lambda v: getattr(v, "__name__", ""))
def test_text_signatures(fn, signature):
    assert str(inspect.signature(fn)) == signature
    for p in inspect.signature(fn).parameters.values():
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD


@pytest.mark.parametrize("fn, nargs, message", [
    (NL, 8, "primitive_neighbor_list_rs() takes from 4 to 7 positional arguments but 8 were given"),
    (NL_DICT, 11, "primitive_neighbor_list_dict_rs() takes from 7 to 10 positional arguments but 11 were given"),
    (_ledgra.parse_xyz_block_rs, 2, "parse_xyz_block_rs() takes 1 positional arguments but 2 were given"),
    (_ledgra.format_poscar_positions_rs, 3,
     "format_poscar_positions_rs() takes from 1 to 2 positional arguments but 3 were given"),
    (_ledgra.format_xdatcar_config_rs, 3, "format_xdatcar_config_rs() takes 2 positional arguments but 3 were given"),
])
def test_too_many_positional_arguments(fn, nargs, message):
    with pytest.raises(TypeError) as info:
        fn(*([None] * nargs))
    assert str(info.value) == message


@pytest.mark.parametrize("call, message", [
    (lambda: NL(PBC, CELL), "primitive_neighbor_list_rs() missing 2 required positional arguments: "
                            "'positions' and 'cutoff'"),
    (lambda: NL(PBC), "primitive_neighbor_list_rs() missing 3 required positional arguments: "
                      "'cell', 'positions', and 'cutoff'"),
    (lambda: NL(cutoff=1.0), "primitive_neighbor_list_rs() missing 3 required positional arguments: "
                             "'pbc', 'cell', and 'positions'"),
    (lambda: NL(PBC, positions=POS), "primitive_neighbor_list_rs() missing 2 required positional arguments: "
                                     "'cell' and 'cutoff'"),
    (lambda: _ledgra.parse_xyz_block_rs(), "parse_xyz_block_rs() missing 1 required positional argument: 'lines'"),
    (lambda: _ledgra.format_xyz_block_rs(), "format_xyz_block_rs() missing 2 required positional arguments: "
                                            "'symbols' and 'positions'"),
    (lambda: _ledgra.parse_xyz_block_rs(["x"], lines=["y"]),
     "parse_xyz_block_rs() got multiple values for argument 'lines'"),
    (lambda: _ledgra.parse_xyz_block_rs(line=["y"]), "parse_xyz_block_rs() got an unexpected keyword argument 'line'"),
    (lambda: NL(PBC, CELL, POS, 1.0, pbc=PBC), "primitive_neighbor_list_rs() got multiple values for argument 'pbc'"),
    (lambda: NL(PBC, CELL, POS, 1.0, max_nbins=1, max_nbins_=1),
     "primitive_neighbor_list_rs() got an unexpected keyword argument 'max_nbins_'"),
])
def test_binding_faults(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert info.value.__cause__ is None


def test_unexpected_keyword_is_reported_before_missing_arguments():
    with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
        NL(bogus=1)


def test_all_parameters_by_keyword():
    kw = dict(pbc=PBC, cell=CELL, positions=POS, cutoff=2.0, self_interaction=False,
              use_scaled_positions=False, max_nbins=1000)
    by_keyword = NL(**dict(reversed(list(kw.items()))))
    by_position = NL(*kw.values())
    for a, b in zip(by_keyword, by_position):
        np.testing.assert_array_equal(a, b)


def _nl_error(**changes):
    args = dict(pbc=PBC, cell=CELL, positions=POS, cutoff=2.0)
    args.update(changes)
    return lambda: NL(**args)


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class TypeErrorWithCause:
    def __float__(self):
        try:
            raise KeyError("inner")
        except KeyError as e:
            raise TypeError("no float here") from e


class RaisesValueError:
    def __float__(self):
        raise ValueError("refused")

    def __index__(self):
        raise ValueError("refused")


@pytest.mark.parametrize("call, exc, message", [
    # boolean rule
    (_nl_error(self_interaction=1), TypeError, "argument 'self_interaction': 'int' object cannot be converted to 'PyBool'"),
    (_nl_error(self_interaction=None), TypeError,
     "argument 'self_interaction': 'NoneType' object cannot be converted to 'PyBool'"),
    (_nl_error(use_scaled_positions=np.int64(1)), TypeError,
     "argument 'use_scaled_positions': 'int64' object cannot be converted to 'PyBool'"),
    # three booleans
    (_nl_error(pbc=(1, 0, 1)), TypeError, "argument 'pbc': 'int' object cannot be converted to 'PyBool'"),
    (_nl_error(pbc=[True, True]), ValueError, "expected a sequence of length 3 (got 2)"),
    (_nl_error(pbc=[True] * 4), ValueError, "expected a sequence of length 3 (got 4)"),
    (_nl_error(pbc=True), TypeError, "argument 'pbc': 'bool' object cannot be converted to 'Sequence'"),
    (_nl_error(pbc="TTT"), TypeError, "argument 'pbc': 'str' object cannot be converted to 'PyBool'"),
    (_nl_error(pbc={True, False, 1}), TypeError, "argument 'pbc': 'set' object cannot be converted to 'Sequence'"),
    (_nl_error(pbc=[True, False, None]), TypeError, "argument 'pbc': 'NoneType' object cannot be converted to 'PyBool'"),
    # double rule
    (_nl_error(cutoff="5"), TypeError, "argument 'cutoff': must be real number, not str"),
    (_nl_error(cutoff=None), TypeError, "argument 'cutoff': must be real number, not NoneType"),
    (_nl_error(cutoff=10 ** 400), OverflowError, "int too large to convert to float"),
    (_nl_error(cutoff=RaisesValueError()), ValueError, "refused"),
    # unsigned rule
    (_nl_error(max_nbins=-1), OverflowError, "can't convert negative int to unsigned"),
    (_nl_error(max_nbins=2 ** 64), OverflowError, "int too big to convert"),
    (_nl_error(max_nbins=1e6), TypeError, "argument 'max_nbins': 'float' object cannot be interpreted as an integer"),
    (_nl_error(max_nbins=None), TypeError,
     "argument 'max_nbins': 'NoneType' object cannot be interpreted as an integer"),
    (_nl_error(max_nbins=RaisesValueError()), ValueError, "refused"),
    # array rule
    (_nl_error(cell=[[5.0, 0, 0], [0, 5.0, 0], [0, 0, 5.0]]), TypeError,
     "argument 'cell': 'list' object cannot be converted to 'PyArray<T, D>'"),
    (_nl_error(cell=np.eye(3, dtype=np.int64)), TypeError,
     "argument 'cell': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    (_nl_error(cell=np.eye(3, dtype=np.float32)), TypeError,
     "argument 'cell': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    (_nl_error(cell=np.eye(3).astype(">f8")), TypeError,
     "argument 'cell': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    (_nl_error(positions=POS.ravel()), TypeError,
     "argument 'positions': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    (_nl_error(positions=POS[None]), TypeError,
     "argument 'positions': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    (_nl_error(positions=np.float64(1.0)), TypeError,
     "argument 'positions': 'float64' object cannot be converted to 'PyArray<T, D>'"),
    # only the first bad argument, in parameter order, is reported
    (_nl_error(pbc=None, cutoff="bad"), TypeError, "argument 'pbc': 'NoneType' object cannot be converted to 'Sequence'"),
    (_nl_error(cutoff="bad", self_interaction=None), TypeError, "argument 'cutoff': must be real number, not str"),
])
def test_conversion_faults(call, exc, message):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value) is exc
    assert str(info.value) == message


def test_prefixed_error_keeps_the_cause():
    with pytest.raises(TypeError) as info:
        NL(PBC, CELL, POS, TypeErrorWithCause())
    assert str(info.value) == "argument 'cutoff': no float here"
    assert isinstance(info.value.__cause__, KeyError)


@pytest.mark.parametrize("changes", [
    dict(pbc=(True, True, True)),
    dict(pbc=np.array([True, True, True])),
    dict(pbc=[np.True_, np.bool_(True), True]),
    dict(cutoff=2),
    dict(cutoff=np.float64(2.0)),
    dict(cutoff=Floaty(2.0)),
    dict(max_nbins=np.uint8(200)),
    dict(self_interaction=np.False_),
])
def test_accepted_argument_forms(changes):
    expected = NL(PBC, CELL, POS, 2.0)
    got = _nl_error(**changes)()
    for a, b in zip(got, expected):
        np.testing.assert_array_equal(a, b)


def test_max_nbins_true_is_one():
    one = NL(PBC, CELL, POS, 2.0, max_nbins=1)
    true = NL(PBC, CELL, POS, 2.0, max_nbins=True)
    for a, b in zip(one, true):
        np.testing.assert_array_equal(a, b)


def _layouts(a):
    """The same logical array in other memory layouts."""
    yield "fortran", np.asfortranarray(a)
    yield "transposed", np.ascontiguousarray(a.T).T
    yield "reversed", np.ascontiguousarray(a[::-1])[::-1]
    padded = np.zeros((a.shape[0] * 2, a.shape[1] + 2))
    padded[::2, 1:-1] = a
    yield "sliced", padded[::2, 1:-1]
    readonly = a.copy()
    readonly.flags.writeable = False
    yield "readonly", readonly


@pytest.mark.parametrize("which", ["cell", "positions"])
def test_arrays_are_read_by_logical_index(which):
    rng = np.random.default_rng(7)
    cell = np.array([[5.0, 0.3, 0.0], [0.2, 4.0, 0.1], [0.0, -0.4, 6.0]])
    positions = rng.uniform(-1, 6, (30, 3))
    expected = NL(PBC, cell, positions, 2.5)
    for layout, arr in _layouts(cell if which == "cell" else positions):
        args = dict(cell=cell, positions=positions)
        args[which] = arr
        got = NL(PBC, args["cell"], args["positions"], 2.5)
        for a, b in zip(got, expected):
            np.testing.assert_array_equal(a, b, err_msg=layout)


def test_zero_stride_arrays_are_read():
    cell = np.eye(3) * 4.0
    positions = np.broadcast_to(np.array([[0.5, 0.5, 0.5]]), (2, 3))
    assert positions.strides[0] == 0
    i, j, d, D, S = NL([False] * 3, cell, positions, 1.0)
    np.testing.assert_array_equal(i, [0, 1])
    np.testing.assert_array_equal(d, [0.0, 0.0])


def test_result_arrays_are_fresh_and_writeable():
    inputs = (CELL.copy(), POS.copy())
    results = NL(PBC, inputs[0], inputs[1], 3.0)
    assert len(results[0]) > 0
    dtypes = [np.int64, np.int64, np.float64, np.float64, np.int64]
    for k, (arr, dtype) in enumerate(zip(results, dtypes)):
        assert arr.dtype == dtype
        assert arr.flags.writeable and arr.flags.c_contiguous and not arr.flags.owndata
        assert arr.base is not None
        for other in list(inputs) + [r for q, r in enumerate(results) if q != k]:
            assert not np.shares_memory(arr, other)
    before = [r.copy() for r in results]
    results[3][:] = 99.0
    results[0][:] = -1
    np.testing.assert_array_equal(inputs[1], POS)
    for k in (1, 2, 4):
        np.testing.assert_array_equal(results[k], before[k])


@pytest.mark.parametrize("maker", [
    lambda: NL(PBC, CELL, np.zeros((0, 3)), 1.0),
    lambda: _ledgra.parse_xdatcar_coords_rs([]),
])
def test_empty_results_have_zero_strides(maker):
    result = maker()
    arrays = result if isinstance(result, tuple) else (result,)
    for arr in arrays:
        assert arr.size == 0
        assert all(s == 0 for s in arr.strides)
        assert arr.flags.writeable and arr.flags.c_contiguous


def test_results_outlive_everything_else():
    result = run_python("""
        import gc
        import numpy as np
        from quorvel._proxor import primitive_neighbor_list_rs as nl
        d = nl([True] * 3, np.eye(3) * 4.0, np.array([[0.0, 0, 0], [1.0, 0, 0]]), 2.0)[3]
        gc.collect()
        junk = [np.full(100000, 7.0) for _ in range(20)]
        print(d.tolist()[:2])
    """)
    assert result.stdout.strip() == "[[1.0, 0.0, 0.0], [-1.0, 0.0, 0.0]]", result.stderr


class TestPanicException:
    def _provoke(self):
        # A cell with fewer than three rows is an index fault.
        return NL(PBC, np.eye(3)[:2], POS, 1.0)

    def test_type(self, capfd):
        with pytest.raises(BaseException) as info:
            self._provoke()
        exc_type = type(info.value)
        assert exc_type.__name__ == "PanicException"
        assert exc_type.__module__ == "quorvel._proxor"
        assert exc_type.__bases__ == (BaseException,)
        assert not issubclass(exc_type, Exception)
        assert info.value.args == ("ndarray: index out of bounds",)
        assert "BaseException" in exc_type.__doc__ and "SystemExit" in exc_type.__doc__
        err = capfd.readouterr().err
        assert "ndarray: index out of bounds" in err and "panicked" in err

    def test_same_type_every_time_and_separate_per_module(self):
        first = TestPanicException._type_of(self._provoke)
        second = TestPanicException._type_of(self._provoke)
        assert first is second
        ledgra_type = TestPanicException._type_of(
            lambda: _ledgra.format_xyz_block_rs(["H"], np.zeros((1, 2))))
        assert ledgra_type.__name__ == "PanicException"
        assert ledgra_type.__module__ == "quorvel._ledgra"
        assert ledgra_type is not first

    @staticmethod
    def _type_of(fn):
        with pytest.raises(BaseException) as info:
            fn()
        return type(info.value)

    def test_not_caught_by_except_exception(self):
        caught = None
        try:
            try:
                self._provoke()
            except Exception:  # noqa: BLE001 - the point of the test
                caught = "Exception"
        except BaseException:
            caught = "BaseException"
        assert caught == "BaseException"


def test_routine_error_is_a_plain_value_error():
    with pytest.raises(ValueError) as info:
        NL(PBC, np.zeros((3, 3)), POS, 1.0)
    assert type(info.value) is ValueError
    assert info.value.args == ("Cell matrix is singular (det = 0.000e0). Cannot compute scaled positions.",)


def test_ctrl_c_interrupts_a_long_search():
    result = run_python("""
        import signal, time
        import numpy as np
        from quorvel._proxor import primitive_neighbor_list_rs as nl
        # Atoms spread far outside an open cell all land in its corner bins:
        # about 10^10 candidate tests that find no pair.
        cell = np.eye(3) * 10.0
        pos = np.random.default_rng(0).uniform(-1e6, 1e6, (400000, 3))
        # Ctrl-C raises KeyboardInterrupt even where the shell that started
        # the tests ignores SIGINT (a background job).
        signal.signal(signal.SIGINT, signal.default_int_handler)
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        signal.signal(signal.SIGALRM, lambda *a: signal.raise_signal(signal.SIGINT))
        start = time.monotonic()
        try:
            nl([False] * 3, cell, pos, 1.0)
        except KeyboardInterrupt:
            print("interrupted after %.2f s" % (time.monotonic() - start))
        else:
            print("finished after %.2f s" % (time.monotonic() - start))
        # The module keeps working afterwards.
        print(len(nl([True] * 3, np.eye(3) * 3.0, np.zeros((1, 3)), 2.0)[0]))
    """, timeout=120)
    lines = result.stdout.split("\n")
    assert lines[0].startswith("interrupted after"), result.stdout + result.stderr
    assert float(lines[0].split()[2]) < 2.5
    assert lines[1] == "0"


def _lines_error(value):
    return lambda: _ledgra.parse_xdatcar_coords_rs(value)


class IndexRaises:
    def __index__(self):
        raise ValueError("no index")


class BadSequence:
    """A sequence whose iteration fails half-way."""
    def __len__(self):
        return 3

    def __getitem__(self, k):
        if k == 1:
            raise LookupError("broken item")
        return "0 0 0"


@pytest.mark.parametrize("call, exc, message", [
    (_lines_error("0 0 0"), TypeError, "argument 'lines': Can't extract `str` to `Vec`"),
    (_lines_error(l for l in ["0 0 0"]), TypeError, "argument 'lines': 'generator' object cannot be converted to 'Sequence'"),
    (_lines_error(iter(["0 0 0"])), TypeError, "argument 'lines': 'list_iterator' object cannot be converted to 'Sequence'"),
    (_lines_error({"0 0 0": 1}), TypeError, "argument 'lines': 'dict' object cannot be converted to 'Sequence'"),
    (_lines_error(None), TypeError, "argument 'lines': 'NoneType' object cannot be converted to 'Sequence'"),
    (_lines_error([b"0 0 0"]), TypeError, "argument 'lines': 'bytes' object cannot be converted to 'PyString'"),
    (_lines_error(b"0 0 0"), TypeError, "argument 'lines': 'int' object cannot be converted to 'PyString'"),
    (_lines_error(["0 0 0", 1]), TypeError, "argument 'lines': 'int' object cannot be converted to 'PyString'"),
    (_lines_error(["0 0 \ud800"]), UnicodeEncodeError, None),
    (_lines_error(BadSequence()), LookupError, "broken item"),
    (lambda: NL_DICT(PBC, CELL, POS, np.ones(3, np.int64), "12", [1], [1.0]), TypeError,
     "argument 'zi_keys': Can't extract `str` to `Vec`"),
    (lambda: NL_DICT(PBC, CELL, POS, np.ones(3, np.int64), [1.5], [1], [1.0]), TypeError,
     "argument 'zi_keys': 'float' object cannot be interpreted as an integer"),
    (lambda: NL_DICT(PBC, CELL, POS, np.ones(3, np.int64), [1], [2 ** 63], [1.0]), OverflowError,
     "Python int too large to convert to C long"),
    (lambda: NL_DICT(PBC, CELL, POS, np.ones(3, np.int64), [1], [IndexRaises()], [1.0]), ValueError, "no index"),
    (lambda: NL_DICT(PBC, CELL, POS, np.ones(3, np.int64), [1], [1], ["x"]), TypeError,
     "argument 'cutoff_vals': must be real number, not str"),
    (lambda: NL_DICT(PBC, CELL, POS, np.ones(3, np.int32), [1], [1], [1.0]), TypeError,
     "argument 'numbers': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    (lambda: NL_RADII(PBC, CELL, POS, [1.0, 1.0, 1.0]), TypeError,
     "argument 'radii': 'list' object cannot be converted to 'PyArray<T, D>'"),
    (lambda: _ledgra.format_xyz_block_rs(["H", 1], [[0.0, 0.0, 0.0]]), TypeError,
     "argument 'symbols': 'int' object cannot be converted to 'PyString'"),
    (lambda: _ledgra.format_poscar_positions_rs(np.zeros((1, 3)), np.zeros((1, 3), np.int64)), TypeError,
     "argument 'flags': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    (lambda: _ledgra.format_poscar_positions_rs(np.zeros((1, 3)), [[True] * 3]), TypeError,
     "argument 'flags': 'list' object cannot be converted to 'PyArray<T, D>'"),
    (lambda: _ledgra.parse_poscar_positions_rs([], 1), TypeError,
     "argument 'selective': 'int' object cannot be converted to 'PyBool'"),
    (lambda: _ledgra.format_xdatcar_config_rs(np.zeros((1, 3)), -1), OverflowError,
     "can't convert negative int to unsigned"),
    (lambda: _ledgra.format_xdatcar_config_rs(np.zeros((1, 3)), 1.0), TypeError,
     "argument 'index': 'float' object cannot be interpreted as an integer"),
])
def test_list_and_other_conversion_faults(call, exc, message):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message


class StrSubclass(str):
    pass


class ListSubclass(list):
    pass


@pytest.mark.parametrize("lines", [
    ("0.5 0.25 0",), ["0.5 0.25 0"], np.array(["0.5 0.25 0"]), [StrSubclass("0.5 0.25 0")],
    ListSubclass(["0.5 0.25 0"]), (StrSubclass("0.5 0.25 0"),),
])
def test_line_list_accepts_sequences_of_str(lines):
    np.testing.assert_array_equal(_ledgra.parse_xdatcar_coords_rs(lines), [[0.5, 0.25, 0.0]])


@pytest.mark.parametrize("empty", [[], (), b"", np.array([], dtype=str)])
def test_empty_sequences_give_empty_lists(empty):
    assert _ledgra.parse_xdatcar_coords_rs(empty).shape == (0, 3)


def test_integer_and_double_lists_accept_sequences():
    numbers = np.array([1, 8, 1], np.int64)
    base = NL_DICT(PBC, CELL, POS, numbers, [1], [8], [2.0])
    for zi, zj, vals in [(np.array([1]), (8,), np.array([2.0])), ((True,), [np.int64(8)], [2]),
                         (range(1, 2), bytes([8]), (np.float32(2.0),))]:
        got = NL_DICT(PBC, CELL, POS, numbers, zi, zj, vals)
        for a, b in zip(got, base):
            np.testing.assert_array_equal(a, b)


def test_flags_none_is_the_same_as_absent():
    coord = np.array([[0.5, -0.25, 0.0]])
    assert _ledgra.format_poscar_positions_rs(coord, None) == _ledgra.format_poscar_positions_rs(coord)
    assert _ledgra.format_poscar_positions_rs(coord, flags=None) == _ledgra.format_poscar_positions_rs(coord)


def test_index_accepts_integers_and_bools():
    block = _ledgra.format_xdatcar_config_rs
    pos = np.zeros((0, 3))
    assert block(pos, True) == "Direct configuration=     1\n"
    assert block(pos, np.int64(3)) == "Direct configuration=     3\n"
    assert block(pos, 2 ** 64 - 1) == "Direct configuration=%d\n" % (2 ** 64 - 1)
