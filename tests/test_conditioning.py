"""thresh_and_scale, make_lag_matrix and diagonal_smoothing: worked values, properties and failures."""

import numpy as np
import pytest

from lines import assert_fails_at
from velmor import unit7

M3 = np.arange(1, 10).reshape(3, 3)


@pytest.mark.parametrize(
    "m, tau, expected",
    [
        ([0.2, 0.5, 0.8, 1.0], 0.5, [0, 0, 0.6, 1.0]),
        ([-0.5, 0.0, 0.3, 1.0], 0, [0, 0, 0.3, 1.0]),
        ([1.5, 0.75], 0.5, [2.0, 0.5]),  # nothing clips from above
        ([np.nan, 0.25], 0.5, [np.nan, 0]),
        ([3.0, 1.5, 0.5], 2, [0, 0.5, 1.5]),  # a negative span: the mask sees the scaled values
        ([[0, 1], [2, 3]], 0, [[0, 1], [2, 3]]),
    ],
)
def test_thresh_and_scale(m, tau, expected):
    m = np.array(m)
    before = m.copy()
    out = unit7.thresh_and_scale(m, tau)
    assert out.dtype == np.float64 and out is not m
    np.testing.assert_allclose(out, expected)
    np.testing.assert_array_equal(m, before)


def test_thresh_and_scale_tau_one_follows_numpy():
    with pytest.warns(RuntimeWarning):
        out = unit7.thresh_and_scale(np.array([0.5, 1.0, 1.5]), 1)
    np.testing.assert_array_equal(out, [0, np.nan, np.inf])


def test_thresh_and_scale_needs_no_numpy_name(monkeypatch):
    monkeypatch.delattr(unit7, "np")
    np.testing.assert_allclose(unit7.thresh_and_scale(np.array([0.2, 0.8]), 0.5), [0, 0.6])


@pytest.mark.parametrize(
    "m, tau, exc, k",
    [(0.5, 0.2, TypeError, 2), (np.array(0.5), 0.2, TypeError, 2), (0.5, 1, ZeroDivisionError, 1),
     (np.ones(2), "x", TypeError, 1)],
)
def test_thresh_and_scale_failures(m, tau, exc, k, entries):
    assert_fails_at("thresh_and_scale", (m, tau), exc, k, entries)


def test_make_lag_matrix_worked_example():
    out = unit7.make_lag_matrix(np.array([[11, 12, 13], [21, 22, 23], [31, 32, 33]]))
    assert out.dtype == np.float64
    np.testing.assert_array_equal(out, [[11, 22, 33], [21, 32, 13], [31, 12, 23]])


@pytest.mark.parametrize("shape", [(1, 1), (6, 6), (3, 8), (6, 2), (0, 0), (4, 0), (0, 3)])
def test_make_lag_matrix_rolls_each_column_by_its_index(shape, rng):
    s = rng.integers(-9, 9, shape)
    before = s.copy()
    out = unit7.make_lag_matrix(s)
    assert out.shape == shape and out.dtype == np.float64
    if s.size:
        r, c = np.indices(shape)
        np.testing.assert_array_equal(out, s[(r + c) % shape[0], c])
    np.testing.assert_array_equal(s, before)


def test_make_lag_matrix_rolls_deeper_columns_flat():
    out = unit7.make_lag_matrix(np.arange(12).reshape(2, 2, 3))
    np.testing.assert_array_equal(out[:, 1], [[4, 5, 9], [10, 11, 3]])


@pytest.mark.parametrize(
    "s, exc, k", [(np.ones(3), IndexError, 2), ([[1.0]], AttributeError, 1), (None, AttributeError, 1)]
)
def test_make_lag_matrix_failures(s, exc, k, entries):
    assert_fails_at("make_lag_matrix", (s,), exc, k, entries)


@pytest.mark.parametrize(
    "win_len, expected",
    [
        (1, [[1, 4, 7], [4, 5, 8], [7, 8, 9]]),
        (2, [[0.5, 2, 3.5], [2, 3, 6], [3.5, 6, 7]]),
        (np.int64(3), [[2, 4, 7 / 3], [4, 5, 4], [7 / 3, 4, 14 / 3]]),
        (4, [[1.5, 3, 1.75], [3, 3.75, 3], [1.75, 3, 3.75]]),
    ],
)
def test_diagonal_smoothing_worked_values(win_len, expected):
    out = unit7.diagonal_smoothing(M3, win_len)
    assert out.dtype == np.float64
    np.testing.assert_allclose(out, expected, rtol=1e-15)


def window_means(m, w):
    """Each lower entry as the sum of the w-sample window on its diagonal (zeros beyond the ends) over w."""
    n, lead = m.shape[0], (w - 1) // 2
    out = np.empty((n, n))
    for i in range(n):
        for j in range(i + 1):
            x = np.diagonal(m, j - i)
            out[i, j] = out[j, i] = x[max(j - (w - 1 - lead), 0) : j + lead + 1].sum() / w
    return out


@pytest.mark.parametrize("n, win_len", [(1, 3), (6, 1), (7, 2), (8, 5), (6, 4), (5, 12)])
def test_diagonal_smoothing_reads_only_the_lower_triangle(n, win_len, rng):
    m = rng.standard_normal((n, n + 2))  # the columns beyond n are never read
    before = m.copy()
    out = unit7.diagonal_smoothing(m, win_len)
    np.testing.assert_array_equal(out, out.T)
    np.testing.assert_allclose(out, window_means(m, win_len), rtol=1e-12, atol=1e-15)
    np.testing.assert_array_equal(m, before)
    m[np.triu_indices(n, 1, n + 2)] = rng.standard_normal(n * (n + 3) // 2)
    np.testing.assert_array_equal(unit7.diagonal_smoothing(m, win_len), out)


@pytest.mark.parametrize("h", [1, 2, 3])
def test_diagonal_smoothing_of_a_constant_matrix(h):
    w, c = 2 * h + 1, 2.5
    out = unit7.diagonal_smoothing(np.full((9, 9), c), w)
    assert out[0, 0] == pytest.approx(c * (h + 1) / w)
    for r in range(9):
        d = np.diagonal(out, -r)
        np.testing.assert_allclose(d[h : len(d) - h], c)
        assert (d[:h] < c).all() and (d[max(len(d) - h, 0) :] < c).all()


@pytest.mark.parametrize("m, win_len", [(np.zeros((0, 0)), 3), (np.zeros((0, 0)), 0), (np.zeros((0, 5)), 2)])
def test_diagonal_smoothing_of_an_empty_matrix(m, win_len):
    out = unit7.diagonal_smoothing(m, win_len)
    assert out.shape == (0, 0) and out.dtype == np.float64


@pytest.mark.parametrize(
    "m, win_len, exc, k",
    [
        (M3, 0, ValueError, 9),
        (M3, -1, ValueError, 3),
        (np.zeros((0, 0)), -1, ValueError, 3),  # the window is built before the loop
        (M3, 3.0, TypeError, 3),
        (np.zeros((0, 0)), 3.0, TypeError, 3),
        (M3[:, :2], 3, IndexError, 9),
        (np.ones(3), 3, IndexError, 9),
        (np.ones((3, 3, 2)), 3, ValueError, 9),
        ([[1.0]], 3, AttributeError, 1),
    ],
)
def test_diagonal_smoothing_failures(m, win_len, exc, k, entries):
    assert_fails_at("diagonal_smoothing", (m, win_len), exc, k, entries)


@pytest.mark.parametrize("name, args, k", [("make_lag_matrix", (M3,), 1), ("diagonal_smoothing", (M3, 3), 2)])
def test_numpy_looked_up_by_name(name, args, k, monkeypatch, entries):
    monkeypatch.delattr(unit7, "np")
    with pytest.raises(NameError, match=r"^name 'np' is not defined$"):
        getattr(unit7, name)(*args)
    assert_fails_at(name, args, NameError, k, entries)
