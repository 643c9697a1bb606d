"""make_derivative_kernel and column_derivative: profiles, column novelty, the kernel lookup, failures."""

import numpy as np
import pytest

from lines import assert_fails_at, line
from velmor import unit7

M3 = np.arange(1, 10).reshape(3, 3)
BLOCKS = np.kron(np.eye(2, dtype=int), np.ones((2, 2), dtype=int))

PROFILES = {
    1: [1.0],
    2: [-0.5, 0.5],
    3: [-0.15428077, 0.69143845, 0.15428077],
    4: [-0.10430426, -0.39569574, 0.39569574, 0.10430426],
    5: [-0.07910064, -0.24364712, 0.35450447, 0.24364712, 0.07910064],
    6: [-0.06383746, -0.16672406, -0.26943848, 0.26943848, 0.16672406, 0.06383746],
}


@pytest.mark.parametrize("k_len", PROFILES)
def test_derivative_profiles(k_len):
    kern = unit7.make_derivative_kernel(3, k_len)
    assert kern.shape == (3, k_len) and kern.dtype == np.float64
    np.testing.assert_allclose(kern, [PROFILES[k_len]] * 3, rtol=0, atol=5e-9)


@pytest.mark.parametrize("k_len", range(1, 14))
def test_kernel_rows_are_equal_and_sum_to_zero_or_the_centre(k_len, rng):
    kern = unit7.make_derivative_kernel(int(rng.integers(1, 9)), k_len)
    h = k_len // 2
    assert (kern == kern[0]).all()
    assert (kern[:, :h] < 0).all() and (kern[:, h:] > 0).all()
    np.testing.assert_allclose(kern.sum(axis=1), 0.0 if k_len % 2 == 0 else kern[0, h], atol=1e-15)


@pytest.mark.parametrize("rows, k_len, expected", [(4, 1, np.ones((4, 1))), (4, 0, np.ones((4, 0))),
                                                   (0, 5, np.ones((0, 5)))])
def test_degenerate_kernels(rows, k_len, expected):
    np.testing.assert_array_equal(unit7.make_derivative_kernel(rows, k_len), expected)


@pytest.mark.parametrize(
    "rows, k_len, exc, k",
    [(2, -1, ValueError, 1), (2, 4.0, TypeError, 1), (2, "x", TypeError, 1), (-1, 4, ValueError, 2),
     (2.0, 4, TypeError, 2)],
)
def test_kernel_failures(rows, k_len, exc, k, entries):
    assert_fails_at("make_derivative_kernel", (rows, k_len), exc, k, entries)


@pytest.mark.parametrize(
    "m, k_len, expected",
    [
        (M3, 1, [8.12403840, 9.64365076, 11.22497216]),
        (M3, 2, [4.06201920, 0.86602540, 0.86602540]),
        (M3, 3, [7.09991490, 7.15180214, 6.27779217]),
        (M3, 4, [4.21714231, 1.82382736, 0.44409271]),
        (M3, 0, [0, 0, 0]),
        (BLOCKS, 2, [0.70710678, 0, 1, 0]),
        (BLOCKS, 4, [0.70710678, 0.14750850, 1, 0.14750850]),
        (np.array([[3], [4], [0]]), 1, [5, 0, 0]),  # clipped windows of width 0 spread over one column
        (np.array([[3], [4], [0]]), 2, [2.5, 2.5, 0]),  # ... and of width 1 over two
        (np.arange(10).reshape(2, 5), 2, [2.5, 0.5 * np.sqrt(2)]),  # only the first two positions
        (np.zeros((0, 3)), 2, []),
    ],
)
def test_column_derivative_values(m, k_len, expected):
    before = m.copy()
    out = unit7.column_derivative(m, k_len)
    assert out.dtype == np.float64
    np.testing.assert_allclose(out, expected, rtol=0, atol=5e-9)
    np.testing.assert_array_equal(m, before)


@pytest.mark.parametrize("n", [1, 4, 9])
def test_one_column_kernel_gives_the_column_lengths(n, rng):
    m = rng.standard_normal((n, n))
    np.testing.assert_allclose(unit7.column_derivative(m, 1), np.linalg.norm(m, axis=0))


@pytest.mark.parametrize("k_len", [2, 3, 4, 5, 6])
def test_equal_columns(k_len, rng):
    col = rng.standard_normal(10)
    out = unit7.column_derivative(np.tile(col[:, None], 10), k_len)
    h = k_len // 2
    centre = 0.0 if k_len % 2 == 0 else unit7.make_derivative_kernel(1, k_len)[0, h]
    inner = out[h : 10 - k_len + h + 1]  # the windows that lie inside the matrix
    np.testing.assert_allclose(inner, centre * np.linalg.norm(col), atol=1e-12)
    assert not np.allclose(out[:h], centre * np.linalg.norm(col))


def test_kernel_is_looked_up_at_each_call(monkeypatch, recorder):
    stand_in = recorder(np.ones((3, 2)))
    monkeypatch.setattr(unit7, "make_derivative_kernel", stand_in)
    out = unit7.column_derivative(M3, 2)
    assert stand_in.calls == [((3, 2), {})]
    np.testing.assert_allclose(out, np.linalg.norm([[1, 4, 7], [3, 9, 15], [5, 11, 17]], axis=1))


def test_kernel_failure_shows_both_entries(monkeypatch, entries):
    class Numpy:
        def __getattr__(self, name):
            return getattr(np, name)

        def linspace(self, *args):
            raise KeyError("linspace")

    monkeypatch.setattr(unit7, "np", Numpy())
    with pytest.raises(KeyError) as info:
        unit7.column_derivative(M3, 2)
    outer, inner = unit7.column_derivative, unit7.make_derivative_kernel
    assert [(e[0], e[2]) for e in entries(info)] == [
        ("velmor.unit7.column_derivative", line(outer, 5)),
        ("velmor.unit7.make_derivative_kernel", line(inner, 1)),
    ]


@pytest.mark.parametrize(
    "m, k_len, exc, k",
    [
        ([[1.0]], 2, AttributeError, 1),
        (M3, "x", TypeError, 3),
        (M3, -1, ValueError, 3),
        (M3, 2.0, TypeError, 3),
        (np.ones(3), 2, ValueError, 4),
        (np.ones((3, 3, 3)), 2, ValueError, 4),
        (np.ones((4, 1)), 2, ValueError, 7),  # clipped windows that do not broadcast
        (np.ones((4, 2)), 4, ValueError, 7),
    ],
)
def test_column_derivative_failures(m, k_len, exc, k, entries):
    assert_fails_at("column_derivative", (m, k_len), exc, k, entries)


@pytest.mark.parametrize(
    "missing, name, args, k",
    [("np", "make_derivative_kernel", (2, 3), 1), ("np", "column_derivative", (M3, 2), 2),
     ("make_derivative_kernel", "column_derivative", (M3, 2), 5)],
)
def test_names_looked_up_in_the_namespace(missing, name, args, k, monkeypatch, entries):
    monkeypatch.delattr(unit7, missing)
    with pytest.raises(NameError, match=rf"^name '{missing}' is not defined$"):
        getattr(unit7, name)(*args)
    assert_fails_at(name, args, NameError, k, entries)
