"""The .pyi stubs of the native modules agree with their __text_signature__."""

import ast
import inspect
import os

import pytest

import quorvel._engine
import quorvel._ledgra
import quorvel._proxor
import quorvel._reader
from support import INSTALLED_AT


def stub_functions(module):
    path = os.path.join(INSTALLED_AT, module.__name__.rsplit(".", 1)[1] + ".pyi")
    tree = ast.parse(open(path).read())
    functions = {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}
    exported = next(node.value for node in tree.body if isinstance(node, ast.Assign)
                    and node.targets[0].id == "__all__")
    return functions, ast.literal_eval(exported)


def stub_parameters(node):
    args = node.args
    defaults = [None] * (len(args.args) - len(args.defaults)) + args.defaults
    return [(a.arg, inspect.Parameter.empty if d is None else ast.literal_eval(d))
            for a, d in zip(args.args, defaults)]


@pytest.mark.parametrize("module", [quorvel._proxor, quorvel._engine, quorvel._ledgra, quorvel._reader], ids=lambda m: m.__name__)
def test_stubs_match_text_signatures(module):
    functions, exported = stub_functions(module)
    assert exported == module.__all__
    assert sorted(functions) == sorted(module.__all__)
    for name in module.__all__:
        native = inspect.signature(getattr(module, name))
        stub = functions[name]
        assert [(p.name, p.default) for p in native.parameters.values()] == stub_parameters(stub), name
        assert all(p.kind == p.POSITIONAL_OR_KEYWORD for p in native.parameters.values())
        assert not stub.args.posonlyargs and not stub.args.kwonlyargs and stub.returns is not None
        assert all(a.annotation is not None for a in stub.args.args), name


def test_py_typed_is_installed():
    assert os.path.isfile(os.path.join(INSTALLED_AT, "py.typed"))
