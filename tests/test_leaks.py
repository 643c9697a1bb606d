"""Repeated calls, succeeding and failing, leave no memory behind and inputs' references untouched."""

import gc
import sys

import numpy as np
import pytest

from velmor import unit7

M = np.random.default_rng(1).random((12, 12))
M = M + M.T
CURVE = np.array([1.0, 3.0, 2.0, 4.0, 1.0, 0.0, 2.0, 1.0])
EST, REF = np.array([1.0, 2.5, 7.0]), np.array([1.2, 6.0])

# (function, arguments) that succeed, and arguments that fail inside the body
CALLS = {
    "make_ssm": ((M,), ([[1.0]],)),
    "audio_to_ssm": ((np.sin(np.arange(30000) * 0.05), 11, 2), (np.zeros(100), 11, 0)),
    "make_checkerboard": ((6,), (2.5,)),
    "make_2d_gaussian": ((5,), ("x",)),
    "diagonal_novelty": ((M, 4), (M, -1.5)),
    "diagonal_slide": ((M, np.ones((3, 3))), (M, None)),
    "find_region_peaks": ((CURVE, 3), (CURVE, "x")),
    "make_lag_matrix": ((M,), (None,)),
    "thresh_and_scale": ((M, 0.5), (M, "x")),
    "diagonal_smoothing": ((M, 3), (M, 0.5)),
    "make_derivative_kernel": ((3, 4), (3, "x")),
    "column_derivative": ((M, 4), (M, "x")),
    "pos_neg_split": ((EST, REF, 0.5), (EST, None, 0.5)),
    "calc_prf": ((EST, REF, 0.5), (EST, None, 0.5)),
}


def run(f, args, times):
    for _ in range(times):
        try:
            f(*args)
        except Exception:
            pass


@pytest.mark.parametrize("name", list(CALLS))
@pytest.mark.parametrize("outcome", ["success", "failure"])
def test_no_leaks(name, outcome, monkeypatch):
    # unit4 is plain Python; stand-ins keep its allocations out of the count
    monkeypatch.setattr(unit7, "make_chromagram", lambda snd, fs, n, hop: np.ones((12, 6)))
    monkeypatch.setattr(unit7, "cens", lambda chroma, filt_len, ds: chroma / np.sqrt(12))
    f = getattr(unit7, name)
    args = CALLS[name][outcome == "failure"]
    run(f, args, 20)  # warm numpy's caches
    arrays = [a for a in args if isinstance(a, np.ndarray)]
    counts = [sys.getrefcount(a) for a in arrays]
    gc.collect()
    before = sys.getallocatedblocks()
    run(f, args, 200)
    gc.collect()
    grown = sys.getallocatedblocks() - before
    assert grown < 50, f"{grown} blocks left after 200 calls"
    assert [sys.getrefcount(a) for a in arrays] == counts


@pytest.mark.parametrize("name", list(CALLS))
def test_binding_failures_leak_nothing(name):
    f = getattr(unit7, name)
    args = CALLS[name][0]
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(200):
        for bad in (lambda: f(*args, *args, *args, *args, *args), lambda: f(*args, bogus=1), lambda: f()):
            try:
                bad()
            except TypeError:
                pass
    gc.collect()
    assert sys.getallocatedblocks() - before < 50
