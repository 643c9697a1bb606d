"""Argument binding: every function's arity texts, keywords, and both call protocols."""

import ctypes
import functools

import numpy as np
import pytest

from velmor import unit7

# name: (parameters in order, defaults of the trailing parameters)
TABLE = {
    "make_ssm": (("f",), ()),
    "audio_to_ssm": (("snd", "cens_filt_len", "cens_ds", "fft_len"), (4096,)),
    "make_checkerboard": (("cb_len", "gaussian", "normalize"), (True, True)),
    "make_2d_gaussian": (("wlen", "eps"), (1.0,)),
    "diagonal_novelty": (("ssm", "cb_len"), ()),
    "diagonal_slide": (("ssm", "kernel"), ()),
    "find_region_peaks": (("x", "region_len"), ()),
    "make_lag_matrix": (("s",), ()),
    "thresh_and_scale": (("m", "tau"), ()),
    "diagonal_smoothing": (("m", "win_len"), ()),
    "make_derivative_kernel": (("rows", "k_len"), ()),
    "column_derivative": (("m", "k_len"), ()),
    "pos_neg_split": (("est", "ref", "tau"), ()),
    "calc_prf": (("est", "ref", "tau"), ()),
}
NAMES = list(TABLE)


def arity_text(name, given, too_many):
    params, defaults = TABLE[name]
    n, r = len(params), len(params) - len(defaults)
    if not defaults:
        word, count = "exactly", n
    elif too_many:
        word, count = "at most", n
    else:
        word, count = "at least", r
    plural = "" if count == 1 else "s"
    return f"{name}() takes {word} {count} positional argument{plural} ({given} given)"


def call_styles():
    """The same call through the vectorcall protocol, the generic protocol and functools.partial."""
    return {
        "vectorcall": lambda f, a, k: f(*a, **k),
        "tp_call": lambda f, a, k: type(f).__call__(f, *a, **k),
        "partial": lambda f, a, k: functools.partial(f, *a)(**k),
    }


STYLES = call_styles()


def raises_text(exc, text, f, args, kwargs, style):
    with pytest.raises(exc) as info:
        STYLES[style](f, args, kwargs)
    assert str(info.value) == text
    return info


@pytest.fixture(params=list(STYLES))
def style(request):
    return request.param


class Unbindable:
    """A value no body may receive: it fails loudly if the body ever reads it."""


@pytest.mark.parametrize("name", NAMES)
def test_too_many_positional(name, style):
    params, _ = TABLE[name]
    given = len(params) + 1
    f = getattr(unit7, name)
    raises_text(TypeError, arity_text(name, given, True), f, [Unbindable()] * given, {}, style)


@pytest.mark.parametrize("name", NAMES)
def test_too_many_reported_before_bad_keywords(name, style):
    params, _ = TABLE[name]
    f = getattr(unit7, name)
    args = [Unbindable()] * (len(params) + 2)
    raises_text(TypeError, arity_text(name, len(args), True), f, args, {params[0]: 1, "bogus": 2}, style)


@pytest.mark.parametrize("name", NAMES)
def test_missing_each_required(name, style):
    params, defaults = TABLE[name]
    f = getattr(unit7, name)
    required = params[: len(params) - len(defaults)]
    for given in range(len(required)):
        # positionally up to `given`
        raises_text(TypeError, arity_text(name, given, False), f, [Unbindable()] * given, {}, style)
        # the first missing parameter is reported even when later ones come by keyword
        later = {p: Unbindable() for p in required[given + 1:]}
        raises_text(TypeError, arity_text(name, given, False), f, [], {p: 0 for p in required[:given]} | later, style)


@pytest.mark.parametrize("name", NAMES)
def test_missing_reported_before_unexpected_keyword(name, style):
    f = getattr(unit7, name)
    raises_text(TypeError, arity_text(name, 0, False), f, [], {"g": 1}, style)


@pytest.mark.parametrize("name", NAMES)
def test_multiple_values(name, style):
    params, _ = TABLE[name]
    f = getattr(unit7, name)
    args = [Unbindable()] * (len(params) - len(TABLE[name][1]))
    text = f"{name}() got multiple values for keyword argument '{params[0]}'"
    raises_text(TypeError, text, f, args, {params[0]: 1}, style)


@pytest.mark.parametrize("name", NAMES)
def test_unexpected_keyword(name, style):
    params, defaults = TABLE[name]
    f = getattr(unit7, name)
    args = [Unbindable()] * (len(params) - len(defaults))
    text = f"{name}() got an unexpected keyword argument 'bogus'"
    raises_text(TypeError, text, f, args, {"bogus": 1}, style)


def c_call(f, args, kwargs):
    """PyObject_Call with a keyword dictionary Python syntax could not build."""
    api = ctypes.pythonapi
    api.PyObject_Call.restype = ctypes.py_object
    api.PyObject_Call.argtypes = [ctypes.py_object] * 3
    return api.PyObject_Call(f, tuple(args), kwargs)


def c_vectorcall(f, args, kwnames, kwvalues):
    """PyObject_Vectorcall with keyword names Python syntax could not build."""
    api = ctypes.pythonapi
    api.PyObject_Vectorcall.restype = ctypes.py_object
    api.PyObject_Vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    items = list(args) + list(kwvalues)
    array = (ctypes.py_object * len(items))(*items)
    return api.PyObject_Vectorcall(f, ctypes.cast(array, ctypes.c_void_p), len(args), tuple(kwnames))


@pytest.mark.parametrize("name", NAMES)
def test_non_string_keywords(name):
    params, defaults = TABLE[name]
    f = getattr(unit7, name)
    required = [Unbindable()] * (len(params) - len(defaults))
    with pytest.raises(TypeError, match=r"^keywords must be strings$"):
        c_call(f, required, {1: 2})
    with pytest.raises(TypeError) as info:
        c_vectorcall(f, required, [1], [2])
    assert str(info.value) == f"{name}() keywords must be strings"
    # a missing required parameter is still reported first
    with pytest.raises(TypeError) as info:
        c_vectorcall(f, [], [1], [2])
    assert str(info.value) == arity_text(name, 0, False)


@pytest.mark.parametrize("name", NAMES)
def test_binding_failures_enter_at_header_line(name, entries):
    f = getattr(unit7, name)
    with pytest.raises(TypeError) as info:
        f(*[0] * (len(TABLE[name][0]) + 1))
    ((co_name, filename, line, globs),) = entries(info)
    assert (co_name, filename, line) == (f"velmor.unit7.{name}", "package/velmor/unit7", f.__code__.co_firstlineno)
    assert globs is unit7.__dict__


class Record:
    """Bound in the namespace as `np`, it records what make_ssm receives."""

    def __init__(self):
        self.seen = []

    def dot(self, a, b):
        self.seen.append(b)
        return b


def test_keyword_order_does_not_matter(monkeypatch, recorder):
    chroma = recorder(np.ones((12, 3)))
    cens = recorder(np.ones((12, 3)))
    monkeypatch.setattr(unit7, "make_chromagram", chroma)
    monkeypatch.setattr(unit7, "cens", cens)
    snd = np.zeros(8)
    unit7.audio_to_ssm(cens_ds=10, fft_len=64, snd=snd, cens_filt_len=41)
    unit7.audio_to_ssm(snd, 41, 10, 64)
    assert chroma.calls[0] == chroma.calls[1] == ((snd, 22050.0, 64, 32), {})
    assert [c[0][1:] for c in cens.calls] == [(41, 10), (41, 10)]


def test_defaults_are_fixed_at_init(monkeypatch, recorder):
    chroma = recorder(np.ones((12, 3)))
    monkeypatch.setattr(unit7, "make_chromagram", chroma)
    monkeypatch.setattr(unit7, "cens", recorder(np.ones((12, 3))))
    f = unit7.audio_to_ssm
    old = f.__defaults__
    try:
        f.__defaults__ = (1024,)
        assert f.__defaults__ == (1024,)
        f(np.zeros(8), 41, 10)
    finally:
        f.__defaults__ = old
    assert chroma.calls[0][0][2:] == (4096, 2048)
    assert type(chroma.calls[0][0][2]) is int


def test_equal_but_distinct_keyword_strings(monkeypatch):
    rec = Record()
    monkeypatch.setattr(unit7, "np", rec)
    x = np.eye(2)
    name = "".join(["f", ""])  # a new string object equal to "f"
    key = str(bytearray(b"f"), "ascii")
    assert key == "f"
    unit7.make_ssm(**{key: x})
    unit7.make_ssm(**{name: x})
    assert rec.seen == [x, x]


def test_keyword_given_as_a_str_subclass(monkeypatch):
    class Name(str):
        pass

    rec = Record()
    monkeypatch.setattr(unit7, "np", rec)
    x = np.eye(2)
    unit7.make_ssm(**{Name("f"): x})
    assert rec.seen == [x]
