"""The function objects as Python sees them: attributes, code objects, binding, pickling, tracebacks."""

import inspect
import json
import pathlib
import pickle
import subprocess
import sys

import numpy as np
import pytest

from velmor import unit7
from test_binder import NAMES, TABLE

DOCS = json.loads((pathlib.Path(__file__).parent / "data" / "docstrings.json").read_text())

LOCALS = {
    "make_ssm": (),
    "audio_to_ssm": ("hop_size", "chroma", "ff"),
    "make_checkerboard": ("cb_hlen", "out"),
    "make_2d_gaussian": ("hlen", "x", "y"),
    "diagonal_novelty": ("cb",),
    "diagonal_slide": ("k_len", "k_hlen", "ssm_len", "pad_ssm", "out", "n"),
    "find_region_peaks": ("peaks", "hw", "x_len", "n", "win", "is_bigger"),
    "make_lag_matrix": ("out", "c"),
    "thresh_and_scale": ("out",),
    "diagonal_smoothing": ("n", "out", "win", "r", "diag_len", "di1", "di2", "filt", "filt_beg"),
    "make_derivative_kernel": ("x", "y", "kern"),
    "column_derivative": ("N", "out", "z", "kern", "n", "d"),
    "pos_neg_split": ("est_label", "ref_label", "ei", "e", "match", "hits"),
    "calc_prf": ("est_tp", "est_fp", "ref_tp", "ref_fn", "TP", "FP", "FN", "P", "R", "F"),
}


def test_namespace_order_and_contents():
    # other tests rebind names, which can move them; a fresh process shows the order of import
    out = subprocess.run(
        [sys.executable, "-c", "import velmor.unit7 as u; print(*[k for k in vars(u) if k[:2] != '__'])"],
        capture_output=True, text=True, check=True,
    ).stdout
    assert out.split() == ["np", "make_chromagram", "cens", *NAMES]
    assert unit7.np is np
    from velmor import unit4

    assert unit7.make_chromagram is unit4.make_chromagram and unit7.cens is unit4.cens
    assert unit7.__test__ == {} and unit7.__doc__ is None
    assert unit7.__builtins__ is __import__("builtins")
    assert unit7.__package__ == "velmor" and unit7.__name__ == "velmor.unit7"


@pytest.mark.parametrize("name", NAMES)
def test_attributes(name):
    f = getattr(unit7, name)
    params, defaults = TABLE[name]
    assert f.__name__ == f.__qualname__ == name
    assert f.__module__ == "velmor.unit7"
    assert f.__globals__ is vars(unit7)
    assert f.__closure__ is None and f.__kwdefaults__ is None
    assert f.__defaults__ == (defaults or None)
    assert [type(d) for d in f.__defaults__ or ()] == [type(d) for d in defaults]
    assert f.__annotations__ == {} and f.__dict__ == {}
    assert f.__doc__ == DOCS[name]
    assert repr(f).startswith(f"<function {name} at 0x")
    assert callable(f)


@pytest.mark.parametrize("name", NAMES)
def test_code_object(name):
    code = getattr(unit7, name).__code__
    params, _ = TABLE[name]
    assert code.co_varnames == params + LOCALS[name]
    assert code.co_argcount == len(params)
    assert code.co_posonlyargcount == code.co_kwonlyargcount == 0
    assert code.co_name == code.co_qualname == name
    assert code.co_filename == "package/velmor/unit7"
    assert code.co_flags & (inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS) == inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS
    assert code.co_consts == code.co_names == code.co_freevars == code.co_cellvars == ()


def test_functions_have_distinct_increasing_header_lines():
    lines = [getattr(unit7, n).__code__.co_firstlineno for n in NAMES]
    assert lines == sorted(set(lines))


@pytest.mark.parametrize("name", NAMES)
def test_signature(name):
    params, defaults = TABLE[name]
    sig = inspect.signature(getattr(unit7, name))
    assert list(sig.parameters) == list(params)
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    shown = [p.default for p in sig.parameters.values() if p.default is not inspect.Parameter.empty]
    assert shown == list(defaults)


@pytest.mark.parametrize("name", NAMES)
def test_pickled_by_reference(name):
    f = getattr(unit7, name)
    assert f.__reduce__() == name
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(f, protocol)) is f


def test_writable_attributes():
    f = unit7.make_lag_matrix
    saved = f.__name__, f.__qualname__, f.__doc__
    try:
        f.__name__, f.__qualname__, f.__doc__ = "a", "b.c", "doc"
        assert (f.__name__, f.__qualname__, f.__doc__) == ("a", "b.c", "doc")
        for attr in ("__name__", "__qualname__"):
            with pytest.raises(TypeError):
                setattr(f, attr, 3)
        f.custom = 1
        assert f.__dict__ == {"custom": 1}
        f.__annotations__["x"] = int
        assert f.__annotations__ == {"x": int}
        for attr in ("__globals__", "__code__", "__closure__"):
            with pytest.raises((AttributeError, TypeError)):
                setattr(f, attr, None)
    finally:
        f.__name__, f.__qualname__, f.__doc__ = saved
        del f.custom
        f.__annotations__.clear()
    assert f.__name__ == "make_lag_matrix"


def test_binds_as_a_method(monkeypatch):
    class Holder:
        ssm = unit7.make_ssm

    h = Holder()
    assert isinstance(h.ssm, type(h.__init__)) or inspect.ismethod(h.ssm)
    monkeypatch.setattr(unit7, "np", type("P", (), {"dot": staticmethod(lambda a, b: (a, b))}))
    with pytest.raises(AttributeError, match="'Holder' object has no attribute 'T'"):
        h.ssm()
    assert Holder.ssm is unit7.make_ssm


def test_traceback_entry_at_failing_statement(entries):
    f = unit7.make_ssm
    with pytest.raises(AttributeError) as info:
        f([[1.0]])
    ((name, filename, line, globs),) = entries(info)
    assert name == "velmor.unit7.make_ssm" and filename == "package/velmor/unit7"
    assert globs is vars(unit7)
    assert line > f.__code__.co_firstlineno
    assert info.traceback[-1].frame.code.raw.co_name == "velmor.unit7.make_ssm"


def test_audio_to_ssm_entries_name_their_statements(monkeypatch, recorder, entries):
    f = unit7.audio_to_ssm
    lines = {}
    for case, setup in {
        "floordiv": lambda: None,
        "chroma": lambda: monkeypatch.setattr(unit7, "make_chromagram", recorder(KeyError("c"))),
        "cens": lambda: monkeypatch.setattr(unit7, "cens", recorder(KeyError("c"))),
    }.items():
        monkeypatch.setattr(unit7, "make_chromagram", recorder(np.ones((12, 2))))
        monkeypatch.setattr(unit7, "cens", recorder(np.ones((12, 2))))
        setup()
        with pytest.raises((KeyError, TypeError)) as info:
            f(np.zeros(4), 3, 1, "x" if case == "floordiv" else 8)
        ((_, _, lines[case], _),) = entries(info)
    assert f.__code__.co_firstlineno < lines["floordiv"] < lines["chroma"] < lines["cens"]


@pytest.mark.parametrize("name", ["make_ssm", "audio_to_ssm"])
def test_name_error_after_del_np(name, monkeypatch, recorder):
    monkeypatch.setattr(unit7, "make_chromagram", recorder(np.ones((12, 2))))
    monkeypatch.setattr(unit7, "cens", recorder(np.ones((12, 2))))
    f = getattr(unit7, name)
    args = (np.ones((2, 2)),) if name == "make_ssm" else (np.zeros(4), 3, 1)
    monkeypatch.delattr(unit7, "np")
    with pytest.raises(NameError, match=r"^name 'np' is not defined$"):
        f(*args)
    monkeypatch.setattr(unit7, "np", np, raising=False)
    f(*args)


def test_builtins_are_the_fallback(monkeypatch):
    import builtins

    monkeypatch.delattr(unit7, "np")
    monkeypatch.setattr(builtins, "np", np, raising=False)
    assert unit7.make_ssm(np.eye(2)).tolist() == [[1.0, 0.0], [0.0, 1.0]]


def test_recursion_guard_on_direct_calls(monkeypatch):
    # np.dot reached as a one-argument builtin that recurses into make_ssm without end
    def dot(a, b):
        return unit7.make_ssm(b)

    monkeypatch.setattr(unit7, "np", type("P", (), {"dot": staticmethod(dot)}))
    with pytest.raises(RecursionError):
        unit7.make_ssm(np.eye(2))
