"""Kernels and diagonal novelty: make_checkerboard, make_2d_gaussian, diagonal_slide, diagonal_novelty."""

import numpy as np
import pytest

from velmor import unit7

# The functions in the order the module defines them: each header line bounds the previous body.
ORDER = ["make_checkerboard", "make_2d_gaussian", "diagonal_novelty", "diagonal_slide", "find_region_peaks"]
HEADERS = {name: getattr(unit7, name).__code__.co_firstlineno for name in ORDER}


def slide_reference(ssm, kernel):
    """out[n] = sum over r, c of kernel[r, c] * S(n - h + r, n - h + c), S zero outside the matrix."""
    n_len, k_len = ssm.shape[0], kernel.shape[0]
    h = k_len // 2
    out = np.zeros(n_len)
    for n in range(n_len):
        for r in range(k_len):
            for c in range(k_len):
                i, j = n - h + r, n - h + c
                if 0 <= i < n_len and 0 <= j < n_len:
                    out[n] += kernel[r, c] * ssm[i, j]
    return out


def blocks(*sizes):
    """A block-diagonal matrix of ones, one square block per size."""
    n = sum(sizes)
    m = np.zeros((n, n))
    start = 0
    for s in sizes:
        m[start:start + s, start:start + s] = 1
        start += s
    return m


def signs(n):
    """+1 where row and column lie in the same half (first half n // 2 long), -1 elsewhere."""
    half = np.arange(n) >= n // 2
    return np.where(half[:, None] == half[None, :], 1.0, -1.0)


class NumpyLog:
    """Bound in the namespace as `np`: numpy itself, recording every attribute read and every call."""

    def __init__(self, **overrides):
        self.log = []
        self.overrides = overrides

    def __getattr__(self, name):
        value = self.overrides.get(name, getattr(np, name))
        self.log.append(("get", name))
        if not callable(value) or isinstance(value, type):
            return value

        def logged(*args, **kwargs):
            self.log.append(("call", name, args, kwargs))
            return value(*args, **kwargs)

        return logged

    def calls(self):
        return [e for e in self.log if e[0] == "call"]


class Truth:
    """An object whose truth test answers `value`, or raises it when it is an exception."""

    def __init__(self, value):
        self.value = value
        self.tested = 0

    def __bool__(self):
        self.tested += 1
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


def lines_by_function(info, entries):
    return [(name.removeprefix("velmor.unit7."), line) for name, _, line, _ in entries(info)]


def failing_line(fn_name, call, exc, entries):
    """The line of the single traceback entry that `call` leaves for `fn_name`."""
    with pytest.raises(exc) as info:
        call()
    ((name, line),) = lines_by_function(info, entries)
    assert name == fn_name
    return line


def assert_statement_lines(fn_name, lines):
    """Lines given per statement number lie in the body, one statement per line, in order."""
    first, following = HEADERS[fn_name], HEADERS[ORDER[ORDER.index(fn_name) + 1]]
    assert len(set(lines.values())) == len(lines)
    assert all(first < line < following for line in lines.values())
    assert len({line - k for k, line in lines.items()}) == 1, lines


# ---- worked values ------------------------------------------------------------------------------

@pytest.mark.parametrize("cb_len, expected", [
    (1, [[1.0]]),
    (2, [[0.25, -0.25], [-0.25, 0.25]]),
    (3, [[0.07892087, -0.12308684, -0.07892087],
         [-0.12308684, 0.19196914, 0.12308684],
         [-0.07892087, 0.12308684, 0.07892087]]),
    (4, [[0.03563424, 0.05875093, -0.05875093, -0.03563424],
         [0.05875093, 0.09686390, -0.09686390, -0.05875093],
         [-0.05875093, -0.09686390, 0.09686390, 0.05875093],
         [-0.03563424, -0.05875093, 0.05875093, 0.03563424]]),
])
def test_checkerboard_worked_values(cb_len, expected):
    out = unit7.make_checkerboard(cb_len)
    assert out.dtype == np.float64 and out.shape == (cb_len, cb_len)
    np.testing.assert_allclose(out, expected, atol=5e-9)


def test_checkerboard_untapered_worked_values():
    np.testing.assert_array_equal(unit7.make_checkerboard(3, gaussian=False, normalize=False),
                                  [[1, -1, -1], [-1, 1, 1], [-1, 1, 1]])
    np.testing.assert_array_equal(unit7.make_checkerboard(4, gaussian=False, normalize=True), signs(4) / 16)
    assert unit7.make_checkerboard(1, False, False).tolist() == [[1.0]]


def test_gaussian_worked_values():
    np.testing.assert_allclose(unit7.make_2d_gaussian(2), np.full((2, 2), 0.60653066), atol=5e-9)
    g4 = unit7.make_2d_gaussian(4)
    corner, centre, edge = 0.32465247, 0.88249690, 0.53526143
    np.testing.assert_allclose(g4, [[corner, edge, edge, corner],
                                    [edge, centre, centre, edge],
                                    [edge, centre, centre, edge],
                                    [corner, edge, edge, corner]], atol=5e-9)
    g5 = unit7.make_2d_gaussian(5)
    r2 = np.add.outer(np.arange(-2.0, 3.0) ** 2, np.arange(-2.0, 3.0) ** 2)
    np.testing.assert_allclose(g5, np.exp(-4 * r2 / 25), rtol=1e-15)
    assert g5[2, 2] == 1.0 and g5.max() == 1.0 and np.argmax(g5) == 12
    assert not np.any(g4 == 1.0)
    assert g4.dtype == g5.dtype == np.float64


def test_novelty_worked_values():
    np.testing.assert_allclose(unit7.diagonal_novelty(np.eye(4), 2), [0.25, 0.5, 0.5, 0.5], atol=1e-15)
    two = blocks(3, 3)
    np.testing.assert_allclose(unit7.diagonal_novelty(two, 2), [0.25, 0, 0, 0.5, 0, 0], atol=1e-15)
    curve = unit7.diagonal_novelty(two, 4)
    np.testing.assert_allclose(curve, [0.25, 0.03563424, 0.07126848, 0.5, 0.07126848, 0.03563424], atol=5e-9)
    assert np.argmax(curve) == 3


def test_unit_kernel_reads_the_diagonal():
    m = np.arange(16).reshape(4, 4)
    out = unit7.diagonal_slide(m, np.ones((1, 1)))
    assert out.dtype == np.float64 and out.tolist() == [0.0, 5.0, 10.0, 15.0]


# ---- properties ---------------------------------------------------------------------------------

@pytest.mark.parametrize("cb_len", range(1, 12))
def test_checkerboard_properties(cb_len):
    tapered = unit7.make_checkerboard(cb_len)
    assert tapered.shape == (cb_len, cb_len) and tapered.dtype == np.float64
    assert np.abs(tapered).sum() == pytest.approx(1.0, abs=1e-12)
    np.testing.assert_array_equal(np.sign(tapered), signs(cb_len))
    np.testing.assert_allclose(tapered, tapered.T, rtol=0, atol=0)
    expected = signs(cb_len) * unit7.make_2d_gaussian(cb_len)
    np.testing.assert_allclose(tapered, expected / np.abs(expected).sum(), rtol=1e-14)
    binary = unit7.make_checkerboard(cb_len, gaussian=False, normalize=False)
    np.testing.assert_array_equal(binary, signs(cb_len))
    np.testing.assert_array_equal(unit7.make_checkerboard(cb_len, False, True), signs(cb_len) / cb_len ** 2)
    np.testing.assert_allclose(unit7.make_checkerboard(cb_len, normalize=False), expected, rtol=0)
    if cb_len % 2 == 0:
        assert tapered.sum() == pytest.approx(0.0, abs=1e-15)
        assert binary.sum() == 0
    else:
        assert binary.sum() == 1


@pytest.mark.parametrize("wlen", range(1, 10))
def test_gaussian_symmetry(wlen):
    g = unit7.make_2d_gaussian(wlen)
    assert g.shape == (wlen, wlen) and g.dtype == np.float64
    for view in (g.T, g[::-1], g[:, ::-1]):
        np.testing.assert_array_equal(g, view)
    centre = slice((wlen - 1) // 2, wlen // 2 + 1)
    assert np.all(g[centre, centre] == g.max())
    assert np.all((g > 0) & (g <= 1))


@pytest.mark.parametrize("wlen, eps", [(4, 2.0), (5, 0.5), (6, 3), (3, -1.5)])
def test_gaussian_eps_enters_squared(wlen, eps):
    g = unit7.make_2d_gaussian(wlen, eps)
    np.testing.assert_allclose(g, unit7.make_2d_gaussian(wlen) ** (eps * eps), rtol=1e-13)
    np.testing.assert_array_equal(g, unit7.make_2d_gaussian(wlen, eps=-eps))
    if abs(eps) > 1:
        assert np.all(g[0] < unit7.make_2d_gaussian(wlen)[0])


@pytest.mark.parametrize("cb_len", [2, 4, 6, 8, 10])
def test_first_value_on_a_leading_block_of_ones(cb_len, rng):
    m = rng.standard_normal((12, 12))
    m[: cb_len // 2, : cb_len // 2] = 1
    assert unit7.diagonal_novelty(m, cb_len)[0] == pytest.approx(0.25, abs=1e-15)


@pytest.mark.parametrize("n, k_len", [(1, 1), (5, 2), (6, 3), (7, 4), (8, 5), (3, 8), (2, 9), (4, 4)])
def test_slide_matches_the_closed_form(n, k_len, rng):
    ssm = rng.standard_normal((n, n))
    kernel = rng.standard_normal((k_len, k_len))
    out = unit7.diagonal_slide(ssm, kernel)
    assert out.shape == (n,) and out.dtype == np.float64
    np.testing.assert_allclose(out, slide_reference(ssm, kernel), rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize("n, cb_len", [(10, 4), (9, 3), (4, 8), (12, 6)])
def test_novelty_is_the_checkerboard_slid(n, cb_len, rng):
    ssm = rng.random((n, n))
    expected = slide_reference(ssm, unit7.make_checkerboard(cb_len, True, True))
    np.testing.assert_allclose(unit7.diagonal_novelty(ssm, cb_len), expected, rtol=1e-12, atol=1e-15)


def test_kernel_of_side_zero_gives_zeros():
    out = unit7.diagonal_slide(np.ones((5, 5)), np.zeros((0, 0)))
    assert out.dtype == np.float64 and out.tolist() == [0.0] * 5


def test_empty_matrix_gives_an_empty_curve():
    out = unit7.diagonal_slide(np.zeros((0, 0)), np.ones((3, 3)))
    assert out.dtype == np.float64 and out.shape == (0,)
    assert unit7.diagonal_novelty(np.zeros((0, 0)), 4).shape == (0,)


def test_one_dimensional_ssm_broadcasts_into_every_row(rng):
    row = rng.standard_normal(5)
    kernel = rng.standard_normal((3, 3))
    expected = slide_reference(np.tile(row, (5, 1)), kernel)
    np.testing.assert_allclose(unit7.diagonal_slide(row, kernel), expected, rtol=1e-12)


def test_single_column_ssm_and_kernel_broadcast(rng):
    column = rng.standard_normal((4, 1))
    kernel = rng.standard_normal((3, 3))
    full = np.broadcast_to(column, (4, 4))
    np.testing.assert_allclose(unit7.diagonal_slide(column, kernel), slide_reference(full, kernel), rtol=1e-12)
    narrow = rng.standard_normal((3, 1))
    m = rng.standard_normal((4, 4))
    expected = slide_reference(m, np.broadcast_to(narrow, (3, 3)))
    np.testing.assert_allclose(unit7.diagonal_slide(m, narrow), expected, rtol=1e-12)


@pytest.mark.parametrize("dtype", [np.int64, np.int8, np.uint8, bool, np.float32])
def test_integer_and_boolean_matrices_give_float64(dtype, rng):
    m = (rng.random((6, 6)) > 0.5).astype(dtype)
    out = unit7.diagonal_novelty(m, 4)
    assert out.dtype == np.float64
    np.testing.assert_allclose(out, unit7.diagonal_novelty(m.astype(np.float64), 4), rtol=1e-15)
    int_kernel = np.array([[1, -1], [-1, 1]])
    assert unit7.diagonal_slide(m, int_kernel).dtype == np.float64


@pytest.mark.parametrize("k_len", [1, 2, 3, 4, 5, 9])
@pytest.mark.parametrize("cell", [(0, 0), (2, 3), (6, 1), (7, 7)])
def test_nan_spreads_to_the_windows_that_cover_it(k_len, cell, rng):
    m = rng.random((8, 8))
    m[cell] = np.nan
    out = unit7.diagonal_slide(m, unit7.make_checkerboard(k_len))
    h = k_len // 2
    n = np.arange(8)
    covered = np.ones(8, bool)
    for i in cell:
        covered &= (n - h <= i) & (i <= n - h + k_len - 1)
    np.testing.assert_array_equal(np.isnan(out), covered)


def test_inputs_unchanged_and_results_new(rng):
    ssm = rng.random((6, 6))
    kernel = rng.standard_normal((4, 4))
    saved = ssm.copy(), kernel.copy()
    out = unit7.diagonal_slide(ssm, kernel)
    novelty = unit7.diagonal_novelty(ssm, 4)
    np.testing.assert_array_equal(ssm, saved[0])
    np.testing.assert_array_equal(kernel, saved[1])
    for result in (out, novelty):
        assert not np.shares_memory(result, ssm) and not np.shares_memory(result, kernel)
    ssm.flags.writeable = kernel.flags.writeable = False
    np.testing.assert_array_equal(unit7.diagonal_slide(ssm, kernel), out)
    a, b = unit7.make_checkerboard(4), unit7.make_checkerboard(4)
    assert a is not b and not np.shares_memory(a, b)


def test_windows_are_read_from_a_bordered_float_copy():
    seen = []

    class Kernel:
        shape = (3, 3)

        def __mul__(self, window):
            seen.append(window)
            return 1.0

    ssm = np.arange(1, 17, dtype=np.int32).reshape(4, 4)
    assert unit7.diagonal_slide(ssm, Kernel()).tolist() == [1.0] * 4
    assert len(seen) == 4
    padded = seen[0].base
    assert padded.shape == (7, 7) and padded.dtype == np.float64
    np.testing.assert_array_equal(padded[1:5, 1:5], ssm)
    assert padded[[0, 5, 6]].sum() == padded[:, [0, 5, 6]].sum() == 0
    for n, window in enumerate(seen):
        assert window.shape == (3, 3) and window.base is padded
        np.testing.assert_array_equal(window, padded[n:n + 3, n:n + 3])
        assert not np.shares_memory(window, ssm)


# ---- the numpy calls, in order ------------------------------------------------------------------

def test_checkerboard_numpy_calls(monkeypatch):
    proxy = NumpyLog()
    monkeypatch.setattr(unit7, "np", proxy)
    cb_len = 4
    out = unit7.make_checkerboard(cb_len)
    assert [e[:2] for e in proxy.log] == [
        ("get", "ones"), ("call", "ones"),
        ("get", "arange"), ("call", "arange"), ("get", "atleast_2d"), ("call", "atleast_2d"),
        ("get", "exp"), ("call", "exp"),
        ("get", "sum"), ("get", "abs"), ("call", "abs"), ("call", "sum"),
    ]
    ones, arange, atleast, exp, abs_, sum_ = proxy.calls()
    assert ones[2:] == (((cb_len, cb_len),), {}) and type(ones[2][0]) is tuple
    assert ones[2][0][0] is cb_len and ones[2][0][1] is cb_len
    assert arange[2:] == ((cb_len,), {})
    np.testing.assert_array_equal(atleast[2][0], [-1.5, -0.5, 0.5, 1.5])
    assert atleast[3] == {} and exp[3] == {}
    # np.abs reads `out` itself, which the division then changes in place
    assert len(abs_[2]) == 1 and abs_[2][0] is out and abs_[3] == {}
    assert sum_[2][0].shape == (4, 4) and sum_[3] == {}


def test_checkerboard_without_taper_or_normalisation_calls_only_ones(monkeypatch, recorder):
    proxy = NumpyLog()
    monkeypatch.setattr(unit7, "np", proxy)
    taper = recorder(None)
    monkeypatch.setattr(unit7, "make_2d_gaussian", taper)
    unit7.make_checkerboard(3, False, False)
    assert [e[:2] for e in proxy.log] == [("get", "ones"), ("call", "ones")]
    assert taper.calls == []


def test_gaussian_numpy_calls(monkeypatch):
    proxy = NumpyLog()
    monkeypatch.setattr(unit7, "np", proxy)
    unit7.make_2d_gaussian(5, 2.0)
    assert [e[:2] for e in proxy.log] == [("get", "arange"), ("call", "arange"), ("get", "atleast_2d"),
                                          ("call", "atleast_2d"), ("get", "exp"), ("call", "exp")]
    _, _, (exponent,), kwargs = proxy.calls()[2]
    r2 = np.add.outer(np.arange(-2.0, 3.0) ** 2, np.arange(-2.0, 3.0) ** 2)
    np.testing.assert_allclose(exponent, -(2.0 / 2.5) ** 2 * r2, rtol=1e-15)
    assert kwargs == {}


def test_gaussian_rescales_eps_by_a_true_half():
    class Eps:
        def __truediv__(self, hlen):
            Eps.hlen = hlen
            return 1.0

    unit7.make_2d_gaussian(4, Eps())
    assert Eps.hlen == 2.0 and type(Eps.hlen) is float


def test_slide_numpy_calls(monkeypatch, rng):
    proxy = NumpyLog()
    monkeypatch.setattr(unit7, "np", proxy)
    ssm = rng.random((3, 3))
    kernel = rng.standard_normal((2, 2))
    unit7.diagonal_slide(ssm, kernel)
    assert [e[:2] for e in proxy.log] == [("get", "zeros"), ("call", "zeros"), ("get", "zeros"),
                                          ("call", "zeros")] + [("get", "sum"), ("call", "sum")] * 3
    padded, out, *sums = proxy.calls()
    assert padded[2:] == (((5, 5),), {}) and out[2:] == ((3,), {})
    pad = np.zeros((5, 5))
    pad[1:4, 1:4] = ssm
    for n, (_, _, (product,), kwargs) in enumerate(sums):
        np.testing.assert_array_equal(product, kernel * pad[n:n + 2, n:n + 2])
        assert kwargs == {}


# ---- names looked up in the namespace at each call ----------------------------------------------

def test_checkerboard_takes_the_taper_bound_now(monkeypatch, recorder):
    taper = recorder(np.arange(1.0, 17.0).reshape(4, 4))
    monkeypatch.setattr(unit7, "make_2d_gaussian", taper)
    cb_len = 4
    out = unit7.make_checkerboard(cb_len)
    assert taper.calls == [((cb_len,), {})] and taper.calls[0][0][0] is cb_len
    expected = signs(4) * np.arange(1.0, 17.0).reshape(4, 4)
    np.testing.assert_allclose(out, expected / np.abs(expected).sum(), rtol=1e-15)
    np.testing.assert_array_equal(unit7.make_checkerboard(4, True, False), expected)
    monkeypatch.setattr(unit7, "make_2d_gaussian", recorder(np.full((4, 4), 2.0)))
    np.testing.assert_array_equal(unit7.make_checkerboard(4, True, False), 2 * signs(4))
    monkeypatch.delattr(unit7, "make_2d_gaussian")
    with pytest.raises(NameError, match=r"^name 'make_2d_gaussian' is not defined$"):
        unit7.make_checkerboard(4)
    unit7.make_checkerboard(4, gaussian=False)


def test_checkerboard_rebinds_out_to_the_in_place_results(monkeypatch, recorder):
    class Board:
        """What np.ones returns: no in-place operators, so `out *= t` is `out = out * t`."""

        def __setitem__(self, key, value):
            pass

        def __mul__(self, taper):
            return ("times", taper)

        def __truediv__(self, total):
            return ("over", total)

    monkeypatch.setattr(unit7, "np", NumpyLog(ones=lambda shape: Board(), abs=lambda a: "abs", sum=lambda a: "total"))
    monkeypatch.setattr(unit7, "make_2d_gaussian", recorder("taper"))
    assert unit7.make_checkerboard(2, True, False) == ("times", "taper")
    assert unit7.make_checkerboard(2, False, True) == ("over", "total")


def test_novelty_calls_the_checkerboard_bound_now(monkeypatch, recorder, rng):
    kernel = rng.standard_normal((3, 3))
    make_cb = recorder(kernel)
    monkeypatch.setattr(unit7, "make_checkerboard", make_cb)
    ssm = rng.random((7, 7))
    cb_len = 6
    out = unit7.diagonal_novelty(ssm, cb_len)
    ((args, kwargs),) = make_cb.calls
    assert args == (cb_len, True, True) and kwargs == {}
    assert args[0] is cb_len and args[1] is True and args[2] is True
    np.testing.assert_allclose(out, slide_reference(ssm, kernel), rtol=1e-12)


def test_novelty_calls_the_slide_bound_now(monkeypatch, recorder, rng):
    result = object()
    slide = recorder(result)
    monkeypatch.setattr(unit7, "diagonal_slide", slide)
    ssm = rng.random((5, 5))
    assert unit7.diagonal_novelty(ssm, 4) is result
    ((args, kwargs),) = slide.calls
    assert args[0] is ssm and kwargs == {} and len(args) == 2
    np.testing.assert_array_equal(args[1], unit7.make_checkerboard(4))


def test_novelty_builds_the_kernel_before_looking_up_the_slide(monkeypatch, recorder):
    make_cb = recorder(np.ones((2, 2)))
    monkeypatch.setattr(unit7, "make_checkerboard", make_cb)
    monkeypatch.delattr(unit7, "diagonal_slide")
    with pytest.raises(NameError, match=r"^name 'diagonal_slide' is not defined$"):
        unit7.diagonal_novelty(np.eye(3), 2)
    assert len(make_cb.calls) == 1
    monkeypatch.delattr(unit7, "make_checkerboard")
    with pytest.raises(NameError, match=r"^name 'make_checkerboard' is not defined$"):
        unit7.diagonal_novelty(np.eye(3), 2)


@pytest.mark.parametrize("call", [
    lambda: unit7.make_checkerboard(4),
    lambda: unit7.make_2d_gaussian(4),
    lambda: unit7.diagonal_slide(np.eye(3), np.ones((2, 2))),
    lambda: unit7.diagonal_novelty(np.eye(3), 2),
])
def test_name_error_without_np(call, monkeypatch):
    monkeypatch.delattr(unit7, "np")
    with pytest.raises(NameError, match=r"^name 'np' is not defined$"):
        call()
    monkeypatch.setattr(unit7, "np", np, raising=False)
    call()


# ---- truth tests of gaussian and normalize ------------------------------------------------------

@pytest.mark.parametrize("gaussian, tapered", [
    (True, True), (False, False), (None, False), (0, False), (1, True), ("", False), ("no", True),
    ([], False), ([0], True), (np.bool_(False), False), (np.array([1.0]), True), (Truth(False), False),
])
def test_gaussian_is_tested_for_truth(gaussian, tapered):
    expected = unit7.make_checkerboard(4, True, False) if tapered else signs(4)
    np.testing.assert_array_equal(unit7.make_checkerboard(4, gaussian, False), expected)


@pytest.mark.parametrize("normalize, divided", [
    (True, True), (False, False), (None, False), (2.5, True), ((), False), (Truth(True), True),
])
def test_normalize_is_tested_for_truth(normalize, divided):
    expected = signs(4) / 16 if divided else signs(4)
    np.testing.assert_array_equal(unit7.make_checkerboard(4, False, normalize), expected)


def test_truth_tests_run_once_each_in_order(monkeypatch):
    gaussian, normalize = Truth(True), Truth(True)
    seen_by_taper = []

    def taper(n):
        seen_by_taper.append((gaussian.tested, normalize.tested))
        return 1.0

    monkeypatch.setattr(unit7, "make_2d_gaussian", taper)
    unit7.make_checkerboard(2, gaussian, normalize)
    assert seen_by_taper == [(1, 0)] and (gaussian.tested, normalize.tested) == (1, 1)


@pytest.mark.parametrize("which", ["gaussian", "normalize"])
def test_raising_truth_test_propagates(which):
    with pytest.raises(ValueError, match="truth value of an array with more than one element is ambiguous"):
        unit7.make_checkerboard(4, **{which: np.array([1, 0])})
    other = "normalize" if which == "gaussian" else "gaussian"
    bad, good = Truth(ZeroDivisionError("no truth")), Truth(True)
    with pytest.raises(ZeroDivisionError, match="^no truth$"):
        unit7.make_checkerboard(4, **{which: bad, other: good})
    assert bad.tested == 1 and good.tested == (0 if which == "gaussian" else 1)


def test_truth_tests_come_after_the_blocks():
    gaussian = Truth(ValueError("late"))
    with pytest.raises(TypeError):
        unit7.make_checkerboard("x", gaussian)
    with pytest.raises(TypeError):
        unit7.make_checkerboard(2.0, gaussian)
    assert gaussian.tested == 0


# ---- failures -----------------------------------------------------------------------------------

@pytest.mark.parametrize("cb_len, exc, text", [
    ("x", TypeError, r"unsupported operand type\(s\) for //: 'str' and 'int'"),
    (None, TypeError, r"unsupported operand type\(s\) for //"),
    (4.0, TypeError, "integer"),
    (2.5, TypeError, "integer"),
    (-1, ValueError, "negative dimensions"),
    (-4, ValueError, "negative dimensions"),
    (0, ZeroDivisionError, r"^float division by zero$"),
])
def test_checkerboard_failures(cb_len, exc, text):
    with pytest.raises(exc, match=text):
        unit7.make_checkerboard(cb_len)
    with pytest.raises(exc, match=text):
        unit7.diagonal_novelty(np.eye(4), cb_len)


def test_side_zero_without_taper_is_empty():
    for normalize in (True, False):
        out = unit7.make_checkerboard(0, gaussian=False, normalize=normalize)
        assert out.shape == (0, 0) and out.dtype == np.float64
    with pytest.raises(ZeroDivisionError, match=r"^float division by zero$"):
        unit7.make_checkerboard(0, True, False)


def test_gaussian_failures():
    with pytest.raises(ZeroDivisionError, match=r"^float division by zero$"):
        unit7.make_2d_gaussian(0)
    with pytest.raises(ZeroDivisionError, match=r"^float division by zero$"):
        unit7.make_2d_gaussian(0.0, 3)
    with pytest.raises(TypeError, match=r"unsupported operand type\(s\) for /: 'str' and 'int'"):
        unit7.make_2d_gaussian("x")
    with pytest.raises(TypeError, match=r"unsupported operand type\(s\) for /: 'str' and 'float'"):
        unit7.make_2d_gaussian(4, "x")
    with pytest.raises(ValueError, match="negative dimensions"):
        unit7.make_checkerboard(-3)


def test_gaussian_of_numpy_zero_follows_numpy_division():
    with pytest.warns(RuntimeWarning, match="divide by zero"):
        out = unit7.make_2d_gaussian(np.int64(0))
    assert out.shape == (0, 0)


@pytest.mark.parametrize("ssm, kernel, exc, text", [
    (np.eye(3), [[1.0]], AttributeError, "'list' object has no attribute 'shape'"),
    ([[1.0]], np.eye(2), AttributeError, "'list' object has no attribute 'shape'"),
    (np.eye(3), np.array(1.0), IndexError, "tuple index out of range"),
    (np.array(1.0), np.eye(2), IndexError, "tuple index out of range"),
    (np.ones((3, 4)), np.eye(2), ValueError, "could not broadcast"),
    (np.ones((3, 2)), np.eye(2), ValueError, "could not broadcast"),
    (np.eye(3), np.ones((2, 3)), ValueError, "operands could not be broadcast"),
    (np.eye(3), np.ones((3, 2)), ValueError, "operands could not be broadcast"),
])
def test_slide_failures(ssm, kernel, exc, text):
    with pytest.raises(exc, match=text):
        unit7.diagonal_slide(ssm, kernel)


def test_novelty_failure_comes_before_any_sliding(monkeypatch, recorder):
    slide = recorder(None)
    monkeypatch.setattr(unit7, "diagonal_slide", slide)
    with pytest.raises(ZeroDivisionError):
        unit7.diagonal_novelty(np.eye(3), 0)
    with pytest.raises(ValueError, match="negative dimensions"):
        unit7.diagonal_novelty(np.eye(3), -2)
    with pytest.raises(TypeError):
        unit7.diagonal_novelty(np.eye(3), 3.0)
    assert slide.calls == []


# ---- traceback entries --------------------------------------------------------------------------

def test_checkerboard_entries_name_their_statements(monkeypatch, recorder, entries):
    f = "make_checkerboard"
    lines = {
        1: failing_line(f, lambda: unit7.make_checkerboard("x"), TypeError, entries),
        2: failing_line(f, lambda: unit7.make_checkerboard(2.0), TypeError, entries),
        5: failing_line(f, lambda: unit7.make_checkerboard(2, Truth(KeyError())), KeyError, entries),
        7: failing_line(f, lambda: unit7.make_checkerboard(2, False, Truth(KeyError())), KeyError, entries),
    }

    class Fussy:
        """What np.ones returns: item assignment fails on its k-th use."""

        def __init__(self, k):
            self.k = k

        def __setitem__(self, key, value):
            self.k -= 1
            if self.k == 0:
                raise KeyError(key)

    for statement in (3, 4):
        monkeypatch.setattr(unit7, "np", NumpyLog(ones=lambda shape, k=statement - 2: Fussy(k)))
        lines[statement] = failing_line(f, lambda: unit7.make_checkerboard(2), KeyError, entries)
    monkeypatch.setattr(unit7, "np", np)
    monkeypatch.setattr(unit7, "make_2d_gaussian", recorder(KeyError("taper")))
    lines[6] = failing_line(f, lambda: unit7.make_checkerboard(2), KeyError, entries)
    monkeypatch.setattr(unit7, "make_2d_gaussian", recorder(1.0))
    monkeypatch.setattr(unit7, "np", NumpyLog(abs=recorder(KeyError("abs"))))
    lines[8] = failing_line(f, lambda: unit7.make_checkerboard(2), KeyError, entries)
    assert_statement_lines(f, lines)


def test_gaussian_entries_name_their_statements(monkeypatch, recorder, entries):
    f = "make_2d_gaussian"

    class Width:
        def __truediv__(self, two):
            return 1.0

    class Eps:
        def __truediv__(self, hlen):
            return "eps"

    lines = {
        1: failing_line(f, lambda: unit7.make_2d_gaussian("x"), TypeError, entries),
        2: failing_line(f, lambda: unit7.make_2d_gaussian(Width()), TypeError, entries),
        4: failing_line(f, lambda: unit7.make_2d_gaussian(0), ZeroDivisionError, entries),
        5: failing_line(f, lambda: unit7.make_2d_gaussian(3, Eps()), TypeError, entries),
    }
    monkeypatch.setattr(unit7, "np", NumpyLog(atleast_2d=recorder(KeyError("2d"))))
    lines[3] = failing_line(f, lambda: unit7.make_2d_gaussian(3), KeyError, entries)
    assert_statement_lines(f, lines)


def test_slide_entries_name_their_statements(monkeypatch, entries):
    f = "diagonal_slide"

    class Shaped:
        def __init__(self, *shape):
            self.shape = shape

    class Length:
        """An ssm_len that adds to integers but is no index, so range() refuses it."""

        def __add__(self, other):
            return 3 + other

        def __radd__(self, other):
            return other + 3

    class LoopSsm:
        shape = (Length(),)

        def __array__(self, dtype=None, copy=None):
            return np.ones((3, 3))

    eye = np.eye(3)
    lines = {
        1: failing_line(f, lambda: unit7.diagonal_slide(eye, [[1]]), AttributeError, entries),
        2: failing_line(f, lambda: unit7.diagonal_slide(eye, Shaped("x")), TypeError, entries),
        3: failing_line(f, lambda: unit7.diagonal_slide([[1]], eye), AttributeError, entries),
        4: failing_line(f, lambda: unit7.diagonal_slide(Shaped("x"), eye), TypeError, entries),
        5: failing_line(f, lambda: unit7.diagonal_slide(np.ones((3, 4)), eye), ValueError, entries),
        8: failing_line(f, lambda: unit7.diagonal_slide(eye, np.ones((2, 3))), ValueError, entries),
    }
    zeros = np.zeros
    monkeypatch.setattr(unit7, "np", NumpyLog(zeros=lambda s: zeros(s) if isinstance(s, tuple) else zeros(3)))
    lines[7] = failing_line(f, lambda: unit7.diagonal_slide(LoopSsm(), eye), TypeError, entries)
    monkeypatch.setattr(unit7, "np", NumpyLog(zeros=lambda s: zeros(s) if isinstance(s, tuple) else 1 / 0))
    lines[6] = failing_line(f, lambda: unit7.diagonal_slide(eye, eye), ZeroDivisionError, entries)
    assert_statement_lines(f, lines)


def test_slide_failing_inside_novelty_leaves_two_entries(entries):
    with pytest.raises(ValueError) as info:
        unit7.diagonal_novelty(np.ones((3, 4)), 2)
    assert [e[0] for e in entries(info)] == ["velmor.unit7.diagonal_novelty", "velmor.unit7.diagonal_slide"]
    assert all(e[1] == "package/velmor/unit7" and e[3] is vars(unit7) for e in entries(info))
    (_, slide_call), (_, inside_slide) = lines_by_function(info, entries)
    alone = failing_line("diagonal_slide", lambda: unit7.diagonal_slide(np.ones((3, 4)), np.eye(2)),
                         ValueError, entries)
    assert inside_slide == alone
    with pytest.raises(TypeError) as info:
        unit7.diagonal_novelty(np.eye(3), "x")
    (_, checkerboard_call), (name, inside_checkerboard) = lines_by_function(info, entries)
    assert name == "make_checkerboard"
    assert inside_checkerboard == failing_line(name, lambda: unit7.make_checkerboard("x"), TypeError, entries)
    assert_statement_lines("diagonal_novelty", {1: checkerboard_call, 2: slide_call})


def test_checkerboard_failing_inside_novelty_leaves_three_entries(entries):
    with pytest.raises(ZeroDivisionError, match=r"^float division by zero$") as info:
        unit7.diagonal_novelty(np.eye(3), 0)
    got = lines_by_function(info, entries)
    assert [name for name, _ in got] == ["diagonal_novelty", "make_checkerboard", "make_2d_gaussian"]
    with pytest.raises(ZeroDivisionError) as info:
        unit7.make_checkerboard(0)
    assert lines_by_function(info, entries) == got[1:]
    gaussian_alone = failing_line("make_2d_gaussian", lambda: unit7.make_2d_gaussian(0), ZeroDivisionError, entries)
    assert got[2][1] == gaussian_alone


def test_slide_replaced_by_python_keeps_the_novelty_entry(monkeypatch, entries):
    def slide(ssm, cb):
        raise LookupError("inside")

    monkeypatch.setattr(unit7, "diagonal_slide", slide)
    with pytest.raises(LookupError) as info:
        unit7.diagonal_novelty(np.eye(3), 2)
    ((name, _),) = lines_by_function(info, entries)
    assert name == "diagonal_novelty"
    assert info.traceback[-1].frame.code.raw is slide.__code__


def test_calls_leave_no_references_behind(rng):
    from conftest import refcounts

    ssm, kernel, bad_kernel = rng.random((5, 5)), rng.standard_normal((3, 3)), np.ones((2, 3))
    cb_len, eps = 10 ** 6, 1.5 + 10 ** -9
    before = refcounts(ssm, kernel, bad_kernel, cb_len, eps)
    for _ in range(50):
        unit7.diagonal_slide(ssm, kernel)
        unit7.diagonal_novelty(ssm, 4)
        unit7.make_2d_gaussian(3, eps)
        for call in (lambda: unit7.diagonal_slide(ssm, bad_kernel), lambda: unit7.make_checkerboard(-cb_len),
                     lambda: unit7.make_2d_gaussian(3, [eps]), lambda: unit7.diagonal_novelty(ssm, 0)):
            try:
                call()
            except (ValueError, TypeError, ZeroDivisionError):
                pass
    assert refcounts(ssm, kernel, bad_kernel, cb_len, eps) == before
