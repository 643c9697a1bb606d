"""The analysis layer: each stage's properties, and whole methods on synthetic changes."""

import numpy as np
import pytest

from velmor import analysis as A
from velmor.analysis import frontend

SR = 22050


def tone(freqs, seconds, harmonics=(1.0, 0.5, 0.25), decay=0.0, strike=None, seed=0):
    """A chord of harmonic tones; with `strike` seconds it is re-struck with a decaying envelope."""
    rng = np.random.default_rng(seed)
    t = np.arange(int(seconds * SR)) / SR
    out = np.zeros_like(t)
    for f in freqs:
        for h, a in enumerate(harmonics, start=1):
            out += a * np.sin(2 * np.pi * h * f * t + rng.uniform(0, 2 * np.pi))
    if strike:
        out *= np.exp(-decay * (t % strike))
    return out / len(freqs)


def midi(*notes):
    return [440.0 * 2 ** ((n - 69) / 12) for n in notes]


C_MAJOR, E_MAJOR, A_MINOR = midi(60, 64, 67), midi(64, 68, 71), midi(57, 60, 64)
CHANGES = {  # (first half, second half): one aspect changes at 20 s
    "harmony": (tone(C_MAJOR, 20), tone(E_MAJOR, 20, seed=1)),
    "timbre": (tone(C_MAJOR, 20), tone(C_MAJOR, 20, harmonics=(0.3, 0.0, 1.0, 0.0, 0.8, 0.0, 0.6), seed=1)),
    "texture": (tone(C_MAJOR, 20), tone(C_MAJOR, 20, decay=12.0, strike=0.25, seed=1)),
}


def piece(kind):
    a, b = CHANGES[kind]
    return np.concatenate([a, b]) * 0.5


@pytest.mark.parametrize("kind", sorted(CHANGES))
@pytest.mark.parametrize("method", ["default", "fused", "structure", "fused+structure"])
def test_a_change_of_each_kind_is_found_within_a_second(kind, method):
    found = A.segment(piece(kind), SR, method, count=1).boundaries
    assert found.shape == (1,) and abs(found[0] - 20.0) < 1.0


@pytest.mark.parametrize("method, kind", [("mfcc", "timbre"), ("mfcc", "texture"), ("chroma", "harmony"),
                                          ("classic", "harmony")])
def test_single_feature_methods_find_their_kind_of_change(method, kind):
    found = A.METHODS[method](piece(kind), SR, count=1)
    assert abs(found[0] - 20.0) < 1.5


def test_homogeneous_music_gives_no_boundary():
    assert A.segment(tone(A_MINOR, 40, decay=3.0, strike=0.5), SR).boundaries.size == 0


@pytest.mark.parametrize("gain", [0.01, 3.0])
def test_boundaries_do_not_depend_on_the_level(gain):
    y = piece("harmony")
    np.testing.assert_allclose(A.segment(y * gain, SR).boundaries, A.segment(y, SR).boundaries, atol=0.05)


def test_the_signal_is_left_untouched_and_other_rates_are_resampled():
    pytest.importorskip("soxr")
    y = piece("timbre")
    copy = y.copy()
    at_44k = np.repeat(y, 2)  # the same music at twice the rate
    found = A.segment(at_44k, 2 * SR, count=1).boundaries
    assert np.array_equal(y, copy) and abs(found[0] - 20.0) < 1.0


@pytest.mark.parametrize("k", [0, 1, 3, 7])
def test_asking_for_k_boundaries_returns_k(k):
    b = A.segment(piece("harmony"), SR, count=k).boundaries
    assert b.size == k and np.all(np.diff(b) > 0)


@pytest.mark.parametrize("count", [None, 2])
def test_peak_selection_ignores_a_tall_border_spike(count):
    rate = 4.0
    t = np.arange(400) / rate
    curve = np.exp(-0.5 * ((t - 30) / 1.0) ** 2) + 0.8 * np.exp(-0.5 * ((t - 70) / 1.0) ** 2)
    spiked = curve.copy()
    spiked[:3] = [20.0, 10.0, 5.0]
    expected = A.select_peaks(curve, rate, count=count)
    assert np.array_equal(A.select_peaks(spiked, rate, count=count), expected)
    assert np.array_equal(t[expected], [30.0, 70.0])


@pytest.mark.parametrize("count", [5, 50, 1000])
def test_count_is_met_with_too_few_peaks(count):
    curve = np.exp(-0.5 * ((np.arange(200) - 100) / 10.0) ** 2)  # one peak
    frames = A.select_peaks(curve, 2.0, margin=1.0, count=count)
    assert frames.size == min(count, 200 - 2 * 2) and np.all(np.diff(frames) > 0)
    assert frames.min() >= 2 and frames.max() < 198


def test_boundary_times_and_frames_are_inverse():
    f = A.feature_frames(piece("harmony")[: SR * 5], SR, ["mfcc", "cens"], pool=3)
    frames = np.arange(f.n_frames)
    inside = (f.boundary_times(frames) > 0) & (f.boundary_times(frames) < f.duration)
    assert np.array_equal(f.frames_of(f.boundary_times(frames))[inside], frames[inside])
    for x in f.features.values():
        assert x.shape[1] == f.n_frames
        np.testing.assert_allclose(np.linalg.norm(x, axis=0), 1.0)


def test_mirrored_edges_leave_no_edge_novelty():
    ssm = np.ones((60, 60))
    assert np.allclose(A.checkerboard_novelty(ssm, 16), 0.0)


def test_refinement_moves_a_boundary_onto_the_change():
    f = A.feature_frames(piece("timbre"), SR, ["mfcc"], pool=1)
    assert abs(A.refine(np.array([19.2]), f, radius=1.5)[0] - 20.0) < 0.15


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: A.segment(np.zeros((2, 100)), SR), ValueError),
        (lambda: A.segment(np.zeros(100), -1), ValueError),
        (lambda: A.segment(np.array([0.0, np.nan] * 1000), SR), ValueError),
        (lambda: A.segment(np.zeros(1000), SR, "nope"), ValueError),
        (lambda: A.segment(np.zeros(1000), SR, features=("loudness",)), ValueError),
        (lambda: A.Method("m", road="diagonal"), ValueError),
        (lambda: A.select_peaks(np.zeros(10), 1.0, count=-1), ValueError),
        (lambda: A.fuse([np.zeros((2, 2)), np.zeros((3, 3))]), ValueError),
    ],
)
def test_bad_input_is_refused_clearly(call, error):
    with pytest.raises(error):
        call()


def test_every_method_is_a_row_with_its_parameters():
    for name, m in A.METHODS.items():
        seg = A.segment(piece("harmony")[: SR * 30], SR, m)
        assert seg.method == name and seg.parameters["road"] == m.road
        assert seg.novelty.shape == seg.times.shape
    assert frontend.ANALYSIS_SR == SR


def test_an_input_too_long_for_the_memory_is_refused_before_any_work(monkeypatch):
    from velmor.analysis import methods

    monkeypatch.setattr(methods, "memory_budget", lambda: 1 << 20)
    monkeypatch.setattr(methods.frontend, "raw_features", None)  # never reached
    with pytest.raises(MemoryError, match=r"too long for the 'structure' method.*'classic'"):
        A.segment(np.zeros(SR * 60), SR, "structure")
    assert A.segment(np.zeros(SR * 20), SR, "classic").boundaries.size == 0


# --- the fast structure road against the composition of the compiled functions -------------------------

def structure_by_composition(ssm, k, neighbours, width):
    """The structure-feature curve spelt out with velmor.unit7's own lag matrix and column derivative:
    mutual nearest neighbours, lag matrix, Hann smoothing along time, derivative kernel of k frames."""
    import scipy.ndimage

    from velmor import unit7

    n = len(ssm)
    r = max(1, int(round(neighbours * n)))
    kth = np.sort(ssm, axis=1)[:, n - r]
    rec = (ssm >= kth[:, None]) & (ssm >= kth[None, :])
    lag = np.asarray(unit7.make_lag_matrix(rec.astype(float)))
    taps = np.hanning(width + 2)[1:-1]
    smooth = scipy.ndimage.convolve1d(lag, taps / taps.sum(), axis=1, mode="constant")
    return np.asarray(unit7.column_derivative(smooth, k)) / np.sqrt(r)


@pytest.mark.parametrize("n, k, neighbours", [(60, 10, 0.2), (250, 40, 0.1), (401, 64, 0.4)])
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_structure_novelty_is_the_lag_matrix_road_away_from_the_edges(n, k, neighbours, dtype):
    rng = np.random.default_rng(n)
    f = frontend.unit_columns(rng.standard_normal((12, n)).cumsum(axis=1))
    ssm = (f.T @ f).astype(dtype)
    width = 2 * (k // 8) + 1
    fast = A.structure_novelty(ssm, k, neighbours=neighbours, smooth_frames=width)
    slow = structure_by_composition(ssm.astype(float), k, neighbours, width)
    edge = k // 2 + width
    assert fast.dtype == np.float64 and fast.shape == (n,)
    np.testing.assert_allclose(fast[edge:-edge], slow[edge:-edge], rtol=1e-4 if dtype == np.float32 else 1e-9,
                               atol=1e-5 * slow.max())


def test_fused_similarity_is_the_weighted_mean_of_the_cosines():
    rng = np.random.default_rng(3)
    a, b = (frontend.unit_columns(rng.standard_normal((d, 90))) for d in (19, 12))
    fused = A.similarity.fused_similarity([a, b], (2.0, 1.0))
    np.testing.assert_allclose(fused, A.fuse([a.T @ a, b.T @ b], (2.0, 1.0)), atol=1e-12)
    assert np.array_equal(fused, fused.T)
    assert A.similarity.fused_similarity([a, b], dtype=np.float32).dtype == np.float32


def test_threaded_loops_cover_every_item_once_and_pass_errors_on(monkeypatch):
    from velmor import _threads

    monkeypatch.setattr(_threads, "cores", lambda: 3)
    seen = np.zeros(1000, dtype=int)

    def work(a, b):
        seen[a:b] += 1

    _threads.split(work, 1000, minimum=10)
    assert np.all(seen == 1)

    def fail(a, b):
        if a > 0:
            raise RuntimeError("a piece failed")

    with pytest.raises(RuntimeError, match="a piece failed"):
        _threads.split(fail, 1000, minimum=10)


def test_spectrogram_is_the_same_however_many_cores(monkeypatch):
    from velmor import _threads, features

    y = np.random.default_rng(5).standard_normal(40 * SR).astype(np.float32)
    monkeypatch.setattr(_threads, "cores", lambda: 1)
    one = features.spectrogram(y, SR, n_fft=4096, hop_length=2048).magnitude
    monkeypatch.setattr(_threads, "cores", lambda: 2)
    two = features.spectrogram(y, SR, n_fft=4096, hop_length=2048).magnitude
    np.testing.assert_array_equal(one, two)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_the_analysis_signal_keeps_single_precision_and_refuses_non_finite(dtype):
    y = np.linspace(-1, 1, 1000).astype(dtype)
    out = frontend.as_analysis_signal(y, SR)
    assert out.dtype == dtype and np.array_equal(out, y)
    bad = y.copy()
    bad[500] = np.nan
    with pytest.raises(ValueError, match="finite"):
        frontend.as_analysis_signal(bad, SR)


@pytest.mark.skipif(not hasattr(__import__("os"), "fork"), reason="needs fork")
def test_threaded_loops_work_in_a_forked_child(monkeypatch):
    import multiprocessing

    from velmor import _threads

    monkeypatch.setattr(_threads, "cores", lambda: 2)
    _threads.split(lambda a, b: None, 100, minimum=1)  # the parent's pool exists
    with multiprocessing.get_context("fork").Pool(1) as pool:
        assert pool.apply_async(_sum_in_threads).get(timeout=60) == sum(range(1000))


def _sum_in_threads():
    from velmor import _threads

    _threads.cores = lambda: 2
    parts = []
    _threads.split(lambda a, b: parts.append(sum(range(a, b))), 1000, minimum=1)
    return sum(parts)


def test_a_curve_climbing_towards_the_edge_does_not_raise_the_bar_for_peaks_near_it():
    rate, n = 4.0, 400  # 100 s
    t = np.arange(n) / rate
    base = 0.1 + 0.1 * sum(np.exp(-0.5 * ((t - c) / 0.75) ** 2) for c in (20, 40, 60, 80))
    ramp = base + np.clip((t - 88) / 12, 0, None) * 3.0  # the last 12 s climb to the edge
    kwargs = dict(spacing=8.0, window=24.0, delta=0.5, floor=0.15, margin=2.0)
    expected = A.select_peaks(base, rate, **kwargs)
    assert list(t[expected]) == [20, 40, 60, 80]
    assert np.array_equal(A.select_peaks(ramp, rate, overhang=12.0, **kwargs), expected)
    assert 80 not in t[A.select_peaks(ramp, rate, **kwargs)]  # the ramp steers a threshold it may reach


def test_fused_similarity_of_a_long_input_comes_from_blocks_alike(monkeypatch):
    from velmor.analysis import similarity

    rng = np.random.default_rng(8)
    a, b = (frontend.unit_columns(rng.standard_normal((d, 700))) for d in (5, 3))
    whole = similarity.fused_similarity([a, b], (1.0, 3.0), dtype=np.float32)
    monkeypatch.setattr(similarity, "WHOLE_PRODUCT_FRAMES", 100)
    monkeypatch.setattr(similarity, "_BLOCK", 128)
    blocks = similarity.fused_similarity([a, b], (1.0, 3.0), dtype=np.float32)
    assert blocks.dtype == np.float32 and np.array_equal(blocks, blocks.T)
    np.testing.assert_allclose(blocks, whole, atol=1e-6)
