"""The native loops of find_region_peaks and pos_neg_split against their numpy path."""

import concurrent.futures
import tracemalloc

import numpy as np
import pytest

from velmor import unit7

INF = np.inf


def same(got, want):
    if isinstance(want, tuple):
        assert type(got) is tuple and len(got) == len(want)
        for g, w in zip(got, want):
            same(g, w)
    elif isinstance(want, float):
        assert type(got) is float and got == want
    else:
        np.testing.assert_array_equal(got, want, strict=True)


def both_paths(numpy_path, f, *args):
    """Run f on its native and on its numpy path; both must give the same result or exception."""
    def run():
        try:
            return f(*args), None
        except Exception as exc:  # warnings turned into errors included
            return None, (type(exc), str(exc))

    native = run()
    numpy_path.use()
    try:
        want = run()
    finally:
        numpy_path.undo()
    assert native[1] == want[1]
    if want[1] is None:
        same(native[0], want[0])
    return want[0]


def laid_out(a, layout):
    """The values of a, in an array of the given memory layout."""
    if layout == "reversed":
        return np.ascontiguousarray(a[::-1])[::-1]
    if layout == "strided":
        b = np.zeros(3 * len(a), dtype=a.dtype)
        b[::3] = a
        return b[::3]
    return a


def signal(kind, n, rng):
    if kind == "random":
        return rng.random(n)
    if kind == "levels":  # plateaus and ties everywhere
        return rng.integers(0, 3, n).astype(float)
    if kind == "int":
        return rng.integers(-2, 3, n)
    if kind == "special":
        return rng.choice([-INF, -0.0, 0.0, 5e-324, 1.0, 1.7e308, INF], n)
    return np.arange(n, dtype=float)  # rising


# ---- find_region_peaks --------------------------------------------------------------------------

@pytest.mark.parametrize("layout", ["contiguous", "reversed", "strided"])
@pytest.mark.parametrize("kind", ["random", "levels", "int", "special", "rising"])
def test_peaks_agree(numpy_path, rng, kind, layout):
    for n in (1, 2, 3, 7, 50, 1100):  # 1100: more than one chunk of the sliding maxima
        x = laid_out(signal(kind, n, rng), layout)
        for region_len in (1, 2, 3, 4, 5, 8, 9, 16, 17, 128, 129, 130, 131, n, 2 * n + 2, 2 * n + 3):
            both_paths(numpy_path, unit7.find_region_peaks, x, region_len)


@pytest.mark.parametrize("where", [0, 1, 5, 1099])
@pytest.mark.parametrize("region_len", [1, 3, 16, 300])
def test_peaks_with_nan_agree(numpy_path, rng, where, region_len):
    x = rng.random(1100)
    x[where] = np.nan
    with np.errstate(all="raise"):
        both_paths(numpy_path, unit7.find_region_peaks, x, region_len)


@pytest.mark.parametrize("x, region_len", [
    (np.arange(9, dtype=np.float32) % 4, 3),
    (np.arange(9) % 4 == 1, 3),
    (np.arange(9, dtype=np.int32) % 4, 3),
    (np.arange(9.0).astype(">f8") % 4, 3),
    ((np.arange(9.0) % 4).view(type("Sub", (np.ndarray,), {})), 3),
    ([1.0, 3.0, 2.0, 4.0, 1.0], 3),
    (np.r_[2.0, np.zeros(149), 1.0, np.zeros(300)], 300),  # the first sample in the window ahead
    (np.r_[2.0, np.zeros(3), 1.0, np.zeros(20)], 8),
    (np.eye(4), 3),
    (np.broadcast_to(np.float64(2.0), 9), 1),  # a zero stride
    (np.broadcast_to(np.float64(2.0), 9), 3),
    (np.arange(9.0) % 4, True),
    (np.arange(9.0) % 4, np.int64(3)),
    (np.arange(9.0), 3.0),
    (np.arange(9.0), -1),
    (np.arange(9.0), 0),
    (np.arange(9.0), 2 ** 70),
    (np.array([]), 2),
    (np.array([]), 1),
])
def test_peaks_on_other_inputs_agree(numpy_path, x, region_len):
    both_paths(numpy_path, unit7.find_region_peaks, x, region_len)


def test_peaks_make_no_padded_copy(rng):
    x = rng.random(1_000_000)
    tracemalloc.start()
    try:
        unit7.find_region_peaks(x, 16)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < x.nbytes / 4


# ---- pos_neg_split and calc_prf -------------------------------------------------------------

def positions(kind, n, rng):
    if kind == "grid":  # exact ties and distances equal to tau
        return rng.integers(0, 12, n) * 0.25
    if kind == "dense":  # many admissible references at once
        return rng.random(n) * 3
    return rng.random(n) * 100


@pytest.mark.parametrize("layout", ["contiguous", "reversed", "strided"])
@pytest.mark.parametrize("order", ["sorted", "shuffled"])
@pytest.mark.parametrize("kind", ["uniform", "grid", "dense"])
def test_split_agrees(numpy_path, rng, kind, order, layout):
    for n_est, n_ref in [(0, 5), (5, 0), (1, 1), (40, 60), (300, 200)]:
        est, ref = positions(kind, n_est, rng), positions(kind, n_ref, rng)
        if order == "sorted":
            est, ref = np.sort(est), np.sort(ref)
        est, ref = laid_out(est, layout), laid_out(ref, layout)
        for tau in (0.5, 0.25, 2, 0, -1.0, 1e-300, 40.0, INF, -INF):
            both_paths(numpy_path, unit7.pos_neg_split, est, ref, tau)
            both_paths(numpy_path, unit7.calc_prf, est, ref, tau)


def test_split_tolerance_is_strict_after_rounding(numpy_path, rng):
    est, ref = rng.random(50) * 10, rng.random(50) * 10
    for tau in np.abs(est[:20] - ref[:20]):
        for t in (float(tau), float(np.nextafter(tau, INF)), float(np.nextafter(tau, -INF))):
            both_paths(numpy_path, unit7.pos_neg_split, est, ref, t)


@pytest.mark.parametrize("errstate", ["default", "raise", "ignore"])
@pytest.mark.parametrize("est, ref, tau", [
    ([1.0, np.nan, 2.0], [1.1, 2.1], 0.5),
    ([1.0, 2.0], [np.nan, 2.1], 0.5),
    ([1.0, 2.0], [1.1, 2.1], np.nan),
    ([1.0, INF], [-INF, 1.1], 0.5),
    ([1.0, INF], [INF, 1.1], 0.5),               # inf - inf
    ([1e308, 0.0], [0.1, -1e308], 0.5),          # a far pair overflows
    ([-1.7e308, 0.0], [1.7e308, 0.1], 0.5),
])
def test_split_flags_as_numpy(numpy_path, errstate, est, ref, tau):
    with np.errstate(**({} if errstate == "default" else {"all": errstate})):
        both_paths(numpy_path, unit7.pos_neg_split, np.array(est), np.array(ref), tau)


@pytest.mark.parametrize("est, ref, tau", [
    (np.array([1.0, 2.0], dtype=np.float32), np.array([1.1, 2.5], dtype=np.float32), 0.2),
    (np.array([1, 2, 7]), np.array([1, 3, 7]), 1),
    ([1.0, 2.0], [1.1], 0.5),
    (np.array([1.0, 2.0]), np.array([1.1, 2.5]), True),
    (np.array([1.0, 2.0]), np.array([1.1, 2.5]), np.float64(0.2)),
    (np.array([1.0, 2.0]), np.array([1.1, 2.5]), 2 ** 60),
    (np.array([1.0, 2.0]), np.array([1.1, 2.5]), "0.2"),
    (np.eye(2), np.array([1.0, 0.0]), 0.5),
    (np.array([1.0, 2.0, 2.0]), np.broadcast_to(np.float64(2.0), 2), 0.5),
])
def test_split_on_other_inputs_agrees(numpy_path, est, ref, tau):
    both_paths(numpy_path, unit7.pos_neg_split, est, ref, tau)


PEAKS_CALL = (unit7.find_region_peaks, np.array([0.0, 2.0, 1.0, 3.0, 0.0]), 3)
SPLIT_CALL = (unit7.pos_neg_split, np.array([2.0]), np.array([1.5, 2.1]), 1.0)


@pytest.mark.parametrize("name, call", [
    ("pad", PEAKS_CALL), ("arange", PEAKS_CALL), ("array", PEAKS_CALL),
    ("zeros", SPLIT_CALL), ("abs", SPLIT_CALL), ("logical_and", SPLIT_CALL), ("nonzero", SPLIT_CALL),
])
def test_a_rebound_numpy_function_is_called(numpy_path, monkeypatch, name, call):
    original = getattr(np, name)
    calls = []
    monkeypatch.setattr(np, name, lambda *a, **k: calls.append(name) or original(*a, **k))
    want = both_paths(numpy_path, *call)
    calls.clear()
    same(call[0](*call[1:]), want)
    assert calls


def test_paths_agree_across_threads(numpy_path, rng):
    x = [rng.random(60_000) for _ in range(4)]
    est = [np.sort(rng.random(3000)) * 300 for _ in range(4)]
    ref = [rng.random(3000) * 300 for _ in range(4)]
    numpy_path.use()
    want = [(unit7.find_region_peaks(x[i], 16), unit7.calc_prf(est[i], ref[i], 0.05)) for i in range(4)]
    numpy_path.undo()
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        for _ in range(3):
            jobs = [pool.submit(lambda i: (unit7.find_region_peaks(x[i], 16), unit7.calc_prf(est[i], ref[i], 0.05)), i)
                    for i in range(4)]
            for job, w in zip(jobs, want):
                same(job.result(), w)


def test_split_makes_no_distance_temporaries(rng):
    est, ref = np.array([0.5]), rng.random(1_000_000)
    tracemalloc.start()
    try:
        unit7.pos_neg_split(est, ref, 0.01)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 1.5 * ref.nbytes  # the numpy path holds e - ref and its magnitude at once
