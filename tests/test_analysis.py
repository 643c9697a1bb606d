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
