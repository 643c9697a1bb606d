"""Native loops of thresh_and_scale, make_lag_matrix, diagonal_smoothing and column_derivative against
their numpy path: same values (bit for bit where nothing is summed), dtype, layout, warnings and errors."""

import concurrent.futures
import os
import tracemalloc

import numpy as np
import pytest
from lines import assert_fails_at

from velmor import unit7


def outcome(f, *args):
    """The result of f(*args), or the type and text of what it raised."""
    try:
        return f(*args)
    except Exception as e:  # noqa: BLE001 - the exception is the outcome
        return (type(e), str(e))


def both(numpy_path, f, *args):
    native = outcome(f, *args)
    numpy_path.use()
    try:
        return native, outcome(f, *args)
    finally:
        numpy_path.undo()


def assert_same(native, ref):
    """Bit-identical arrays of one dtype and memory layout (or the same exception)."""
    if isinstance(ref, tuple):
        assert native == ref
        return
    assert (native.dtype, native.shape, native.strides) == (ref.dtype, ref.shape, ref.strides)
    assert native.tobytes() == ref.tobytes()


def assert_close(native, ref, terms):
    """Agreement to 1e-12 of the sum of |terms| of each entry (or the same exception)."""
    if isinstance(ref, tuple):
        assert native == ref
        return
    assert (native.dtype, native.shape) == (ref.dtype, ref.shape)
    np.testing.assert_array_equal(np.isnan(native), np.isnan(ref))
    finite = np.isfinite(ref)
    np.testing.assert_array_equal(native[~finite & ~np.isnan(ref)], ref[~finite & ~np.isnan(ref)])
    assert (np.abs(native[finite] - ref[finite]) <= 1e-12 * terms[finite] + 1e-300).all()


def relaid(a, layout):
    """The values of a in another memory layout."""
    if layout == "C":
        return np.ascontiguousarray(a)
    if layout == "F":
        return np.asfortranarray(a)
    if layout == "strided":  # every other row, every third column of a larger array
        big = np.full((2 * a.shape[0] + 1, 3 * a.shape[1] + 2), -7.0, a.dtype)
        big[1::2, 2::3] = a
        return big[1::2, 2::3]
    return a[::-1, ::-1].copy()[::-1, ::-1]  # "reversed": negative strides


LAYOUTS = ["C", "F", "strided", "reversed"]
SPECIAL = {"nan": np.nan, "inf": np.inf, "-inf": -np.inf, "huge": 1e308, "tiny": 1e-310, "-0": -0.0}


def matrix(rng, shape, special=None):
    m = rng.standard_normal(shape)
    if special and m.size:
        m.flat[rng.integers(0, m.size, 3)] = SPECIAL[special]
    return m


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("shape", [(1, 1), (1, 7), (7, 1), (6, 9), (33, 33), (400, 400), (0, 3)])
@pytest.mark.parametrize("tau", [0.5, 0, -3, 2, 0.999, np.float64(0.3), 2**60, True])
def test_thresh_and_scale(shape, layout, tau, rng, numpy_path):
    m = relaid(matrix(rng, shape), layout)
    assert_same(*both(numpy_path, unit7.thresh_and_scale, m, tau))


@pytest.mark.parametrize("special", list(SPECIAL))
@pytest.mark.parametrize("tau", [0.5, 0, 1, 1.0, 1e-300, np.inf, np.nan])
@pytest.mark.parametrize("errors", ["raise", "warn", "ignore"])
@pytest.mark.parametrize("layout", ["C", "strided"])
def test_thresh_and_scale_warns_as_numpy(special, tau, errors, layout, rng, numpy_path):
    m = relaid(matrix(rng, (40, 41), special), layout)
    with np.errstate(all=errors):  # "warn" raises too: warnings are errors in this suite
        assert_same(*both(numpy_path, unit7.thresh_and_scale, m, tau))


@pytest.mark.parametrize("dtype", [np.float32, np.int64, bool, ">f8"])
def test_other_dtypes(dtype, rng, numpy_path):
    m = (rng.standard_normal((20, 20)) * 3).astype(dtype)
    assert_same(*both(numpy_path, unit7.thresh_and_scale, m, 0.5))
    assert_same(*both(numpy_path, unit7.make_lag_matrix, m))
    native, ref = both(numpy_path, unit7.diagonal_smoothing, m, 3)
    assert_close(native, ref, np.zeros(ref.shape))


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize(
    "shape",
    # the last three are large enough to stream, with rows of whole cache lines or not, and wide
    [(1, 1), (3, 8), (8, 3), (2, 300), (300, 7), (0, 4), (4, 0), (400, 400), (403, 401), (150, 1003)],
)
@pytest.mark.parametrize("special", [None, "nan"])
def test_make_lag_matrix(shape, layout, special, rng, numpy_path):
    m = relaid(matrix(rng, shape, special), layout)
    if special and m.size:  # a NaN with a payload of its own is copied bit for bit
        m[0, 0] = np.frombuffer(np.uint64(0x7FF8_0000_DEAD_BEEF).tobytes())[0]
    assert_same(*both(numpy_path, unit7.make_lag_matrix, m))


def smoothing_terms(numpy_path, m, win_len):
    numpy_path.use()
    try:
        return np.abs(unit7.diagonal_smoothing(np.abs(m), win_len))
    finally:
        numpy_path.undo()


@pytest.mark.parametrize(
    "n, extra, layout",
    [(n, extra, layout) for n, extra in [(1, 0), (2, 0), (9, 0), (70, 3), (150, 0), (400, 0)] for layout in LAYOUTS]
    # rows that are not whole cache lines; about one and two tiles of 128 rows
    + [(n, extra, "C") for n, extra in [(403, 0), (127, 0), (129, 5), (131, 0), (257, 0), (261, 2)]],
)
@pytest.mark.parametrize("win_len", [1, 2, 3, 4, 7, 8, 9, 16, 17, 75, 301])
def test_diagonal_smoothing(n, extra, win_len, layout, rng, numpy_path):
    m = relaid(matrix(rng, (n, n + extra)), layout)
    native, ref = both(numpy_path, unit7.diagonal_smoothing, m, win_len)
    assert_close(native, ref, smoothing_terms(numpy_path, m, win_len))


@pytest.mark.parametrize("special", list(SPECIAL))
@pytest.mark.parametrize("win_len", [0, 4, np.int64(4), 4.0, -1])
@pytest.mark.parametrize("errors", ["raise", "ignore"])
def test_diagonal_smoothing_special(special, win_len, errors, rng, numpy_path):
    m = matrix(rng, (30, 30), special)
    with np.errstate(all=errors):
        native, ref = both(numpy_path, unit7.diagonal_smoothing, m, win_len)
        terms = smoothing_terms(numpy_path, m, 4) if not isinstance(ref, tuple) else None
    assert_close(native, ref, terms)


@pytest.mark.parametrize("n", [40, 500])
@pytest.mark.parametrize("win_len", [1, 3, 8, 30])
def test_diagonal_smoothing_sums_negative_zeros_to_positive_zeros(n, win_len, numpy_path):
    native, ref = both(numpy_path, unit7.diagonal_smoothing, np.full((n, n), -0.0), win_len)
    assert_same(native, ref)


@pytest.mark.parametrize("n, win_len", [(368, 8), (368, 3), (370, 8), (45, 4)])  # whole cache lines per row or not
def test_diagonal_smoothing_does_not_depend_on_where_arrays_lie(n, win_len, rng):
    """The loops are laid out by the result's cache lines; the sums must not be."""
    m = rng.standard_normal((n, n))
    results, keep = set(), []
    for shift in range(12):
        keep.append(np.empty(shift % 8 + 1))  # moves the next allocations about
        buf = np.empty(n * n + 8)
        moved = buf[shift % 8 :][: n * n].reshape(n, n)
        moved[...] = m
        results.add(unit7.diagonal_smoothing(moved, win_len).tobytes())
    assert len(results) == 1


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer aborts on an allocation it cannot make instead of failing it")
@pytest.mark.parametrize(
    "m, win_len, k",
    [
        # np.empty fails as np.zeros does; the numpy path then raises it itself
        (np.broadcast_to(np.ones(1), (10**7, 10**7)), 4, 2),
        # a window much longer than the matrix is made by the numpy path first, as always
        (np.ones((5, 5)), 10**15, 3),
    ],
)
def test_diagonal_smoothing_memory_errors(m, win_len, k, entries, numpy_path):
    assert_fails_at("diagonal_smoothing", (m, win_len), MemoryError, k, entries)
    numpy_path.use()
    assert_fails_at("diagonal_smoothing", (m, win_len), MemoryError, k, entries)


def column_terms(numpy_path, monkeypatch, m, k_len):
    """The column novelty of |m| with the |kernel|: bounds the sum of |terms| of each entry."""
    kern = np.abs(unit7.make_derivative_kernel(m.shape[0], k_len))
    numpy_path.use()
    with monkeypatch.context() as patch:
        patch.setattr(unit7, "make_derivative_kernel", lambda rows, k: kern)
        try:
            return unit7.column_derivative(np.abs(m), k_len)
        finally:
            numpy_path.undo()


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("shape", [(1, 1), (5, 5), (6, 40), (37, 37), (46, 46), (300, 300), (0, 3), (9, 4), (4, 1)])
@pytest.mark.parametrize("k_len", [0, 1, 2, 3, 16, 45, 97])
def test_column_derivative(shape, layout, k_len, rng, numpy_path, monkeypatch):
    m = relaid(matrix(rng, shape), layout)
    native, ref = both(numpy_path, unit7.column_derivative, m, k_len)
    terms = None if isinstance(ref, tuple) else column_terms(numpy_path, monkeypatch, m, k_len)
    assert_close(native, ref, terms)


@pytest.mark.parametrize("special", list(SPECIAL) + ["1e200", "1e-160"])
@pytest.mark.parametrize("errors", ["raise", "warn", "ignore"])
def test_column_derivative_warns_as_numpy(special, errors, rng, numpy_path, monkeypatch):
    m = matrix(rng, (30, 30), special if special in SPECIAL else None)
    if special not in SPECIAL:
        m *= float(special)
    with np.errstate(all=errors):
        native, ref = both(numpy_path, unit7.column_derivative, m, 4)
        terms = None if isinstance(ref, tuple) else column_terms(numpy_path, monkeypatch, m, 4)
    assert_close(native, ref, terms)


@pytest.mark.parametrize(
    "kernel",
    [
        lambda rows, k: np.random.default_rng(3).standard_normal((rows, k)),  # rows of their own
        lambda rows, k: np.asfortranarray(np.ones((rows, k))),
        lambda rows, k: np.ones((rows, k))[:, ::-1],
        lambda rows, k: np.full((rows, k), np.inf),
        lambda rows, k: np.ones((rows, k), np.float32),
        lambda rows, k: np.ones((1, k)),  # broadcasts in the numpy path
        lambda rows, k: [[1.0] * k] * rows,
    ],
)
def test_column_derivative_with_another_kernel(kernel, rng, numpy_path, monkeypatch):
    m = np.abs(matrix(rng, (20, 20)))
    calls = []
    monkeypatch.setattr(unit7, "make_derivative_kernel", lambda *args: calls.append(args) or kernel(*args))
    with np.errstate(all="ignore"):
        native, ref = both(numpy_path, unit7.column_derivative, m, 4)
    assert calls == [(20, 4), (20, 4)]
    assert_close(native, ref, np.full(20, 1e3))


@pytest.mark.parametrize(
    "name, args, np_name, calls",
    [
        ("thresh_and_scale", (0.5,), "empty", 0),
        ("make_lag_matrix", (), "roll", 30),
        ("make_lag_matrix", (), "empty", 1),
        ("diagonal_smoothing", (3,), "convolve", 30),
        ("diagonal_smoothing", (3,), "zeros", 1),
        ("diagonal_smoothing", (3,), "ones", 1),
        ("diagonal_smoothing", (3,), "empty", 0),  # the loop then fills the numpy path's np.zeros
        ("column_derivative", (4,), "concatenate", 1),
        ("column_derivative", (4,), "sum", 1 + 30),  # the kernel's row sums, then one per position
    ],
)
def test_rebound_numpy_functions_take_the_numpy_path(name, args, np_name, calls, rng, numpy_path, monkeypatch):
    m = matrix(rng, (30, 30))
    f = getattr(unit7, name)
    expected = both(numpy_path, f, m, *args)[1]
    seen = []
    real = getattr(np, np_name)
    monkeypatch.setattr(np, np_name, lambda *a, **k: seen.append(1) or real(*a, **k))
    out = f(m, *args)
    assert len(seen) == calls
    assert_close(out, expected, np.abs(expected) + 1)


def test_rebound_linalg_norm(rng, monkeypatch):
    seen = []
    real = np.linalg.norm
    monkeypatch.setattr(np.linalg, "norm", lambda *a: seen.append(1) or real(*a))
    unit7.column_derivative(matrix(rng, (25, 25)), 4)
    assert len(seen) == 25


def test_concurrent_calls_agree(rng, numpy_path):
    m = matrix(rng, (300, 300))
    calls = [(unit7.thresh_and_scale, (m, 0.25)), (unit7.make_lag_matrix, (m,)),
             (unit7.diagonal_smoothing, (m, 8)), (unit7.column_derivative, (m, 16))]
    numpy_path.use()
    refs = [f(*args) for f, args in calls]
    numpy_path.undo()
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        futures = [(k, pool.submit(f, *args)) for _ in range(6) for k, (f, args) in enumerate(calls)]
        for k, fut in futures:
            np.testing.assert_allclose(fut.result(), refs[k], rtol=1e-12, atol=1e-12)


def peak(f, *args):
    tracemalloc.start()
    try:
        f(*args)
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


@pytest.mark.parametrize(
    "name, args, temporary",
    [
        ("column_derivative", (16,), 600 * (600 + 16) * 8),  # the padded copy
        ("thresh_and_scale", (0.5,), 600 * 600 * 8),  # (m - tau), beside the result
    ],
)
def test_native_loops_make_no_temporaries(name, args, temporary, rng, numpy_path):
    m, f = matrix(rng, (600, 600)), getattr(unit7, name)
    result = f(m, *args).nbytes
    assert peak(f, m, *args) < result + temporary / 10
    numpy_path.use()
    assert peak(f, m, *args) > result + temporary
