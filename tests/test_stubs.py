"""The type stubs of velmor.unit7 against the compiled module: names, parameters, defaults,
documentation strings, the wheel's typing files, and results that fit the annotated return types.

The stub is read with ast and its annotations are evaluated here against real calls: every call
picks the first overload whose parameter annotations accept its arguments (binding the dtype
variables on the way), and the result must fit that overload's return annotation. So an
overload that promises float32 for float32 input is held to it, as is every plain float64.
"""

import ast
import inspect
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import velmor
from velmor import unit7

STUB = pathlib.Path(velmor.__file__).with_name("unit7.pyi")
TREE = ast.parse(STUB.read_text(), filename=str(STUB))
FUNCTIONS = [
    "make_ssm", "audio_to_ssm", "make_checkerboard", "make_2d_gaussian", "diagonal_novelty",
    "diagonal_slide", "find_region_peaks", "make_lag_matrix", "thresh_and_scale",
    "diagonal_smoothing", "make_derivative_kernel", "column_derivative", "pos_neg_split", "calc_prf",
]


def stub_defs(name):
    """Every top-level def of ``name`` in the stub, overloads in order."""
    return [n for n in TREE.body if isinstance(n, ast.FunctionDef) and n.name == name]


def stub_names():
    names = set()
    for node in TREE.body:
        if isinstance(node, ast.FunctionDef):
            names.add(node.name)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets if isinstance(t, ast.Name))
        elif isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
        elif isinstance(node, ast.ImportFrom):
            # only the explicit re-exports (``import x as x``) belong to the module's namespace
            names.update(a.asname for a in node.names if a.asname == a.name)
    return {n for n in names if not n.startswith("_") or n == "__test__"}


def test_the_wheel_ships_the_stub_and_the_marker_beside_the_extension():
    package = pathlib.Path(velmor.__file__).parent
    assert (package / "py.typed").is_file()
    assert STUB.is_file()
    assert pathlib.Path(unit7.__file__).parent == package


def test_stub_names_are_the_module_namespace():
    runtime = {k for k in vars(unit7) if not k.startswith("__") or k == "__test__"}
    assert stub_names() == runtime


@pytest.mark.parametrize("name", FUNCTIONS)
def test_stub_signature_is_the_runtime_signature(name):
    runtime = inspect.signature(getattr(unit7, name))
    defs = stub_defs(name)
    assert defs, f"{name} missing from the stub"
    for node in defs:
        a = node.args
        assert not (a.posonlyargs or a.kwonlyargs or a.vararg or a.kwarg)
        assert [p.arg for p in a.args] == list(runtime.parameters)
        # defaults align with the last parameters, as in Python
        stub_defaults = [ast.literal_eval(d) for d in a.defaults]
        runtime_defaults = [p.default for p in runtime.parameters.values() if p.default is not p.empty]
        assert stub_defaults == runtime_defaults
        assert [type(d) for d in stub_defaults] == [type(d) for d in runtime_defaults]
        assert all(p.annotation is not None for p in a.args) and node.returns is not None
    assert len(defs) == 1 or all(
        any(isinstance(d, ast.Name) and d.id == "overload" for d in n.decorator_list) for n in defs)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_stub_docstring_is_the_runtime_docstring(name):
    # editors show the stub's text (of the overload they pick); it must be the module's own
    for node in stub_defs(name):
        assert ast.get_docstring(node, clean=False) == getattr(unit7, name).__doc__


# --- evaluating the stub's annotations against values -------------------------------------------

ALIASES = {t.targets[0].id: t.value for t in TREE.body
           if isinstance(t, ast.Assign) and isinstance(t.targets[0], ast.Name) and t.targets[0].id.startswith("_")
           and not (isinstance(t.value, ast.Call))}
TYPEVARS = {t.targets[0].id: t.value.keywords[0].value for t in TREE.body
            if isinstance(t, ast.Assign) and isinstance(t.value, ast.Call)
            and isinstance(t.value.func, ast.Name) and t.value.func.id == "TypeVar"}
SCALARS = {"bool": np.bool_, "integer": np.integer, "floating": np.floating, "float64": np.float64,
           "intp": np.intp, "generic": np.generic}


def base(node):
    return node.value if isinstance(node, ast.Subscript) else node


def name_of(node):
    node = base(node)
    return node.attr if isinstance(node, ast.Attribute) else node.id


def union(node):
    if isinstance(node, ast.BinOp) and isinstance(node.op, ast.BitOr):
        return union(node.left) + union(node.right)
    return [node]


def scalar_fits(t, node, bound):
    """Whether numpy scalar type ``t`` fits the dtype annotation ``node``, binding type variables."""
    if len(union(node)) > 1:
        return any(scalar_fits(t, n, bound) for n in union(node))
    key = name_of(node)
    if key in ALIASES:
        return scalar_fits(t, ALIASES[key], bound)
    if key in TYPEVARS:
        if key not in bound and scalar_fits(t, TYPEVARS[key], bound):
            bound[key] = t
        return bound.get(key) is t
    return key == "Any" or issubclass(t, SCALARS[key])


def fits(value, node, bound):
    """Whether ``value`` fits the annotation ``node`` (parameters and results alike); the type
    variables that a fitting alternative binds are added to ``bound``."""
    if len(union(node)) > 1:
        for alternative in union(node):
            trial = dict(bound)
            if fits(value, alternative, trial):
                bound.update(trial)
                return True
        return False
    key = name_of(node)
    if key in ALIASES:
        return fits(value, ALIASES[key], bound)
    args = node.slice.elts if isinstance(node, ast.Subscript) and isinstance(node.slice, ast.Tuple) else (
        [node.slice] if isinstance(node, ast.Subscript) else [])
    if key == "NDArray":
        return isinstance(value, np.ndarray) and scalar_fits(value.dtype.type, args[0], bound)
    if key == "tuple":
        return (type(value) is tuple and len(value) == len(args)
                and all(fits(v, a, bound) for v, a in zip(value, args)))
    if key == "Sequence":
        return isinstance(value, (list, tuple))
    if key == "float":
        return type(value) in (float, int)
    if key == "bool":
        return type(value) is bool
    if key == "SupportsIndex":
        return hasattr(type(value), "__index__")
    raise AssertionError(f"annotation {ast.unparse(node)} not understood here")


def check_call(name, *args):
    """Call ``name`` and check the result against the first overload that accepts the arguments."""
    result = getattr(unit7, name)(*args)
    for node in stub_defs(name):
        bound = {}
        if all(fits(v, p.annotation, bound) for v, p in zip(args, node.args.args)):
            assert fits(result, node.returns, bound), (
                f"{name}{tuple(type(a).__name__ for a in args)} returned {type(result).__name__} "
                f"{getattr(result, 'dtype', '')}, stub says {ast.unparse(node.returns)} with {bound}")
            return
    raise AssertionError(f"no overload of {name} accepts {[type(a).__name__ for a in args]}")


def blocks(dtype=np.float64):
    return np.kron(np.eye(2), np.ones((4, 4))).astype(dtype)


TONE = np.sin(2 * np.pi * 440.0 * np.arange(22050) / 22050.0)

CALLS = [
    ("make_ssm", (np.ones((12, 5)),)),
    ("make_ssm", (np.ones((12, 5), dtype=np.float32),)),
    ("make_ssm", (np.ones((12, 5), dtype=np.int32),)),
    ("make_ssm", (np.ones((12, 5), dtype=bool),)),
    ("audio_to_ssm", (TONE, 11, 5)),
    ("audio_to_ssm", (list(TONE[:8192]), 11, 5, 2048)),
    ("thresh_and_scale", (blocks(), 0.5)),
    ("thresh_and_scale", (blocks(np.float32), 0.5)),
    ("thresh_and_scale", (blocks(np.int64), 0)),
    ("thresh_and_scale", (blocks(bool), 0.25)),
    ("make_lag_matrix", (blocks(),)),
    ("make_lag_matrix", (blocks(np.int32),)),
    ("diagonal_smoothing", (blocks(), 3)),
    ("diagonal_smoothing", (blocks(np.float32), np.int64(2))),
    ("make_checkerboard", (4,)),
    ("make_checkerboard", (5, False, False)),
    ("make_2d_gaussian", (5,)),
    ("make_2d_gaussian", (4, 2.0)),
    ("diagonal_slide", (blocks(), unit7.make_checkerboard(4))),
    ("diagonal_slide", (blocks(np.int8), np.ones((3, 3), dtype=np.float32))),
    ("diagonal_novelty", (blocks(), 4)),
    ("diagonal_novelty", (blocks(bool), 2)),
    ("make_derivative_kernel", (3, 4)),
    ("column_derivative", (blocks(), 4)),
    ("column_derivative", (blocks(np.float32), 3)),
    ("find_region_peaks", (np.array([1, 3, 2, 4, 1, 0, 2, 1.0]), 3)),
    ("find_region_peaks", (np.zeros(6), 3)),  # no peak: the empty float64 array
    ("find_region_peaks", ([0.0, 1.0, 0.0], 3)),
    ("pos_neg_split", (np.array([1.0, 5.0, 9.0]), np.array([1.2, 9.3]), 0.5)),
    ("pos_neg_split", (np.array([1, 5, 9], dtype=np.int32), np.array([1.2, 9.3], dtype=np.float32), 1)),
    ("calc_prf", (np.array([1.0, 5.0, 9.0]), np.array([1.2, 9.3]), 0.5)),
    ("calc_prf", (np.array([1.0]), np.array([7.0]), 0.5)),  # no match: the constant zeros
]


@pytest.mark.parametrize("name, args", CALLS, ids=[f"{n}-{i}" for i, (n, _) in enumerate(CALLS)])
def test_results_fit_the_annotated_return_type(name, args):
    check_call(name, *args)


def test_every_function_is_called_above():
    assert {name for name, _ in CALLS} == set(FUNCTIONS)


@pytest.mark.parametrize("name, args, stub_says", [
    # a stub that lied would let these through; the checker above must catch them
    ("calc_prf", (np.array([1.0]), np.array([1.0]), 0.5), "tuple[float, float]"),
    ("make_ssm", (np.ones((2, 2), dtype=np.float32),), "NDArray[numpy.float64]"),
    ("find_region_peaks", (np.zeros(6), 3), "NDArray[numpy.intp]"),
])
def test_the_checker_rejects_a_wrong_return_type(name, args, stub_says):
    result = getattr(unit7, name)(*args)
    assert not fits(result, ast.parse(stub_says, mode="eval").body, {})


def test_the_typing_check_script_runs_as_written():
    # make typecheck holds its types; here its correct part must also work
    script = pathlib.Path(__file__).parent / "typing" / "user_script.py"
    proc = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr


@pytest.mark.parametrize("module", ["velmor.unit4", "velmor.features"])
def test_annotations_of_the_typed_modules_resolve_at_run_time(module):
    # tools that read annotations while running (typeguard, beartype, Sphinx) need every name
    import importlib
    import typing

    mod = importlib.import_module(module)
    for name in mod.__all__:
        obj = getattr(mod, name)
        hints = typing.get_type_hints(obj)
        assert "return" in hints or inspect.isclass(obj)


def test_the_band_stub_matches_the_native_loops():
    """_band's stub (the banded road's loops) names its functions and their parameters as the
    module's own signature lines do; the loops take positional arguments only."""
    from velmor import _band

    tree = ast.parse(pathlib.Path(velmor.__file__).with_name("_band.pyi").read_text())
    stubbed = {n.name: n.args for n in tree.body if isinstance(n, ast.FunctionDef)}
    assert set(stubbed) == {k for k, v in vars(_band).items() if callable(v) and not k.startswith("_")}
    for name, args in stubbed.items():
        assert not (args.args or args.kwonlyargs or args.vararg or args.kwarg)
        # the documentation string opens with the signature: "band(features, weights, out, first=0): ..."
        listed = getattr(_band, name).__doc__.split("(", 1)[1].split(")", 1)[0].split(", ")
        defaults = [ast.literal_eval(d) for d in args.defaults]
        params = [a.arg for a in args.posonlyargs]
        written = params[:len(params) - len(defaults)] + [f"{p}={d!r}" for p, d in
                                                           zip(params[len(params) - len(defaults):], defaults)]
        assert written == listed
        with pytest.raises(TypeError):
            getattr(_band, name)(**{p: None for p in params})
