"""diagonal_slide's native loop against its numpy path: the same curves, warnings and errors, no padded copy."""

import concurrent.futures
import tracemalloc
import warnings

import numpy as np
import pytest

from velmor import unit7


def abs_sums(ssm, kernel):
    """Per frame, the sum of |kernel| * |S| over its window, S zero outside the matrix."""
    n, k_len = ssm.shape[0], kernel.shape[0]
    h = k_len // 2
    pad = np.zeros((n + k_len, n + k_len))
    pad[h:h + n, h:h + n] = np.abs(ssm)
    return np.array([np.sum(np.abs(kernel) * pad[i:i + k_len, i:i + k_len]) for i in range(n)])


def both_paths(numpy_path, fn, *args):
    """Per path, ("ok", result, warnings) or ("raised", type, text): the native path first."""

    def outcome():
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("always")
            try:
                result = fn(*args)
            except Exception as e:  # noqa: BLE001 - compared, not handled
                return ("raised", type(e), str(e))
        return ("ok", result, [(w.category, str(w.message)) for w in seen])

    native = outcome()
    numpy_path.use()
    return native, outcome()


def assert_same_outcome(native, reference, ssm, kernel):
    if reference[0] == "raised" or native[0] == "raised":
        assert native == reference
        return
    (_, a, warned_a), (_, b, warned_b) = native, reference
    assert warned_a == warned_b
    assert a.dtype == b.dtype == np.float64 and a.shape == b.shape
    finite = np.isfinite(b)
    np.testing.assert_array_equal(a[~finite], b[~finite])
    with np.errstate(all="ignore"):
        bound = 1e-12 * abs_sums(ssm, kernel)[finite]
    assert np.all(np.abs(a[finite] - b[finite]) <= bound)


LAYOUTS = {
    "C": lambda x: x,
    "F": np.asfortranarray,
    "reversed": lambda x: x[::-1, ::-1],
    "rows reversed": lambda x: x[::-1],
    "every other": lambda x: np.repeat(np.repeat(x, 2, 0), 2, 1)[::2, ::2],
}


@pytest.mark.parametrize("n, k_len", [(0, 3), (1, 1), (1, 4), (5, 0), (6, 9), (40, 5), (41, 64), (137, 16),
                                      (203, 64), (301, 33)])
@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("kernel_layout", ["C", "F", "reversed"])
def test_native_curve_matches_the_numpy_path(n, k_len, layout, kernel_layout, numpy_path, rng):
    ssm = LAYOUTS[layout](rng.standard_normal((n, n)))
    kernel = LAYOUTS[kernel_layout](rng.standard_normal((k_len, k_len)))
    native, reference = both_paths(numpy_path, unit7.diagonal_slide, ssm, kernel)
    assert_same_outcome(native, reference, ssm, kernel)


class Doubled(np.ndarray):
    """An array whose products count twice: the numpy path sees that, a native loop would not."""

    def __mul__(self, other):
        return np.multiply(self.view(np.ndarray), other) * 2


@pytest.mark.parametrize("ssm, kernel", [
    (np.arange(36, dtype=np.float32).reshape(6, 6), np.ones((3, 3))),
    (np.arange(36).reshape(6, 6), np.ones((3, 3))),
    (np.eye(6, dtype=bool), np.ones((3, 3))),
    (np.eye(6).astype(">f8"), np.ones((3, 3))),
    (np.eye(6), np.ones((3, 3), dtype=np.float32)),
    (np.eye(6), np.arange(9.0).reshape(3, 3).view(Doubled)),
    (np.arange(6.0), np.ones((3, 3))),
    (np.arange(6.0).reshape(6, 1), np.ones((3, 3))),
    (np.eye(6), np.arange(3.0).reshape(3, 1)),
    (np.ones((6, 7)), np.ones((3, 3))),
    (np.eye(6), np.ones((3, 4))),
])
def test_other_inputs_take_the_numpy_path(ssm, kernel, numpy_path):
    native, reference = both_paths(numpy_path, unit7.diagonal_slide, ssm, kernel)
    if reference[0] == "ok":
        np.testing.assert_array_equal(native[1], reference[1])
        native, reference = native[::2], reference[::2]
    assert native == reference


def special(scale=1.0, kernel_scale=1.0, cells=(), kernel_cells=()):
    """A 50 x 50 matrix and a checkerboard of side 8, scaled, with the given cells set."""
    ssm, kernel = np.random.default_rng(5).random((50, 50)) * scale, unit7.make_checkerboard(8) * kernel_scale
    for array, changes in ((ssm, cells), (kernel, kernel_cells)):
        for cell, value in changes:
            array[cell] = value
    return ssm, kernel


def overflowing_columns():
    """Columns of +v and -v four apart: summed column by column a whole window of side 8 overflows,
    summed row by row (or any cut window) it does not."""
    ssm = np.zeros((50, 50))
    ssm[:, ::8], ssm[:, 4::8] = 2.5e307, -2.5e307
    return ssm


@pytest.mark.parametrize("ssm, kernel", [
    special(cells=[((20, 22), np.nan)]),
    special(cells=[((25, 22), np.nan), ((8, 11), np.nan)]),  # also just beside windows that do not hold them
    special(cells=[((20, 22), np.inf)]),
    special(cells=[((20, 22), np.inf), ((21, 21), -np.inf)]),
    special(cells=[((0, 49), np.inf), ((49, 0), np.nan)]),  # never inside a window
    special(kernel_cells=[((0, 0), np.inf)]),
    special(kernel_cells=[((7, 7), np.nan)]),
    special(scale=1e307, kernel_scale=1e4),
    special(scale=1e200, kernel_scale=1e200),
    special(scale=1e-300, kernel_scale=1e-20),
    (overflowing_columns(), np.ones((8, 8))),
])
@pytest.mark.parametrize("errors", ["warn", "raise"])
def test_special_values_warn_and_raise_as_on_the_numpy_path(ssm, kernel, errors, numpy_path):
    with np.errstate(all=errors):
        native, reference = both_paths(numpy_path, unit7.diagonal_slide, ssm, kernel)
    assert_same_outcome(native, reference, ssm, kernel)


def symmetric(n, seed=1):
    """An exactly symmetric n x n matrix (a + a.T is the same sum either way round)."""
    a = np.random.default_rng(seed).standard_normal((n, n))
    return a + a.T


@pytest.mark.parametrize("n, k_len", [(1, 4), (7, 12), (45, 8), (120, 16), (150, 33), (203, 64)])
@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("kernel_of", [lambda k_len: symmetric(k_len, 2), lambda k_len: unit7.make_checkerboard(k_len)])
def test_symmetric_inputs_match_the_numpy_path(n, k_len, layout, kernel_of, numpy_path):
    ssm, kernel = LAYOUTS[layout](symmetric(n)), kernel_of(k_len)
    native, reference = both_paths(numpy_path, unit7.diagonal_slide, ssm, kernel)
    assert_same_outcome(native, reference, ssm, kernel)


@pytest.mark.parametrize("offset", [1, 63, 64])  # inside the band, on its edge, just outside it
@pytest.mark.parametrize("row", [64, 120, 199, 201])  # cut windows first, whole windows, cut windows last
def test_one_cell_breaking_the_symmetry(offset, row, numpy_path):
    ssm, kernel = symmetric(202), symmetric(64, 3)
    ssm[row, row - offset] += 10.0
    native, reference = both_paths(numpy_path, unit7.diagonal_slide, ssm, kernel)
    assert_same_outcome(native, reference, ssm, kernel)


def symmetric_special(scale=1.0, kernel_scale=1.0, cells=(), kernel_cells=(), floor=False):
    """symmetric(120) and a symmetric 16 x 16 kernel, scaled (with floor, all magnitudes 1 to about 10
    before scaling), with the given cells set."""
    ssm, kernel = symmetric(120), symmetric(16, 4)
    if floor:
        ssm, kernel = 1 + np.abs(ssm), 1 + np.abs(kernel)
    ssm, kernel = ssm * scale, kernel * kernel_scale
    for array, changes in ((ssm, cells), (kernel, kernel_cells)):
        for cell, value in changes:
            array[cell] = value
    return ssm, kernel


SYMMETRIC_SPECIAL = {
    "underflowing products": symmetric_special(1e-300, 1e-10),
    "one underflowing pair late": symmetric_special(cells=[((100, 90), 1e-310), ((90, 100), 1e-310)]),
    "products just above DBL_MIN": symmetric_special(1e-300, 1e-7, floor=True),
    "products just below DBL_MIN": symmetric_special(1e-300, 1e-9, floor=True),
    "one pair of products below DBL_MIN": symmetric_special(
        floor=True, cells=[((100, 90), np.finfo(float).tiny / 8), ((90, 100), np.finfo(float).tiny / 8)]),
    "NaN pair": symmetric_special(cells=[((50, 40), np.nan), ((40, 50), np.nan)]),
    "NaN on one side": symmetric_special(cells=[((50, 40), np.nan)]),
    "NaN on the diagonal": symmetric_special(cells=[((50, 50), np.nan)]),
    "infinite pair": symmetric_special(cells=[((50, 40), np.inf), ((40, 50), np.inf)]),
    "zeros": symmetric_special(cells=[((i, j), 0.0) for i in range(120) for j in range(120) if (i + j) % 3 == 0]),
    "asymmetric kernel": symmetric_special(kernel_cells=[((3, 11), 5.0)]),
    "kernel too large to double": symmetric_special(1e-10, 1e307 / np.abs(symmetric(16, 4)).max(),
                                                    kernel_cells=[((2, 9), 1.5e308), ((9, 2), 1.5e308)]),
}


@pytest.mark.parametrize("case", SYMMETRIC_SPECIAL)
@pytest.mark.parametrize("errors", ["ignore", "warn", "raise"])
def test_symmetric_special_values_as_on_the_numpy_path(case, errors, numpy_path):
    ssm, kernel = SYMMETRIC_SPECIAL[case]
    with np.errstate(all=errors):
        native, reference = both_paths(numpy_path, unit7.diagonal_slide, ssm, kernel)
    assert_same_outcome(native, reference, ssm, kernel)


@pytest.mark.parametrize("name", ["zeros", "sum"])
def test_rebound_numpy_function_takes_the_numpy_path(name, monkeypatch, recorder, rng):
    original = getattr(np, name)
    calls = recorder()
    monkeypatch.setattr(np, name, lambda *a, **kw: calls(*a) or original(*a, **kw))
    ssm, kernel = rng.random((20, 20)), rng.standard_normal((4, 4))
    unit7.diagonal_slide(ssm, kernel)
    expected = [((24, 24),), (20,)] if name == "zeros" else [((kernel * kernel).shape,)] * 20
    assert [tuple(getattr(a, "shape", a) for a in args) for args, _ in calls.calls] == expected


def test_threads_get_the_curves_of_single_calls(rng):
    inputs = [(m, unit7.make_checkerboard(64)) for m in (rng.random((1200, 1200)), symmetric(1200)) for _ in range(2)]
    alone = [unit7.diagonal_slide(*args) for args in inputs]
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        together = list(pool.map(lambda args: unit7.diagonal_slide(*args), inputs * 3))
    for i, curve in enumerate(together):
        np.testing.assert_array_equal(curve, alone[i % 4])


def test_no_padded_copy(rng):
    ssm, kernel = rng.random((1500, 1500)), unit7.make_checkerboard(64)
    tracemalloc.start()
    unit7.diagonal_slide(ssm, kernel)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert peak < 1500 * 8 + 2 * kernel.nbytes + 16384 < (1500 + 64) ** 2 * 8 // 100  # out, kernel copy
