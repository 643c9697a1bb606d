"""Seeded differential fuzzing: each native loop against its numpy path on random shapes, memory
layouts, special values and floating-point error settings. Values, warnings and exceptions must
agree: bit for bit where the numpy path fixes the order of every operation, within rounding where
only the order of a sum is free (diagonal_smoothing, column_derivative)."""

import warnings

import numpy as np
import pytest

from velmor import unit7

SPECIALS = np.array([0.0, -0.0, np.inf, -np.inf, np.nan, 5e-324, -1e-310, 1e308, -1e308, 1.0, -1.0])
ERRSTATES = [None, "ignore", "raise", "warn"]
CASES_PER_FUNCTION = 4000


def size(rng, small):
    """A length: mostly small, sometimes large enough for the blocked loops and a released GIL."""
    return int(rng.integers(0, small)) if rng.random() < 0.9 else int(rng.integers(small, 6 * small))


def values(rng, shape, special_share):
    """Random values of `shape`, some of them replaced by special ones, some rows constant."""
    kind = rng.integers(4)
    if kind == 0:
        a = rng.standard_normal(shape)
    elif kind == 1:
        a = rng.integers(-3, 4, shape).astype(float)  # many ties and exact zeros
    elif kind == 2:
        a = np.full(shape, rng.choice([1.0, -0.0, 0.25]))  # constant: sums of equal products
    else:
        a = rng.random(shape) * 10.0 ** rng.integers(-300, 300)
    if special_share and a.size:
        hit = rng.random(shape) < special_share
        a[hit] = rng.choice(SPECIALS, hit.sum())
    return a


def laid_out(rng, a):
    """The values of `a` in a random memory layout: C, Fortran, strided, reversed or transposed."""
    layout = rng.integers(5)
    if layout == 1:
        return np.asfortranarray(a)
    if layout == 2 and a.ndim:
        big = np.full(tuple(2 * s + 1 for s in a.shape), 99.0)
        big[tuple(slice(1, None, 2) for _ in a.shape)] = a
        return big[tuple(slice(1, None, 2) for _ in a.shape)]
    if layout == 3 and a.ndim:
        return np.ascontiguousarray(a[tuple(slice(None, None, -1) for _ in a.shape)])[
            tuple(slice(None, None, -1) for _ in a.shape)
        ]
    if layout == 4 and a.ndim == 2:
        return np.ascontiguousarray(a.T).T
    return np.ascontiguousarray(a)


def outcome(f, args, errstate):
    """(result, (exception type, text) or None, warnings) of f(*args)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with np.errstate(all=errstate) if errstate else np.errstate():
            try:
                return f(*args), None, [(w.category, str(w.message)) for w in caught]
            except Exception as e:  # noqa: BLE001 - the exception is the outcome
                return None, (type(e), str(e)), [(w.category, str(w.message)) for w in caught]


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    if (a.dtype, a.shape) != (b.dtype, b.shape):
        return False
    if a.dtype.kind != "f":
        return np.array_equal(a, b)
    nan = np.isnan(a)
    return np.array_equal(nan, np.isnan(b)) and a[~nan].tobytes() == b[~nan].tobytes()


def close(a, b, scale):
    """Equal up to rounding errors of sums whose terms are at most `scale` in size."""
    a, b = np.asarray(a), np.asarray(b)
    if (a.dtype, a.shape) != (b.dtype, b.shape):
        return False
    if not np.array_equal(np.isnan(a), np.isnan(b)):
        return False
    finite = np.isfinite(b)
    if not np.array_equal(a[~finite & ~np.isnan(b)], b[~finite & ~np.isnan(b)]):
        return False
    with np.errstate(all="ignore"):
            return bool(np.all(np.abs(a[finite] - b[finite]) <= 1e-12 * scale + 1e-300))


def term_scale(m):
    """Bound on the terms that a window sum over `m` adds (weights sum to at most 1 per row)."""
    largest = float(np.max(np.abs(m[np.isfinite(m)]), initial=0.0))
    return largest * (1.0 + m.shape[0] ** 0.5)  # a Python float: may become inf, quietly


def agree(name, args, exact, errstate):
    """Run `name` on both paths with the same arguments; the inputs must come back unchanged."""
    f = getattr(unit7, name)
    before = [a.copy() if isinstance(a, np.ndarray) else a for a in args]
    native = outcome(f, args, errstate)
    unit7.np = _Proxy("numpy")
    try:
        ref = outcome(f, args, errstate)
    finally:
        unit7.np = np
    for a, b in zip(args, before):
        if isinstance(a, np.ndarray):
            assert same_bits(a, b), f"{name} modified its input"
    assert native[1] == ref[1], (name, native[1], ref[1])
    assert native[2] == ref[2], (name, native[2], ref[2])
    if ref[1] is not None:
        return
    results = zip(native[0], ref[0]) if isinstance(ref[0], tuple) else [(native[0], ref[0])]
    for got, want in results:
        if isinstance(want, float):
            assert got == want or (got != got and want != want), (name, got, want)
        else:
            assert same_bits(got, want) if exact else close(got, want, term_scale(args[0])), (name, got, want)


class _Proxy(type(np)):
    def __getattr__(self, attr):
        return getattr(np, attr)


def case_thresh_and_scale(rng):
    shape = (size(rng, 40), size(rng, 40))
    m = laid_out(rng, values(rng, shape, 0.05))
    tau = rng.choice([0.0, 0.5, 1.0, -0.0, 0.3, 2.0, np.nan, np.inf, 1, 0, -2, 1e-320])
    tau = int(tau) if float(tau).is_integer() and rng.random() < 0.3 else float(tau)
    return (m, tau), True


def case_make_lag_matrix(rng):
    shape = (size(rng, 40), size(rng, 40))
    return (laid_out(rng, values(rng, shape, 0.05)),), True


def case_diagonal_slide(rng):
    n = size(rng, 48)
    k = int(rng.integers(0, 20)) if rng.random() < 0.8 else n + int(rng.integers(0, 6))
    ssm = values(rng, (n, n), 0.02 * rng.integers(0, 2))
    if rng.random() < 0.5:
        with np.errstate(all="ignore"):
            ssm = (ssm + ssm.T) / 2  # symmetric, as real matrices are
    if rng.random() < 0.6 and k:
        kernel = unit7.make_checkerboard(k, bool(rng.integers(2)), bool(rng.integers(2)))
    else:
        kernel = values(rng, (k, k), 0.02 * rng.integers(0, 2))
    return (laid_out(rng, ssm), laid_out(rng, kernel)), True


def case_find_region_peaks(rng):
    n = size(rng, 200)
    if rng.random() < 0.3:
        x = rng.integers(-5, 6, n)  # int64
    else:
        x = laid_out(rng, values(rng, (n,), 0.02 * rng.integers(0, 2)))
    region = int(rng.choice([0, 1, 2, 3, 4, 5, 8, 15, 64, 129, 2 * n + 3, n + 1]))
    return (x, region), True


def case_pos_neg_split(rng):
    def positions(k):
        p = np.sort(rng.random(k) * 100) if rng.random() < 0.7 else rng.random(k) * 100
        if rng.random() < 0.3:
            p = np.round(p, 1)  # exact ties and distances equal to tau
        if rng.random() < 0.05 and k:
            p[rng.integers(k)] = rng.choice(SPECIALS)
        return laid_out(rng, p)

    est, ref = positions(size(rng, 40)), positions(size(rng, 40))
    tau = float(rng.choice([0.5, 3.0, 0.1, 0.0, -1.0, np.inf, np.nan]))
    return (est, ref, tau), True


def case_diagonal_smoothing(rng):
    n = size(rng, 30)
    cols = n + int(rng.integers(-2, 8)) if n else int(rng.integers(0, 3))
    m = laid_out(rng, values(rng, (n, max(cols, 0)), 0.02 * rng.integers(0, 2)))
    win = int(rng.choice([0, 1, 2, 3, 4, 7, 8, 16, 2 * n + 1, 2 * n + 70]))
    return (m, win), False


def case_column_derivative(rng):
    n = size(rng, 30)
    cols = n + int(rng.integers(0, 6))
    m = laid_out(rng, values(rng, (n, cols), 0.02 * rng.integers(0, 2)))
    k = int(rng.choice([0, 1, 2, 3, 4, 5, 8, 12, 2 * cols + 3]))
    return (m, k), False


CASES = {name[5:]: f for name, f in globals().items() if name.startswith("case_")}


@pytest.mark.parametrize("name", sorted(CASES))
def test_native_path_agrees_with_numpy_path(name):
    rng = np.random.default_rng([20261208, sorted(CASES).index(name)])
    for _ in range(CASES_PER_FUNCTION):
        args, exact = CASES[name](rng)
        agree(name, args, exact, ERRSTATES[rng.integers(len(ERRSTATES))])
